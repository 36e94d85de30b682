#!/usr/bin/env bash
# The README's "Many devices" command, as written there, against 20 simulators on loopback;
# afterwards every simulator holds the new name.
#   many_devices_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
SRC=$1
BUILD=$2
WORK=$(mktemp -d)
PIDS=()
cleanup() {
  local p
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

command=$(sed -n 's/^    \(xargs -P .*\)$/\1/p' "$SRC/README.md")
[ -n "$command" ] || fail "no xargs command in README.md"

for i in $(seq 1 20); do
  "$BUILD/tools/velquin_device_sim/velquin_device_sim" --port 0 --die-with-parent \
    >"$WORK/sim$i.out" 2>&1 &
  PIDS+=($!)
done
for i in $(seq 1 20); do
  port=""
  for _ in $(seq 1 300); do
    # Only a whole line: the number may still be half written.
    [ "$(wc -l <"$WORK/sim$i.out")" -ge 1 ] && port=$(head -n 1 "$WORK/sim$i.out")
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || fail "simulator $i did not start"
  echo "127.0.0.1 $port" >>"$WORK/devices.txt"
done

cd "$WORK"
mkdir out
PATH=$BUILD/publish:$PATH bash -c "$command" || fail "the README's command ended with $?"
while read -r host port; do
  [ -s "out/$host-$port.json" ] || fail "no answer kept for $host:$port"
  "$BUILD/publish/velquin_publish" -H "$host" -P "$port" -c >"$WORK/check.json"
  grep -q '"name" : "Main Stage"' "$WORK/check.json" || fail "$host:$port was not configured"
  grep -q '"name" : "Stage Mix"' "$WORK/check.json" && fail "$host:$port kept the old name"
done <"$WORK/devices.txt"
echo "20 devices configured"
