#!/bin/bash
# Prints the "sha256//<base64>" pin of a server's public key, for the
# administrator value PinnedPublicKeys.
#   pin.sh cert.pem      the key of a PEM certificate
#   pin.sh HOST:PORT     the key of the certificate that a TLS server presents
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 CERT.pem | HOST:PORT" >&2; exit 2; }
if [ -f "$1" ]; then
    cert=$(cat "$1")
else
    cert=$(openssl s_client -connect "$1" -servername "${1%:*}" </dev/null 2>/dev/null | openssl x509) ||
        { echo "$0: no certificate from $1" >&2; exit 1; }
fi
hash=$(openssl x509 -pubkey -noout <<<"$cert" | openssl pkey -pubin -outform der |
       openssl dgst -sha256 -binary | base64)
echo "sha256//$hash"
