#!/usr/bin/env bash
# Configures and builds everything into build/ (the program, the demo, the
# simulator, the spreadsheet modules, the tests and the benchmarks).
# TALLYO_CMAKE_ARGS adds configure options, e.g. -DTALLYO_REQUIRE_CALC=ON.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TALLYO_BUILD:-$root/build}"
# shellcheck disable=SC2086 # the options are words
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${TALLYO_CMAKE_ARGS:-}
cmake --build "$build" -j"$(nproc)"
