#!/bin/bash
# Starts the real test peers (nginx, httpbin, proxies, the OpenAI test server) on
# free loopback ports in a new temporary directory and describes them in ENV_FILE:
#   PEER_DIR=<dir>  NGINX_HTTP_PORT=  NGINX_HTTPS_PORT=  NGINX_CA_FILE=
#   NGINX_BASIC_USER=  NGINX_BASIC_PASS=  HTTPBIN_PORT=
#   NGINX_TLS12_PORT=  NGINX_TLS13_PORT=  NGINX_H2_PORT=  NGINX_OTHERNAME_PORT=
#   NGINX_EXPIRED_PORT=  NGINX_UNKNOWNCA_PORT=  NGINX_CLIENTCERT_PORT=
#   NGINX_CERT_DIR=  NGINX_ACCESS_LOG=  SQUID_PORT=
#   SQUID_AUTH_PORT=  SQUID_AUTH_USER=  SQUID_AUTH_PASS=
#   SQUID_MULTIAUTH_PORT=  SQUID_MULTIAUTH_LOG=  SQUID_DIGEST_USER=  SQUID_DIGEST_PASS=
#   APACHE_PORT=  APACHE_ACCESS_LOG=  DIGEST_USER=  DIGEST_PASS=  DANTE_PORT=
#   MICROSOCKS_PORT=  MICROSOCKS_USER=  MICROSOCKS_PASS=  SOCKS4A_PORT=  TINYPROXY_PORT=
#   OPENAI_HTTP_PORT=  OPENAI_HTTPS_PORT=
# Usage: start.sh ENV_FILE      (stop.sh ENV_FILE stops them and removes the directory)
# Needs the Debian packages nginx, libnginx-mod-http-echo, python3-httpbin, gunicorn,
# openssl, squid, dante-server, microsocks, tinyproxy, apache2 (scripts/install-deps).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"
ENV_FILE=${1:?usage: start.sh ENV_FILE}
mkdir -p "$(dirname "$ENV_FILE")"

# free_ports N: N distinct ports that are free on 127.0.0.1 and, where IPv6
# loopback exists, on ::1 (nginx listens on both).
free_ports() {
  /usr/bin/python3 - "$1" <<'PY'
import errno, socket, sys
held, ports = [], []
while len(ports) < int(sys.argv[1]):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    held.append(s)
    port = s.getsockname()[1]
    try:
        s6 = socket.socket(socket.AF_INET6)
        s6.bind(("::1", port))
        held.append(s6)
    except OSError as e:
        if e.errno == errno.EADDRINUSE:
            continue
    ports.append(port)
print(*ports)
PY
}

# Leftovers of an interrupted run (its cleanup never ran).
"$HERE/stop.sh" "$ENV_FILE"

D=$(mktemp -d "${TMPDIR:-/tmp}/kbv-peers.XXXXXX")
chmod 755 "$D"
# Written first, so that stop.sh finds the directory whatever happens below.
echo "PEER_DIR=$D" > "$ENV_FILE"

# Credentials of the proxies and servers that want them.
SQUID_AUTH_USER=pu SQUID_AUTH_PASS=pp MICROSOCKS_USER=mu MICROSOCKS_PASS=mp
SQUID_DIGEST_USER=du SQUID_DIGEST_PASS=dp DIGEST_USER=digestuser DIGEST_PASS=digestpass
# The names the plain squid maps to 127.0.0.1 (its own hosts file).
SQUID_HOSTS="localhost www.kbv.test api.kbv.test kbv.test other.test"

# The three squids and apache2 start side by side (each squid takes ~0.15 s).
start_squids_and_apache() {
  local pids=() pid rc=0
  PROXY_HOSTS=$SQUID_HOSTS "$HERE/squid/ctl.sh" start "$D/squid" "$SQUID_PORT" & pids+=($!)
  PROXY_USER=$SQUID_AUTH_USER PROXY_PASS=$SQUID_AUTH_PASS \
    "$HERE/squid/ctl.sh" start "$D/squid-auth" "$SQUID_AUTH_PORT" & pids+=($!)
  PROXY_SCHEMES="ntlm digest basic" PROXY_REALM=kbv-squid \
    PROXY_USER=$SQUID_AUTH_USER PROXY_PASS=$SQUID_AUTH_PASS \
    PROXY_DIGEST_USER=$SQUID_DIGEST_USER PROXY_DIGEST_PASS=$SQUID_DIGEST_PASS \
    "$HERE/squid/ctl.sh" start "$D/squid-multiauth" "$SQUID_MULTIAUTH_PORT" & pids+=($!)
  DIGEST_USER=$DIGEST_USER DIGEST_PASS=$DIGEST_PASS \
    "$HERE/apache2/ctl.sh" start "$D/apache2" "$APACHE_PORT" & pids+=($!)
  for pid in "${pids[@]}"; do wait "$pid" || rc=1; done
  return $rc
}

# A port can be taken between picking and binding: try again with new ones.
NGINX_TLS=(TLS12 TLS13 H2 OTHERNAME EXPIRED UNKNOWNCA CLIENTCERT)
for attempt in 1 2; do
  read -r HTTP_PORT HTTPS_PORT HTTPBIN_PORT SQUID_PORT SQUID_AUTH_PORT DANTE_PORT MICROSOCKS_PORT \
    SOCKS4A_PORT TINYPROXY_PORT OPENAI_HTTP_PORT OPENAI_HTTPS_PORT APACHE_PORT \
    SQUID_MULTIAUTH_PORT TLS_PORTS < <(free_ports $((13 + ${#NGINX_TLS[@]})))
  read -ra TLS_PORTS <<< "$TLS_PORTS"
  # The OpenAI server serves HTTPS with nginx's certificate: after nginx.
  if APACHE_PORT=$APACHE_PORT \
       "$HERE/nginx/ctl.sh" start "$D/nginx" "$HTTP_PORT" "$HTTPS_PORT" "${TLS_PORTS[@]}" &&
     "$HERE/openai/ctl.sh" start "$D/openai" "$OPENAI_HTTP_PORT" "$OPENAI_HTTPS_PORT" \
       "$D/nginx/certs" &&
     "$HERE/httpbin/ctl.sh" start "$D/httpbin" "$HTTPBIN_PORT" &&
     start_squids_and_apache &&
     "$HERE/dante/ctl.sh" start "$D/dante" "$DANTE_PORT" &&
     "$HERE/microsocks/ctl.sh" start "$D/microsocks" "$MICROSOCKS_PORT" \
       "$MICROSOCKS_USER" "$MICROSOCKS_PASS" &&
     "$HERE/socks4a/ctl.sh" start "$D/socks4a" "$SOCKS4A_PORT" &&
     "$HERE/tinyproxy/ctl.sh" start "$D/tinyproxy" "$TINYPROXY_PORT"; then
    {
      cat <<ENV
PEER_DIR=$D
NGINX_HTTP_PORT=$HTTP_PORT
NGINX_HTTPS_PORT=$HTTPS_PORT
NGINX_CA_FILE=$D/nginx/certs/ca.crt
NGINX_BASIC_USER=${BASIC_USER:-user}
NGINX_BASIC_PASS=${BASIC_PASS:-pass}
HTTPBIN_PORT=$HTTPBIN_PORT
NGINX_CERT_DIR=$D/nginx/certs
NGINX_ACCESS_LOG=$D/nginx/logs/access.log
SQUID_PORT=$SQUID_PORT
SQUID_AUTH_PORT=$SQUID_AUTH_PORT
SQUID_AUTH_USER=$SQUID_AUTH_USER
SQUID_AUTH_PASS=$SQUID_AUTH_PASS
SQUID_MULTIAUTH_PORT=$SQUID_MULTIAUTH_PORT
SQUID_MULTIAUTH_LOG=$D/squid-multiauth/logs/access.log
SQUID_DIGEST_USER=$SQUID_DIGEST_USER
SQUID_DIGEST_PASS=$SQUID_DIGEST_PASS
APACHE_PORT=$APACHE_PORT
APACHE_ACCESS_LOG=$D/apache2/logs/access.log
DIGEST_USER=$DIGEST_USER
DIGEST_PASS=$DIGEST_PASS
DANTE_PORT=$DANTE_PORT
MICROSOCKS_PORT=$MICROSOCKS_PORT
MICROSOCKS_USER=$MICROSOCKS_USER
MICROSOCKS_PASS=$MICROSOCKS_PASS
SOCKS4A_PORT=$SOCKS4A_PORT
TINYPROXY_PORT=$TINYPROXY_PORT
OPENAI_HTTP_PORT=$OPENAI_HTTP_PORT
OPENAI_HTTPS_PORT=$OPENAI_HTTPS_PORT
ENV
      for i in "${!NGINX_TLS[@]}"; do echo "NGINX_${NGINX_TLS[i]}_PORT=${TLS_PORTS[i]}"; done
    } > "$ENV_FILE.new"
    mv "$ENV_FILE.new" "$ENV_FILE"
    echo "peers up, described in $ENV_FILE"
    exit 0
  fi
  echo "attempt $attempt failed; logs:" >&2
  tail -n 20 "$D"/nginx/logs/error.log "$D"/httpbin/error.log "$D"/squid*/logs/cache.log \
    "$D"/dante/danted.err "$D"/microsocks/microsocks.log "$D"/socks4a/socks4a.log \
    "$D"/tinyproxy/tinyproxy.log "$D"/openai/openai.log "$D"/apache2/logs/error.log \
    "$D"/*/stdout.log "$D"/*/logs/stdout.log >&2 2>/dev/null || true
  stop_peers "$D"
done
"$HERE/stop.sh" "$ENV_FILE"
exit 1
