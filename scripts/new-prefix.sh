#!/bin/bash
# Makes a Wine prefix: new-prefix.sh PREFIX
# Each prefix is a copy of one booted once, build/wine-template, whose system
# programs and libraries (about 1.3 GB) it shares through hard links; what is
# its own is about 15 MB. Wine writes the registry and its settings files
# anew, so those are copies; it writes the libraries only when a newer Wine
# updates a prefix, and then with the same bytes for every prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 1 ] || { echo "usage: $0 PREFIX" >&2; exit 2; }
prefix=$1
template=$root/build/wine-template
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$root/build" "$(dirname "$prefix")"
# One boot, however many prefixes are made at once.
(
    flock 9
    if [ ! -f "$template/system.reg" ]; then
        rm -rf "$template"
        WINEPREFIX=$template wineboot -i </dev/null >/dev/null 2>&1
        # The prefix is written out when its server ends.
        WINEPREFIX=$template wineserver -w
    fi
) 9>"$root/build/wine-template.lock"
[ -f "$template/system.reg" ] || { echo "$0: cannot boot the Wine template $template" >&2; exit 1; }
new=$prefix.new
rm -rf "$new"
# Another file system cannot share: a whole copy then.
cp -a --link "$template" "$new" 2>/dev/null || { rm -rf "$new"; cp -a "$template" "$new"; }
find "$new" -type f ! -iregex '.*\.\(dll\|exe\|nls\|drv\|sys\|ocx\|cpl\|acm\|vxd\|tlb\|ds\|ax\|com\)' \
    -exec sh -c 'for f; do cp -p "$f" "$f.own" && mv "$f.own" "$f"; done' sh {} +
mv "$new" "$prefix"
