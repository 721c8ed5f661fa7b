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
cmd=${1:?usage: ctl.sh start|stop DIR [PORT]}
D=${2:?DIR required}
mkdir -p "$D"; D=$(cd "$D" && pwd)

case $cmd in
start)
  P=${3:?PORT}
  refuse_taken "$P"
  user=""
  # as root it must drop to another user; that user writes its log and pid file in DIR
  if [ "$(id -u)" = 0 ]; then user=$'User nobody\nGroup nogroup'; chown nobody:nogroup "$D"; fi
  awk -v dir="$D" -v port="$P" -v user="$user" \
    '{ gsub(/@DIR@/, dir); gsub(/@PORT@/, port); if ($0 == "@USER@") $0 = user; print }' \
    "$HERE/tinyproxy.conf.tmpl" > "$D/tinyproxy.conf"
  loopback_resolver "$D/resolv.conf"
  "${LOOPBACK_DNS[@]}" "$TINYPROXY" -c "$D/tinyproxy.conf" </dev/null >>"$D/stdout.log" 2>&1
  wait_port "$P" 10
  for ((i = 0; i < 100; i++)); do [ -s "$D/tinyproxy.pid" ] && break; sleep 0.05; done
  echo "tinyproxy up: http://127.0.0.1:$P pid $(cat "$D/tinyproxy.pid")"
  ;;
stop)
  stop_pid_file "$D/tinyproxy.pid" 5
  ;;
*) echo "unknown command $cmd" >&2; exit 2 ;;
esac
