#!/usr/bin/env bash
# The Windows updater's own window under Wine on an Xvfb of its own, driven from outside by
# window_driver.exe under the same Wine: no device (the connect prompt, then Exit), a whole
# update of the built-in simulated Peak Pro to the done screen and the exit, and a device in
# its ROM bootloader through the recovery dialog. The driver checks each step from inside Wine;
# this script checks the status lines the updater traced and its exit status.
#   window_test.sh UPDATER.exe DRIVER.exe SCENARIO...   (none, update, rom)
# With TARVEL_SCREENSHOT_DIR set the window's shots are left there as PNGs.
set -euo pipefail
updater=$1 driver=$2
shift 2
scenarios=("$@")
work=$(mktemp -d)
xvfb_pid=
cleanup() {
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A display of our own: the first free number from a start that differs per process.
for n in $(seq $((100 + $$ % 100)) 299); do
  [ -e /tmp/.X$n-lock ] && continue
  Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 50); do [ -e /tmp/.X11-unix/X$n ] && break; kill -0 "$xvfb_pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$xvfb_pid" 2>/dev/null && [ -e /tmp/.X11-unix/X$n ]; then display=:$n; break; fi
  kill "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=
done
[ -n "$xvfb_pid" ] || { echo "window_test: no display could be started" >&2; exit 1; }

# The prefix boots with the display already set (one booted without one shows no windows).
export DISPLAY=$display WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
wine=${TARVEL_WINE:-/usr/lib/wine/wine64}
"$wine" wineboot -i >/dev/null 2>&1 || true
wineserver -w 2>/dev/null || true
mkdir -p "$work/shots"
winpath() { echo "Z:${1//\//\\}"; }

scenario() { # NAME UPDATER-ARGS...
  local name=$1; shift
  local dir=$work/$name
  mkdir -p "$dir"
  local started=$SECONDS
  "$wine" "$updater" "$@" >"$dir/updater.out" 2>"$dir/updater.err" &
  local updater_pid=$!
  local status=0
  "$wine" "$driver" "$name" "$(winpath "$work/shots")" "$(winpath "$updater")" >"$dir/driver.out" 2>&1 || status=$?
  sed "s/^/  $name: /" "$dir/driver.out" | tr -d '\r'
  local exit_status=0 grace=60
  [ "$status" -eq 0 ] || grace=3
  if ! timeout $grace bash -c "while kill -0 $updater_pid 2>/dev/null; do sleep 0.2; done"; then
    echo "window_test: $name: the updater did not end" >&2
    kill "$updater_pid" 2>/dev/null || true
    status=1
  fi
  wait "$updater_pid" || exit_status=$?
  if [ "$status" -ne 0 ]; then
    echo "window_test: $name: the driver failed; the updater said:" >&2
    tail -n 40 "$dir/updater.err" | tr -d '\r' >&2
    return 1
  fi
  [ "$exit_status" -eq 0 ] || { echo "window_test: $name: the updater exited $exit_status" >&2; return 1; }
  echo "  $name: the updater exited 0 after $((SECONDS - started)) s"
}

failed=0
for name in "${scenarios[@]}"; do
  case $name in
  none)
    scenario none || failed=$((failed + 1))
    grep -aq '^status: Please connect your Tarvel GPS Device' "$work/none/updater.err" \
      || { echo "window_test: none: the connect prompt was not shown" >&2; failed=$((failed + 1)); } ;;
  update)
    scenario update --simulate --auto --time-scale=0 || failed=$((failed + 1))
    grep -aq 'Latest software is installed on device' "$work/update/updater.err" \
      || { echo "window_test: update: no done screen traced" >&2; failed=$((failed + 1)); }
    grep -aq 'Command 32778 refused: device work is under way' "$work/update/updater.err" \
      || { echo "window_test: update: Force update was not refused during the update" >&2; failed=$((failed + 1)); }
    grep -aq 'Command 32782 ignored: its menu entry is disabled' "$work/update/updater.err" \
      || { echo "window_test: update: LOAD STANDARD FIRMWARE NOW was not ignored" >&2; failed=$((failed + 1)); }
    grep -aq 'Close the updater anyway? -> No' "$work/update/updater.err" \
      || { echo "window_test: update: closing during programming was not asked about" >&2; failed=$((failed + 1)); } ;;
  rom)
    scenario rom --simulate=face=rom --auto --time-scale=0 || failed=$((failed + 1))
    grep -aq '^status: Device Recovery Mode' "$work/rom/updater.err" \
      || { echo "window_test: rom: the recovery status line was not shown" >&2; failed=$((failed + 1)); } ;;
  *) echo "window_test: unknown scenario $name" >&2; exit 2 ;;
  esac
done

if [ -n "${TARVEL_SCREENSHOT_DIR:-}" ]; then
  mkdir -p "$TARVEL_SCREENSHOT_DIR"
  for bmp in "$work"/shots/*.bmp; do
    [ -e "$bmp" ] || continue
    convert "$bmp" "$TARVEL_SCREENSHOT_DIR/$(basename "${bmp%.bmp}").png"
  done
fi
[ "$failed" -eq 0 ] || { echo "window_test: $failed checks failed" >&2; exit 1; }
echo "window_test: ${#scenarios[@]} scenarios passed"
