#!/usr/bin/env bash
# The Linux updater's whole update of a Peak Pro of the old generation against the stand-in
# device of tests/support (written apart from the simulator): main firmware, disk reset,
# wireless package, and the rider's files back byte for byte.
#   standin_update_test.sh UPDATER SOURCE_DIR
set -euo pipefail
updater=$1
source_dir=$2
work=$(mktemp -d)
device_pid=
cleanup() {
  [ -n "$device_pid" ] && kill "$device_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/*.out "$work"/*.err; do
    [ -s "$f" ] && { echo "---- $(basename "$f")" >&2; tail -30 "$f" >&2; }
  done
  exit 1
}
mkdir -p "$work/drive" "$work/home" "$work/tmp"
python3 "$source_dir/tests/support/vbus_standin.py" --tcp 127.0.0.1:0 --model 13 --version 7.63 \
  --nrf-version 1.10.31.39 --drive-dir "$work/drive" --rider-data >"$work/device.out" 2>"$work/device.err" &
device_pid=$!
for _ in $(seq 100); do
  [ -s "$work/device.out" ] && break
  kill -0 "$device_pid" 2>/dev/null || fail "the stand-in ended before it listened"
  sleep 0.1
done
line=$(head -1 "$work/device.out")
case $line in
  TARVEL_VBUS=tcp:127.0.0.1:*/*) export "${line?}" ;;
  *) fail "the stand-in printed no bus address: $line" ;;
esac
sums() { (cd "$work/drive/Tarvel" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum); }
before=$(sums)
[ -n "$before" ] || fail "the stand-in made no rider's files"
status=0
(cd "$work" && HOME="$work/home" TMPDIR="$work/tmp" timeout 90 "$updater" --headless --json --auto --time-scale=0 \
  </dev/null >"$work/updater.out" 2>"$work/updater.err") || status=$?
[ "$status" = 0 ] || fail "the updater ended with $status"
python3 "$source_dir/tests/e2e/wine/check_events.py" "$work/updater.out" --outcome up-to-date 0 --in-order \
  "Peak Pro Flashing success" "Restoring Data..." "Latest software is installed on device" || fail "events: see above"
[ "$(sums)" = "$before" ] || fail "the rider's files changed"
grep -q "factory reset" "$work/device.err" || fail "the disk was not reset before the wireless update"
grep -q "firmware 14.51, wireless 2.13.33.26: arrives in its application face" "$work/device.err" ||
  fail "the device does not run the carried firmware"
echo PASS
