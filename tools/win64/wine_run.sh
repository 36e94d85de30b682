#!/usr/bin/env bash
# Runs a Windows program under Wine, headless, in a private prefix.
#   wine_run.sh PREFIX PROGRAM.exe [ARGUMENTS...]
# Standard input, output and error and the exit status pass through (a status above 255
# arrives as its low 8 bits, as on Linux).
set -euo pipefail
prefix=$1
shift
loader=${VQ_WINE_LOADER:-}
if [ -z "$loader" ]; then
  loader=$(command -v wine64 || true)
  [ -n "$loader" ] || loader=$(dpkg -L wine64 2>/dev/null | grep '/wine64$' | head -n 1)
fi
[ -x "$loader" ] || { echo "wine_run.sh: no wine64 loader (apt-get install wine64)" >&2; exit 127; }
mkdir -p "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
# A wine server that outlives each program by 30 s: starting one per run costs about a
# second, and test suites start the program hundreds of times. Fails quietly when one runs.
# A fresh server also starts Wine's own background processes with the first program: they
# are started here with no output, or they would hold the program's pipes open while they live.
server=$(dirname "$loader")/wineserver
if [ -x "$server" ] && "$server" -p30 </dev/null >/dev/null 2>&1; then
  "$loader" wineboot </dev/null >/dev/null 2>&1 || true
fi
exec "$loader" "$@"
