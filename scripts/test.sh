#!/bin/bash
# Runs every test, unit and end-to-end, under Wine. Bootstraps and builds first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
. "$root/scripts/wine-env.sh"
# Also the servers of the end-to-end prefixes, should a test be cut short.
stop_wine() {
    local prefix
    for prefix in "$WINEPREFIX" "$root"/build/wine/*/; do
        [ -d "$prefix" ] || continue
        WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    done
}
trap stop_wine EXIT
cd "$root/build"
# The end-to-end files each run in a prefix of their own, beside the native
# tests and the unit tests under Wine, which take turns on the build's prefix.
# Twice as many at once as there are CPUs: the Wine tests spend most of their
# time waiting (on servers, limits and the clients they start).
ctest --output-on-failure --timeout 900 -j"$(($(nproc) * 2))" "$@"
