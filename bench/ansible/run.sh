#!/usr/bin/env bash
# Devices configured per second on N device simulators on loopback (default 50, 20-100):
# the README's `xargs -P 8` line around velquin_publish, then the collection velquin.devices
# setting the same entry by a playbook with 10 forks (read, set, read back per device), and
# the playbook once more with nothing left to change. Prints the rates and the ratio.
#
#   bench/ansible/run.sh <build dir> [N]         (needs ansible-core)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
B=$(cd "${1:?usage: run.sh <build dir> [N]}" && pwd)
N=${2:-50}
[ "$N" -ge 20 ] && [ "$N" -le 100 ] || { echo "N must be 20 to 100" >&2; exit 1; }
command -v ansible-playbook >/dev/null || { echo "ansible-playbook missing (Debian package ansible-core)" >&2; exit 1; }
SIM=$B/tools/velquin_device_sim/velquin_device_sim
[ -x "$SIM" ] && [ -x "$B/publish/velquin_publish" ] || { echo "build velquin_publish and velquin_device_sim in $B" >&2; exit 1; }

WORK=$(mktemp -d /tmp/bench_ansible.XXXXXX)
. "$(dirname "$0")/../../tools/simulator_fleet.sh"
cleanup() {
  stop_simulators
  rm -rf "$WORK"
}
trap cleanup EXIT

start_simulators "$SIM" "$N" "$WORK"
{ echo "velquin_devices:"; echo "  hosts:"; } >"$WORK/inventory.yml"
for i in $(seq 1 "$N"); do
  port=${SIM_PORTS[$((i - 1))]}
  echo "127.0.0.1 $port" >>"$WORK/devices.txt"
  printf '    dev%03d: {ansible_host: 127.0.0.1, velquin_port: %s}\n' "$i" "$port" >>"$WORK/inventory.yml"
done
echo '  vars: {ansible_python_interpreter: "{{ ansible_playbook_python }}"}' >>"$WORK/inventory.yml"

# The collection straight from the tree.
mkdir -p "$WORK/collections/ansible_collections/velquin"
ln -s "$ROOT/integrations/ansible/velquin/devices" "$WORK/collections/ansible_collections/velquin/devices"
cat >"$WORK/rename.yml" <<'YAML'
- hosts: velquin_devices
  connection: local
  gather_facts: false
  tasks:
    - velquin.devices.velquin_setting:
        host: "{{ ansible_host }}"
        port: "{{ velquin_port }}"
        path: "$.sessions.sources[?(@.id==1)][0]"
        key: name
        value: Playbook Stage
YAML

export PATH=$B/publish:$PATH ANSIBLE_COLLECTIONS_PATH=$WORK/collections ANSIBLE_HOME=$WORK/home \
  ANSIBLE_LOCAL_TEMP=$WORK/tmp ANSIBLE_REMOTE_TMP=$WORK/tmp ANSIBLE_NOCOLOR=1 \
  ANSIBLE_RETRY_FILES_ENABLED=0 PYTHONDONTWRITEBYTECODE=1
now() { date +%s.%N; }

command=$(sed -n 's/^    \(xargs -P .*\)$/\1/p' "$ROOT/README.md")
[ -n "$command" ] || { echo "no xargs command in README.md" >&2; exit 1; }
mkdir "$WORK/out"
t0=$(now)
(cd "$WORK" && bash -c "$command")
t1=$(now)

playbook() { # expected changed hosts
  local out=$WORK/playbook.out got
  ansible-playbook -i "$WORK/inventory.yml" --forks 10 "$WORK/rename.yml" >"$out" 2>&1 ||
    { tail -n 30 "$out"; exit 1; }
  got=$(grep -c 'changed=1 .*failed=0' "$out" || true)
  [ "$got" -eq "$1" ] || { echo "playbook changed $got devices, not $1" >&2; tail -n 30 "$out"; exit 1; }
}
t2=$(now); playbook "$N"; t3=$(now)
playbook 0; t4=$(now)

model=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
echo "machine: ${model:-unknown CPU}, $(nproc) cores; $N device simulators on loopback"
awk -v n="$N" -v t0="$t0" -v t1="$t1" -v t2="$t2" -v t3="$t3" -v t4="$t4" 'BEGIN {
  x = t1 - t0; p = t3 - t2; q = t4 - t3;
  printf "  xargs -P 8 velquin_publish (README)   : %7.1f devices/s  (%.2f s)\n", n / x, x;
  printf "  playbook, forks 10, %3d changed        : %7.1f devices/s  (%.2f s)\n", n, n / p, p;
  printf "  playbook again, 0 changed             : %7.1f devices/s  (%.2f s)\n", n / q, q;
  printf "  ratio playbook/xargs: %.2f\n", x / p;
}'
