#!/usr/bin/env bash
# Sequential requests on one keep-alive connection to httprtsp_serve's echo route: our
# client against a Boost.Beast synchronous client, same peer, same run.
#
#   bench/roundtrip/run.sh <bench build dir>      (BENCH_ROUNDTRIPS sets the count, default 20000)
set -euo pipefail
build=${1:?usage: run.sh <bench build dir>}
serve="$build/tools/httprtsp_serve/httprtsp_serve"
bench="$build/bench/roundtrip/bench_roundtrip"
[ -x "$serve" ] && [ -x "$bench" ] || { echo "missing $serve or $bench"; exit 1; }
out=$(mktemp)
"$serve" --threads 3 > "$out" &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -f "$out"' EXIT
for _ in $(seq 100); do [ -s "$out" ] && break; sleep 0.05; done
"$bench" "$(head -1 "$out")" "${BENCH_ROUNDTRIPS:-20000}"
