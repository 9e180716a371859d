#!/usr/bin/env bash
# Runs the tests with two busy processes beside them (stress-ng --cpu 2), as
# on a CI machine shared with other work: a test that fails here bounds a
# duration too tightly. Arguments go to ctest, e.g.
#   scripts/test-loaded.sh -R 'tst_link|tst_panel' --repeat until-fail:10
# Without arguments the whole suite runs three times in a row.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TALLYO_BUILD:-$root/build}"
"$root/scripts/install-deps.sh"
TALLYO_CMAKE_ARGS="-DTALLYO_REQUIRE_CALC=ON ${TALLYO_CMAKE_ARGS:-}" "$root/scripts/build.sh"

stress-ng --cpu 2 --quiet &
hog=$!
trap 'kill "$hog" 2>/dev/null; wait "$hog" 2>/dev/null || true' EXIT

cd "$build"
if [ $# -eq 0 ]; then
  set -- --repeat until-fail:3
fi
ctest --output-on-failure --timeout 900 "$@"
