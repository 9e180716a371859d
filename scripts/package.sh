#!/usr/bin/env bash
# Builds the Debian packages with CPack and checks them:
#   frequency-tallyo       the program and the demo (recommends the next one)
#   frequency-tallyo-calc  the LibreOffice Calc module
# Each must hold its files and no other's, with stripped binaries, no
# maintainer scripts, and nothing lintian warns about.
#
#   scripts/package.sh              builds build-package/ (Release) with Debian's
#                                   build flags, packages into dist/
#   scripts/package.sh --from DIR   packages the build tree DIR as it is, into DIR/packages
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

hardened=no
if [ "${1:-}" = "--from" ]; then
  build=$(realpath "$2")
  out="$build/packages"
else
  build="${TALLYO_PACKAGE_BUILD:-$root/build-package}"
  out="$root/dist"
  "$root/scripts/install-deps.sh"
  # The flags Debian builds its own packages with, every hardening feature on
  # (bindnow too); from the top of the tree, so that file names in the
  # binaries are relative to it.
  flags() { (cd "$root" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"); }
  ldflags=$(flags LDFLAGS)
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTALLYO_BUILD_TESTS=OFF -DTALLYO_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" >/dev/null
  cmake --build "$build" -j"$(nproc)"
  hardened=yes
fi
for tool in cpack dpkg-deb dpkg-shlibdeps lintian file; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log") || fail "cpack: $(cat "$out/cpack.log")"

id=org.frequencytallyo.FrequencyTallyo
program=$(ls "$out"/frequency-tallyo_*.deb)
contents() { dpkg-deb --fsys-tarfile "$1" | tar -t | sed 's|^\./|/|'; }
expect() {  # package, paths it must hold
  local deb=$1; shift
  local list; list=$(contents "$deb")
  for path in "$@"; do
    grep -qxF "$path" <<<"$list" || fail "$(basename "$deb") lacks $path"
  done
}
expect "$program" /usr/bin/frequency-tallyo /usr/bin/frequency-tallyo-demo \
  /usr/share/applications/$id.desktop /usr/share/metainfo/$id.metainfo.xml \
  /usr/share/icons/hicolor/scalable/apps/$id.svg /usr/share/icons/hicolor/256x256/apps/$id.png \
  /usr/share/man/man1/frequency-tallyo.1.gz /usr/share/doc/frequency-tallyo/copyright
! grep -q 'libtallyo-calc\|/lintian/' <<<"$(contents "$program")" \
  || fail "the program's package holds the Calc module or its lintian overrides"
dpkg-deb --fsys-tarfile "$program" | tar -xO ./usr/share/man/man1/frequency-tallyo.1.gz | gzip -dc \
  | grep -qF '/usr/lib/frequency\-tallyo/libtallyo\-calc.so' || fail "the man page does not name the Calc module's path"
[ "$(dpkg-deb -f "$program" Recommends)" = frequency-tallyo-calc ] \
  || fail "frequency-tallyo does not recommend frequency-tallyo-calc"
grep -q 'libqt6serialport6' <<<"$(dpkg-deb -f "$program" Depends)" || fail "frequency-tallyo does not depend on Qt"

debs=("$program")
if [ -e "$build/src/libtallyo-calc.so" ]; then
  calc=$(ls "$out"/frequency-tallyo-calc_*.deb)
  expect "$calc" /usr/lib/frequency-tallyo/libtallyo-calc.so /usr/share/doc/frequency-tallyo-calc/copyright \
    /usr/share/lintian/overrides/frequency-tallyo-calc
  ! grep -q '^/usr/bin/.' <<<"$(contents "$calc")" || fail "the Calc package holds programs"
  grep -q 'libreoffice-calc' <<<"$(dpkg-deb -f "$calc" Depends)" || fail "frequency-tallyo-calc does not depend on libreoffice-calc"
  debs+=("$calc")
fi

# No debug symbols in the packages.
unpacked="$out/unpacked"
for deb in "${debs[@]}"; do
  dpkg-deb -x "$deb" "$unpacked"
done
while IFS= read -r -d '' binary; do
  kind=$(file -b "$binary")
  if [[ $kind == ELF* && $kind != *", stripped"* ]]; then
    fail "${binary#"$unpacked"} is not stripped"
  fi
done < <(find "$unpacked" -type f -print0)
rm -rf "$unpacked"

# The module lives in a private folder: nothing to run ldconfig for.
for deb in "${debs[@]}"; do
  scripts=$(dpkg-deb -I "$deb" | grep -oE '(pre|post)(inst|rm)' | tr '\n' ' ' || true)
  [ -z "$scripts" ] || fail "$(basename "$deb") has maintainer scripts: $scripts"
done

lintian --fail-on error,warning "${debs[@]}" || fail "lintian reports errors or warnings"
if [ "$hardened" = yes ]; then
  hardening=$(lintian --fail-on none -I "${debs[@]}" 2>/dev/null | grep 'hardening-' || true)
  [ -z "$hardening" ] || fail "binaries built without Debian's hardening: $hardening"
fi
echo "Packages in $out:"
ls -1 "${debs[@]}"
