#!/bin/bash
# squid test peer: HTTP forward proxy, CONNECT allowed to any port.
#   ctl.sh start DIR PORT   daemonises; pid in DIR/squid.pid
#   ctl.sh stop  DIR
# Env: PROXY_USER and PROXY_PASS set: proxy authentication is required; unset: none.
#      PROXY_SCHEMES   the schemes offered, in this order (default "basic"), of
#        basic   basic_ncsa_auth, PROXY_USER:PROXY_PASS
#        digest  digest_file_auth, PROXY_DIGEST_USER:PROXY_DIGEST_PASS
#        ntlm    ntlm_fake_auth: completes the handshake, accepts any credentials
#      PROXY_REALM     realm of basic and digest (default "kbv proxy")
#      PROXY_HOSTS     names squid maps to 127.0.0.1 in a hosts file of its own
#                      (DIR/hosts) instead of /etc/hosts
# As root, squid runs as user "proxy": DIR/logs and DIR/tmp are given to it.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../common.sh"
SQUID=/usr/sbin/squid
HELPERS=/usr/lib/squid

ctl_start() {
  local P=${1:?PORT} auth="" scheme f hosts=/etc/hosts realm=${PROXY_REALM:-kbv proxy}
  refuse_taken "$P"
  mkdir -p "$D"/{logs,tmp}
  if [ -n "${PROXY_USER:-}" ]; then
    # Squid offers the schemes in the order of their auth_param lines.
    for scheme in ${PROXY_SCHEMES:-basic}; do
      case $scheme in
      basic)
        echo "$PROXY_USER:$(openssl passwd -apr1 "${PROXY_PASS:?PROXY_PASS}")" > "$D/passwd"
        auth+="auth_param basic program $HELPERS/basic_ncsa_auth $D/passwd
auth_param basic children 2
auth_param basic realm $realm
" ;;
      digest)
        # digest_file_auth reads plain "user:password" lines
        echo "${PROXY_DIGEST_USER:?PROXY_DIGEST_USER}:${PROXY_DIGEST_PASS:?PROXY_DIGEST_PASS}" \
          > "$D/digest_passwd"
        auth+="auth_param digest program $HELPERS/digest_file_auth $D/digest_passwd
auth_param digest children 2
auth_param digest realm $realm
" ;;
      ntlm)
        auth+="auth_param ntlm program $HELPERS/ntlm_fake_auth
auth_param ntlm children 2
" ;;
      *) echo "unknown scheme $scheme in PROXY_SCHEMES" >&2; return 2 ;;
      esac
    done
    # read by the helpers, which run as "proxy"
    for f in "$D/passwd" "$D/digest_passwd"; do [ ! -f "$f" ] || chmod 644 "$f"; done
    auth+="acl authed proxy_auth REQUIRED
http_access deny !authed"
  fi
  if [ -n "${PROXY_HOSTS:-}" ]; then
    hosts=$D/hosts
    echo "127.0.0.1 $PROXY_HOSTS" > "$hosts"
    chmod 644 "$hosts"
  fi
  fill "$HERE/squid.conf.tmpl" DIR="$D" PORT="$P" AUTH="$auth" HOSTS_FILE="$hosts" > "$D/squid.conf"
  if [ "$(id -u)" = 0 ]; then chown -R proxy:proxy "$D/logs" "$D/tmp"; chmod 755 "$D"; fi
  "$SQUID" -k parse -f "$D/squid.conf" > "$D/logs/parse.log" 2>&1 || { cat "$D/logs/parse.log" >&2; exit 1; }
  "$SQUID" -f "$D/squid.conf" </dev/null >>"$D/logs/stdout.log" 2>&1
  wait_daemon "$P" "$D/squid.pid"
  echo "squid up: http://127.0.0.1:$P${PROXY_USER:+ (auth: ${PROXY_SCHEMES:-basic})} pid $(cat "$D/squid.pid")"
}

# SIGINT: squid shuts down without waiting shutdown_lifetime (SIGTERM would);
# it still needs ~2 s to exit.
ctl_stop() { stop_pid_file "$D/squid.pid" 5 INT; }

ctl_main "$@"
