#!/usr/bin/env bash
# Screenshots of the real window under Xvfb, in five states, into docs/screenshots/:
#   1-no-device.png      no device attached
#   2-update-offered.png a Peak Pro with older firmware: its version and the Update button
#   3-programming.png    the update under way: a percentage, the warning and the busy bar
#   4-recovery.png       a device in its ROM bootloader: the recovery dialog
#   5-done.png           the done screen
# Usage: scripts/screenshots.sh [BUILD]   (needs Xvfb and xdotool: scripts/install-deps.sh)
set -euo pipefail
build=${1:-build}
bin=$(cd "$build/bin" && pwd)
out=$(cd "$(dirname "$0")/.." && pwd)/docs/screenshots

for tool in Xvfb xdotool; do
  command -v "$tool" >/dev/null || { echo "screenshots: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
[ -x "$bin/tarvel-updater" ] && [ -x "$bin/tarvel_window_shot" ] || { echo "screenshots: build first (make)" >&2; exit 1; }
mkdir -p "$out"
work=$(mktemp -d)
# An X server of our own, on a display number it picks itself.
exec 5>"$work/display.num"
Xvfb -displayfd 5 -screen 0 700x900x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
exec 5>&-
trap 'kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT
for ((i = 0; i < 100; i++)); do [ -s "$work/display.num" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display.num")"
cd "$work"
wait_for() { # FILE REGEX SECONDS
  for ((i = 0; i < $3 * 10; i++)); do grep -aqE "$2" "$1" && return 0; sleep 0.1; done
  echo "screenshots: '$2' did not show in $3 s" >&2; grep -a 'status:' "$1" | tail -5 >&2
  return 1
}
find_window() { # TITLE-REGEX SECONDS
  local w
  for ((i = 0; i < $2 * 10; i++)); do
    w=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1 || true)
    [ -n "$w" ] && { echo "$w"; return 0; }
    sleep 0.1
  done
  return 1
}
# The main window sits at (200, 200), 300 x 500; the dialog is centred over it.
shot_window() { sleep 0.4; "$bin/tarvel_window_shot" 0 "$out/$1" 200 200 300 500; }
shot_area() { sleep 0.4; "$bin/tarvel_window_shot" 0 "$out/$1" "$2" "$3" "$4" "$5"; }

run=0
start() { # LOG ARGS...: a run with local folders of its own
  run=$((run + 1))
  mkdir -p "r$run/run" && chmod 700 "r$run/run"
  local log=$1
  shift
  XDG_RUNTIME_DIR="$work/r$run/run" XDG_DATA_HOME="$work/r$run/data" XDG_STATE_HOME="$work/r$run/state" \
    "$bin/tarvel-updater" "$@" >/dev/null 2>"$log" &
  pid=$!
  find_window '^Tarvel GPS Firmware Programmer$' 20 >/dev/null
  # The Update Alert: No.
  for ((k = 0; k < 5; k++)); do
    alert=$(find_window '^Update Alert$' 20) || break
    sleep 0.5
    xdotool windowfocus "$alert" 2>/dev/null || true
    xdotool key Escape
    sleep 0.3
    [ -z "$(xdotool search --onlyvisible --name '^Update Alert$' 2>/dev/null || true)" ] && break
  done
  return 0
}

# 1. No device: a bus with nothing on it.
TARVEL_VBUS="$work/empty-bus.sock" start none.log --time-scale=0
wait_for none.log 'status: Please connect' 10
shot_window 1-no-device.png
kill "$pid"; wait "$pid" 2>/dev/null || true

# 2, 3 and 5. A Peak Pro 12.40: offered, programming, done. The pauses run at a fifth of
# their length so that the driver wait with its percentage stays on screen a moment.
start update.log --simulate --time-scale=0.2
wait_for update.log 'status: Peak Pro connected Ver: 12.40-' 30
shot_window 2-update-offered.png
wid=$(find_window '^Tarvel GPS Firmware Programmer$' 5)
xdotool mousemove --window "$wid" 149 375 click 1
sleep 0.8
xdotool key Return
wait_for update.log 'status: .*Updating drivers 35% done' 120
shot_window 3-programming.png
wait_for update.log 'status: .*Latest software is installed on device' 300
shot_window 5-done.png
kill "$pid"; wait "$pid" 2>/dev/null || true

# 4. A device that only shows its ROM bootloader: the recovery dialog, a model ticked.
start rom.log --simulate=face=rom --time-scale=0
dialog=$(find_window '^Emergency Recovery Mode$' 20)
xdotool mousemove --window "$dialog" 40 10 click 1 2>/dev/null || true
shot_area 4-recovery.png 150 200 400 500
kill "$pid"; wait "$pid" 2>/dev/null || true

ls -1 "$out"
