# Sourced: a Wine prefix of the project's own under build/ (or
# $KOVREL_WINEPREFIX, as the benchmark's), and a persistent wineserver with
# detached streams (otherwise ctest waits on Wine's services).
export WINEPREFIX="${KOVREL_WINEPREFIX:-$root/build/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
[ -f "$WINEPREFIX/system.reg" ] || "$root/scripts/new-prefix.sh" "$WINEPREFIX" ||
    { echo "wine-env.sh: cannot create the Wine prefix $WINEPREFIX" >&2; exit 1; }
# Fails harmlessly when this prefix already has its persistent server.
wineserver -p </dev/null >/dev/null 2>&1 || true
wine wineboot </dev/null >/dev/null 2>&1
