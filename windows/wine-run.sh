#!/bin/sh
# Runs a Windows program under Wine in the prefix named by WINEPREFIX; the
# exit code and the standard output pass through.
: "${WINEPREFIX:?WINEPREFIX names the Wine prefix to use}"
export WINEPREFIX
export WINEDEBUG=-all
exec timeout 120 /usr/lib/wine/wine64 "$@"
