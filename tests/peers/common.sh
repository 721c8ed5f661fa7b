# Helpers shared by the peer scripts (sourced, not run).

# alive PID: the process exists and is not a zombie (a slow reaper keeps
# exited daemons as zombies for a while, so kill -0 is not enough).
alive() { local st; st=$(cat "/proc/$1/stat" 2>/dev/null) || return 1; st=${st##*) }; [[ ${st%% *} != Z ]]; }

# answers PORT: something accepts connections on 127.0.0.1:PORT.
answers() { timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null; }

# wait_port PORT SECONDS
wait_port() {
  local i
  for ((i = 0; i < $2 * 20; i++)); do
    answers "$1" && return 0
    sleep 0.05
  done
  echo "port $1 did not open within $2 s" >&2; return 1
}

# refuse_taken PORT...: a stale server on a port would pass the readiness probe.
refuse_taken() {
  local p
  for p in "$@"; do
    answers "$p" && { echo "port $p already in use" >&2; return 1; }
  done
  return 0
}

# stop_pid_file FILE SECONDS: SIGTERM the pid in FILE, SIGKILL after SECONDS.
stop_pid_file() {
  local pid i
  [ -s "$1" ] || return 0
  pid=$(cat "$1")
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < $2 * 20; i++)); do alive "$pid" || break; sleep 0.05; done
  if alive "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
  rm -f "$1"
}
