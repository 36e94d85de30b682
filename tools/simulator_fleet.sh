# Sourced by scripts that need several device simulators on loopback (the fleet tests,
# benchmarks and the Ansible try-out):
#   start_simulators SIM N DIR   starts N simulators (each ends with the shell that started
#                                it), then waits for each one's port; the PIDs go to
#                                SIM_PIDS and the ports, in order, to SIM_PORTS
#   stop_simulators              ends the simulators started here, by PID
SIM_PIDS=()
SIM_PORTS=()

start_simulators() {
  local sim=$1 n=$2 dir=$3 i port
  for i in $(seq 1 "$n"); do
    "$sim" --port 0 --die-with-parent >"$dir/sim$i.out" 2>&1 &
    SIM_PIDS+=($!)
  done
  for i in $(seq 1 "$n"); do
    port=""
    for _ in $(seq 1 300); do
      # Only a whole line: the number may still be half written.
      [ "$(wc -l <"$dir/sim$i.out")" -ge 1 ] && port=$(head -n 1 "$dir/sim$i.out")
      [ -n "$port" ] && break
      sleep 0.1
    done
    [ -n "$port" ] || { echo "simulator $i did not start" >&2; return 1; }
    SIM_PORTS+=("$port")
  done
}

stop_simulators() {
  local p
  for p in "${SIM_PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${SIM_PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
}
