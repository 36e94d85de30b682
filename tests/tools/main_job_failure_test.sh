#!/usr/bin/env bash
# The main job against a device that does not answer properly: it stops at the failing step,
# says which step failed and ends with status 1.
#   main_job_failure_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
SRC=$1
BUILD=$2
SIM=$BUILD/tools/velquin_device_sim/velquin_device_sim
WORK=$(mktemp -d)
SIM_PID=""
stop_sim() {
  if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true; fi
  SIM_PID=""
}
trap 'stop_sim; rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

expect_failure_at_step() { # step, description, simulator options...
  local step=$1 what=$2 port="" rc=0
  shift 2
  "$SIM" --port 0 --die-with-parent "$@" >"$WORK/sim.out" 2>&1 &
  SIM_PID=$!
  for _ in $(seq 1 300); do
    # Only a whole line: the number may still be half written.
    [ "$(wc -l <"$WORK/sim.out")" -ge 1 ] && port=$(head -n 1 "$WORK/sim.out")
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || fail "$what: the simulator did not start"
  "$SRC/tools/run_main_job.sh" "$BUILD" -H 127.0.0.1 -P "$port" >"$WORK/out" 2>"$WORK/err" || rc=$?
  stop_sim
  [ "$rc" = 1 ] || fail "$what: status $rc"
  grep -q "^main job failed at step $step " "$WORK/err" || fail "$what: $(cat "$WORK/err")"
  grep -q "^== $((step + 1))\\." "$WORK/out" && fail "$what: went on after step $step"
  return 0
}

expect_failure_at_step 1 "a device answering null to everything" --raw-body null
expect_failure_at_step 2 "a device answering null to settings" --raw-body null \
  --raw-channel /service/velquin/settings
echo "main job failures OK"
