#!/usr/bin/env bash
# Static Boost (Thread, Filesystem, Regex) and jsoncpp for x86_64-w64-mingw32, built once.
#   build_deps.sh BUILD_DIR
# Sources are Debian's source packages of the versions the Linux build uses, kept in
# BUILD_DIR/sources; the result goes to BUILD_DIR/deps (include/, lib/). A stamp keyed on this
# script's text makes a second run return at once.
set -euo pipefail
build=$(realpath -m "$1")
here=$(cd "$(dirname "$0")" && pwd)
src=$build/sources
deps=$build/deps
jobs=${JOBS:-$(nproc)}
cxx=x86_64-w64-mingw32-g++-posix
ar=x86_64-w64-mingw32-ar
stamp=$deps/.built-$(sha256sum "$0" | cut -c1-16)
[ -f "$stamp" ] && exit 0

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# Debian's source packages; a deb-src entry is added once when none exists.
fetch_sources() {
  mkdir -p "$src"
  if ls "$src"/boost1.74_*.orig.tar.* "$src"/libjsoncpp_*.orig.tar.* >/dev/null 2>&1; then
    return 0
  fi
  if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "== adding a deb-src entry for Debian's archive"
    as_root tee /etc/apt/sources.list.d/vq-debian-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
  fi
  (cd "$src" && apt-get source --download-only boost1.74 libjsoncpp)
}

fetch_sources
rm -rf "$deps" "$build/deps-work"
work=$build/deps-work
mkdir -p "$deps/include" "$deps/lib" "$work"

# Boost headers: Debian's installed 1.74 headers (the orig tarball has no merged boost/
# folder). Only a link to them: /usr/include itself would shadow mingw's C library headers.
ln -s /usr/include/boost "$deps/include/boost"

tar -xf "$src"/boost1.74_*.orig.tar.* -C "$work" --wildcards \
  'boost/libs/thread/src/*' 'boost/libs/filesystem/src/*' 'boost/libs/regex/src/*'
tar -xf "$src"/libjsoncpp_*.orig.tar.* -C "$work" --wildcards '*/include/json/*' '*/src/lib_json/*'
json_root=$(echo "$work"/jsoncpp-*)
cp -r "$json_root/include/json" "$deps/include/json"

launcher=()
command -v ccache >/dev/null && launcher=(ccache)
flags=(-std=c++17 -O2 -DNDEBUG -w -DBOOST_ALL_NO_LIB -isystem "$deps/include")

# One line per object: library, extra flags, source. Compiled jobs at a time.
list=$work/objects.txt
: >"$list"
b=$work/boost/libs
for f in "$b"/thread/src/win32/{thread,thread_primitives,tss_pe}.cpp "$b"/thread/src/future.cpp; do
  echo "boost_thread -DBOOST_THREAD_BUILD_LIB $f" >>"$list"
done
for f in "$b"/filesystem/src/*.cpp; do
  echo "boost_filesystem -DBOOST_FILESYSTEM_STATIC_LINK,-I$b/filesystem/src $f" >>"$list"
done
for f in "$b"/regex/src/*.cpp; do
  echo "boost_regex -DBOOST_REGEX_STATIC_LINK $f" >>"$list"
done
for f in "$json_root"/src/lib_json/*.cpp; do
  echo "jsoncpp -I$json_root/src/lib_json $f" >>"$list"
done

export cxx work
export flags_text="${launcher[*]} $cxx ${flags[*]}"
echo "== building Boost Thread, Filesystem, Regex and jsoncpp for Windows ($(wc -l <"$list") files)"
# shellcheck disable=SC2016
xargs -P "$jobs" -L 1 sh -c '
  lib=$0 extra=$(echo "$1" | tr , " ") file=$2
  mkdir -p "$work/obj/$lib"
  $flags_text $extra -c "$file" -o "$work/obj/$lib/$(basename "$file" .cpp).o"
' <"$list"
for lib in boost_thread boost_filesystem boost_regex jsoncpp; do
  "$ar" rcs "$deps/lib/lib$lib.a" "$work"/obj/$lib/*.o
done
rm -rf "$work"
touch "$stamp"
echo "== Windows libraries ready in $deps"
