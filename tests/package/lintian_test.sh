#!/usr/bin/env bash
# Debian's checker on the built packages: any error fails; warnings are shown, each with a
# reason in the list below (an unexplained warning fails too, so the list stays true).
#   lintian_test.sh PACKAGE_DIR
set -euo pipefail
DIR=$(cd "$1" && pwd)
# Warnings we accept, by tag: why each is right for these packages.
ACCEPTED=(
  # Debian's archive closes an "intent to package" bug with the first upload; these
  # packages are not uploaded there, so there is no such bug.
  initial-upload-closes-no-bugs
  # The .pc files sit beside the static libraries in /usr/lib, not a multiarch folder: the
  # packages are built for the workstation only (the arm64 build is not packaged).
  pkg-config-unavailable-for-cross-compilation
  # The Ansible modules start with "#!/usr/bin/python" because Ansible expects exactly that
  # line: it replaces it with the managed host's interpreter before running a module. They
  # are never run from the package's folder.
  unusual-interpreter
)
out=$(lintian --no-cfg --fail-on none "$DIR"/velquin-*.deb 2>&1) || {
  echo "$out" >&2
  echo "FAIL: lintian did not run" >&2
  exit 1
}
[ -n "$out" ] && echo "$out"
failed=0
if echo "$out" | grep -q '^E: '; then
  echo "FAIL: lintian reports errors" >&2
  failed=1
fi
while read -r tag; do
  [ -z "$tag" ] && continue
  printf '%s\n' "${ACCEPTED[@]}" | grep -qx "$tag" || {
    echo "FAIL: lintian warning $tag is not in the accepted list of $0" >&2
    failed=1
  }
done < <(echo "$out" | sed -n 's/^W: [^:]*: \([^ ]*\).*/\1/p' | sort -u)
[ "$failed" = 0 ] && echo "lintian: no errors, no unexplained warnings"
exit "$failed"
