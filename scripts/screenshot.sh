#!/usr/bin/env bash
# Renders the window under a virtual X server and saves it as a PNG
# (default: docs/window.png), the picture the README shows.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TALLYO_BUILD:-$root/build}"
out="${1:-$root/docs/window.png}"
xvfb-run -a "$build/src/frequency-tallyo-snapshot" "$out"
echo "wrote $out"
