#!/bin/bash
# Bootstraps (once) and builds kovrel.exe and the tests into build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh"
if [ ! -f "$root/build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$root/build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" >/dev/null
fi
# The progress lines are dropped; a failed build fails this script (pipefail),
# while grep finding nothing to print does not.
cmake --build "$root/build" -j"$(nproc)" -- --no-print-directory | { grep -v '^\[' || true; }
