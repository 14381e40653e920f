#!/bin/sh
# Runs a PE program under 64-bit Wine, headless, in a prefix of the build tree's own.
#   wine-run.sh PREFIX PROGRAM [ARGS...]   run one program
#   wine-run.sh --create PREFIX            a fresh prefix (once per test run)
#   wine-run.sh --stop PREFIX              end the prefix's wineserver and wait for it
set -e
WINE64=${BRELK_WINE64:-/usr/lib/wine/wine64}
WINESERVER=${BRELK_WINESERVER:-/usr/lib/wine/wineserver64}
export WINEDEBUG=-all
# No Mono or Gecko installer: nothing here needs them, and they would ask for a window.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

case "$1" in
--create)
    export WINEPREFIX="$2"
    if [ -d "$WINEPREFIX" ]; then
        "$WINESERVER" -k 2>/dev/null || true
        "$WINESERVER" -w 2>/dev/null || true
    fi
    rm -rf "$WINEPREFIX"
    "$WINE64" wineboot -i
    # The registry is on disk once the server has ended: a copy of the prefix made
    # afterwards (a Wine machine's, from this one) starts from a complete registry.
    "$WINESERVER" -w
    ;;
--stop)
    export WINEPREFIX="$2"
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w
    ;;
*)
    export WINEPREFIX="$1"
    shift
    exec "$WINE64" "$@"
    ;;
esac
