#!/bin/bash
# dante-server test peer: SOCKS 4 and SOCKS 5 without authentication.
#   ctl.sh start DIR PORT   daemonises; pid in DIR/danted.pid
#   ctl.sh stop  DIR
# Listens on 127.0.0.1 (and ::1), connects to loopback targets only. Names are
# looked up in /etc/hosts only (see loopback_resolver in common.sh).
# dante ignores the host name of a SOCKS 4A request (see socks4a/ for that).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../common.sh"
DANTED=/usr/sbin/danted
cmd=${1:?usage: ctl.sh start|stop DIR [PORT]}
D=${2:?DIR required}
mkdir -p "$D"; D=$(cd "$D" && pwd)

case $cmd in
start)
  P=${3:?PORT}
  refuse_taken "$P"
  # its temporary files; the children run as "nobody"
  mkdir -p "$D/tmp"; chmod 1777 "$D/tmp"
  v6="#"
  grep -q '^00000000000000000000000000000001' /proc/net/if_inet6 2>/dev/null && v6=""
  sed -e "s|@DIR@|$D|g" -e "s|@PORT@|$P|g" -e "s|@V6@|$v6|g" \
    "$HERE/danted.conf.tmpl" > "$D/danted.conf"
  export TMPDIR="$D/tmp"
  "$DANTED" -V -f "$D/danted.conf" >"$D/verify.log" 2>&1 || { cat "$D/verify.log" >&2; exit 1; }
  # it resolves SOCKS 5 host names, and every name in a request against its rules
  loopback_resolver "$D/resolv.conf"
  "${LOOPBACK_DNS[@]}" "$DANTED" -D -f "$D/danted.conf" -p "$D/danted.pid" \
    </dev/null >>"$D/stdout.log" 2>&1
  wait_port "$P" 10
  for ((i = 0; i < 100; i++)); do [ -s "$D/danted.pid" ] && break; sleep 0.05; done
  echo "danted up: socks://127.0.0.1:$P pid $(cat "$D/danted.pid")"
  ;;
stop)
  # the main process ends its children (negotiate, request, io) itself
  stop_pid_file "$D/danted.pid" 5
  ;;
*) echo "unknown command $cmd" >&2; exit 2 ;;
esac
