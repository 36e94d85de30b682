#!/usr/bin/env bash
# Usage: bench/parser/run.sh <bench build dir>; prints MB/s of our parser and of Boost.Beast.
set -euo pipefail
"${1:?bench build directory}/bench/parser/parser_bench"
