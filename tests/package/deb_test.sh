#!/usr/bin/env bash
# The Debian packages built by `cpack -G DEB`: their contents, and velquin_publish run from an
# unpacked velquin-tools against the device simulator of the same package.
#   deb_test.sh PACKAGE_DIR DEBIAN_VERSION (0.2.0-1: the version and the Debian revision)
set -euo pipefail
DIR=$(cd "$1" && pwd)
DEB_VERSION=$2
VERSION=${DEB_VERSION%-*}
WORK=$(mktemp -d)
SIM_PID=""
cleanup() {
  if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

tools=$(ls "$DIR"/velquin-tools_"$DEB_VERSION"_*.deb) || fail "no velquin-tools package"
dev=$(ls "$DIR"/velquin-dev_"$DEB_VERSION"_*.deb) || fail "no velquin-dev package"
[ "$(dpkg-deb -f "$tools" Version)" = "$DEB_VERSION" ] || fail "velquin-tools: version"
dpkg-deb -c "$tools" >"$WORK/tools.list"
dpkg-deb -c "$dev" >"$WORK/dev.list"
for f in usr/bin/velquin_publish usr/bin/velquin_device_sim usr/bin/engine_sim \
  usr/bin/httprtsp_serve usr/share/velquin/engine_sim/sample_config.json \
  usr/share/man/man1/velquin_publish.1.gz usr/share/man/man1/velquin_device_sim.1.gz \
  usr/share/man/man1/engine_sim.1.gz usr/share/man/man1/httprtsp_serve.1.gz \
  usr/share/bash-completion/completions/velquin_publish usr/share/doc/velquin-tools/copyright \
  usr/share/doc/velquin-tools/changelog.Debian.gz usr/share/doc/velquin-tools/changelog.gz \
  usr/share/ansible/collections/ansible_collections/velquin/devices/plugins/modules/velquin_setting.py; do
  grep -q " \./$f\$" "$WORK/tools.list" || fail "velquin-tools lacks $f"
done
for f in lib/libhttprtsp.a lib/liboem_vorn_device_ipc.a lib/velquin/libksal_ipc.a \
  include/velquin/httprtsp/src/client.hpp \
  include/velquin/oem_ui_process/src/vorn_device_ipc/oem/oem_vorn_device_ipc.h \
  include/velquin/platform/rapidjson_hook/ks_callstack_assert.h include/velquin/velquin_version.h \
  lib/cmake/velquin/velquinConfig.cmake lib/cmake/velquin/velquinConfigVersion.cmake \
  lib/pkgconfig/velquin-httprtsp.pc lib/pkgconfig/velquin-oem-vorn-device-ipc.pc \
  share/doc/velquin-dev/copyright share/doc/velquin-dev/changelog.Debian.gz \
  share/doc/velquin-dev/html/index.html share/doc/velquin-dev/examples/oem_ui_minimal/main.cpp; do
  grep -q " \./usr/$f\$" "$WORK/dev.list" || fail "velquin-dev lacks $f"
done
# The library's own units stay out: no installed header includes them.
! grep -q "/httprtsp/src/detail/" "$WORK/dev.list" || fail "velquin-dev holds httprtsp/src/detail"
# The programs' libraries are named as dependencies, found by dpkg-shlibdeps.
[[ "$(dpkg-deb -f "$tools" Depends)" == *libboost-thread* ]] || fail "velquin-tools: no Boost dependency"
[[ "$(dpkg-deb -f "$dev" Depends)" == *rapidjson-dev* ]] || fail "velquin-dev: no rapidjson dependency"

ROOT=$WORK/root
dpkg-deb -x "$tools" "$ROOT"
for t in velquin_publish velquin_device_sim engine_sim httprtsp_serve; do
  [ "$("$ROOT/usr/bin/$t" --version)" = "$t $VERSION" ] || fail "$t --version"
  # The manual page shows the program's own help.
  zcat "$ROOT/usr/share/man/man1/$t.1.gz" | grep -q "^\.TH ${t^^} \"1\" .* \"$t $VERSION\"" ||
    fail "$t.1: no header with the version"
done
zcat "$ROOT/usr/share/man/man1/velquin_publish.1.gz" | grep -q 'jsonvalue' || fail "velquin_publish.1 lacks the usage text"
zcat "$ROOT/usr/share/doc/velquin-tools/changelog.Debian.gz" | head -n 1 | grep -q "($DEB_VERSION)" ||
  fail "changelog.Debian: not $DEB_VERSION"

"$ROOT/usr/bin/velquin_device_sim" --port 0 --die-with-parent >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
port=""
for _ in $(seq 1 300); do
  port=$(head -n 1 "$WORK/sim.out")
  [ -n "$port" ] && break
  kill -0 "$SIM_PID" 2>/dev/null || fail "the packaged simulator ended: $(cat "$WORK/sim.out")"
  sleep 0.1
done
[ -n "$port" ] || fail "the packaged simulator did not start"
"$ROOT/usr/bin/velquin_publish" -H 127.0.0.1 -P "$port" -c >"$WORK/config.out" ||
  fail "velquin_publish -c from the package"
grep -q '"name" : "Stage Mix"' "$WORK/config.out" || { cat "$WORK/config.out"; fail "no configuration"; }
echo "Debian packages OK"
