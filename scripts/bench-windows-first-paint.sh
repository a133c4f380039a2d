#!/usr/bin/env bash
# The window's first paint on both builds under one X server of its own (Xvfb): from process
# start to the first finished paint of the Linux updater's Qt window and of the Windows
# updater's Win32 window under Wine (its own start of the Wine process included, as a rider's
# double-click includes it), both for real devices with none present. Ten runs of each
# (FIRST_PAINT_BENCH_RUNS); prints each run, the medians and the ratio.
#   scripts/bench-windows-first-paint.sh [LINUX_BUILD] [WINDOWS_BUILD]
set -euo pipefail
linux=$(realpath "${1:-build}")
windows=$(realpath "${2:-build-windows}")
runs=${FIRST_PAINT_BENCH_RUNS:-10}
for p in "$linux/bin/tarvel-updater" "$windows/bin/tarvel-updater.exe"; do
  [ -x "$p" ] || { echo "bench-windows-first-paint: $p is not built (make build windows)" >&2; exit 1; }
done
command -v Xvfb >/dev/null || { echo "bench-windows-first-paint: Xvfb is missing" >&2; exit 1; }
work=$(mktemp -d)
xvfb=
cleanup() {
  WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
exec 5>"$work/display.num"
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
exec 5>&-
for ((i = 0; i < 100; i++)); do [ -s "$work/display.num" ] && break; sleep 0.1; done
[ -s "$work/display.num" ] || { echo "bench-windows-first-paint: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$work/display.num")"

# A prefix of its own, booted with the display set (one booted without shows no windows), and
# its server kept up between the runs as it is on a desktop.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
wine=${TARVEL_WINE:-/usr/lib/wine/wine64}
"$wine" wineboot -i >/dev/null 2>&1 || true
wineserver -w 2>/dev/null || true
wineserver -p

# Starts one program, waits for its first paint, ends it and waits until it is gone (the next
# run must not meet its single-instance lock); prints the milliseconds taken.
timeRun() {
  local dir=$1
  shift
  mkdir -p "$dir/run" "$dir/tmp" && chmod 700 "$dir/run"
  local log="$dir/err.log"
  : >"$log"
  local start
  start=$(date +%s%N)
  TARVEL_REPORT_FIRST_PAINT=1 XDG_RUNTIME_DIR="$dir/run" XDG_DATA_HOME="$dir/data" XDG_STATE_HOME="$dir/state" \
    TMPDIR="$dir/tmp" "$@" >/dev/null 2>"$log" &
  local pid=$!
  for ((i = 0; i < 3000; i++)); do
    grep -aq 'first paint at' "$log" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.01
  done
  local painted
  painted=$(grep -ao 'first paint at [0-9]*' "$log" | head -1 | awk '{print $4}')
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  if [ -z "$painted" ]; then
    echo "bench-windows-first-paint: no first paint from $*$(kill -0 "$xvfb" 2>/dev/null || echo ' (the X server has died)')" >&2
    tail -5 "$log" | tr -d '\r' >&2
    tail -5 "$work/xvfb.log" >&2
    return 1
  fi
  echo $(((painted - start) / 1000000))
}

# All the Qt rounds first: a Qt program started after a Wine process was ended on the same
# server could not open the display here.
qt=() win32=()
for ((r = 1; r <= runs; r++)); do
  qt+=("$(timeRun "$work/$r-qt" env -u TARVEL_VBUS "$linux/bin/tarvel-updater")")
  printf 'round %d: Qt window %d ms\n' "$r" "${qt[-1]}"
done
for ((r = 1; r <= runs; r++)); do
  win32+=("$(timeRun "$work/$r-win32" env -u TARVEL_VBUS "$wine" "$windows/bin/tarvel-updater.exe")")
  printf 'round %d: Win32 window under Wine %d ms\n' "$r" "${win32[-1]}"
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
mq=$(median "${qt[@]}")
mw=$(median "${win32[@]}")
printf 'first paint, medians of %d: Qt window (Linux) %d ms, Win32 window under Wine %d ms (%.2fx); load average %s\n' \
  "$runs" "$mq" "$mw" "$(awk -v a="$mw" -v b="$mq" 'BEGIN { printf "%.2f", a / b }')" "$(cut -d' ' -f1 /proc/loadavg)"
