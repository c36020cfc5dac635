#!/bin/bash
# Runs every test, unit and end-to-end, under Wine. Bootstraps and builds first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
. "$root/scripts/wine-env.sh"
trap 'wineserver -k 2>/dev/null || true' EXIT
cd "$root/build"
# The native tests (rules, fuzzing, the tool) run beside those under Wine,
# which take turns on the one prefix.
ctest --output-on-failure --timeout 900 -j"$(nproc)" "$@"
