# Sourced by the scripts that start processes of their own.
# stop PID: SIGTERM, then SIGKILL after 2 s; waits for it. Nothing for an empty PID.
stop() {
  local pid=$1 i
  [[ -n $pid ]] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 40; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}
