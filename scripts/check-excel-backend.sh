#!/bin/sh
# Keeps the Excel backend building where Excel cannot run: cross-compiles
# src/readings/sheet/excelbackend.cpp with MinGW-w64 into tallyo-excel.dll
# (warnings are errors) and checks that the DLL exports the module's entry
# points.
#
# usage: scripts/check-excel-backend.sh [OUTPUT_DIR]
# Needs the Debian package g++-mingw-w64-x86-64-win32 (or -posix).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
sheet="$here/../src/readings/sheet"
out=${1:-}
if [ -z "$out" ]; then
    out=$(mktemp -d)
    trap 'rm -rf "$out"' EXIT
fi
mkdir -p "$out"

cxx=${MINGW_CXX:-x86_64-w64-mingw32-g++}
objdump=${MINGW_OBJDUMP:-x86_64-w64-mingw32-objdump}
if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "check-excel-backend: $cxx not found (install g++-mingw-w64-x86-64-win32)" >&2
    exit 2
fi

dll="$out/tallyo-excel.dll"
"$cxx" -std=c++20 -O2 -Wall -Wextra -Werror -shared \
    -I"$sheet" -I"$sheet/.." \
    -o "$dll" "$sheet/excelbackend.cpp" \
    -static-libgcc -static-libstdc++ -lole32 -loleaut32 -luuid

exports=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
status=0
for symbol in tallyo_sheet_module_abi tallyo_sheet_backend_create; do
    if printf '%s\n' "$exports" | grep -qw "$symbol"; then
        echo "exported: $symbol"
    else
        echo "check-excel-backend: $dll does not export $symbol" >&2
        status=1
    fi
done
[ "$status" = 0 ] && echo "check-excel-backend: $dll builds and exports the backend"
exit "$status"
