#!/bin/sh
# Runs excel-module-test.exe under wine64: tallyo-excel.dll records into
# excel-standin.exe, registered as "Excel.Application" in a wine prefix of
# its own under DIR (made on first use, which takes about 15 s). Only that
# prefix's wineserver is ended afterwards.
#
# usage: tests/excel/run-under-wine.sh DIR [PROGRAM [ARG...]]
#   DIR holds the three Windows binaries. With PROGRAM (a Windows program,
#   such as bench-excel.exe), runs it instead of the tests, against the
#   registered stand-in, with tallyo-excel.dll, the log and the control file
#   as its first arguments.
set -eu
dir=$(cd "$1" && pwd)
program=
[ $# -gt 1 ] && program=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
wine=${WINE64:-/usr/lib/wine/wine64}
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
export WINEPREFIX="$dir/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap '"$wineserver" -k 2>/dev/null || true' EXIT

if [ ! -f "$WINEPREFIX/.made" ]; then
    rm -rf "$WINEPREFIX"
    "$wine" wineboot --init >/dev/null 2>&1
    touch "$WINEPREFIX/.made"
fi
# COM activation is unreliable in the wine session that made the prefix, and
# a stand-in left from an earlier run must not answer: start afresh.
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w
windows() { printf 'Z:%s' "$1" | tr / '\\'; }
log=$(windows "$dir/excel-standin.log")
control=$(windows "$dir/excel-standin.control")

cd "$dir"
if [ $# -gt 1 ]; then
    shift 2
    "$wine" ./excel-standin.exe /regserver /log "$log" /control "$control" >/dev/null
    "$wine" "$program" "$(windows "$dir/tallyo-excel.dll")" "$log" "$control" "$@"
    exit
fi
status=0
"$wine" ./excel-standin.exe /unregserver >/dev/null
"$wine" ./excel-module-test.exe "$log" "$control" not-registered || status=1
"$wine" ./excel-standin.exe /regserver /log "$log" /control "$control" >/dev/null
"$wine" ./excel-module-test.exe "$log" "$control" recording busy busy-filter vanishing cancel || status=1
exit "$status"
