#!/bin/bash
# Runs a command in a Wine prefix of its own, so that it can run beside
# commands in other prefixes (registry, Temp folder and processes apart):
#   wine-prefix.sh PREFIX COMMAND...
# PREFIX is created on first use and kept; its persistent wineserver lives as
# long as the command, with whatever the command left running.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
[ $# -ge 2 ] || { echo "usage: $0 PREFIX COMMAND..." >&2; exit 2; }
KOVREL_WINEPREFIX=$1
shift
. "$root/scripts/wine-env.sh"
trap 'wineserver -k 2>/dev/null || true' EXIT
"$@"
