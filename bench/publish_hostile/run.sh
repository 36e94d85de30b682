#!/usr/bin/env bash
# velquin_publish -c against a scripted hostile device on loopback, one run per attack:
# peak RSS, wall time, exit status and standard output, each beside its goal. The first
# row, a sound device, is the named peer the other rows are compared with.
#   bench/publish_hostile/run.sh BUILD_DIR [SECONDS PER RUN AT MOST, default 200]
set -euo pipefail
B=$(cd "${1:?usage: run.sh BUILD_DIR [LIMIT]}" && pwd)
exec python3 "$(dirname "$0")/hostile_device.py" "$B/publish/velquin_publish" "${2:-200}"
