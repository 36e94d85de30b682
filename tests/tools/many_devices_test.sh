#!/usr/bin/env bash
# The README's "Many devices" command, as written there, against 20 simulators on loopback
# and two ports where nobody listens: afterwards every simulator holds the new name, each
# dead device is named on standard error, and xargs ends with 123.
#   many_devices_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
SRC=$1
BUILD=$2
WORK=$(mktemp -d)
. "$SRC/tools/simulator_fleet.sh"
cleanup() {
  stop_simulators
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

command=$(sed -n 's/^    \(xargs -P .*\)$/\1/p' "$SRC/README.md")
[ -n "$command" ] || fail "no xargs command in README.md"

start_simulators "$BUILD/tools/velquin_device_sim/velquin_device_sim" 20 "$WORK" ||
  fail "the simulators did not start"
for port in "${SIM_PORTS[@]}"; do echo "127.0.0.1 $port" >>"$WORK/devices.txt"; done
# Dead devices: the ports of two simulators that were started and stopped again.
DEAD=()
for i in 1 2; do
  "$BUILD/tools/velquin_device_sim/velquin_device_sim" --port 0 >"$WORK/dead$i.out" 2>&1 &
  pid=$!
  port=""
  for _ in $(seq 1 300); do
    [ "$(wc -l <"$WORK/dead$i.out")" -ge 1 ] && port=$(head -n 1 "$WORK/dead$i.out")
    [ -n "$port" ] && break
    sleep 0.1
  done
  kill "$pid"; wait "$pid" 2>/dev/null || true
  [ -n "$port" ] || fail "simulator dead$i did not start"
  DEAD+=("$port")
done
cp "$WORK/devices.txt" "$WORK/alive.txt"
printf '127.0.0.1 %s\n' "${DEAD[@]}" >>"$WORK/devices.txt"

cd "$WORK"
mkdir out
rc=0
PATH=$BUILD/publish:$PATH bash -c "$command" 2>"$WORK/err" || rc=$?
[ "$rc" = 123 ] || fail "the README's command ended with $rc, not 123"
for port in "${DEAD[@]}"; do
  grep -q "^FAILED 127.0.0.1:$port (status 2)\$" "$WORK/err" || fail "dead device $port not named: $(cat "$WORK/err")"
done
[ "$(grep -c '^FAILED' "$WORK/err")" = 2 ] || fail "devices that answered named as failed: $(cat "$WORK/err")"
while read -r host port; do
  [ -s "out/$host-$port.json" ] || fail "no answer kept for $host:$port"
  "$BUILD/publish/velquin_publish" -H "$host" -P "$port" -c >"$WORK/check.json"
  grep -q '"name" : "Main Stage"' "$WORK/check.json" || fail "$host:$port was not configured"
  grep -q '"name" : "Stage Mix"' "$WORK/check.json" && fail "$host:$port kept the old name"
done <"$WORK/alive.txt"
echo "20 devices configured, 2 dead ones named"
