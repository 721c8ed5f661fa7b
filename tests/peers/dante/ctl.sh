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

ctl_start() {
  local P=${1:?PORT}
  refuse_taken "$P"
  # its temporary files; the children run as "nobody"
  mkdir -p "$D/tmp"; chmod 1777 "$D/tmp"
  fill "$HERE/danted.conf.tmpl" DIR="$D" PORT="$P" V6="$(v6_comment)" > "$D/danted.conf"
  export TMPDIR="$D/tmp"
  "$DANTED" -V -f "$D/danted.conf" >"$D/verify.log" 2>&1 || { cat "$D/verify.log" >&2; exit 1; }
  # it resolves SOCKS 5 host names, and every name in a request against its rules
  loopback_resolver "$D/resolv.conf"
  "${LOOPBACK_DNS[@]}" "$DANTED" -D -f "$D/danted.conf" -p "$D/danted.pid" \
    </dev/null >>"$D/stdout.log" 2>&1
  wait_daemon "$P" "$D/danted.pid"
  echo "danted up: socks://127.0.0.1:$P pid $(cat "$D/danted.pid")"
}

# the main process ends its children (negotiate, request, io) itself
ctl_stop() { stop_pid_file "$D/danted.pid" 5; }

ctl_main "$@"
