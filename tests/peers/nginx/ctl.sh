#!/bin/bash
# nginx test peer.
#   ctl.sh start DIR HTTP_PORT HTTPS_PORT TLS12_PORT TLS13_PORT H2_PORT \
#                OTHERNAME_PORT EXPIRED_PORT UNKNOWNCA_PORT CLIENTCERT_PORT
#                                           daemonises; pid in DIR/nginx.pid
#   ctl.sh stop  DIR
# Env: FILE_SIZES="0 1 1024 65536 1048576 104857600"  DIR/www/files/size-<bytes>.bin
#      BASIC_USER=user BASIC_PASS=pass      for /basic/
#      APACHE_PORT=   the apache2 peer's port, target of /redir/to-apache (unset: port 1)
# /auth/basic/ accepts the fixed users basicuser:basicpass, "Aladdin:open sesame" and
# emptypass with an empty password; /auth/basic-utf8/ only utf8user:pässwörd in UTF-8.
# Clients trust DIR/certs/ca.crt; the certificate names localhost, 127.0.0.1 and ::1.
# DIR/certs also holds the certificates of the TLS variants and the client's (mkcerts.sh).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../common.sh"
NGINX=/usr/sbin/nginx

# Deterministic incompressible content: the AES-128-CTR keystream of zeros.
gen() { # gen BYTES FILE
  openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f \
     -iv 00000000000000000000000000000000 -in /dev/zero 2>/dev/null | head -c "$1" > "$2" || true
  [ "$(stat -c %s "$2")" = "$1" ] || { echo "gen $2 failed" >&2; return 1; }
}

PORT_NAMES=(HTTP HTTPS TLS12 TLS13 H2 OTHERNAME EXPIRED UNKNOWNCA CLIENTCERT)

ctl_start() {
  [ $# = ${#PORT_NAMES[@]} ] || { echo "ctl.sh start DIR needs the ports ${PORT_NAMES[*]}" >&2; exit 2; }
  local ports=("$@") HP=$1 SP=$2 n p i user_line echo_mod echo_locs vars args utf8
  refuse_taken "${ports[@]}"
  mkdir -p "$D"/{logs,tmp,www/files,certs}
  "$HERE/../mkcerts.sh" "$D/certs"
  for n in ${FILE_SIZES:-0 1 1024 65536 1048576 104857600}; do
    [ -f "$D/www/files/size-$n.bin" ] || gen "$n" "$D/www/files/size-$n.bin"
  done
  # compressible text: "<n> Lorem ipsum dolor sit amet, consectetur adipiscing elit." for n = 1..2000
  awk 'BEGIN { for (i = 1; i <= 2000; i++) print i " Lorem ipsum dolor sit amet, consectetur adipiscing elit." }' \
    > "$D/www/files/lorem.txt"
  echo "${BASIC_USER:-user}:$(openssl passwd -apr1 "${BASIC_PASS:-pass}")" > "$D/htpasswd"
  # /auth/basic/: three users, one with a blank in the password, one with an empty one
  { echo "basicuser:$(openssl passwd -apr1 basicpass)"
    echo "Aladdin:$(openssl passwd -apr1 'open sesame')"
    echo "emptypass:$(openssl passwd -apr1 '')"; } > "$D/htpasswd-auth"
  mkdir -p "$D/www/auth/basic"
  echo "hello from /auth/basic/" > "$D/www/auth/basic/hello.txt"
  # /auth/basic-utf8/: the exact Authorization value of utf8user:pässwörd in UTF-8
  # (this file is UTF-8), as a case-sensitive regular expression
  utf8=$(printf '%s' 'utf8user:pässwörd' | base64 -w0 | sed 's/[^A-Za-z0-9]/\\&/g')
  chmod 755 "$D" "$D/www" "$D/www/files" "$D/www/auth" "$D/www/auth/basic"
  chmod 644 "$D/htpasswd" "$D/htpasswd-auth" "$D/www/auth/basic/hello.txt"

  user_line=""; [ "$(id -u)" = 0 ] && user_line="user root;"   # workers may read anything under DIR
  echo_mod=""; echo_locs=""
  if [ -f /usr/lib/nginx/modules/ngx_http_echo_module.so ]; then
    echo_mod="load_module /usr/lib/nginx/modules/ngx_http_echo_module.so;"
    echo_locs=$(cat "$HERE/echo-locations.conf")
  fi
  vars=(DIR="$D" USER_LINE="$user_line" ECHO_MODULE="$echo_mod" ECHO_LOCATIONS="$echo_locs" V6="$(v6_comment)"
        APACHE_PORT="${APACHE_PORT:-1}" UTF8_BASIC_RE="^[Bb][Aa][Ss][Ii][Cc] +$utf8\$")
  for i in "${!PORT_NAMES[@]}"; do vars+=("${PORT_NAMES[i]}_PORT=${ports[i]}"); done
  fill "$HERE/nginx.conf.tmpl" "${vars[@]}" > "$D/nginx.conf"
  cp "$HERE/tls-location.conf" "$D/"
  # -e: the error log used before the config is read (else /var/log/nginx/error.log)
  args=(-p "$D" -c "$D/nginx.conf" -e "$D/logs/error.log")
  "$NGINX" -t -q "${args[@]}"
  "$NGINX" "${args[@]}" </dev/null >>"$D/logs/stdout.log" 2>&1
  for p in "${ports[@]}"; do wait_port "$p" 10; done
  echo "nginx up: http://127.0.0.1:$HP https://localhost:$SP (TLS variants on ${ports[*]:2}) pid $(cat "$D/nginx.pid")"
}

ctl_stop() { stop_pid_file "$D/nginx.pid" 5; }

ctl_main "$@"
