#!/usr/bin/env bash
# Every tool answers --help on standard output with status 0 and --version with the
# project's version; a wrong option goes to standard error with a non-zero status;
# engine_sim answers "help" on its input with its command list.
#   help_version_test.sh VERSION SOURCE_DIR PROGRAM...
set -euo pipefail
VERSION=$1
SRC=$2
shift 2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

check() { # program, name
  local prog=$1 name=$2 rc
  rc=0; "$prog" --help >"$WORK/out" 2>"$WORK/err" </dev/null || rc=$?
  [ "$rc" = 0 ] || fail "$name --help: status $rc"
  grep -q "$name" "$WORK/out" || fail "$name --help: no usage on standard output"
  [ ! -s "$WORK/err" ] || fail "$name --help wrote to standard error: $(cat "$WORK/err")"
  rc=0; "$prog" --version >"$WORK/out" 2>"$WORK/err" </dev/null || rc=$?
  [ "$rc" = 0 ] || fail "$name --version: status $rc"
  [ "$(cat "$WORK/out")" = "$name $VERSION" ] || fail "$name --version: $(cat "$WORK/out")"
  rc=0; "$prog" --no-such-option >"$WORK/out" 2>"$WORK/err" </dev/null || rc=$?
  [ "$rc" != 0 ] || fail "$name --no-such-option: status 0"
  [ -s "$WORK/err" ] || fail "$name --no-such-option: nothing on standard error"
}

for prog in "$@"; do
  check "$prog" "$(basename "$prog")"
  if [ "$(basename "$prog")" = engine_sim ]; then
    mkdir -p "$WORK/root"
    printf 'help\nquit\n' | VQ_PLATFORM_ROOT=$WORK/root "$prog" >"$WORK/help" 2>&1 ||
      fail "engine_sim with help on its input"
    grep -q '"event":"help","command":"send 2"' "$WORK/help" || fail "engine_sim help: $(cat "$WORK/help")"
    grep -q '"event":"help","command":"quit"' "$WORK/help" || fail "engine_sim help lacks quit"
    grep -q '"event":"error"' "$WORK/help" && fail "engine_sim answered help with an error"
  fi
done
check "$SRC/tools/run_main_job.sh" run_main_job.sh
echo "help and version OK"
