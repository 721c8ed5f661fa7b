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

# stop_peers DIR: stops every peer start.sh may have started in DIR, in parallel
# (squid alone needs ~2 s). Each ctl.sh stop does nothing without its pid file.
stop_peers() {
  local here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  "$here/nginx/ctl.sh" stop "$1/nginx" &
  "$here/httpbin/ctl.sh" stop "$1/httpbin" &
  "$here/squid/ctl.sh" stop "$1/squid" &
  "$here/squid/ctl.sh" stop "$1/squid-auth" &
  "$here/dante/ctl.sh" stop "$1/dante" &
  "$here/microsocks/ctl.sh" stop "$1/microsocks" &
  "$here/socks4a/ctl.sh" stop "$1/socks4a" &
  "$here/tinyproxy/ctl.sh" stop "$1/tinyproxy" &
  wait || true
}

# loopback_resolver FILE: sets LOOPBACK_DNS to a command prefix that runs a
# program with its own /etc/resolv.conf (a private mount namespace) naming only a
# nameserver on 127.0.0.1, where nothing answers. A proxy that resolves with the
# C library then finds localhost in /etc/hosts as before, and fails at once on any
# other name instead of asking the nameserver off this host. Without the right
# to do so (not root), the prefix is empty and the program runs as it is.
loopback_resolver() {
  LOOPBACK_DNS=()
  echo "nameserver 127.0.0.1" > "$1"; chmod 644 "$1"
  unshare -m --propagation private true 2>/dev/null || return 0
  LOOPBACK_DNS=(unshare -m --propagation private
    sh -c 'f=$1; shift; mount --bind "$f" /etc/resolv.conf && exec "$@"' sh "$1")
}
