#!/usr/bin/env bash
# The program as a user installs it: `cmake --install` into a temporary
# prefix, which is then moved and reached through a bin/ symlink. Checks the
# installed files with the desktop's own validators and man, the command line
# of the installed program and demo, and, under a virtual display, clicks
# "Data", "Data to Excel" and "EXIT" as a user would: the request reaches the
# simulated counter given with --port, the program loads its Calc module from
# the moved prefix, and it ends.
#
#   check-installed.sh BUILD_DIR COUNTER_SIM
set -euo pipefail

fail() { echo "FAIL: $*" >&2; exit 1; }
# Waits up to $1 seconds for the command after it to succeed.
waitfor() {
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

ended() { ! kill -0 "$1" 2>/dev/null; }

# Under the virtual display: the window, its clicks, the module.
on_display() {
  local program=$1 prefix=$2 work=$3 pty=$4 calc=$5
  unset QT_QPA_PLATFORM
  "$program" --port 1="$pty" >"$work/program.log" 2>&1 &
  local app=$!
  local window
  window=$(timeout 120 xdotool search --sync --onlyvisible --name '^Frequency Tallyo$') \
    || fail "the installed program shows no window: $(cat "$work/program.log")"
  window=${window%%$'\n'*}
  # Data: at (120, 7080) twips, 855 x 495, 15 twips to the pixel.
  xdotool mousemove --window "$window" 36 488 click 1
  waitfor 60 grep -q '^port 1 <- "D1"$' "$work/counter.log" \
    || fail "Data put no request on the counter given with --port 1=$pty"
  if [ "$calc" = yes ]; then
    # Data to Excel: at (2160, 8880) twips, 1095 x 615.
    xdotool mousemove --window "$window" 180 612 click 1
    waitfor 120 grep -q "$prefix/lib/frequency-tallyo/libtallyo-calc.so" "/proc/$app/maps" \
      || fail "the installed program did not load $prefix/lib/frequency-tallyo/libtallyo-calc.so"
  fi
  # EXIT: at (3720, 7080) twips, 855 x 495. It closes the port, which lets
  # the port's lock go, and ends the program.
  xdotool mousemove --window "$window" 276 488 click 1
  waitfor 30 ended "$app" || { kill "$app"; fail "EXIT did not end the installed program"; }
  local rc=0
  wait "$app" || rc=$?
  [ "$rc" -eq 0 ] || fail "the installed program ended with $rc after EXIT: $(cat "$work/program.log")"
}

case "${1:-}" in
  --isolated)
    # A /tmp of our own: the office the program starts talks on a pipe there,
    # and no other office on this machine can answer it. A /run/lock of our
    # own: a serial port's lock file names its holder by process number, and
    # in a fresh process namespace the program gets the same number every
    # run; a lock an earlier run left behind would look held by it.
    # This shell is the namespace's first process: whatever is left when it
    # ends goes with it.
    shift
    # What this run needs under /tmp (a checkout or build tree there) stays
    # reachable at its own path.
    keep=$(mktemp -d /dev/shm/tallyo-tmp.XXXXXX)
    mount --bind /tmp "$keep"
    mount -t tmpfs tmpfs /tmp
    mount -t tmpfs tmpfs /run/lock
    for path in "$(realpath "$0")" "$@"; do
      case "$path" in
        /tmp/?*)
          top=${path#/tmp/}
          top=${top%%/*}
          if [ -e "$keep/$top" ] && ! mountpoint -q "/tmp/$top"; then
            if [ -d "$keep/$top" ]; then mkdir -p "/tmp/$top"; else touch "/tmp/$top"; fi
            mount --bind "$keep/$top" "/tmp/$top"
          fi ;;
      esac
    done
    xvfb-run -a -s "-screen 0 1024x768x24" "$0" --on-display "$@"
    exit ;;
  --on-display)
    shift
    on_display "$@"
    exit 0 ;;
esac

build=$(realpath "$1")
counter_sim=$2
id=org.frequencytallyo.FrequencyTallyo
for tool in desktop-file-validate appstreamcli man xvfb-run xdotool; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

work=$(mktemp -d "$build/installed-XXXXXX")
sim_pid=
cleanup() {
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$work/staged" >/dev/null
mv "$work/staged" "$work/prefix"
prefix=$work/prefix
mkdir "$work/bin"
ln -s "$prefix/bin/frequency-tallyo" "$work/bin/frequency-tallyo"
program=$work/bin/frequency-tallyo

calc=no
[ ! -e "$build/src/libtallyo-calc.so" ] || calc=yes
files=(bin/frequency-tallyo bin/frequency-tallyo-demo
       share/applications/$id.desktop share/metainfo/$id.metainfo.xml
       share/icons/hicolor/scalable/apps/$id.svg share/icons/hicolor/48x48/apps/$id.png
       share/man/man1/frequency-tallyo.1.gz share/man/man1/frequency-tallyo-demo.1.gz)
[ "$calc" = no ] || files+=(lib/frequency-tallyo/libtallyo-calc.so)
for file in "${files[@]}"; do
  [ -f "$prefix/$file" ] || fail "$file is not installed"
done
desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "the desktop entry is not clean"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" >/dev/null \
  || fail "the metainfo is not valid: $(appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml")"
page=$(LC_ALL=C.UTF-8 MANWIDTH=100 man -l "$prefix/share/man/man1/frequency-tallyo.1.gz")
[ ! -e "$prefix/share/lintian" ] || fail "lintian overrides are installed outside a package"
for words in "--list-ports" "--port N=DEVICE" "ports.conf" "EXIT STATUS" "usermod"; do
  grep -qF -- "$words" <<<"$page" || fail "the man page does not mention $words"
done
module=$work/staged/lib/frequency-tallyo/libtallyo-calc.so
gzip -dc "$prefix/share/man/man1/frequency-tallyo.1.gz" | grep -qF -- "${module//-/\\-}" \
  || fail "the man page does not name the module's path, $module"

# A simulated counter on a pseudo-terminal, which no listing shows: only
# --port reaches it.
"$counter_sim" --no-pace >"$work/counter.log" &
sim_pid=$!
waitfor 30 grep -q '^counter 1: ' "$work/counter.log" || fail "counter-sim gave no pseudo-terminal"
pty=$(sed -n 's/^counter 1: //p' "$work/counter.log")

export HOME=$work/home XDG_CONFIG_HOME=$work/config
mkdir -p "$HOME" "$XDG_CONFIG_HOME/frequency-tallyo"
printf '2=%s\n' "$work/nothing-here" >"$XDG_CONFIG_HOME/frequency-tallyo/ports.conf"
listing=$("$program" --list-ports --port 1="$pty") || fail "--list-ports failed"
grep -qxF "1: $pty, bound by --port" <<<"$listing" || fail "--list-ports: $listing"
grep -qxF "2: $work/nothing-here, bound in $XDG_CONFIG_HOME/frequency-tallyo/ports.conf, missing now" <<<"$listing" \
  || fail "--list-ports does not show the settings file's binding: $listing"
rc=0
"$program" --port 7=/dev/ttyS0 2>"$work/usage.txt" || rc=$?
[ "$rc" -eq 2 ] && grep -q "must be 1 to 6" "$work/usage.txt" || fail "--port 7=...: exit $rc, $(cat "$work/usage.txt")"
# The demo answers its command line with no display to open a window on.
nodisplay=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM)
version=$("${nodisplay[@]}" "$prefix/bin/frequency-tallyo-demo" --version 2>&1) \
  && [[ $version =~ ^frequency-tallyo-demo\ [0-9] ]] || fail "frequency-tallyo-demo --version: $version"
rc=0
"${nodisplay[@]}" "$prefix/bin/frequency-tallyo-demo" --no-such-option 2>"$work/usage.txt" || rc=$?
[ "$rc" -eq 2 ] && grep -q -- "--version" "$work/usage.txt" \
  || fail "frequency-tallyo-demo --no-such-option: exit $rc, $(cat "$work/usage.txt")"

if [ "$calc" = yes ] && [ "$(id -u)" -eq 0 ] && unshare --mount --net --pid --fork --mount-proc true 2>/dev/null; then
  # The office the program starts lives in this namespace and ends with it.
  unshare --mount --net --pid --fork --mount-proc "$0" --isolated "$program" "$prefix" "$work" "$pty" yes
else
  [ "$calc" = no ] || echo "NOTE: not root, or no namespaces: the Calc module's loading is not checked"
  xvfb-run -a -s "-screen 0 1024x768x24" "$0" --on-display "$program" "$prefix" "$work" "$pty" no
fi
echo "PASS"
