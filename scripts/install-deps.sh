#!/usr/bin/env bash
# Installs what Frequency Tallyo needs to build, run and test, from Debian 12's
# packages. Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-serialport-dev libgl-dev
  fonts-liberation2 fonts-dejavu-core
  xvfb xauth xdotool
  libreoffice-calc libreoffice-dev
  g++-mingw-w64-x86-64-win32 wine64 wixl msitools
  librsvg2-bin desktop-file-utils appstream man-db lintian file
  stress-ng
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
