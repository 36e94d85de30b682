#!/usr/bin/env bash
# Attacks httprtsp_serve on loopback (bounded in count and time) and prints per attack the
# server's peak RSS and descriptors and whether a well-behaved request is answered within 1 s
# during and after it, with the goals beside them. Each attack meets a freshly started server.
# Exits non-zero when a row could not measure.
#
#   bench/hostile/run.sh <bench build dir> [httprtsp_serve binary to attack]
#
# The server's time-outs are a twelfth of their defaults (header and body 5 s instead of 60,
# idle 6 s instead of 75) and the slow attacks pause a twelfth as long, so that what takes
# minutes at the defaults shows in seconds. HOSTILE_BODY_BUDGET_MIB (default 256) is the memory
# budget for request bodies that the "slow 64 MiB bodies" row is held to, plus 16 MiB.
# HOSTILE_ROW runs only the row of that name (bench_hostile --list names them).
set -euo pipefail
build=${1:?usage: run.sh <bench build dir> [serve binary]}
serve=${2:-"$build/tools/httprtsp_serve/httprtsp_serve"}
bench="$build/bench/hostile/bench_hostile"
[ -x "$serve" ] && [ -x "$bench" ] || { echo "missing $serve or $bench"; exit 1; }
work=$(mktemp -d /tmp/bench_hostile.XXXXXX)
max_upload=$((32 * 1024 * 1024))
body_timeout=5
pid=""
stop_server() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  pid=""
}
trap 'stop_server; rm -rf "$work"' EXIT
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

model=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
echo "machine: ${model:-unknown CPU}, $(nproc) cores"
echo "httprtsp_serve: a fresh one per row, time-outs a twelfth of the defaults (header 5 s," \
  "body ${body_timeout} s, idle 6 s), uploads up to $((max_upload >> 20)) MiB"

rows=0; missed=0; unmeasured=0
while IFS= read -r row; do
  [ -n "${HOSTILE_ROW:-}" ] && [ "$row" != "$HOSTILE_ROW" ] && continue
  rm -f "$work/out" "$work/upload"
  "$serve" --threads 2 --upload-file "$work/upload" --max-upload "$max_upload" \
    --header-timeout 5 --body-timeout "$body_timeout" --idle-timeout 6 > "$work/out" </dev/null &
  pid=$!
  for _ in $(seq 100); do [ -s "$work/out" ] && break; sleep 0.05; done
  rc=0
  "$bench" --port "$(head -1 "$work/out")" --pid "$pid" --upload-file "$work/upload" \
    --max-upload "$max_upload" --body-timeout "$body_timeout" \
    --body-budget-mib "${HOSTILE_BODY_BUDGET_MIB:-256}" --row "$row" </dev/null |
    tee "$work/row" || rc=$?
  stop_server
  rows=$((rows + 1))
  if [ "$rc" != 0 ] || ! [ -s "$work/row" ]; then
    unmeasured=$((unmeasured + 1))
    [ -s "$work/row" ] || echo "$row: NOT MEASURED: bench_hostile ended with status $rc | FAILED"
  elif grep -q MISSED "$work/row"; then
    missed=$((missed + 1))
  fi
done < <("$bench" --list)
echo "hostile: $rows rows, $((rows - missed - unmeasured)) met every goal, $missed MISSED," \
  "$unmeasured not measured"
[ "$unmeasured" = 0 ]
