#!/usr/bin/env bash
# Installs what is missing, builds, and starts Frequency Tallyo.
# With a USB or built-in serial adapter listed by the machine, it starts the
# real program; otherwise the demo, whose six port numbers each reach a
# simulated counter (every command those receive is printed here).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TALLYO_BUILD:-$root/build}"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"

program="$build/src/frequency-tallyo-demo"
if compgen -G "/dev/ttyUSB*" >/dev/null || compgen -G "/dev/ttyACM*" >/dev/null; then
  program="$build/src/frequency-tallyo"
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: running under a virtual X server (xvfb-run)." >&2
  exec xvfb-run -a "$program"
fi
exec "$program"
