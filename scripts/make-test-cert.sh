#!/usr/bin/env bash
# Makes a certificate pair for trying HTTPS (never for real visitors): a
# private test authority and a server certificate it signed, for the names
# localhost and 127.0.0.1, valid 30 days.
#   make-test-cert.sh [FOLDER]   (default: build/dist/tls)
# writes, in FOLDER:
#   ca.pem    the test authority's certificate (give it to curl --cacert or
#             a browser to trust the server)
#   cert.pem  the server certificate followed by ca.pem: a chain, as
#             TlsCertificate expects it
#   key.pem   the server's private key (mode 0600), for TlsKey
set -euo pipefail
cd "$(dirname "$0")/.."
folder=${1:-build/dist/tls}
mkdir -p "$folder"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Tavella test authority" \
  -keyout "$work/ca-key.pem" -out "$work/ca.pem" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
  2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
  -keyout "$work/key.pem" -out "$work/server.csr" 2>/dev/null
printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature,keyEncipherment" \
  "extendedKeyUsage=serverAuth" "subjectAltName=DNS:localhost,IP:127.0.0.1" > "$work/ext.cnf"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca-key.pem" \
  -CAcreateserial -days 30 -extfile "$work/ext.cnf" -out "$work/server.pem" 2>/dev/null

cat "$work/server.pem" "$work/ca.pem" > "$folder/cert.pem"
cp "$work/ca.pem" "$folder/ca.pem"
install -m 0600 "$work/key.pem" "$folder/key.pem"
echo "made $folder/cert.pem (chain), $folder/key.pem and $folder/ca.pem"
