#!/bin/sh
# mkcerts.sh DIR
# Throwaway certificates for the TLS tests, in DIR (P-256 keys, or RSA-2048 with
# KEYTYPE=rsa; valid for 2 days unless said otherwise):
#   ca.crt ca.key                   the CA the clients trust
#   server.crt server.key           CN localhost, SAN DNS:localhost, IP:127.0.0.1, IP:::1
#   server-chain.crt                server.crt + ca.crt
#   other.crt other.key             CN and SAN DNS:other.example only (name mismatch)
#   expired.crt expired.key         localhost SANs, valid from 10 to 8 days ago
#   rogue-ca.crt rogue-ca.key       a second CA nobody trusts
#   unknown-ca.crt unknown-ca.key   localhost SANs, signed by the rogue CA
#   client.crt client.key           CN "kbv test client", EKU clientAuth
#   client.p12                      client.crt + client.key, password p12secret
#                                   (AES-256-CBC, HMAC-SHA256: no legacy provider needed)
#   client-wrong.key                a key that does not match client.crt
#   client-encrypted.key            client.key as PKCS#8, AES-256-CBC, password keysecret
# Idempotent: does nothing once the last file (client-encrypted.key) exists;
# an interrupted run is redone from scratch.
set -eu
D=${1:?usage: mkcerts.sh DIR}
mkdir -p "$D"
[ -s "$D/client-encrypted.key" ] && exit 0
umask 077
OSSL=${OPENSSL:-openssl}
case "${KEYTYPE:-ec}" in
  rsa) KEYOPT="-newkey rsa:2048"; GENKEY="-algorithm RSA -pkeyopt rsa_keygen_bits:2048" ;;
  *)   KEYOPT="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1"
       GENKEY="-algorithm EC -pkeyopt ec_paramgen_curve:P-256" ;;
esac
LOCAL_SAN="DNS:localhost,IP:127.0.0.1,IP:::1"

# ca NAME CN: a self-signed CA
ca() {
  $OSSL req -x509 $KEYOPT -nodes -keyout "$D/$1.key" -out "$D/$1.crt" -days 2 -subj "/CN=$2" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

# request NAME CN EKU [SAN]: NAME.key, NAME.csr and the extensions NAME.ext
request() {
  $OSSL req $KEYOPT -nodes -keyout "$D/$1.key" -out "$D/$1.csr" -subj "/CN=$2" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=%s\n' "$3" > "$D/$1.ext"
  [ -z "${4:-}" ] || echo "subjectAltName=$4" >> "$D/$1.ext"
}

# sign NAME CA: NAME.crt from NAME.csr, signed by CA.crt, valid from now for 2 days
sign() {
  $OSSL x509 -req -in "$D/$1.csr" -CA "$D/$2.crt" -CAkey "$D/$2.key" -CAcreateserial \
    -out "$D/$1.crt" -days 2 -extfile "$D/$1.ext" 2>/dev/null
}

ca ca "kbv test CA"
request server localhost serverAuth "$LOCAL_SAN";   sign server ca
cat "$D/server.crt" "$D/ca.crt" > "$D/server-chain.crt"
request other other.example serverAuth DNS:other.example; sign other ca
ca rogue-ca "kbv rogue CA"
request unknown-ca localhost serverAuth "$LOCAL_SAN"; sign unknown-ca rogue-ca
request client "kbv test client" clientAuth;         sign client ca

# expired: "openssl x509 -req" only signs from now on; "openssl ca" takes explicit
# dates, but wants a CA database, so it gets a minimal one of its own.
request expired localhost serverAuth "$LOCAL_SAN"
P=$D/past-ca
mkdir -p "$P"; : > "$P/index.txt"; $OSSL rand -hex 16 > "$P/serial"
cat > "$P/ca.cnf" <<EOF
[ca]
default_ca = past
[past]
database = $P/index.txt
new_certs_dir = $P
serial = $P/serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
EOF
$OSSL ca -batch -notext -config "$P/ca.cnf" -cert "$D/ca.crt" -keyfile "$D/ca.key" \
  -extfile "$D/expired.ext" -in "$D/expired.csr" -out "$D/expired.crt" \
  -startdate "$(date -u -d '10 days ago' +%Y%m%d%H%M%SZ)" \
  -enddate "$(date -u -d '8 days ago' +%Y%m%d%H%M%SZ)" 2>/dev/null
rm -rf "$P"

# client credentials in the other forms a client may be given
$OSSL pkcs12 -export -in "$D/client.crt" -inkey "$D/client.key" -name "kbv test client" \
  -keypbe AES-256-CBC -certpbe AES-256-CBC -macalg sha256 \
  -passout pass:p12secret -out "$D/client.p12"
$OSSL genpkey -quiet $GENKEY -out "$D/client-wrong.key"
$OSSL pkcs8 -topk8 -v2 aes-256-cbc -in "$D/client.key" -passout pass:keysecret \
  -out "$D/client-encrypted.key.new"

rm -f "$D"/*.csr "$D"/*.ext
# readable by all: servers that drop privileges read keys as another user
chmod 644 "$D"/*.crt "$D"/*.key "$D"/*.srl "$D/client.p12" "$D/client-encrypted.key.new"
# last, so that its presence means the whole set is there
mv "$D/client-encrypted.key.new" "$D/client-encrypted.key"
