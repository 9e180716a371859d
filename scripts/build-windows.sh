#!/usr/bin/env bash
# Builds Frequency Tallyo for 64-bit Windows on a Debian 12 machine and packs
# it twice: frequency-tallyo-windows-<version>.msi, the installer (per
# machine, silent with msiexec /qn), and frequency-tallyo-windows-<version>.zip
# for users without admin rights. Both hold the same files.
#
# First it needs Qt 6 (Core, Gui, Widgets, the windows platform plugin and the
# Windows styles) built for x86_64 MinGW-w64. Debian ships none, so this
# script builds one from Debian's own qt6-base source package and caches it
# under ~/.cache/frequency-tallyo/qt-mingw-<version>-<options-hash>: about
# 30 minutes on two cores the first time, nothing on later runs. The machine's
# apt setup is left alone: the deb-src entry lives in a private directory.
#
#   scripts/build-windows.sh            Qt (if not cached), program, zip, MSI
#   scripts/build-windows.sh --qt-only  only make sure the cached Qt exists
#   scripts/build-windows.sh --print-qt print the cached Qt's directory
#
# Environment: TALLYO_WIN_BUILD (build dir, default build-windows/),
# TALLYO_CACHE (default ~/.cache/frequency-tallyo), JOBS (default nproc).
set -euo pipefail
shopt -s inherit_errexit
root="$(cd "$(dirname "$0")/.." && pwd)"
cache="${TALLYO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/frequency-tallyo}"
winbuild="${TALLYO_WIN_BUILD:-$root/build-windows}"
jobs="${JOBS:-$(nproc)}"
mode="${1:-all}"

triplet=x86_64-w64-mingw32
# Debian's own Qt serves as the host Qt (moc, rcc, uic), so the Windows Qt
# must be the very same version.
qt_debversion="$(dpkg-query -W -f='${Version}' qt6-base-dev)"
qt_version="${qt_debversion%%+*}"
qt_version="${qt_version%%-*}"

# The posix thread model: the win32 one lacks std::mutex, which Qt 6 needs.
toolchain_text="set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
"

# Only what the window needs. With OpenGL off, dynamicgl and directwrite3
# must go too (the platform plugin otherwise fails to compile or to link);
# Debian's repack drops the tablet sources, hence tabletevent off.
qt_options=(
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=ON
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_testlib=OFF
  -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF
  -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF -DINPUT_opengl=no
  -DFEATURE_vulkan=OFF -DFEATURE_direct2d=OFF -DFEATURE_tabletevent=OFF
  -DFEATURE_freetype=OFF -DFEATURE_fontconfig=OFF -DFEATURE_zstd=OFF
  -DFEATURE_icu=OFF -DFEATURE_dynamicgl=OFF -DFEATURE_directwrite3=OFF
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF
  -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_png=OFF
  -DFEATURE_system_jpeg=OFF -DFEATURE_system_doubleconversion=OFF
)

options_hash="$( { echo "$qt_debversion"; printf '%s\n' "${qt_options[@]}";
  echo "$toolchain_text"; } | sha256sum | cut -c1-12)"
qt_prefix="$cache/qt-mingw-$qt_version-$options_hash"

# What the cross build needs from Debian, installed when missing.
install_missing() {
  local packages=(g++-mingw-w64-x86-64-posix ninja-build dpkg-dev zip cmake qt6-base-dev
                  wixl msitools librsvg2-bin)
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  local as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  echo "Installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Debian's qt6-base source of the host Qt's very version, unpacked under
# $1/src (fetched once); prints its folder.
fetch_qt_source() {
  local work=$1
  # deb-src entry, package lists and downloads in a private apt directory.
  local apt="$work/apt"
  mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$apt/archives/partial"
  cat >"$apt/sources.list.d/bookworm-src.sources" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  local apt_opts=(
    -o Dir::Etc::sourcelist=/dev/null
    -o Dir::Etc::sourceparts="$apt/sources.list.d"
    -o Dir::State::Lists="$apt/lists"
    -o Dir::Cache="$apt/cache"
    -o Debug::NoLocking=1
  )
  local srcdir
  srcdir="$(find "$work/src" -maxdepth 1 -type d -name 'qt6-base-*' 2>/dev/null | head -1 || true)"
  if [ -z "$srcdir" ] || [ ! -f "$srcdir/CMakeLists.txt" ]; then
    rm -rf "$work/src"
    mkdir -p "$work/src" "$apt/cache"
    echo "Fetching the qt6-base $qt_debversion source" >&2
    apt-get "${apt_opts[@]}" update -q >&2
    (cd "$work/src" && apt-get "${apt_opts[@]}" source -q "qt6-base=$qt_debversion" >&2)
    srcdir="$(find "$work/src" -maxdepth 1 -type d -name 'qt6-base-*' | head -1)"
  fi
  [ -f "$srcdir/CMakeLists.txt" ] || { echo "No qt6-base $qt_debversion source in $work/src" >&2; exit 1; }
  echo "$srcdir"
}

# The licence files of the Qt source $1 into $2: Qt's own (LICENSE.*,
# LICENSES/) and those of the code from other projects it carries (beside
# each qt_attribution.json), at their places in the source.
collect_qt_licenses() {
  local src=$1 dest=$2
  rm -rf "$dest"
  mkdir -p "$dest"
  (
    cd "$src"
    {
      find . -maxdepth 1 -type f -name 'LICENSE*'
      find . -maxdepth 2 -type f -path './LICENSES/*'
      find . -type f -name qt_attribution.json | while IFS= read -r attribution; do
        echo "$attribution"
        find "$(dirname "$attribution")" -maxdepth 1 -type f \
          \( -iname '*LICENSE*' -o -iname '*LICENCE*' -o -iname '*COPYING*' \)
      done
    } | sort -u | while IFS= read -r file; do
      cp --parents "$file" "$dest/"
    done
  )
}

# A Windows icon ($2) drawn from the SVG $1: PNG images in an .ico, as
# Windows reads them since Vista.
make_icon() {
  local svg=$1 ico=$2 sizes=(16 24 32 48 256) size bytes
  local work
  work=$(mktemp -d)
  le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
  le32() { le16 $(($1 & 65535)); le16 $(($1 >> 16)); }
  local offset=$((6 + 16 * ${#sizes[@]}))
  {
    printf "$(le16 0)$(le16 1)$(le16 ${#sizes[@]})"
    for size in "${sizes[@]}"; do
      rsvg-convert -w "$size" -h "$size" "$svg" >"$work/$size.png"
      bytes=$(stat -c %s "$work/$size.png")
      # width, height (0 is 256), no palette, reserved, planes, bits, size, offset
      printf "$(le16 $((size & 255 | (size & 255) << 8)))\\x00\\x00$(le16 1)$(le16 32)$(le32 "$bytes")$(le32 $offset)"
      offset=$((offset + bytes))
    done
    for size in "${sizes[@]}"; do
      cat "$work/$size.png"
    done
  } >"$ico"
  rm -rf "$work"
}

build_qt() {
  if [ -f "$qt_prefix/.complete" ]; then
    # A Qt cached before its licence files were kept with it.
    if [ ! -d "$qt_prefix/licenses" ]; then
      local work="$cache/work-qt-licenses-$qt_version" srcdir
      srcdir=$(fetch_qt_source "$work")
      collect_qt_licenses "$srcdir" "$qt_prefix/licenses"
      rm -rf "$work"
    fi
    return 0
  fi
  local work="$cache/work-qt-mingw-$qt_version-$options_hash"
  mkdir -p "$work" "$qt_prefix"
  # Kept with the installed Qt: Qt's own CMake files name it.
  printf '%s' "$toolchain_text" >"$qt_prefix/toolchain.cmake"
  local srcdir
  srcdir=$(fetch_qt_source "$work")

  echo "Configuring Qt $qt_version for MinGW-w64 into $qt_prefix"
  cmake -G Ninja -S "$srcdir" -B "$work/build" \
    -DCMAKE_TOOLCHAIN_FILE="$qt_prefix/toolchain.cmake" \
    -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_INSTALL_PREFIX="$qt_prefix" \
    "${qt_options[@]}"
  echo "Building Qt (about 30 minutes on two cores)"
  nice -n 19 cmake --build "$work/build" -j"$jobs"
  cmake --install "$work/build"
  collect_qt_licenses "$srcdir" "$qt_prefix/licenses"
  touch "$qt_prefix/.complete"
  rm -rf "$work"
}

if [ "$mode" = "--print-qt" ]; then
  echo "$qt_prefix"
  exit 0
fi

install_missing
build_qt
if [ "$mode" = "--qt-only" ]; then
  exit 0
fi

# ---- The program -------------------------------------------------------------
version="$(sed -n 's/^project(FrequencyTallyo VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
mkdir -p "$winbuild"
printf 'include("%s/toolchain.cmake")\nlist(APPEND CMAKE_FIND_ROOT_PATH "%s")\n' \
  "$qt_prefix" "$qt_prefix" >"$winbuild/toolchain.cmake"
cmake -G Ninja -S "$root" -B "$winbuild" \
  -DCMAKE_TOOLCHAIN_FILE="$winbuild/toolchain.cmake" \
  -DCMAKE_PREFIX_PATH="$qt_prefix" \
  -DQT_HOST_PATH=/usr \
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
nice cmake --build "$winbuild" -j"$jobs" --target frequency-tallyo tallyo-excel bench-windows-data

# ---- The zip -----------------------------------------------------------------
name="frequency-tallyo-windows-$version"
stage="$winbuild/package/$name"
rm -rf "$winbuild/package"
mkdir -p "$stage/platforms" "$stage/styles"
cp "$winbuild/src/frequency-tallyo.exe" "$winbuild/src/tallyo-excel.dll" "$stage/"
for lib in Qt6Core Qt6Gui Qt6Widgets; do
  cp "$qt_prefix/bin/$lib.dll" "$stage/"
done
cp "$qt_prefix/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$qt_prefix/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
# The runtime of the posix-thread compiler (not the win32-thread one's).
runtime_dir="$(dirname "$("$triplet-g++-posix" -print-libgcc-file-name)")"
for dll in "$runtime_dir/libgcc_s_seh-1.dll" "$runtime_dir/libstdc++-6.dll" \
           "/usr/$triplet/lib/libwinpthread-1.dll"; do
  cp "$dll" "$stage/"
done
find "$stage" \( -name '*.exe' -o -name '*.dll' \) -exec "$triplet-strip" --strip-unneeded {} +
sed "s/@VERSION@/$version/; s/\$/\r/" "$root/packaging/windows/README.txt" >"$stage/README.txt"

# What each binary is under, with the texts (packaging/windows/licenses/README.txt).
licenses="$stage/licenses"
mkdir -p "$licenses"
cp "$root/LICENSE" "$licenses/GPL-3.0.txt"
cp /usr/share/common-licenses/LGPL-3 "$licenses/LGPL-3.0.txt"
cp "$root/packaging/windows/licenses/GCC-RUNTIME-EXCEPTION-3.1.txt" \
   "$root/packaging/windows/licenses/winpthreads.txt" "$licenses/"
cp -r "$qt_prefix/licenses" "$licenses/Qt"
homepage="$(sed -n 's/^set(TALLYO_HOMEPAGE "\([^"]*\)".*/\1/p' "$root/cmake/Install.cmake")"
sed "s/@VERSION@/$version/; s/@QT_VERSION@/$qt_version/g; s/@QT_DEBVERSION@/$qt_debversion/g;
     s|@HOMEPAGE@|$homepage|" "$root/packaging/windows/licenses/README.txt" >"$licenses/README.txt"
for text in "$licenses"/*.txt; do
  sed -i 's/\r*$/\r/' "$text"
done

zip="$winbuild/$name.zip"
rm -f "$zip"
(cd "$winbuild/package" && zip -qr9 "$zip" "$name")
echo "$zip: $(du -k "$zip" | cut -f1) KiB"

# ---- The installer -----------------------------------------------------------
# The zip's folder as it is, installed under Program Files (packaging/windows/
# frequency-tallyo.wxs). wixl takes file paths relative to where it runs.
msi_work="$winbuild/msi"
rm -rf "$msi_work"
mkdir -p "$msi_work"
make_icon "$root/packaging/org.frequencytallyo.FrequencyTallyo.svg" "$msi_work/frequency-tallyo.ico"
(cd "$winbuild/package" && find "$name" -type f | LC_ALL=C sort |
   wixl-heat --directory-ref INSTALLDIR --component-group PackageFiles --var var.Stage -p "$name/") |
  sed 's/<Component /<Component Win64="yes" /' >"$msi_work/files.wxs"
IFS=. read -r major minor patch _ <<<"$version.0.0"
msi="$winbuild/$name.msi"
(cd "$winbuild" && wixl --arch x64 -o "$msi" \
   -D Version="$version" -D UpgradeBelow="$major.$minor.$((patch + 1))" \
   -D Stage="package/$name" -D Icon="msi/frequency-tallyo.ico" -D Homepage="$homepage" \
   "$root/packaging/windows/frequency-tallyo.wxs" "$msi_work/files.wxs")

# What it installs: every file of the zip's folder once, and the shortcut to
# the program with its icon.
msi_table() { msiinfo export "$msi" "$1" | tail -n +4; }
diff <(find "$stage" -type f -printf '%f\n' | LC_ALL=C sort) \
     <(msi_table File | cut -f3 | sed 's/^[^|]*|//' | LC_ALL=C sort) ||
  { echo "$msi: its files are not the zip's (above)" >&2; exit 1; }
msi_table Shortcut | awk -F'\t' '$5 == "[INSTALLDIR]frequency-tallyo.exe" && $9 != "" { found = 1 }
                                 END { exit !found }' ||
  { echo "$msi: no Start menu shortcut to the program with an icon" >&2; exit 1; }
echo "$msi: $(du -k "$msi" | cut -f1) KiB"

# The benchmark runs beside the same DLLs (bench/bench_windows.cpp).
rm -rf "$winbuild/with-bench"
cp -r "$stage" "$winbuild/with-bench"
cp "$winbuild/bench/windows/bench-windows-data.exe" "$winbuild/with-bench/"
