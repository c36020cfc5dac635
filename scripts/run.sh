#!/bin/bash
# Runs kovrel.exe under Wine with the given link, in the project's Wine
# prefix; builds first if needed. Shows the log of the run afterwards.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" >/dev/null
. "$root/scripts/wine-env.sh"
trap 'wineserver -k 2>/dev/null || true' EXIT
rc=0
wine "$root/build/kovrel.exe" "$@" || rc=$?
echo "kovrel.exe exit code: $rc"
exit 0
