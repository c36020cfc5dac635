#!/bin/bash
# Prints the "sha256//<base64>" pin of a server's public key, for the
# administrator value PinnedPublicKeys.
#   pin.sh cert.pem      the key of a PEM certificate (kovrel-manifest pin)
#   pin.sh HOST:PORT     the key of the certificate that a TLS server presents
# A build without the native side (KOVREL_NATIVE=OFF) has no kovrel-manifest:
# OpenSSL's command-line tool then hashes the key.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 1 ] || { echo "usage: $0 CERT.pem | HOST:PORT" >&2; exit 2; }
build=${KOVREL_BUILD:-$root/build}
tool=$build/native/kovrel-manifest
if grep -qx 'KOVREL_NATIVE:BOOL=OFF' "$build/CMakeCache.txt" 2>/dev/null; then
    tool=
elif [ ! -x "$tool" ]; then
    "$root/scripts/build.sh" >/dev/null
fi
pin() { # PEM
    if [ -n "$tool" ]; then
        "$tool" pin "$1"
    else
        local key
        key=$(openssl x509 -in "$1" -pubkey -noout | openssl pkey -pubin -outform der |
            openssl dgst -sha256 -binary | base64)
        echo "sha256//$key"
    fi
}
if [ -f "$1" ]; then
    pin "$1"
    exit
fi
cert=$(mktemp)
trap 'rm -f "$cert"' EXIT
openssl s_client -connect "$1" -servername "${1%:*}" </dev/null 2>/dev/null | openssl x509 >"$cert" 2>/dev/null ||
    { echo "$0: no certificate from $1" >&2; exit 1; }
pin "$cert"
