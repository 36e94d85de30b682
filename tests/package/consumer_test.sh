#!/usr/bin/env bash
# The installed package alone: installs a build into a fresh prefix, builds tests/consumer
# (two of our examples) against it with find_package(velquin), checks the pkg-config files,
# and runs the programs against engine_sim and httprtsp_serve taken from the prefix.
#   consumer_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
SRC=$(cd "$1" && pwd)
BUILD=$(cd "$2" && pwd)
WORK=$(mktemp -d)
SIM_PID=""
SERVE_PID=""
cleanup() {
  local p
  for p in $SIM_PID $SERVE_PID; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Waits for the first line of a file written by a starting process ($2).
first_line() {
  local i
  for i in $(seq 1 300); do
    [ -s "$1" ] && { head -n 1 "$1"; return 0; }
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

PREFIX=$WORK/prefix
cmake --install "$BUILD" --prefix "$PREFIX" >"$WORK/install.log"
# No installed header, CMake or pkg-config file may point back into the source or build tree.
meta="$PREFIX/include $PREFIX/lib/cmake $PREFIX/lib/pkgconfig"
# shellcheck disable=SC2086
if grep -rl -e "$SRC" -e "$BUILD" $meta >/dev/null; then
  fail "installed files name the source or build tree: $(grep -rl -e "$SRC" -e "$BUILD" $meta)"
fi

echo "== consumer project against $PREFIX"
cmake -S "$SRC/tests/consumer" -B "$WORK/consumer" -Wno-dev -DCMAKE_PREFIX_PATH="$PREFIX" \
  -DCMAKE_BUILD_TYPE=Release >"$WORK/configure.log" || { cat "$WORK/configure.log"; fail "configure"; }
cmake --build "$WORK/consumer" -j "${JOBS:-2}" >"$WORK/build.log" 2>&1 ||
  { cat "$WORK/build.log"; fail "consumer build"; }
GET=$WORK/consumer/httprtsp_get
UI=$WORK/consumer/oem_ui_minimal

echo "== pkg-config files"
export PKG_CONFIG_PATH=$PREFIX/lib/pkgconfig
for pc in velquin-httprtsp velquin-oem-vorn-device-ipc; do
  [ "$(pkg-config --modversion "$pc")" = "$(cat "$BUILD/include/velquin_version.h" |
    sed -n 's/^#define VELQUIN_VERSION "\(.*\)"$/\1/p')" ] || fail "$pc version"
done
# The consumer's own objects, linked again with what pkg-config gives.
obj=$(find "$WORK/consumer" -path '*httprtsp_get.dir*' -name '*.o' | head -n 1)
# shellcheck disable=SC2046
g++ -o "$WORK/get_pc" "$obj" $(pkg-config --libs velquin-httprtsp) || fail "link via pkg-config"
obj=$(find "$WORK/consumer" -path '*oem_ui_minimal.dir*' -name '*.o' | head -n 1)
# shellcheck disable=SC2046
g++ -o "$WORK/ui_pc" "$obj" $(pkg-config --libs velquin-oem-vorn-device-ipc) ||
  fail "link the bridge via pkg-config"
# shellcheck disable=SC2046
echo '#include "oem_ui_process/src/vorn_device_ipc/oem/oem_vorn_device_ipc.h"
#include "httprtsp/src/client.hpp"' |
  g++ -std=c++17 -fsyntax-only -x c++ - $(pkg-config --cflags velquin-httprtsp velquin-oem-vorn-device-ipc) ||
  fail "headers via pkg-config"

echo "== httprtsp_get against httprtsp_serve"
"$PREFIX/bin/httprtsp_serve" --port 0 --upload-file "$WORK/upload" >"$WORK/serve.out" 2>&1 &
SERVE_PID=$!
port=$(first_line "$WORK/serve.out" "$SERVE_PID") || fail "httprtsp_serve did not start"
"$GET" "http://127.0.0.1:$port/echo" >"$WORK/get.out" || fail "GET /echo"
rc=0
"$GET" "http://127.0.0.1:$port/nowhere" >"$WORK/get404.out" 2>"$WORK/get404.err" || rc=$?
[ "$rc" = 1 ] && grep -q 'status 404' "$WORK/get404.err" || fail "GET /nowhere: status $rc"
rc=0
"$WORK/get_pc" "http://127.0.0.1:$port/nowhere" >/dev/null 2>&1 || rc=$?
[ "$rc" = 1 ] || fail "the pkg-config build of httprtsp_get: status $rc"

echo "== oem_ui_minimal against engine_sim"
export VQ_PLATFORM_ROOT=$WORK/root
mkdir -p "$VQ_PLATFORM_ROOT"
mkfifo "$WORK/sim.in"
"$PREFIX/bin/engine_sim" <"$WORK/sim.in" >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
exec 3>"$WORK/sim.in"
first_line "$WORK/sim.out" "$SIM_PID" | grep -q '"event":"ready"' || fail "engine_sim did not start"
for ui in "$UI" "$WORK/ui_pc"; do
  "$ui" --once >"$WORK/ui.out" 2>&1 || { cat "$WORK/ui.out"; fail "$(basename "$ui") --once"; }
  # The engine's sample configuration, as the example printed it.
  grep -q '"Mic 1"' "$WORK/ui.out" || { cat "$WORK/ui.out"; fail "$(basename "$ui"): no configuration"; }
done
echo quit >&3
exec 3>&-
wait "$SIM_PID" || fail "engine_sim's status"
SIM_PID=""
grep -q '"event":"recv","id":101' "$WORK/sim.out" || fail "engine_sim saw no get_config"
echo "consumer OK"
