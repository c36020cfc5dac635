#!/bin/bash
# The launcher's main job under Wine, building first if needed.
#   run.sh          the demo: a local HTTPS server with a sample client, a
#                   stand-in Java runtime, and kovrel.exe run with a link to it
#   run.sh LINK     kovrel.exe run with that link
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" >/dev/null
. "$root/scripts/wine-env.sh"
trap 'wineserver -k 2>/dev/null || true' EXIT
if [ $# -eq 0 ]; then
    # The demo's manifest is written as an operator writes it.
    [ -x "$root/build/native/kovrel-manifest" ] ||
        { echo "run.sh: the demo needs kovrel-manifest, which a build with KOVREL_NATIVE=OFF leaves out" >&2; exit 1; }
    python3 "$root/demo/demo.py"
else
    rc=0
    wine "$root/build/kovrel.exe" "$@" || rc=$?
    echo "kovrel.exe exit code: $rc (log: $WINEPREFIX/drive_c/users/$(id -un)/Temp/Kovrel.log)"
fi
