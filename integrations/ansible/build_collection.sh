#!/usr/bin/env bash
# The collection as Ansible users install it: velquin-devices-VERSION.tar.gz, built by
# ansible-galaxy (ansible-core) from velquin/devices/.
#   integrations/ansible/build_collection.sh [OUT_DIR]      (default: dist/ of the repository)
# Install it with: ansible-galaxy collection install dist/velquin-devices-*.tar.gz
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/../../dist}
command -v ansible-galaxy >/dev/null || { echo "ansible-galaxy missing (Debian package ansible-core)" >&2; exit 1; }
mkdir -p "$out"
ansible-galaxy collection build --force --output-path "$out" "$here/velquin/devices"
