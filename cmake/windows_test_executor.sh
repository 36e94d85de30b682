#!/usr/bin/env bash
# ctest's way into a Windows test program: the emulator and its arguments, then the program
# and its own. A Windows program ends its lines with "\r\n"; the list of test cases comes
# back without the "\r", so that the cases get the same names as on Linux.
set -o pipefail
for arg in "$@"; do
  if [ "$arg" = --gtest_list_tests ]; then
    "$@" | tr -d '\r'
    exit
  fi
done
exec "$@"
