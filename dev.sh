#!/usr/bin/env bash
# One entry point for building, testing and running the toolchain on Debian 12.
#
#   ./dev.sh run [-H host] [-P port]   the main job (against the bundled device simulator
#                                      unless a device is given)
#   ./dev.sh test                      the whole suite: plain, ASan+UBSan, TSan, fuzz, arm64,
#                                      Windows
#   ./dev.sh deps                      install the Debian packages the build needs
#   ./dev.sh build [dir]               plain build into build/ (or dir)
#   ./dev.sh fuzz [seconds]            run every fuzz target (default 30 s each)
#   ./dev.sh cross                     arm64 build of the device bridge, tests under qemu
#   ./dev.sh bench                     build and run the benchmark programs
#   ./dev.sh docs                      HTML reference of the two libraries (build/docs/html)
#   ./dev.sh windows                   velquin_publish.exe for 64-bit Windows, tests under Wine,
#                                      dist/velquin_publish-<version>-win64.zip
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}

PACKAGES=(
  build-essential cmake pkg-config git
  libboost-dev libboost-thread-dev libboost-system-dev libboost-regex-dev libboost-filesystem-dev
  libjsoncpp-dev rapidjson-dev libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  curl python3 nodejs procps
)
CROSS_PACKAGES=(
  g++-aarch64-linux-gnu qemu-user
  libboost-thread-dev:arm64 libboost-system-dev:arm64
)
BENCH_PACKAGES=(nginx-light valgrind)
DOCS_PACKAGES=(doxygen)
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine64 xz-utils)

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

install_packages() {
  local missing
  missing=$(missing_packages "$@")
  [ -z "$missing" ] && return 0
  echo "== installing: $missing"
  if echo "$missing" | grep -q ':arm64' && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    as_root dpkg --add-architecture arm64
  fi
  as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
  # shellcheck disable=SC2086
  as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-remove $missing
}

configure_build() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -Wno-dev "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

run_ctest() { # dir, extra ctest args...
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" --timeout 600 "$@")
}

cmd_deps() { install_packages "${PACKAGES[@]}"; }

cmd_build() {
  cmd_deps
  configure_build "${1:-build}"
}

cmd_fuzz() {
  local seconds=${1:-30}
  cmd_deps
  configure_build build-fuzz -DVQ_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
  local list=build-fuzz/fuzz_targets.txt exe corpus work
  [ -s "$list" ] || { echo "no fuzz targets"; return 0; }
  while read -r exe corpus; do
    work=$(mktemp -d)
    [ -n "$corpus" ] && [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
    echo "== fuzz $(basename "$exe") for ${seconds}s"
    (cd "$work" && "$exe" -max_total_time="$seconds" -print_final_stats=1 -detect_leaks=0 \
        -artifact_prefix="$work/" "$work" 2>&1 | tail -n 12)
    rm -rf "$work"
  done < "$list"
}

cmd_cross() {
  install_packages "${PACKAGES[@]}" "${CROSS_PACKAGES[@]}"
  local start=$SECONDS
  # The device side only, for arm64: bridge, stand-ins, engine simulator, examples and
  # the device's tests (GoogleTest is built from /usr/src/googletest); ctest runs the
  # tests labelled bridge under qemu-aarch64.
  configure_build build-arm64 -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" \
    -DVQ_WORKSTATION=OFF
  run_ctest build-arm64 -L bridge
  echo "== arm64 step took $((SECONDS - start)) s"
}

# Every tracked C and C++ source follows the committed .clang-format.
cmd_format_check() {
  git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' '*.ipp' |
    xargs -0 -r clang-format --dry-run --Werror
  echo "== sources follow .clang-format"
}

# The reference of the installed headers; any warning (an undocumented entity, a broken
# reference) fails it, so it cannot fall behind the headers.
cmd_docs() {
  install_packages "${DOCS_PACKAGES[@]}"
  rm -rf build/docs/html && mkdir -p build/docs
  doxygen docs/Doxyfile
  echo "== reference: $ROOT/build/docs/html/index.html"
}

cmd_test() {
  cmd_deps
  echo "== house style"
  cmd_format_check
  echo "== reference documentation"
  cmd_docs
  echo "== plain build"
  configure_build build
  run_ctest build
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
  configure_build build-asan -DVQ_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_ctest build-asan
  echo "== ThreadSanitizer build (threaded tests)"
  configure_build build-tsan -DVQ_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -L threads
  echo "== fuzz targets"
  cmd_fuzz "${VQ_FUZZ_SECONDS:-30}"
  echo "== arm64 build of the device bridge, tests under qemu"
  cmd_cross
  echo "== Windows build of velquin_publish, tests under Wine"
  cmd_windows
}

# The version of the toolchain: project(... VERSION x.y.z) of the top CMakeLists.txt.
project_version() {
  local v
  v=$(sed -n 's/^project([^)]*VERSION \([0-9][0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt" | head -n 1)
  echo "${v:-0.2.0}"
}

cmd_windows() {
  install_packages "${PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
  local start=$SECONDS dir=build-win64
  # Boost and jsoncpp for Windows from Debian's source packages, once per build folder.
  tools/win64/build_deps.sh "$dir"
  # The Linux side of the tests: the program and end-to-end tests that start
  # velquin_publish.exe under Wine, and the device simulator they run it against.
  cmake -S "$ROOT" -B build -Wno-dev >/dev/null
  cmake --build build -j "$JOBS" --target publish_program_test publish_end_to_end_test \
    velquin_device_sim
  configure_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/x86_64-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DVQ_BRIDGE=OFF -DVQ_LINUX_BUILD="$ROOT/build"
  # Create the Wine prefix once, before tests start programs in it side by side.
  tools/win64/wine_run.sh "$ROOT/$dir/wineprefix" wineboot --init 2>/dev/null
  run_ctest "$dir"
  windows_zip "$dir"
  echo "== Windows step took $((SECONDS - start)) s"
}

# dist/velquin_publish-<version>-win64.zip: the stripped program and the technicians' README
# with Windows line ends.
windows_zip() {
  local dir=$1 name stage
  name=velquin_publish-$(project_version)-win64
  stage=$dir/dist/$name
  rm -rf "$stage" && mkdir -p "$stage" dist
  x86_64-w64-mingw32-strip -o "$stage/velquin_publish.exe" "$dir/publish/velquin_publish.exe"
  sed 's/$/\r/' tools/win64/README.txt >"$stage/README.txt"
  rm -f "dist/$name.zip"
  (cd "$dir/dist" && python3 -m zipfile -c "$ROOT/dist/$name.zip" "$name")
  echo "== dist/$name.zip ($(stat -c %s "$stage/velquin_publish.exe") bytes of program)"
}

cmd_bench() {
  install_packages "${PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
  configure_build build-bench -DVQ_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
  local s
  for s in bench/*/run.sh; do
    [ -x "$s" ] && { echo "== $s"; "$s" "$ROOT/build-bench"; }
  done
}

cmd_run() {
  cmd_deps
  configure_build build
  tools/run_main_job.sh "$ROOT/build" "$@"
}

sub=${1:-help}
shift || true
case "$sub" in
  deps) cmd_deps ;;
  build) cmd_build "$@" ;;
  test) cmd_test ;;
  fuzz) cmd_fuzz "$@" ;;
  cross) cmd_cross ;;
  bench) cmd_bench ;;
  docs) cmd_docs ;;
  windows) cmd_windows ;;
  run) cmd_run "$@" ;;
  *) sed -n '2,15p' "$0"; [ "$sub" = help ] ;;
esac
