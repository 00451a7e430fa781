#!/usr/bin/env bash
# Runs a cross-built Windows program under 64-bit Wine: the emulator of the
# Windows build's ctest. /usr/bin/wine would look for a 32-bit Wine first.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-${VX_WINEPREFIX:-$HOME/.wine-vx}}
exec /usr/lib/wine/wine64 "$@"
