#!/usr/bin/env bash
# Builds and runs the speed measurements against simulated counters (and, for
# the recording, a private headless LibreOffice Calc). Prints "name value" lines.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TALLYO_BUILD:-$root/build}"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
"$build/bench/bench-link"
"$build/bench/bench-cli" "$build/src/frequency-tallyo"
"$build/bench/bench-stats" "$build/src/frequency-tallyo"
TALLYO_BUILD_DIR="$build" "$build/bench/bench-record" "$@"
# The Windows build under wine, where tests/wine is enabled (see the README).
if [ -x "$build/bench/bench-windows" ]; then
  TALLYO_WIN_BUILD="$build/windows" "$root/scripts/build-windows.sh" >/dev/null
  xvfb-run -a "$build/bench/bench-windows"
fi
# The Excel module's calls into the stand-in Excel under wine, where
# tests/excel is enabled (MinGW-w64 and wine64; see the README).
if [ -f "$build/bench/bench-excel.exe" ]; then
  "$root/tests/excel/run-under-wine.sh" "$build/tests/excel" "$build/bench/bench-excel.exe"
fi
