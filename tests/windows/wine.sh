#!/bin/sh
# wine.sh program.exe [arguments]: run a Windows program under Wine, quietly.
# WINEPREFIX chooses the Wine folder (Wine's default: ~/.wine); KEVRA_WINE
# the Wine loader, found by itself otherwise (with only Debian's wine64
# installed it is /usr/lib/wine/wine64).
wine=${KEVRA_WINE:-$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)}
WINEDEBUG=-all
export WINEDEBUG
exec "$wine" "$@"
