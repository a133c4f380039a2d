#!/usr/bin/env bash
# The Windows updater's own window under Wine on an Xvfb of its own: a whole update of a
# simulated Peak Pro to the done screen and the exit, then a device in its ROM bootloader
# through the recovery dialog. window_driver.exe checks each step from inside Wine; this script
# checks the status lines the updater traced and its exit status.
#   window_test.sh UPDATER.exe DRIVER.exe TARVEL-DEVSIM
# With TARVEL_SCREENSHOT_DIR set the window's shots are left there as PNGs.
set -euo pipefail
updater=$1 driver=$2 devsim=$3
if [ ! -x "$devsim" ]; then
  echo "window_test: $devsim is missing: build the Linux tarvel-devsim first" >&2
  exit 1
fi
work=$(mktemp -d)
xvfb_pid= devsim_pid=
cleanup() {
  [ -n "$devsim_pid" ] && kill "$devsim_pid" 2>/dev/null || true
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
  sleep 1
  if kill -0 "$xvfb_pid" 2>/dev/null; then display=:$n; break; fi
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

scenario() { # NAME DEVSIM-ARGS...
  local name=$1; shift
  local dir=$work/$name
  mkdir -p "$dir/drive"
  "$devsim" --tcp 127.0.0.1:0 --root-map "$work/=$(winpath "$work")\\" --drive-dir "$dir/drive" \
    --time-scale 0.02 "$@" >"$dir/devsim.out" 2>"$dir/devsim.err" &
  devsim_pid=$!
  for _ in $(seq 100); do [ -s "$dir/devsim.out" ] && break; sleep 0.1; done
  local bus
  bus=$(head -n1 "$dir/devsim.out")
  env "$bus" "$wine" "$updater" --auto --time-scale=0.02 >"$dir/updater.out" 2>"$dir/updater.err" &
  local updater_pid=$!
  local status=0
  "$wine" "$driver" "$name" "$(winpath "$work/shots")" >"$dir/driver.out" 2>&1 || status=$?
  sed "s/^/  $name: /" "$dir/driver.out" | tr -d '\r'
  local exit_status=0
  if ! timeout 60 bash -c "while kill -0 $updater_pid 2>/dev/null; do sleep 0.2; done"; then
    echo "window_test: $name: the updater did not end" >&2; status=1
  fi
  wait "$updater_pid" || exit_status=$?
  kill "$devsim_pid" 2>/dev/null || true
  wait "$devsim_pid" 2>/dev/null || true
  devsim_pid=
  if [ "$status" -ne 0 ]; then
    echo "window_test: $name: the driver failed; the updater said:" >&2
    tail -n 40 "$dir/updater.err" >&2
    return 1
  fi
  [ "$exit_status" -eq 0 ] || { echo "window_test: $name: the updater exited $exit_status" >&2; return 1; }
  grep -q '^status: Latest software is installed on device' "$dir/updater.err" \
    || { echo "window_test: $name: no done screen traced" >&2; return 1; }
  echo "  $name: the updater showed the done screen and exited 0"
}

scenario update --model 13 --version 12.40
scenario rom --model 13 --version 12.40 --face rom
grep -q '^status: Device Recovery Mode' "$work/rom/updater.err" \
  || { echo "window_test: rom: the recovery status line was not shown" >&2; exit 1; }

if [ -n "${TARVEL_SCREENSHOT_DIR:-}" ]; then
  mkdir -p "$TARVEL_SCREENSHOT_DIR"
  for bmp in "$work"/shots/*.bmp; do
    convert "$bmp" "$TARVEL_SCREENSHOT_DIR/$(basename "${bmp%.bmp}").png"
  done
fi
echo "window_test: 2 passed, 0 failed"
