#!/bin/bash
# Packages kovrel.exe for managed machines. OUTDIR receives the per-machine MSI
# kovrel-VERSION.msi, the kovrel.exe it installs, and SHA256SUMS of both; its
# earlier files are replaced only when everything succeeded.
#   build-msi.sh EXE VERSION OUTDIR
# Both files are Authenticode-signed with osslsigncode when these are set:
#   KOVREL_SIGN_CERT       the code-signing certificate (PEM or DER), with its chain
#   KOVREL_SIGN_KEY        its private key (PEM or DER)
#   KOVREL_SIGN_PASSFILE   optional: a file that holds the key's password
#   KOVREL_SIGN_TIMESTAMP  optional: URL of an RFC 3161 time-stamping server, so
#                          that signatures outlive the certificate
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: build-msi.sh EXE VERSION OUTDIR" >&2; exit 2; }
exe=$1 version=$2 out=$3
here=$(cd "$(dirname "$0")" && pwd)
cert=${KOVREL_SIGN_CERT:-} key=${KOVREL_SIGN_KEY:-}
if [ -n "$cert$key" ] && { [ -z "$cert" ] || [ -z "$key" ]; }; then
    echo "build-msi.sh: KOVREL_SIGN_CERT and KOVREL_SIGN_KEY go together" >&2
    exit 2
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

sign() {
    [ -n "$cert" ] || return 0
    local args=(-certs "$cert" -key "$key" -h sha256 -n "Kovrel launcher")
    [ -z "${KOVREL_SIGN_PASSFILE:-}" ] || args+=(-readpass "$KOVREL_SIGN_PASSFILE")
    [ -z "${KOVREL_SIGN_TIMESTAMP:-}" ] || args+=(-ts "$KOVREL_SIGN_TIMESTAMP")
    osslsigncode sign "${args[@]}" -in "$1" -out "$1.signed" >/dev/null
    mv "$1.signed" "$1"
}

msi=kovrel-$version.msi
cp "$exe" "$stage/kovrel.exe"
sign "$stage/kovrel.exe"
# wixl takes File sources from the current folder.
(cd "$stage" && wixl -a x86 -D Version="$version" -o "$msi" "$here/kovrel.wxs")
# What wixl 0.101 cannot express, written into its tables:
# - each setting is installed only when its property is given, and removed
#   again on uninstall (a component whose condition is false then would stay);
# - the settings' properties reach the installation of a per-machine package
#   when a user who is not an administrator gives them;
# - a rebuild of the same version replaces the one installed instead of
#   standing beside it.
for p in ALLOWEDSERVERS:AllowedServers PINNEDPUBLICKEYS:PinnedPublicKeys VERIFYDIGESTS:VerifyDigests; do
    msibuild "$stage/$msi" -q "UPDATE Component SET Condition = '${p%%:*} OR REMOVE~=\"ALL\"' WHERE Component = '${p#*:}'"
done
msibuild "$stage/$msi" -q "UPDATE Property SET Value = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;ALLOWEDSERVERS;PINNEDPUBLICKEYS;VERIFYDIGESTS' WHERE Property = 'SecureCustomProperties'"
# The upgrade row's attributes are part of its key, which SQL cannot update:
# the table goes out and back in, its upper version now included (513).
msiinfo export "$stage/$msi" Upgrade | sed 's/\t1\t\tWIX_UPGRADE_DETECTED/\t513\t\tWIX_UPGRADE_DETECTED/' > "$stage/Upgrade.idt"
grep -q "	513		WIX_UPGRADE_DETECTED" "$stage/Upgrade.idt"
msibuild "$stage/$msi" -i "$stage/Upgrade.idt"
sign "$stage/$msi"
(cd "$stage" && sha256sum kovrel.exe "$msi" > SHA256SUMS)

mkdir -p "$out"
rm -f "$out"/kovrel-*.msi "$out/kovrel.exe" "$out/SHA256SUMS"
mv "$stage"/kovrel.exe "$stage/$msi" "$stage/SHA256SUMS" "$out/"
