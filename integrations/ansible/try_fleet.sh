#!/usr/bin/env bash
# The collection velquin.devices on a fleet of device simulators on loopback: starts N
# simulators, writes their inventory, runs the example playbook (every device changes), runs
# it again (none changes), then stops the simulators.
#   integrations/ansible/try_fleet.sh [BUILD_DIR] [N]      (defaults: build, 20)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
B=$(cd "${1:-$ROOT/build}" && pwd)
N=${2:-20}
command -v ansible-playbook >/dev/null || { echo "ansible-playbook missing: ./dev.sh deps installs ansible-core" >&2; exit 1; }
WORK=$(mktemp -d /tmp/velquin_fleet.XXXXXX)
. "$ROOT/tools/simulator_fleet.sh"
cleanup() {
  stop_simulators
  rm -rf "$WORK"
}
trap cleanup EXIT

start_simulators "$B/tools/velquin_device_sim/velquin_device_sim" "$N" "$WORK"
{ echo "velquin_devices:"; echo "  hosts:"; } >"$WORK/inventory.yml"
for i in $(seq 1 "$N"); do
  printf '    stage%02d: {ansible_host: 127.0.0.1, velquin_port: %s}\n' "$i" "${SIM_PORTS[$((i - 1))]}" \
    >>"$WORK/inventory.yml"
done
echo '  vars: {ansible_python_interpreter: "{{ ansible_playbook_python }}"}' >>"$WORK/inventory.yml"

# The collection from this tree, velquin_publish from this build.
mkdir -p "$WORK/collections/ansible_collections/velquin"
ln -s "$ROOT/integrations/ansible/velquin/devices" "$WORK/collections/ansible_collections/velquin/devices"
export PATH=$B/publish:$PATH ANSIBLE_COLLECTIONS_PATH=$WORK/collections PYTHONDONTWRITEBYTECODE=1
echo "== $N simulators: $WORK/inventory.yml"
for run in first again; do
  echo "== the example playbook (playbooks/fleet.yml), $run"
  ansible-playbook -i "$WORK/inventory.yml" --forks 10 \
    "$ROOT/integrations/ansible/velquin/devices/playbooks/fleet.yml" | sed -n '/PLAY RECAP/,$p'
done
