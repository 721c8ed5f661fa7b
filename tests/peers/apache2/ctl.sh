#!/bin/bash
# apache2 test peer: Digest authentication (mod_auth_digest), plain files, and an
# access log with the Authorization and Cookie request headers.
#   ctl.sh start DIR PORT   daemonises; pid in DIR/apache2.pid, log DIR/logs/access.log
#   ctl.sh stop  DIR
# Env: DIGEST_USER=digestuser DIGEST_PASS=digestpass   (realm "kbv-digest")
# As root, the children run as www-data (apache refuses to serve as root): DIR is
# made traversable and its files readable; the parent (root) writes the logs.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../common.sh"
APACHE=/usr/sbin/apache2
REALM=kbv-digest

ctl_start() {
  local P=${1:?PORT} user=${DIGEST_USER:-digestuser} pass=${DIGEST_PASS:-digestpass} ug="" d
  refuse_taken "$P"
  mkdir -p "$D"/{logs,run,www/digest,www/digest-stale,www/plain}
  for d in digest digest-stale plain; do echo "hello from /$d/" > "$D/www/$d/hello.txt"; done
  # htdigest format: user:realm:MD5(user:realm:password)
  printf '%s:%s:%s\n' "$user" "$REALM" \
    "$(printf '%s' "$user:$REALM:$pass" | md5sum | cut -d' ' -f1)" > "$D/htdigest"
  if [ "$(id -u)" = 0 ]; then ug=$'User www-data\nGroup www-data'; fi
  chmod 755 "$D"; chmod -R a+rX "$D/www" "$D/htdigest"
  fill "$HERE/httpd.conf.tmpl" DIR="$D" PORT="$P" REALM="$REALM" USER_GROUP="$ug" > "$D/httpd.conf"
  "$APACHE" -t -f "$D/httpd.conf" > "$D/logs/configtest.log" 2>&1 ||
    { cat "$D/logs/configtest.log" >&2; return 1; }
  "$APACHE" -f "$D/httpd.conf" -k start </dev/null >>"$D/logs/stdout.log" 2>&1
  wait_daemon "$P" "$D/apache2.pid"
  echo "apache2 up: http://127.0.0.1:$P pid $(cat "$D/apache2.pid")"
}

# SIGTERM: the parent stops its children, waits for them, then exits.
ctl_stop() { stop_pid_file "$D/apache2.pid" 5; }

ctl_main "$@"
