#!/bin/sh
# mkcerts.sh DIR
# Creates a throwaway CA and a localhost server cert signed by it, in DIR:
#   DIR/ca.key DIR/ca.crt             (CA, P-256 or RSA-2048, 2 days)
#   DIR/server.key DIR/server.crt     (SAN DNS:localhost, IP:127.0.0.1, IP:::1)
#   DIR/server-chain.crt              (server.crt + ca.crt)
# Idempotent: does nothing if DIR/server.crt already exists.
set -eu
D=${1:?usage: mkcerts.sh DIR}
mkdir -p "$D"
[ -s "$D/server.crt" ] && exit 0
umask 077
OSSL=${OPENSSL:-openssl}
# KEYTYPE=ec (default, P-256) or KEYTYPE=rsa (2048-bit)
case "${KEYTYPE:-ec}" in
  rsa) KEYOPT="-newkey rsa:2048" ;;
  *)   KEYOPT="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1" ;;
esac
# CA
$OSSL req -x509 $KEYOPT -nodes \
  -keyout "$D/ca.key" -out "$D/ca.crt" -days 2 -subj "/CN=kbv test CA" \
  -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
# server key + CSR
$OSSL req $KEYOPT -nodes \
  -keyout "$D/server.key" -out "$D/server.csr" -subj "/CN=localhost" 2>/dev/null
cat > "$D/server.ext" <<EOF
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1
EOF
$OSSL x509 -req -in "$D/server.csr" -CA "$D/ca.crt" -CAkey "$D/ca.key" \
  -CAcreateserial -out "$D/server.crt" -days 2 -extfile "$D/server.ext" 2>/dev/null
cat "$D/server.crt" "$D/ca.crt" > "$D/server-chain.crt"
chmod 644 "$D/ca.crt" "$D/server.crt" "$D/server-chain.crt"
# key must be readable by worker users of servers that drop privileges
chmod 644 "$D/server.key"
rm -f "$D/server.csr"
