#!/usr/bin/env bash
# Signs a file with a private key that only the CryptoAPI stand-in holds, through the
# openssl tool and the engine "capi", and verifies the signature in software.
set -euo pipefail
build=$(cd "${1:?usage: capi.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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
