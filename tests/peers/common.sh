# Helpers shared by the peer scripts (sourced, not run).

# ctl_main "$@": the command line of a peer's ctl.sh. "start DIR ARGS..." calls
# its ctl_start ARGS..., "stop DIR" its ctl_stop; both find DIR, made and
# absolute, in D.
ctl_main() {
  local cmd=${1:?usage: ctl.sh start|stop DIR [ARGS...]}
  D=${2:?DIR required}
  mkdir -p "$D"; D=$(cd "$D" && pwd)
  shift 2
  case $cmd in
  start) ctl_start "$@" ;;
  stop) ctl_stop ;;
  *) echo "unknown command $cmd" >&2; exit 2 ;;
  esac
}

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

# wait_daemon PORT PID_FILE: a daemon is up once PORT answers; its pid file
# may come a moment after the port.
wait_daemon() {
  local i
  wait_port "$1" 10
  for ((i = 0; i < 100; i++)); do [ -s "$2" ] && break; sleep 0.05; done
}

# spawn PORT PID_FILE LOG CMD...: runs CMD in the background in its own
# session (out of reach of the caller's terminal signals, like the daemons) and
# waits for PORT; shows LOG when CMD died.
spawn() {
  local port=$1 pid_file=$2 log=$3
  shift 3
  setsid "$@" </dev/null >>"$log" 2>&1 &
  echo $! > "$pid_file"
  wait_port "$port" 10
  alive "$(cat "$pid_file")" || { cat "$log" >&2; return 1; }
}

# stop_pid_file FILE SECONDS [SIGNAL]: SIGNAL (TERM) to the pid in FILE,
# SIGKILL after SECONDS.
stop_pid_file() {
  local pid i
  [ -s "$1" ] || return 0
  pid=$(cat "$1")
  kill "-${3:-TERM}" "$pid" 2>/dev/null || true
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
  "$here/squid/ctl.sh" stop "$1/squid-multiauth" &
  "$here/apache2/ctl.sh" stop "$1/apache2" &
  "$here/dante/ctl.sh" stop "$1/dante" &
  "$here/microsocks/ctl.sh" stop "$1/microsocks" &
  "$here/socks4a/ctl.sh" stop "$1/socks4a" &
  "$here/tinyproxy/ctl.sh" stop "$1/tinyproxy" &
  "$here/openai/ctl.sh" stop "$1/openai" &
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

# v6_comment: "#", to comment out the ::1 lines of a config, where this host
# has no IPv6 loopback; else nothing.
v6_comment() { grep -q '^00000000000000000000000000000001' /proc/net/if_inet6 2>/dev/null || echo "#"; }

# fill TEMPLATE NAME=VALUE...: TEMPLATE with each @NAME@ replaced by VALUE
# (taken literally; unknown @...@ are left alone).
fill() {
  awk 'BEGIN { for (i = 2; i < ARGC; i++) { e = index(ARGV[i], "=")
                 v[substr(ARGV[i], 1, e - 1)] = substr(ARGV[i], e + 1); delete ARGV[i] } }
       { out = ""
         while (match($0, /@[A-Z0-9_]+@/)) {
           k = substr($0, RSTART + 1, RLENGTH - 2)
           out = out substr($0, 1, RSTART - 1) ((k in v) ? v[k] : "@" k "@")
           $0 = substr($0, RSTART + RLENGTH) }
         print out $0 }' "$@"
}
