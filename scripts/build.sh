#!/usr/bin/env bash
# Configures and builds everything into build/ (the program, the demo, the
# simulator, the spreadsheet modules, the tests and the benchmarks).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TALLYO_BUILD:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
