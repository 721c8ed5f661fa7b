#!/bin/bash
# nginx test peer.
#   ctl.sh start DIR HTTP_PORT HTTPS_PORT   daemonises; pid in DIR/nginx.pid
#   ctl.sh stop  DIR
# Env: FILE_SIZES="0 1 1024 65536 1048576"  DIR/www/files/size-<bytes>.bin
#      BASIC_USER=user BASIC_PASS=pass      for /basic/
# Clients trust DIR/certs/ca.crt; the certificate names localhost, 127.0.0.1 and ::1.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../common.sh"
NGINX=/usr/sbin/nginx
cmd=${1:?usage: ctl.sh start|stop DIR [HTTP_PORT HTTPS_PORT]}
D=${2:?DIR required}
mkdir -p "$D"; D=$(cd "$D" && pwd)

# Deterministic incompressible content: the AES-128-CTR keystream of zeros.
gen() { # gen BYTES FILE
  openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f \
     -iv 00000000000000000000000000000000 -in /dev/zero 2>/dev/null | head -c "$1" > "$2" || true
  [ "$(stat -c %s "$2")" = "$1" ] || { echo "gen $2 failed" >&2; return 1; }
}

case $cmd in
start)
  HP=${3:?HTTP_PORT}; SP=${4:?HTTPS_PORT}
  refuse_taken "$HP" "$SP"
  mkdir -p "$D"/{logs,tmp,www/files,certs}
  "$HERE/../mkcerts.sh" "$D/certs"
  for n in ${FILE_SIZES:-0 1 1024 65536 1048576}; do
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
  l6h=""; l6s=""
  if grep -q '^00000000000000000000000000000001' /proc/net/if_inet6 2>/dev/null; then
    l6h="listen [::1]:$HP;"; l6s="listen [::1]:$SP ssl;"
  fi
  awk -v dir="$D" -v hp="$HP" -v sp="$SP" -v ul="$user_line" -v em="$echo_mod" \
      -v el="$echo_locs" -v l6h="$l6h" -v l6s="$l6s" '{
        gsub(/@DIR@/, dir); gsub(/@HTTP_PORT@/, hp); gsub(/@HTTPS_PORT@/, sp);
        gsub(/@USER_LINE@/, ul); gsub(/@ECHO_MODULE@/, em);
        gsub(/@LISTEN6_HTTP@/, l6h); gsub(/@LISTEN6_HTTPS@/, l6s);
        if ($0 ~ /^@ECHO_LOCATIONS@$/) { print el; next }
        print }' "$HERE/nginx.conf.tmpl" > "$D/nginx.conf"
  # -e: the error log used before the config is read (else /var/log/nginx/error.log)
  args=(-p "$D" -c "$D/nginx.conf" -e "$D/logs/error.log")
  "$NGINX" -t -q "${args[@]}"
  "$NGINX" "${args[@]}" </dev/null >>"$D/logs/stdout.log" 2>&1
  wait_port "$HP" 10; wait_port "$SP" 10
  echo "nginx up: http://127.0.0.1:$HP https://localhost:$SP pid $(cat "$D/nginx.pid")"
  ;;
stop)
  stop_pid_file "$D/nginx.pid" 5
  ;;
*) echo "unknown command $cmd" >&2; exit 2 ;;
esac
