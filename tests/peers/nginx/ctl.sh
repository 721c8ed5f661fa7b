#!/bin/bash
# nginx test peer.
#   ctl.sh start DIR HTTP_PORT HTTPS_PORT TLS12_PORT TLS13_PORT H2_PORT \
#                OTHERNAME_PORT EXPIRED_PORT UNKNOWNCA_PORT CLIENTCERT_PORT
#                                           daemonises; pid in DIR/nginx.pid
#   ctl.sh stop  DIR
# Env: FILE_SIZES="0 1 1024 65536 1048576 104857600"  DIR/www/files/size-<bytes>.bin
#      BASIC_USER=user BASIC_PASS=pass      for /basic/
# Clients trust DIR/certs/ca.crt; the certificate names localhost, 127.0.0.1 and ::1.
# DIR/certs also holds the certificates of the TLS variants and the client's (mkcerts.sh).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../common.sh"
NGINX=/usr/sbin/nginx
cmd=${1:?usage: ctl.sh start|stop DIR [PORTS...]}
D=${2:?DIR required}
mkdir -p "$D"; D=$(cd "$D" && pwd)

# Deterministic incompressible content: the AES-128-CTR keystream of zeros.
gen() { # gen BYTES FILE
  openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f \
     -iv 00000000000000000000000000000000 -in /dev/zero 2>/dev/null | head -c "$1" > "$2" || true
  [ "$(stat -c %s "$2")" = "$1" ] || { echo "gen $2 failed" >&2; return 1; }
}

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

PORT_NAMES=(HTTP HTTPS TLS12 TLS13 H2 OTHERNAME EXPIRED UNKNOWNCA CLIENTCERT)

case $cmd in
start)
  shift 2
  [ $# = ${#PORT_NAMES[@]} ] || { echo "ctl.sh start DIR needs the ports ${PORT_NAMES[*]}" >&2; exit 2; }
  ports=("$@"); HP=$1; SP=$2
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
  chmod 755 "$D" "$D/www" "$D/www/files"; chmod 644 "$D/htpasswd"

  user_line=""; [ "$(id -u)" = 0 ] && user_line="user root;"   # workers may read anything under DIR
  echo_mod=""; echo_locs=""
  if [ -f /usr/lib/nginx/modules/ngx_http_echo_module.so ]; then
    echo_mod="load_module /usr/lib/nginx/modules/ngx_http_echo_module.so;"
    echo_locs=$(cat "$HERE/echo-locations.conf")
  fi
  v6="#"
  grep -q '^00000000000000000000000000000001' /proc/net/if_inet6 2>/dev/null && v6=""
  vars=(DIR="$D" USER_LINE="$user_line" ECHO_MODULE="$echo_mod" ECHO_LOCATIONS="$echo_locs" V6="$v6")
  for i in "${!PORT_NAMES[@]}"; do vars+=("${PORT_NAMES[i]}_PORT=${ports[i]}"); done
  fill "$HERE/nginx.conf.tmpl" "${vars[@]}" > "$D/nginx.conf"
  cp "$HERE/tls-location.conf" "$D/"
  # -e: the error log used before the config is read (else /var/log/nginx/error.log)
  args=(-p "$D" -c "$D/nginx.conf" -e "$D/logs/error.log")
  "$NGINX" -t -q "${args[@]}"
  "$NGINX" "${args[@]}" </dev/null >>"$D/logs/stdout.log" 2>&1
  for p in "${ports[@]}"; do wait_port "$p" 10; done
  echo "nginx up: http://127.0.0.1:$HP https://localhost:$SP (TLS variants on ${ports[*]:2}) pid $(cat "$D/nginx.pid")"
  ;;
stop)
  stop_pid_file "$D/nginx.pid" 5
  ;;
*) echo "unknown command $cmd" >&2; exit 2 ;;
esac
