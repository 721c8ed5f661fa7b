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

ctl_start() {
  local P=${1:?PORT} auth=""
  refuse_taken "$P"
  mkdir -p "$D"/{logs,tmp}
  if [ -n "${PROXY_USER:-}" ]; then
    echo "$PROXY_USER:$(openssl passwd -apr1 "${PROXY_PASS:?PROXY_PASS}")" > "$D/passwd"
    chmod 644 "$D/passwd"   # read by the helper, which runs as "proxy"
    auth="auth_param basic program /usr/lib/squid/basic_ncsa_auth $D/passwd
auth_param basic children 2
auth_param basic realm kbv proxy
acl authed proxy_auth REQUIRED
http_access deny !authed"
  fi
  fill "$HERE/squid.conf.tmpl" DIR="$D" PORT="$P" AUTH="$auth" > "$D/squid.conf"
  if [ "$(id -u)" = 0 ]; then chown -R proxy:proxy "$D/logs" "$D/tmp"; chmod 755 "$D"; fi
  "$SQUID" -k parse -f "$D/squid.conf" > "$D/logs/parse.log" 2>&1 || { cat "$D/logs/parse.log" >&2; exit 1; }
  "$SQUID" -f "$D/squid.conf" </dev/null >>"$D/logs/stdout.log" 2>&1
  wait_daemon "$P" "$D/squid.pid"
  echo "squid up: http://127.0.0.1:$P${PROXY_USER:+ (Basic auth)} pid $(cat "$D/squid.pid")"
}

# SIGINT: squid shuts down without waiting shutdown_lifetime (SIGTERM would);
# it still needs ~2 s to exit.
ctl_stop() { stop_pid_file "$D/squid.pid" 5 INT; }

ctl_main "$@"
