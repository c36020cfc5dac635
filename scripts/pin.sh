#!/bin/bash
# Prints the "sha256//<base64>" pin of a server's public key, for the
# administrator value PinnedPublicKeys.
#   pin.sh cert.pem      the key of a PEM certificate (kovrel-manifest pin)
#   pin.sh HOST:PORT     the key of the certificate that a TLS server presents
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 1 ] || { echo "usage: $0 CERT.pem | HOST:PORT" >&2; exit 2; }
tool=${KOVREL_BUILD:-$root/build}/native/kovrel-manifest
[ -x "$tool" ] || "$root/scripts/build.sh" >/dev/null
if [ -f "$1" ]; then
    exec "$tool" pin "$1"
fi
cert=$(mktemp)
trap 'rm -f "$cert"' EXIT
openssl s_client -connect "$1" -servername "${1%:*}" </dev/null 2>/dev/null | openssl x509 >"$cert" 2>/dev/null ||
    { echo "$0: no certificate from $1" >&2; exit 1; }
"$tool" pin "$cert"
