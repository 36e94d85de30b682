#!/usr/bin/env bash
# The main job: velquin_publish's three actions, one after the other, each command line
# shown before its output.
#
#   tools/run_main_job.sh BUILD_DIR               against the bundled device simulator,
#                                                 started on a free loopback port
#   tools/run_main_job.sh BUILD_DIR -H host [-P port]   against a real device (port 80
#                                                 unless given); note that step 2 really
#                                                 renames the device's source 1
#
#   tools/run_main_job.sh --help | --version
#
# Steps: print the configuration; set the name of source 1; print the configuration
# again, the new name visible; send a command. A step fails when velquin_publish ends
# with a status other than 0 or answers "null"; the job then stops, says which step
# failed, and ends with status 1.
set -euo pipefail

usage() {
  awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
}

case "${1:-}" in
  -h|--help) usage; exit 0 ;;
  --version)
    sed -n 's/^project(velquin_toolchain VERSION \([0-9.]*\).*/run_main_job.sh \1/p' \
      "$(dirname "$0")/../CMakeLists.txt"
    exit 0 ;;
esac
[ $# -ge 1 ] || { usage >&2; exit 2; }
BUILD=$(cd "$1" && pwd)
shift

HOST=""
PORT=""
NEW_NAME="Main Stage"
while [ $# -gt 0 ]; do
  case "$1" in
    -H|--host) [ $# -ge 2 ] || { usage >&2; exit 2; }; HOST=$2; shift 2 ;;
    -P|--port) [ $# -ge 2 ] || { usage >&2; exit 2; }; PORT=$2; shift 2 ;;
    -n|--name) [ $# -ge 2 ] || { usage >&2; exit 2; }; NEW_NAME=$2; shift 2 ;;
    *) usage >&2; exit 2 ;;
  esac
done

PUBLISH=$BUILD/publish/velquin_publish
SIM=$BUILD/tools/velquin_device_sim/velquin_device_sim
[ -x "$PUBLISH" ] || { echo "velquin_publish not built: $PUBLISH" >&2; exit 1; }

SIM_PID=""
WORK=$(mktemp -d)
cleanup() {
  if [ -n "$SIM_PID" ]; then
    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

if [ -z "$HOST" ] && [ -z "$PORT" ]; then
  [ -x "$SIM" ] || { echo "velquin_device_sim not built: $SIM" >&2; exit 1; }
  HOST=127.0.0.1
  "$SIM" --address "$HOST" --port 0 >"$WORK/sim.out" 2>&1 &
  SIM_PID=$!
  # The simulator prints the port it bound on its first line.
  for _ in $(seq 1 100); do
    # Only a whole line: the number may still be half written.
    if [ "$(wc -l <"$WORK/sim.out")" -ge 1 ]; then PORT=$(head -n 1 "$WORK/sim.out"); fi
    [ -n "$PORT" ] && break
    kill -0 "$SIM_PID" 2>/dev/null || { cat "$WORK/sim.out" >&2; exit 1; }
    sleep 0.1
  done
  [ -n "$PORT" ] || { echo "the device simulator did not start" >&2; exit 1; }
  echo "== device simulator listening on $HOST:$PORT"
else
  HOST=${HOST:-localhost}
  PORT=${PORT:-80}
  echo "== device at $HOST:$PORT"
fi

# Shows an argument the way one would type it: quoted when the shell would change it.
shell_word() {
  case "$1" in
    *[!A-Za-z0-9_./:=+-]*|'') printf "'%s'" "${1//\'/\'\\\'\'}" ;;
    *) printf '%s' "$1" ;;
  esac
}

# Runs one step: shows the command line, then its output; stops the job when the step fails.
STEP=""
run() {
  local shown="velquin_publish" arg rc=0
  for arg in "$@"; do shown+=" $(shell_word "$arg")"; done
  echo
  echo "\$ $shown"
  "$PUBLISH" "$@" >"$WORK/step.out" || rc=$?
  cat "$WORK/step.out"
  if [ "$rc" -ne 0 ]; then
    echo "main job failed at step $STEP: velquin_publish ended with status $rc" >&2
    exit 1
  fi
  if grep -qx 'null' "$WORK/step.out"; then
    echo "main job failed at step $STEP: the device answered null" >&2
    exit 1
  fi
}

STEP="1 (print the configuration)"
echo "== 1. print the configuration"
run -H "$HOST" -P "$PORT" -c
STEP="2 (set the name of source 1)"
echo "== 2. set the name of source 1"
run -H "$HOST" -P "$PORT" -p '$.sessions.sources[?(@.id==1)][0]' -k name -v "$NEW_NAME"
STEP="3 (print the configuration again)"
echo "== 3. print the configuration again: source 1 is now named \"$NEW_NAME\""
run -H "$HOST" -P "$PORT" -c
STEP="4 (send a command)"
echo "== 4. send a command"
run -H "$HOST" -P "$PORT" -o -v gpio_read_iic -k '{"device_addr": 45, "register_addr": 30, "value": 5}'
