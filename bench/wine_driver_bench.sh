#!/bin/sh
# Runs wine_driver_bench in a throw-away Wine prefix (made like the Wine tests' prefix), then removes it.
#   wine_driver_bench.sh <prefix ending in /wineprefix> <win64|win32> <loader> <wine_driver_bench.exe> <wine_prefix.sh> [options]
set -eu
prefix=$1 arch=$2 loader=$3 program=$4 prefix_script=$5
shift 5
wine64=/usr/lib/wine/wine64 server=/usr/lib/wine/wineserver
sh "$prefix_script" setup "$prefix" "$wine64" "$server" "$arch" "$loader"
trap 'sh "$prefix_script" cleanup "$prefix" "$wine64" "$server"' EXIT
WINEPREFIX=$prefix WINEDEBUG=-all WINELOADER=$loader WINEDLLOVERRIDES="mscoree,mshtml=" "$loader" "$program" "$@"
