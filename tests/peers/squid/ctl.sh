#!/bin/bash
# squid test peer: HTTP forward proxy, CONNECT allowed to any port.
#   ctl.sh start DIR PORT   daemonises; pid in DIR/squid.pid
#   ctl.sh stop  DIR
# Env: PROXY_USER and PROXY_PASS set: Basic proxy authentication is required
#      (basic_ncsa_auth, realm "kbv proxy"); unset: no authentication.
# As root, squid runs as user "proxy": DIR/logs and DIR/tmp are given to it.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../common.sh"
SQUID=/usr/sbin/squid
cmd=${1:?usage: ctl.sh start|stop DIR [PORT]}
D=${2:?DIR required}
mkdir -p "$D"; D=$(cd "$D" && pwd)

case $cmd in
start)
  P=${3:?PORT}
  refuse_taken "$P"
  mkdir -p "$D"/{logs,tmp}
  auth=""
  if [ -n "${PROXY_USER:-}" ]; then
    echo "$PROXY_USER:$(openssl passwd -apr1 "${PROXY_PASS:?PROXY_PASS}")" > "$D/passwd"
    chmod 644 "$D/passwd"   # read by the helper, which runs as "proxy"
    auth="auth_param basic program /usr/lib/squid/basic_ncsa_auth $D/passwd
auth_param basic children 2
auth_param basic realm kbv proxy
acl authed proxy_auth REQUIRED
http_access deny !authed"
  fi
  # awk, not sed: the auth lines span several lines
  awk -v dir="$D" -v port="$P" -v auth="$auth" \
    '{ gsub(/@DIR@/, dir); gsub(/@PORT@/, port); if ($0 == "@AUTH@") $0 = auth; print }' \
    "$HERE/squid.conf.tmpl" > "$D/squid.conf"
  if [ "$(id -u)" = 0 ]; then chown -R proxy:proxy "$D/logs" "$D/tmp"; chmod 755 "$D"; fi
  "$SQUID" -k parse -f "$D/squid.conf" > "$D/logs/parse.log" 2>&1 || { cat "$D/logs/parse.log" >&2; exit 1; }
  "$SQUID" -f "$D/squid.conf" </dev/null >>"$D/logs/stdout.log" 2>&1
  wait_port "$P" 10
  # the pid file may come a moment after the port
  for ((i = 0; i < 100; i++)); do [ -s "$D/squid.pid" ] && break; sleep 0.05; done
  echo "squid up: http://127.0.0.1:$P${PROXY_USER:+ (Basic auth)} pid $(cat "$D/squid.pid")"
  ;;
stop)
  [ -s "$D/squid.pid" ] || exit 0
  pid=$(cat "$D/squid.pid")
  # SIGINT: squid shuts down without waiting shutdown_lifetime (SIGTERM would);
  # it still needs ~2 s to exit.
  kill -INT "$pid" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do alive "$pid" || break; sleep 0.05; done
  if alive "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
  rm -f "$D/squid.pid"
  ;;
*) echo "unknown command $cmd" >&2; exit 2 ;;
esac
