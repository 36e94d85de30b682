#!/usr/bin/env bash
# The main job against the bundled simulator: four command lines, each followed by its
# output, the rename visible in the second configuration print, and no simulator left.
#   main_job_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
out=$("$1/tools/run_main_job.sh" "$2" -n "Renamed By Test")
fail() { echo "FAIL: $*"; echo "$out"; exit 1; }

[ "$(grep -c '^\$ velquin_publish -H 127.0.0.1 -P [0-9]* ' <<<"$out")" = 4 ] || fail "four command lines"
first=$(sed -n '/^== 1\./,/^== 2\./p' <<<"$out")
third=$(sed -n '/^== 3\./,/^== 4\./p' <<<"$out")
grep -q '"name" : "Stage Mix"' <<<"$first" || fail "source 1's first name in the first print"
grep -q '"name" : "Renamed By Test"' <<<"$third" || fail "the new name in the second print"
grep -q '"name" : "Stage Mix"' <<<"$third" && fail "the old name still in the second print"
grep -q '"command" : "gpio_read_iic"' <<<"$out" || fail "the command's answer"
port=$(sed -n 's/^== device simulator listening on 127.0.0.1:\([0-9]*\)$/\1/p' <<<"$out")
[ -n "$port" ] || fail "the simulator's port"
# The simulator is gone: its port refuses connections now.
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then fail "the simulator still listens on $port"; fi
echo "main job OK"
