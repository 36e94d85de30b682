#!/bin/sh
# IPC stand-in round trips against a bare socket pair.
# Usage: bench/platform/run.sh <bench build directory> [seconds per case]
set -eu
build=${1:?usage: run.sh <bench build directory> [seconds]}
exe="$build/bench/platform/platform_ipc_bench"
[ -x "$exe" ] || { echo "bench/platform: $exe not built" >&2; exit 1; }
root=$(mktemp -d /tmp/vqbench.XXXXXX)
trap 'rm -rf "$root"' EXIT
echo "== IPC stand-in round trips"
VQ_PLATFORM_ROOT="$root" "$exe" "${2:-2}"
