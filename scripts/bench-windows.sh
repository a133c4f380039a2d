#!/usr/bin/env bash
# The whole update at time scale 0 of a Peak Pro on a Linux tarvel-devsim over loopback TCP,
# by the Linux updater and by the Windows updater under Wine, in the same run; then the
# Windows build's own --simulate. Prints the seconds of each and the ratio.
#   scripts/bench-windows.sh [LINUX_BUILD] [WINDOWS_BUILD]
set -euo pipefail
linux=$(realpath "${1:-build}")
windows=$(realpath "${2:-build-windows}")
here=$(cd "$(dirname "$0")" && pwd)
for p in "$linux/bin/tarvel-devsim" "$linux/bin/tarvel-updater" "$windows/bin/tarvel-updater.exe"; do
  [ -x "$p" ] || { echo "bench-windows: $p is not built (make build windows)" >&2; exit 1; }
done
work=$(mktemp -d)
device=
trap '[ -n "$device" ] && kill "$device" 2>/dev/null; WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
# The build's prefix, copied as the tests copy it, with one Wine server kept up for the runs.
base="$windows/wineprefix"
bash "$here/wine-run.sh" "$base" "$windows/bin/tarvel-fw.exe" --help >/dev/null 2>&1 || true
cp -al "$base" "$work/prefix"
for f in system.reg user.reg userdef.reg .update-timestamp; do
  [ -e "$base/$f" ] && cp --remove-destination "$base/$f" "$work/prefix/$f"
done
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
wineserver -p
/usr/lib/wine/wine64 "$windows/bin/tarvel-fw.exe" --help >/dev/null 2>&1 || true

elapsed() { # the wall time of a command, in seconds
  local start end
  start=$(date +%s.%N)
  "$@" </dev/null >"$work/out" 2>"$work/err" || { echo "bench-windows: $1 failed:" >&2; tail -5 "$work/out" "$work/err" >&2; exit 1; }
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'
}

start_device() { # [ROOT-MAP]: a fresh simulated Peak Pro, TARVEL_VBUS exported
  rm -rf "$work/drive" "$work/home"
  mkdir -p "$work/drive" "$work/home/tmp"
  : >"$work/device.out"
  "$linux/bin/tarvel-devsim" --tcp 127.0.0.1:0 --model 13 --version 7.63 --time-scale 0 --drive-dir "$work/drive" \
    "$@" >"$work/device.out" 2>/dev/null &
  device=$!
  while [ ! -s "$work/device.out" ]; do sleep 0.05; done
  export "$(head -1 "$work/device.out")"
}
stop_device() {
  kill "$device"
  wait "$device" 2>/dev/null || true
  device=
}

start_device
linux_s=$(elapsed env XDG_RUNTIME_DIR="$work/home" XDG_STATE_HOME="$work/home/state" XDG_DATA_HOME="$work/home/data" \
  TMPDIR="$work/home/tmp" "$linux/bin/tarvel-updater" --headless --json --auto --time-scale=0)
stop_device
start_device --root-map "$work/drive/=Z:${work//\//\\}\\drive\\"
windows_s=$(elapsed env TEMP="Z:${work//\//\\}\\home\\tmp" /usr/lib/wine/wine64 "$windows/bin/tarvel-updater.exe" \
  --headless --json --auto --time-scale=0)
stop_device
unset TARVEL_VBUS
simulate_s=$(elapsed /usr/lib/wine/wine64 "$windows/bin/tarvel-updater.exe" --simulate --headless --json --auto --time-scale=0)
echo "whole Peak Pro update, time scale 0, Linux simulator on TCP: Linux build ${linux_s} s, Windows build under Wine ${windows_s} s," \
  "ratio $(awk -v a="$windows_s" -v b="$linux_s" 'BEGIN { printf "%.1f", a / b }')"
echo "Windows build under Wine, its own --simulate: ${simulate_s} s"
