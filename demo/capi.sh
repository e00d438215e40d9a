#!/usr/bin/env bash
# Signs a file with a private key that only the CryptoAPI stand-in holds, through the
# openssl tool and the engine "capi", and verifies the signature in software; then
# authenticates with that key as a TLS client to openssl s_server on loopback.
set -euo pipefail
build=$(cd "${1:?usage: capi.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
server_pid=
# The server is stopped by its process id if it is still running.
trap '[ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; rm -rf "$work"' EXIT
export CRYPTOAPI_HOME="$work/cryptoapi"
export OPENSSL_ENGINES="$build/engines"
admin="$build/bin/cryptoapi-admin"

echo "1. A key pair and a certificate for \"Demo Signer\", made with the openssl tool"
openssl req -x509 -newkey rsa:2048 -nodes -subj "/O=Demo Org/CN=Demo Signer" -days 30 \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout pass:demo \
  -out "$work/demo.p12"

echo "2. Imported into CryptoAPI (key in container \"demo\", certificate in store \"MY\")"
"$admin" import-pfx "$work/demo.p12" --password demo --container demo \
  --friendly-name "Demo Key"
rm "$work/key.pem" "$work/demo.p12"   # from here on only CryptoAPI has the private key
"$admin" list store MY

echo "3. The engine lists the store"
openssl engine -t -post list_options:3 -post list_certs capi

echo "4. Signing a file through the engine (key looked up by subject \"demo signer\")"
echo "The quick brown fox jumps over the lazy dog" > "$work/message.txt"
openssl dgst -sha1 -sign "demo signer" -keyform engine -engine capi \
  -out "$work/message.sig" "$work/message.txt"
echo "   signature: $(wc -c < "$work/message.sig") bytes"

echo "5. Verifying the signature in software with the certificate's public key"
openssl x509 -in "$work/cert.pem" -pubkey -noout > "$work/pub.pem"
openssl dgst -sha1 -verify "$work/pub.pem" -signature "$work/message.sig" "$work/message.txt"

echo "6. TLS client authentication: s_server demands a client certificate, s_client"
echo "   takes it from CryptoAPI and signs the handshake there (TLS 1.2, SHA-1 signatures)"
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=localhost" -days 30 \
  -keyout "$work/server.key" -out "$work/server.pem" 2>/dev/null
tls=(-tls1_2 -sigalgs RSA+SHA1:DSA+SHA1 -cipher DEFAULT@SECLEVEL=0)
# Port 0: the system picks a free port, which s_server prints as "ACCEPT host:port".
# Its input stays open while the client runs: s_server ends a connection at its end.
mkfifo "$work/server.in"
openssl s_server -accept 127.0.0.1:0 -naccept 1 -cert "$work/server.pem" \
  -key "$work/server.key" -Verify 1 -CAfile "$work/cert.pem" "${tls[@]}" \
  < "$work/server.in" > "$work/server.out" 2> "$work/server.err" &
server_pid=$!
exec 3> "$work/server.in"
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^ACCEPT .*:\([0-9]*\)$/\1/p' "$work/server.out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "   s_server did not start"; cat "$work/server.err"; exit 1; }
openssl s_client -connect "127.0.0.1:$port" -CAfile "$work/server.pem" \
  -engine capi -ssl_client_engine capi "${tls[@]}" < /dev/null > "$work/client.out" 2>&1 ||
  { cat "$work/client.out"; exit 1; }
exec 3>&-
wait "$server_pid" || true
server_pid=
echo "   the server received:"
grep -E '^(Client certificate|subject=|issuer=|CIPHER is)' "$work/server.out" | sed 's/^/     /'
grep -q '^subject=O = Demo Org, CN = Demo Signer$' "$work/server.out"
