#!/usr/bin/env bash
# The Linux updater's whole update against the stand-in device of tests/support (written apart
# from the simulator):
#   standin_update_test.sh UPDATER SOURCE_DIR [SCENARIO]
# SCENARIO peak-pro (the default): a Peak Pro of the old generation, main firmware, disk reset,
# wireless package, and the rider's files back byte for byte. japanese: the same model with the
# Japanese firmware, its two language packs programmed after the wireless update. bad-root: the
# drive listed at a root this computer cannot use (missing, then a file): the update stops
# before the device is touched and the rider's files stay as they were.
set -euo pipefail
updater=$1
source_dir=$2
scenario=${3:-peak-pro}
work=$(mktemp -d)
device_pid=
cleanup() {
  [ -n "$device_pid" ] && kill "$device_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL [$scenario]: $*" >&2
  for f in "$work"/*.out "$work"/*.err; do
    [ -s "$f" ] && { echo "---- $(basename "$f")" >&2; tail -30 "$f" >&2; }
  done
  exit 1
}
# shellcheck source=bus_server.sh
source "$source_dir/tests/e2e/bus_server.sh"
mkdir -p "$work/drive" "$work/home" "$work/tmp"

standin() { start_standin --model 13 --version 7.63 --nrf-version 1.10.31.39 --drive-dir "$work/drive" "$@"; }
# Each run starts with nothing held from an earlier one, and with a runtime folder of its own:
# runs side by side are not one another's other instance.
run_updater() {
  local status=0
  rm -rf "$work/home" "$work/tmp" "$work/run"
  mkdir -p "$work/home" "$work/tmp"
  mkdir -m 700 "$work/run"
  (cd "$work" && HOME="$work/home" TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/run" XDG_DATA_HOME="$work/home/data" \
    XDG_STATE_HOME="$work/home/state" timeout 90 "$updater" --headless --json --auto --time-scale=0 \
    </dev/null >"$work/updater.out" 2>"$work/updater.err") || status=$?
  echo "$status"
}
events() {
  python3 "$source_dir/tests/e2e/wine/check_events.py" "$work/updater.out" "$@" || fail "events: see above"
}
sums() { (cd "$work/drive/Tarvel" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum); }

case $scenario in
peak-pro)
  standin --rider-data
  before=$(sums)
  [ -n "$before" ] || fail "the stand-in made no rider's files"
  status=$(run_updater)
  [ "$status" = 0 ] || fail "the updater ended with $status"
  events --outcome up-to-date 0 --in-order "Peak Pro Flashing success" "Restoring Data..." \
    "Latest software is installed on device"
  [ "$(sums)" = "$before" ] || fail "the rider's files changed"
  grep -q "factory reset" "$work/device.err" || fail "the disk was not reset before the wireless update"
  grep -q "firmware 14.51, wireless 2.13.33.26: arrives in its application face" "$work/device.err" ||
    fail "the device does not run the carried firmware"
  ;;
japanese)
  standin --variant japanese
  status=$(run_updater)
  [ "$status" = 0 ] || fail "the updater ended with $status"
  events --outcome up-to-date 0 --in-order "Peak Pro Flashing success" "Language Pack Update" \
    "Language Pack 1 of 2 done!" "Language Pack 2 of 2 done!" "Latest software is installed on device"
  expect_japanese_standin_programmed
  ;;
bad-root)
  : >"$work/root-file"
  for root in "$work/missing/" "$work/root-file/"; do
    standin --rider-data --root-map "$work/drive/=$root"
    before=$(sums)
    status=$(run_updater)
    [ "$status" = 1 ] || fail "root $root: the updater ended with $status, not 1"
    events --outcome failure 1 --in-order "Could not back up the data on your GPS." \
      "The update was stopped. Your data is still on the GPS."
    grep -qF "is not a folder this computer can use" "$work/updater.out" || fail "root $root: the log does not say why"
    [ "$(sums)" = "$before" ] || fail "root $root: the rider's files changed"
    [ ! -e "$work/missing" ] || fail "root $root: a folder was made where the drive was said to be"
    ! grep -q "arrives in its\|factory reset" "$work/device.err" || fail "root $root: the device was touched"
    stop_device
  done
  ;;
*)
  echo "unknown scenario $scenario" >&2
  exit 2
  ;;
esac
echo "PASS [$scenario]"
