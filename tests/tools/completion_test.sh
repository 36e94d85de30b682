#!/usr/bin/env bash
# The bash completion of velquin_publish: each command line, split as bash splits it (with
# and without "@" breaking words), completes to the listed words.
#   completion_test.sh COMPLETION_FILE
set -euo pipefail
# shellcheck source=/dev/null
source "$1"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
mkdir saved && touch saved/big.json saved/small.json other.txt
failed=0

check() { # expected (space-separated, sorted), words...
  local expected=$1; shift
  COMP_WORDS=(velquin_publish "$@")
  COMP_CWORD=$#
  COMPREPLY=()
  _velquin_publish
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')
  if [ "$got" != "$expected" ]; then
    echo "FAIL: velquin_publish $*: got '$got', expected '$expected'" >&2
    failed=1
  fi
}

COMP_WORDBREAKS=$' \t\n"\'><=;|&(:'
check "--config --connect-timeout" --con
check "-jv" -H h -j
check "--max-time" --max
check "" -H h -P ""
check "" -v --
check "" --connect-timeout ""
check "@saved/big.json" -jv @saved/b
check "@other.txt @saved/" -jv @
check "" -jv "{"
# "@" as a word of its own.
COMP_WORDBREAKS=$' \t\n"\'@><=;|&(:'
check "other.txt saved/" -jv @
check "saved/big.json saved/small.json" -jv @ saved/
check "other.txt saved/" -jv @ ""
check "" -k @ ""
[ "$failed" = 0 ] && echo "completion OK"
exit "$failed"
