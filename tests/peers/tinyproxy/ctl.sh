#!/bin/bash
# tinyproxy test peer: an HTTP proxy unlike squid. It answers CONNECT with
# "HTTP/1.0 200 Connection established" and a Proxy-agent header, and closes every
# connection after one answer, even an HTTP/1.1 one without "Connection: close".
# Names are looked up in /etc/hosts only (see loopback_resolver in common.sh).
#   ctl.sh start DIR PORT   daemonises; pid in DIR/tinyproxy.pid
#   ctl.sh stop  DIR
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../common.sh"
TINYPROXY=/usr/bin/tinyproxy

ctl_start() {
  local P=${1:?PORT} user=""
  refuse_taken "$P"
  # as root it must drop to another user; that user writes its log and pid file in DIR
  if [ "$(id -u)" = 0 ]; then user=$'User nobody\nGroup nogroup'; chown nobody:nogroup "$D"; fi
  fill "$HERE/tinyproxy.conf.tmpl" DIR="$D" PORT="$P" USER="$user" > "$D/tinyproxy.conf"
  loopback_resolver "$D/resolv.conf"
  "${LOOPBACK_DNS[@]}" "$TINYPROXY" -c "$D/tinyproxy.conf" </dev/null >>"$D/stdout.log" 2>&1
  wait_daemon "$P" "$D/tinyproxy.pid"
  echo "tinyproxy up: http://127.0.0.1:$P pid $(cat "$D/tinyproxy.pid")"
}

ctl_stop() { stop_pid_file "$D/tinyproxy.pid" 5; }

ctl_main "$@"
