#!/usr/bin/env bash
# One entry point for building, testing and running the toolchain on Debian 12.
#
# usage: ./dev.sh COMMAND [ARGS]
#
#   run [-H host] [-P port] [-n name]  the main job (against the bundled device simulator
#                                      unless a device is given); builds only velquin_publish
#                                      and the simulator
#   test                               the whole suite: style, reference, plain build, package
#                                      and consumer tests, ASan+UBSan, TSan, fuzz, arm64,
#                                      Windows
#   deps                               install the Debian packages the build needs
#   build [dir]                        plain build into build/ (or dir)
#   package                            Debian packages velquin-tools and velquin-dev into
#                                      build/packages, then the consumer and package tests
#                                      and lintian; the Ansible collection tarball into dist/
#   lintian                            Debian's checks of the packages in build/packages
#   fuzz [seconds]                     every fuzz target (default 30 s each); each target's
#                                      log, grown corpus and crash files stay in
#                                      build-fuzz/runs/TARGET/
#   cross                              arm64 build of the device bridge, tests under qemu
#   bench                              build and run the benchmark programs
#   docs                               HTML reference of the two libraries (build/docs/html)
#   windows                            velquin_publish.exe for 64-bit Windows, tests under Wine,
#                                      dist/velquin_publish-<version>-win64.zip
#   help, -h, --help                   this text
#
# Debian packages are installed (apt-get, as root or through sudo; it waits up to 10 minutes
# for a dpkg lock that another apt-get holds) only by deps, test and run, and by the steps
# that need more than the build does (cross, bench, docs, windows), each saying what it installs and
# why. build, package and fuzz say what is missing and stop.
#
# Flags, sanitizer settings and test filters live in CMakePresets.json; the steps here call
# those presets (`cmake --list-presets` lists them; `ctest --preset everyday` is the quick
# run without the tests that need curl, python3 or node or run long).
#
# Environment:
#   JOBS              parallel compile and test jobs (default: the number of CPUs)
#   VQ_FUZZ_SECONDS   seconds per fuzz target in the test command (default 30)
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}

# What the main job builds on (velquin_publish and the device simulator), and the headers
# the plain configuration looks for (GoogleTest, RapidJSON), so that build/ is configured
# one way for every command.
RUN_PACKAGES=(
  build-essential cmake pkg-config
  libboost-dev libboost-thread-dev libboost-system-dev libboost-regex-dev libboost-filesystem-dev
  libjsoncpp-dev rapidjson-dev libgtest-dev libgmock-dev
)
# Everything else the build and its tests use; help2man writes the manual pages, lintian
# checks the Debian packages.
PACKAGES=(
  "${RUN_PACKAGES[@]}" git libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  curl python3 nodejs procps
  help2man lintian ansible-core
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

usage() {
  awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
}

install_packages() { # why, packages...
  local why=$1 missing
  shift
  missing=$(missing_packages "$@")
  [ -z "$missing" ] && return 0
  echo "== installing for $why:" $missing
  if echo "$missing" | grep -q ':arm64' && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    as_root dpkg --add-architecture arm64
  fi
  as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
  # shellcheck disable=SC2086
  as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-remove $missing
}

# For the steps that install nothing: name what is missing and how to get it.
require_packages() {
  local missing
  missing=$(missing_packages "$@")
  [ -z "$missing" ] && return 0
  echo "missing Debian packages:" $missing >&2
  echo "install them with: ./dev.sh deps" >&2
  exit 1
}

# Configures and builds with one of CMakePresets.json's presets (same name for both).
preset_build() { # preset, extra cmake configure args...
  local preset=$1; shift
  cmake --preset "$preset" "$@" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
}

run_ctest() { # test preset, extra ctest args...
  local preset=$1; shift
  ctest --preset "$preset" -j "$JOBS" "$@"
}

cmd_deps() { install_packages "building and testing" "${PACKAGES[@]}"; }

cmd_build() {
  require_packages "${PACKAGES[@]}"
  if [ $# -gt 0 ]; then
    cmake --preset plain -B "$1" >/dev/null
    cmake --build "$1" -j "$JOBS"
  else
    preset_build plain
  fi
}

# Every target runs, even after one fails. Each keeps, under build-fuzz/runs/TARGET/, its full
# log, its corpus (grown across runs; the committed seeds join it each time) and the crash
# files of its last run; the summary names each failing target and its crash file.
cmd_fuzz() {
  local seconds=${1:-30}
  require_packages "${PACKAGES[@]}"
  preset_build fuzz
  local list=build-fuzz/fuzz_targets.txt exe corpus name dir rc crash failed=()
  [ -s "$list" ] || { echo "no fuzz targets in $list" >&2; return 1; }
  while read -r exe corpus; do
    name=$(basename "$exe")
    dir=$ROOT/build-fuzz/runs/$name
    rm -rf "$dir/crashes"
    mkdir -p "$dir/corpus" "$dir/crashes"
    if [ -n "$corpus" ] && [ -d "$corpus" ]; then cp -r "$corpus"/. "$dir/corpus"/; fi
    echo "== fuzz $name for ${seconds}s (log: $dir/log.txt)"
    rc=0
    (cd "$dir" && "$exe" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$dir/crashes/" "$dir/corpus" </dev/null >"$dir/log.txt" 2>&1) || rc=$?
    if [ "$rc" -eq 0 ]; then
      grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$dir/log.txt" || true
    else
      crash=$(find "$dir/crashes" -type f | head -n 1)
      # The sanitizer's or libFuzzer's report with its stack trace.
      sed -n '/^==[0-9]*==\|^INFO: libFuzzer\|deadly signal\|^SUMMARY/,$p' "$dir/log.txt" | head -n 80
      failed+=("$name: status $rc, crash file ${crash:-none}, log $dir/log.txt")
    fi
  done < "$list"
  if [ ${#failed[@]} -gt 0 ]; then
    echo "== fuzz: ${#failed[@]} target(s) failed" >&2
    printf '   %s\n' "${failed[@]}" >&2
    return 1
  fi
  echo "== fuzz: every target passed"
}

cmd_cross() {
  install_packages "the arm64 cross build" "${PACKAGES[@]}" "${CROSS_PACKAGES[@]}"
  local start=$SECONDS
  # The device side only, for arm64: bridge, stand-ins, engine simulator, examples and
  # the device's tests (GoogleTest is built from /usr/src/googletest); ctest runs the
  # tests labelled bridge under qemu-aarch64.
  preset_build arm64
  run_ctest arm64
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
  install_packages "the reference documentation" "${PACKAGES[@]}" "${DOCS_PACKAGES[@]}"
  # Through the build: the version header the reference covers is generated there.
  cmake --preset plain >/dev/null
  cmake --build --preset plain --target reference
  echo "== reference: $ROOT/build/docs/html/index.html"
}

# Debian packages from the plain build, then what a user of them sees: a separate project
# built against the installed package alone, and velquin_publish run from the package.
cmd_package() {
  require_packages "${PACKAGES[@]}" "${DOCS_PACKAGES[@]}"
  preset_build plain
  cmake --build --preset plain --target reference
  rm -rf build/packages
  (cd build && cpack -G DEB -B "$ROOT/build/packages" >/dev/null)
  rm -rf build/packages/_CPack_Packages
  tests/package/consumer_test.sh "$ROOT" "$ROOT/build"
  tests/package/deb_test.sh build/packages "$(project_version)-$(debian_revision)"
  cmd_lintian
  ls -l build/packages/*.deb
  integrations/ansible/build_collection.sh "$ROOT/dist"
}

# Debian's own checks of the built packages: any error fails; the warnings we accept are
# listed, with the reason for each, in tests/package/lintian-overrides.
cmd_lintian() {
  tests/package/lintian_test.sh build/packages
}

cmd_test() {
  cmd_deps
  # Tests against real peers (python3, node, curl) fail instead of skipping when one is missing.
  export VQ_REQUIRE_PEERS=1
  echo "== house style"
  cmd_format_check
  echo "== reference documentation"
  cmd_docs
  echo "== plain build (warnings are errors in our own code)"
  preset_build plain
  run_ctest plain
  echo "== Debian packages, the installed package in a consumer project"
  cmd_package
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
  preset_build asan
  run_ctest asan
  echo "== ThreadSanitizer build (threaded tests)"
  preset_build tsan
  run_ctest tsan
  echo "== fuzz targets"
  cmd_fuzz "${VQ_FUZZ_SECONDS:-30}"
  echo "== arm64 build of the device bridge, tests under qemu"
  cmd_cross
  echo "== Windows build of velquin_publish, tests under Wine"
  cmd_windows
}

# The version of the toolchain: project(... VERSION x.y.z) of the top CMakeLists.txt, the one
# place it is written.
project_version() {
  local v
  v=$(sed -n 's/^project([^)]*VERSION \([0-9][0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt" | head -n 1)
  [ -n "$v" ] || { echo "dev.sh: no project(... VERSION x.y.z) in CMakeLists.txt" >&2; exit 1; }
  echo "$v"
}

# The Debian revision of the packages, as cmake/velquin_package.cmake sets it.
debian_revision() {
  sed -n 's/^set(CPACK_DEBIAN_PACKAGE_RELEASE \([0-9]*\))$/\1/p' "$ROOT/cmake/velquin_package.cmake"
}

cmd_windows() {
  install_packages "the Windows cross build and its tests under Wine" "${PACKAGES[@]}" \
    "${WINDOWS_PACKAGES[@]}"
  local start=$SECONDS dir=build-win64
  # Boost and jsoncpp for Windows from Debian's source packages, once per build folder.
  tools/win64/build_deps.sh "$dir"
  # The Linux side of the tests: the program and end-to-end tests that start
  # velquin_publish.exe under Wine, and the device simulator they run it against.
  cmake --preset plain >/dev/null
  cmake --build --preset win64-linux-side -j "$JOBS"
  preset_build win64
  # Create the Wine prefix once, before tests start programs in it side by side.
  tools/win64/wine_run.sh "$ROOT/$dir/wineprefix" wineboot --init 2>/dev/null
  run_ctest win64
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
  install_packages "the benchmarks' peers" "${PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
  preset_build bench
  local s
  for s in bench/*/run.sh; do
    [ -x "$s" ] && { echo "== $s"; "$s" "$ROOT/build-bench"; }
  done
}

# Only what the main job runs: velquin_publish and the device simulator, no tests.
cmd_run() {
  install_packages "building the main job" "${RUN_PACKAGES[@]}"
  cmake --preset plain >/dev/null
  cmake --build --preset run -j "$JOBS"
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
  package) cmd_package ;;
  lintian) cmd_lintian ;;
  windows) cmd_windows ;;
  run) cmd_run "$@" ;;
  help|-h|--help) usage ;;
  *) echo "dev.sh: unknown command: $sub" >&2; usage >&2; exit 2 ;;
esac
