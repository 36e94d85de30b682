#!/usr/bin/env bash
# Attacks httprtsp_serve on loopback (bounded in count and time) and prints per attack its
# peak RSS, descriptors and whether a well-behaved request is answered within 1 s.
#
#   bench/hostile/run.sh <bench build dir> [httprtsp_serve binary to attack]
set -euo pipefail
build=${1:?usage: run.sh <bench build dir> [serve binary]}
serve=${2:-"$build/tools/httprtsp_serve/httprtsp_serve"}
bench="$build/bench/hostile/bench_hostile"
[ -x "$serve" ] && [ -x "$bench" ] || { echo "missing $serve or $bench"; exit 1; }
out=$(mktemp)
upload=$(mktemp)
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
"$serve" --threads 2 --upload-file "$upload" > "$out" &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -f "$out" "$upload"' EXIT
for _ in $(seq 100); do [ -s "$out" ] && break; sleep 0.05; done
"$bench" "$(head -1 "$out")" "$pid"
