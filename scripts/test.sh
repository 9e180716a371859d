#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. The Calc suites must
# run: a missing office SDK stops the configure step instead of skipping them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TALLYO_BUILD:-$root/build}"
"$root/scripts/install-deps.sh"
TALLYO_CMAKE_ARGS="-DTALLYO_REQUIRE_CALC=ON ${TALLYO_CMAKE_ARGS:-}" "$root/scripts/build.sh"
cd "$build"
ctest --output-on-failure --timeout 900 "$@"
