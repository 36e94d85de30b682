#!/bin/sh
# Attacks the OEM UI example process (oem_ui_engine_host) from the engine's side
# of the IPC channel, each attack against a fresh process under a platform root
# of its own, bounded in count and time (about 10 s per attack).
# Usage: bench/hostile_engine/run.sh <bench build directory> [oem_ui_engine_host binary]
set -eu
build=${1:?usage: run.sh <bench build directory> [oem_ui_engine_host]}
exe="$build/bench/hostile_engine/bench_hostile_engine"
oem=${2:-"$build/examples/oem_ui_engine_host"}
[ -x "$exe" ] && [ -x "$oem" ] || { echo "bench/hostile_engine: $exe or $oem not built" >&2; exit 1; }
echo "== the OEM UI process against a hostile engine"
"$exe" "$oem"
