#!/bin/bash
# Bootstraps (once) and builds kovrel.exe and the tests into build/.
#   build.sh [-DKOVREL_NATIVE=OFF] [-DKOVREL_PACKAGE=OFF] [other -D options]
# Options given configure build/, which keeps them for later builds and for
# test.sh; the bootstrap then leaves out what the parts turned off need.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=$root/build/CMakeCache.txt
options=("$@")
# Whether a part is turned off, by the arguments or else by build/.
off() { # option
    local value= arg
    [ ! -f "$cache" ] || value=$(sed -n "s/^$1:BOOL=//p" "$cache")
    for arg in "${options[@]}"; do
        case $arg in -D$1=* | -D$1:BOOL=*) value=${arg#*=} ;; esac
    done
    case ${value^^} in OFF | 0 | NO | FALSE | N) return 0 ;; *) return 1 ;; esac
}
parts=()
off KOVREL_NATIVE && parts+=(--no-native)
off KOVREL_PACKAGE && parts+=(--no-package)
"$root/scripts/bootstrap.sh" "${parts[@]}"
if [ ! -f "$cache" ] || [ $# -gt 0 ]; then
    cmake -S "$root" -B "$root/build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" "$@" >/dev/null
fi
# The progress lines are dropped; a failed build fails this script (pipefail),
# while grep finding nothing to print does not.
cmake --build "$root/build" -j"$(nproc)" -- --no-print-directory | { grep -v '^\[' || true; }
