#!/usr/bin/env bash
# Drives the real window under its own Xvfb as a person would, with mouse clicks and keys
# (xdotool), on a simulated device served by tarvel-devsim:
#   1. the Update Alert is answered No; the menu opens; Update is pressed and confirmed; the
#      button and the menu are pressed again in a hurry while the update runs; the window
#      reaches "Latest software is installed on device" with one update worker, and the
#      rider's files are back on the drive byte for byte;
#   2. a second instance started meanwhile shows its box, ends with 0, and the first goes on;
#   3. Exit from the menu ends the window with 0;
#   4. the window is closed (Exit) in the middle of programming, and the next run finishes
#      the update without losing the rider's files;
#   5. the display goes away in the middle of programming: no crash, and the next run
#      finishes the update with the rider's files intact.
# Skips (exit 77) when Xvfb or xdotool is missing.
set -uo pipefail

bin=${1:?usage: window_xvfb_test.sh BUILD/bin}
bin=$(cd "$bin" && pwd)
for tool in Xvfb xdotool; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/install-deps.sh installs it)"
    exit 77
  fi
done

# start_xvfb FILE: an X server of our own on a display number it picks itself (no race with
# other servers on the machine); its pid in $xvfb, DISPLAY set.
start_xvfb() {
  exec 5>"$1"
  Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  exec 5>&-
  for ((i = 0; i < 100; i++)); do [ -s "$1" ] && break; sleep 0.1; done
  [ -s "$1" ] || { echo "FAIL: Xvfb did not start"; exit 1; }
  export DISPLAY=":$(cat "$1")"
}

work=$(mktemp -d)
[ -n "${KEEP_WORK:-}" ] || trap 'kill $main_xvfb 2>/dev/null; rm -rf "$work"' EXIT
echo "work folder: $work"
start_xvfb "$work/main-display.num"
main_xvfb=$xvfb
updater=$bin/tarvel-updater
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# wait_for FILE REGEX SECONDS
wait_for() {
  local i
  for ((i = 0; i < $3 * 10; i++)); do
    grep -aqE "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
# wait_gone PID SECONDS; the exit status lands in $ended
wait_gone() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    if ! kill -0 "$1" 2>/dev/null; then
      wait "$1"
      ended=$?
      return 0
    fi
    sleep 0.1
  done
  return 1
}
# find_window TITLE-REGEX SECONDS: prints the first visible window with that title.
find_window() {
  local i w
  for ((i = 0; i < $2 * 10; i++)); do
    w=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1)
    [ -n "$w" ] && { echo "$w"; return 0; }
    sleep 0.1
  done
  return 1
}
main_window() { find_window '^Tarvel GPS Firmware Programmer$' 20; }
# The menu bar's one menu, then keys in it.
menu_keys() {
  xdotool mousemove --window "$1" 60 10 click 1
  sleep 0.3
  shift
  xdotool key --delay 80 "$@"
}

# A simulated Peak Pro below 13 with the rider's files on its drive, on its own bus.
start_device() {
  local name=$1
  mkdir -p "$work/$name/drive/Tarvel/Rides" "$work/$name/run" "$work/$name/data" "$work/$name/state"
  chmod 700 "$work/$name/run"
  printf 'TARVEL-SETTINGS rider=test units=metric\n' >"$work/$name/drive/Tarvel/Settings.fit"
  head -c 7000 /dev/urandom >"$work/$name/drive/Tarvel/Rides/ride-1.fit"
  head -c 2500 /dev/urandom >"$work/$name/drive/Tarvel/Rides/ride-2.fit"
  (cd "$work/$name/drive" && find Tarvel -type f -print0 | sort -z | xargs -0 sha256sum) >"$work/$name/before"
  "$bin/tarvel-devsim" --socket "$work/$name/bus.sock" --model 13 --version 12.40 --drive folder \
    --drive-dir "$work/$name/drive" --no-user-data --time-scale 0 >"$work/$name/devsim.log" 2>&1 &
  devsim=$!
  for ((i = 0; i < 50; i++)); do [ -S "$work/$name/bus.sock" ] && break; sleep 0.1; done
}
# Runs the updater on the device of $name; its pid in $updater_pid, its standard error in $name/run-N.log.
runs=0
start_updater() {
  local name=$1
  shift
  runs=$((runs + 1))
  log="$work/$name/run-$runs.log"
  TARVEL_VBUS="$work/$name/bus.sock" XDG_RUNTIME_DIR="$work/$name/run" XDG_DATA_HOME="$work/$name/data" \
    XDG_STATE_HOME="$work/$name/state" "$updater" --time-scale=0 "$@" >/dev/null 2>"$log" &
  updater_pid=$!
}
riders_files_back() {
  (cd "$work/$1/drive" && find Tarvel -type f -print0 | sort -z | xargs -0 sha256sum) >"$work/$1/after"
  cmp -s "$work/$1/before" "$work/$1/after"
}
# Update workers that started while another update was still under way (before its done screen).
overlapping_workers() {
  awk '/- startUpdateWorkerThread GRawDevID/ { if (busy) n++; busy = 1 } /fully upgraded/ { busy = 0 } END { print n + 0 }' "$1"
}

# ---- 1 and 2: the whole update by hand; a second instance meanwhile; Exit
start_device person
start_updater person
first=$updater_pid
wid=$(main_window)
# The Update Alert a second after start; No.
if find_window '^Update Alert$' 10 >/dev/null; then
  sleep 0.3
  xdotool key Escape
  pass "the Update Alert showed"
else
  fail "no Update Alert"
fi
sleep 0.5
[ -z "$(xdotool search --onlyvisible --name '^Update Alert$')" ] || fail "the Update Alert is still open"
if wait_for "$log" 'status: Peak Pro connected' 20; then pass "the device shows in the window"; else fail "no device"; fi

# The menu opens over the window and closes again.
before=$(xdotool search --onlyvisible --name '.*' | wc -l)
xdotool mousemove --window "$wid" 60 10 click 1
sleep 0.5
"$bin/tarvel_window_shot" 0 "$work/menu.png" 0 0 1024 768 || true
xdotool key Escape
pass "the menu opened"

# Update, confirmed with Return in the question; then a hurry of presses and menu choices
# while the update runs: the button's place, and Advanced > Force update twice.
xdotool mousemove --window "$wid" 149 375 click 1
sleep 0.8
xdotool click --repeat 3 --delay 50 1
xdotool key Return
for ((k = 0; k < 2; k++)); do
  xdotool mousemove --window "$wid" 149 375 click --repeat 3 --delay 40 1
  menu_keys "$wid" Up Up Right Return
done
if wait_for "$log" 'status: .*Latest software is installed on device' 90; then
  pass "the window reached \"Latest software is installed on device\""
else
  fail "the update did not finish"; tail -20 "$log"
fi
sleep 2
n=$(overlapping_workers "$log")
[ "$n" = 0 ] && pass "no update worker started while another update ran" || fail "$n update workers started during an update"
if kill -0 "$first" 2>/dev/null; then pass "the window is still open on the done screen"; else fail "the window ended"; fi
wait_for "$log" 'status: .*Latest software is installed on device' 90
riders_files_back person && pass "the rider's files are back" || fail "the rider's files differ"

# A second instance from the desktop: its box, status 0, the first unaffected.
start_updater person
second=$updater_pid
if find_window '^Tarvel GPS Updater Message$' 20 >/dev/null; then
  pass "the second instance shows its box"
  sleep 0.3
  xdotool key Return
else
  fail "no box for the second instance"
fi
if wait_gone "$second" 10 && [ "$ended" = 0 ]; then pass "the second instance ended with 0"; else fail "second instance: ${ended:-still running}"; fi
kill -0 "$first" 2>/dev/null && pass "the first instance runs on" || fail "the first instance is gone"

# Exit from the menu: the item above the first (wrapping round) is Exit.
menu_keys "$wid" Up Return
if wait_gone "$first" 10 && [ "$ended" = 0 ]; then pass "Exit ends the window with 0"; else fail "Exit: ${ended:-still running}"; fi
kill "$devsim" 2>/dev/null; wait "$devsim" 2>/dev/null

# ---- 4: the window closed in the middle of programming
start_device closing
start_updater closing --auto
if wait_for "$log" 'status: .*(Programming GPS Firmware|Erasing|% done)' 60; then
  wid=$(main_window)
  menu_keys "$wid" Up Return
  if wait_gone "$updater_pid" 10; then
    [ "$ended" = 0 ] && pass "closing during programming ends with 0" || fail "closing during programming: status $ended"
  else
    fail "the window did not close during programming"; kill -9 "$updater_pid"
  fi
  start_updater closing --auto
  if wait_gone "$updater_pid" 120 && grep -aqE 'status: .*Latest software is installed on device' "$log"; then
    pass "the next run finished the update"
  else
    fail "the next run did not finish"; tail -20 "$log"; kill "$updater_pid" 2>/dev/null
  fi
  riders_files_back closing && pass "the rider's files survived the close" || fail "the rider's files were lost"
else
  fail "programming never started"; kill "$updater_pid"
fi
kill "$devsim" 2>/dev/null; wait "$devsim" 2>/dev/null

# ---- 5: the display goes away in the middle of programming
start_device display
main_display=$DISPLAY
start_xvfb "$work/display.num"
start_updater display --auto
export DISPLAY=$main_display
if wait_for "$log" 'status: .*(Programming GPS Firmware|Erasing|% done)' 60; then
  kill "$xvfb"
  if wait_gone "$updater_pid" 15; then
    [ "$ended" -lt 128 ] && pass "the lost display ended the window without a crash (status $ended)" \
      || fail "the lost display crashed the window (status $ended)"
  else
    fail "the window hangs without its display"; kill -9 "$updater_pid"
  fi
  start_updater display --auto
  if wait_gone "$updater_pid" 120 && grep -aqE 'status: .*Latest software is installed on device' "$log"; then
    pass "the next run finished the update"
  else
    fail "the next run did not finish"; tail -20 "$log"; kill "$updater_pid" 2>/dev/null
  fi
  riders_files_back display && pass "the rider's files survived the lost display" || fail "the rider's files were lost"
else
  fail "programming never started"; kill "$updater_pid" "$xvfb"
fi
kill "$devsim" 2>/dev/null; wait "$devsim" 2>/dev/null

echo "$failures failure(s)"
[ "$failures" = 0 ]
