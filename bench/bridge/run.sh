#!/bin/sh
# Bridge round trips: get_config with a 100 KB configuration through the IPC
# stand-in and the hand-off file, against a payload-only send_command.
# Usage: bench/bridge/run.sh <bench build directory> [seconds per case]
set -eu
build=${1:?usage: run.sh <bench build directory> [seconds]}
exe="$build/bench/bridge/bench_bridge_round_trip"
[ -x "$exe" ] || { echo "bench/bridge: $exe not built" >&2; exit 1; }
root=$(mktemp -d /tmp/vqbench.XXXXXX)
trap 'rm -rf "$root"' EXIT
echo "== bridge round trips"
VQ_PLATFORM_ROOT="$root" "$exe" "${2:-2}"
