#!/usr/bin/env bash
# velquin_publish -c against the device simulator vs curl replaying the same nine bodies.
#   bench/publish/run.sh BUILD_DIR [RUNS]
set -euo pipefail
B=$(cd "${1:?usage: run.sh BUILD_DIR [RUNS]}" && pwd)
"$B/bench/publish/bench_publish" "$B/publish/velquin_publish" \
  "$B/tools/velquin_device_sim/velquin_device_sim" "$(command -v curl)" "${2:-31}"
