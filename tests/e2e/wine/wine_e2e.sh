#!/usr/bin/env bash
# The Windows programs end to end under Wine, against a bus server run on the Linux side:
#   wine_e2e.sh SCENARIO WINDOWS_BIN BASE_PREFIX SOURCE_DIR [DEVSIM]
# SCENARIO: peak-pro, japanese, recovery, bl, simulate, bad-input, and against the stand-in
# device of tests/support: standin-bl, standin-peak-pro, standin-ridge, standin-recovery,
# standin-lock-refused, standin-japanese, standin-bad-root. DEVSIM is the Linux tarvel-devsim (any
# program that serves the bus's TCP form the same way will do); missing, the scenario is
# skipped with exit 77 and says so. Each run works in a folder of its own: a hard-linked copy
# of the build's ready Wine prefix (so the updater's C:\Tarvel, its temporary folder and the
# single-instance mutex are this run's own), the device's drive, and the files it writes.
set -euo pipefail
scenario=$1
bin=$2
base=$3
source_dir=$4
devsim=${5:-}

if [ "$scenario" != simulate ] && [ "${scenario#standin-}" = "$scenario" ] && [ ! -x "$devsim" ]; then
  echo "SKIPPED: the Linux simulator ${devsim:-(none given)} is not built; run make test first" >&2
  exit 77
fi
# The base prefix is made once (wineboot), on first use, by the runner script.
bash "$source_dir/scripts/wine-run.sh" "$base" "$bin/tarvel-fw.exe" --help >/dev/null 2>&1 || true

work=$(mktemp -d)
device_pid=
cleanup() {
  [ -n "$device_pid" ] && kill "$device_pid" 2>/dev/null || true
  WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The registry files are rewritten by Wine: real copies; the rest stays shared and unchanged.
# The unit tests run in the base prefix at the same time and make and delete files in its
# users' Temp folders and in C:\Tarvel: those are left out (a file vanishing mid-copy fails
# the copy, and one left there would not be this scenario's own).
link_entries() { # SRC DEST SKIP...: each entry of SRC hard-linked into DEST, but the SKIP names
  local src=$1 dest=$2 entry name skip keep
  shift 2
  mkdir -p "$dest"
  for entry in "$src"/* "$src"/.[!.]*; do
    [ -e "$entry" ] || [ -L "$entry" ] || continue
    name=${entry##*/}
    keep=1
    for skip in "$@"; do [ "$name" = "$skip" ] && keep=0; done
    [ $keep = 1 ] && cp -al "$entry" "$dest/"
  done
  return 0
}
link_entries "$base" "$work/prefix" drive_c
link_entries "$base/drive_c" "$work/prefix/drive_c" users Tarvel
for user in "$base/drive_c/users"/*; do
  link_entries "$user" "$work/prefix/drive_c/users/${user##*/}" Temp
  mkdir -p "$work/prefix/drive_c/users/${user##*/}/Temp"
done
for f in system.reg user.reg userdef.reg .update-timestamp; do
  [ -e "$base/$f" ] && cp --remove-destination "$base/$f" "$work/prefix/$f"
done
mkdir -p "$work/drive" "$work/tmp"
winpath() { # a Linux path as Wine's Z: drive names it
  local p=${1//\//\\}
  printf 'Z:%s' "$p"
}
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
export TEMP TMP
TEMP=$(winpath "$work/tmp")
TMP=$TEMP
wine=${TARVEL_WINE:-/usr/lib/wine/wine64}
# One Wine server for the whole scenario: without it each program would start its own and
# bring the system's services up again (seconds per program).
wineserver -p

# shellcheck source=../bus_server.sh
source "$source_dir/tests/e2e/bus_server.sh"

fail() {
  echo "FAIL [$scenario]: $*" >&2
  for f in "$work"/*.out "$work"/*.err; do
    [ -s "$f" ] && { echo "---- $(basename "$f")" >&2; tail -40 "$f" >&2; }
  done
  exit 1
}

# The simulator on a loopback port of its choosing, its drive rewritten to the Z: form.
start_device() {
  "$devsim" --tcp 127.0.0.1:0 --drive-dir "$work/drive" --time-scale 0 \
    --root-map "$work/drive/=$(winpath "$work/drive/")" "$@" >"$work/device.out" 2>"$work/device.err" &
  device_pid=$!
  take_bus_address "$work/device.out" "$device_pid" "the simulator"
}

updater() {
  local status=0
  timeout 240 "$wine" "$bin/tarvel-updater.exe" --headless --json --time-scale=0 "$@" \
    </dev/null >"$work/updater.out" 2>"$work/updater.err" || status=$?
  echo "$status"
}

# Checks on the JSON events: the run's outcome, and texts that must appear in this order.
check_events() {
  python3 "$source_dir/tests/e2e/wine/check_events.py" "$work/updater.out" "$@" || fail "events: see above"
}

tree_sums() {
  (cd "$1" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum)
}

case $scenario in
peak-pro)
  # A Peak Pro of the old generation with the rider's files: updated, its files back byte for byte.
  start_device --model 13 --version 7.63 --nrf-version 1.10.31.39
  before=$(tree_sums "$work/drive/Tarvel")
  [ -n "$before" ] || fail "the device has no rider's files to keep"
  status=$(updater --auto)
  [ "$status" = 0 ] || fail "the updater ended with $status"
  check_events --outcome up-to-date 0 --in-order "Peak Pro Flashing success" "Latest software is installed on device"
  [ "$(tree_sums "$work/drive/Tarvel")" = "$before" ] || fail "the rider's files changed"
  stop_device
  grep -q "firmware 14.51" "$work/device.err" || fail "the device does not run the carried firmware"
  ;;
japanese)
  start_device --model 13 --variant japanese --version 7.63
  status=$(updater --auto)
  [ "$status" = 0 ] || fail "the updater ended with $status"
  check_events --outcome up-to-date 0 --in-order "Peak Pro Flashing success" "Language Pack Update" \
    "Language Pack 1 of 2 done!" "Language Pack 2 of 2 done!" "Latest software is installed on device"
  stop_device
  ;;
recovery)
  # A device that only starts in its ROM bootloader; the recovery's answer given in advance.
  start_device --model 13 --face rom
  status=$(updater --auto --recover=13)
  [ "$status" = 0 ] || fail "the updater ended with $status"
  check_events --outcome up-to-date 0 --in-order "Recovery Mode Carefully Choose Your Device" \
    '"answer":"13,english"' '"by":"option"' "Latest software is installed on device"
  stop_device
  grep -q "firmware 14.51" "$work/device.err" || fail "the recovered device does not run the carried firmware"
  ;;
bl)
  start_device --model 11 --face bootloader
  python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 7 + 3) & 0xFF for i in range(100000)))' >"$work/image.bin"
  bl() {
    local status=0
    timeout 120 "$wine" "$bin/tarvel-bl.exe" "$@" >"$work/bl.out" 2>&1 || status=$?
    tr -d '\r' <"$work/bl.out" >"$work/bl.txt"
    echo "$status"
  }
  [ "$(bl --usb 0x2b29:0x0b -- flash-erase-region 0xa000 0x19000)" = 0 ] || fail "erase failed"
  [ "$(cat "$work/bl.txt")" = "Response status = 0 (0x0) Success." ] || fail "erase: $(cat "$work/bl.txt")"
  [ "$(bl --usb 0x2b29:0x0b -- write-memory 0xa000 "$(winpath "$work/image.bin")")" = 0 ] || fail "write failed"
  grep -q "Wrote 100000 of 100000 bytes." "$work/bl.txt" || fail "write: $(cat "$work/bl.txt")"
  [ "$(bl --usb 0x2b29:0x0b read-memory 0xa000 100000 "$(winpath "$work/back.bin")")" = 0 ] || fail "read failed"
  cmp "$work/image.bin" "$work/back.bin" || fail "the bytes read back differ from those written"
  [ "$(bl --usb 0x2b29:0x0b get-property available-commands)" = 0 ] || fail "get-property failed"
  grep -q "Available Commands = flash-erase-all, " "$work/bl.txt" || fail "get-property: $(cat "$work/bl.txt")"
  # Programming over programmed bytes fails on the device: 1. No device of that identity: 3.
  [ "$(bl --usb 0x2b29:0x0b write-memory 0xa000 '{{00}}')" = 1 ] || fail "a refused write did not end with 1"
  [ "$(bl --usb 0x2b29:0x0c reset)" = 3 ] || fail "a missing device did not end with 3: $(cat "$work/bl.txt")"
  # A serial port that does not exist: a clear error, status 1 or more, nothing hangs.
  status=$(bl --port COM97 -- get-property 1)
  [ "$status" != 0 ] || fail "a missing COM port was taken"
  grep -q "COM97" "$work/bl.txt" || fail "the error does not name the port: $(cat "$work/bl.txt")"
  stop_device
  ;;
simulate)
  # The built-in simulated device, served inside the Windows program itself. Both ends of its
  # bus run under Wine, so the read-back (which the scenarios above do) is left out here: it
  # would double the longest scenario of the run.
  status=$(updater --auto --simulate --no-verify)
  [ "$status" = 0 ] || fail "the updater ended with $status"
  check_events --outcome up-to-date 0 --in-order "Peak Pro Flashing success" "Latest software is installed on device"
  ;;
standin-bl)
  # tarvel-bl.exe against a bus server that is not the project's simulator.
  start_standin
  python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 11 + 5) & 0xFF for i in range(20000)))' >"$work/image.bin"
  bl() {
    local status=0
    timeout 120 "$wine" "$bin/tarvel-bl.exe" "$@" >"$work/bl.out" 2>&1 || status=$?
    tr -d '\r' <"$work/bl.out" >"$work/bl.txt"
    echo "$status"
  }
  [ "$(bl --usb 0x2b29:0x0b get-property current-version)" = 0 ] || fail "get-property failed"
  grep -qx "Current Version = K2.1.0" "$work/bl.txt" || fail "get-property: $(cat "$work/bl.txt")"
  [ "$(bl --usb 0x2b29:0x0b -- flash-erase-region 0xa000 0x5000)" = 0 ] || fail "erase failed"
  [ "$(bl --usb 0x2b29:0x0b -- write-memory 0xa000 "$(winpath "$work/image.bin")")" = 0 ] || fail "write failed"
  grep -q "Wrote 20000 of 20000 bytes." "$work/bl.txt" || fail "write: $(cat "$work/bl.txt")"
  [ "$(bl --usb 0x2b29:0x0b read-memory 0xa000 20000 "$(winpath "$work/back.bin")")" = 0 ] || fail "read failed"
  cmp "$work/image.bin" "$work/back.bin" || fail "the bytes read back differ from those written"
  [ "$(bl --usb 0x2b29:0x0b write-memory 0xa000 '{{00}}')" = 1 ] || fail "a refused write did not end with 1"
  grep -q "Response status = 105 (0x69) kStatus_FlashCommandFailure" "$work/bl.txt" || fail "refusal: $(cat "$work/bl.txt")"
  ;;
standin-peak-pro)
  # The whole update of a Peak Pro of the old generation against the stand-in: main firmware,
  # the disk reset, the wireless package, and the rider's files back byte for byte.
  start_standin --model 13 --version 7.63 --nrf-version 1.10.31.39 --drive-dir "$work/drive" \
    --rider-data --root-map "$work/drive/=$(winpath "$work/drive/")"
  before=$(tree_sums "$work/drive/Tarvel")
  [ -n "$before" ] || fail "the device has no rider's files to keep"
  status=$(updater --auto)
  [ "$status" = 0 ] || fail "the updater ended with $status"
  check_events --outcome up-to-date 0 --in-order "Peak Pro Flashing success" "Restoring Data..." \
    "Latest software is installed on device"
  [ "$(tree_sums "$work/drive/Tarvel")" = "$before" ] || fail "the rider's files changed"
  grep -q "factory reset" "$work/device.err" || fail "the disk was not reset before the wireless update"
  grep -q "firmware 14.51, wireless 2.13.33.26: arrives in its application face" "$work/device.err" ||
    fail "the device does not run the carried firmware"
  ;;
standin-ridge)
  # A model of the first generation: main firmware only, the wireless chip already current.
  start_standin --model 5 --version 7.09 --nrf-version 1.10.31.39 --drive-dir "$work/drive" \
    --rider-data --root-map "$work/drive/=$(winpath "$work/drive/")"
  before=$(tree_sums "$work/drive/Tarvel")
  status=$(updater --auto)
  [ "$status" = 0 ] || fail "the updater ended with $status"
  check_events --outcome up-to-date 0 --in-order "Ridge GPS Flashing success" "Latest software is installed on device"
  [ "$(tree_sums "$work/drive/Tarvel")" = "$before" ] || fail "the rider's files changed"
  grep -q "firmware 7.63, wireless 1.10.31.39: arrives in its application face" "$work/device.err" ||
    fail "the device does not run the carried firmware"
  ;;
standin-lock-refused)
  # A drive that refuses every lock: tried twenty times, then dismounted and ejected anyway,
  # and the update ends as usual with the rider's files back.
  start_standin --model 13 --version 7.63 --drive-dir "$work/drive" --rider-data --refuse-lock \
    --root-map "$work/drive/=$(winpath "$work/drive/")"
  before=$(tree_sums "$work/drive/Tarvel")
  status=$(updater --auto)
  [ "$status" = 0 ] || fail "the updater ended with $status"
  check_events --outcome up-to-date 0 --in-order "has been ejected safely" "Latest software is installed on device"
  [ "$(grep -c "drive refuses to lock" "$work/device.err")" = 20 ] || fail "the lock was not tried 20 times"
  [ "$(tree_sums "$work/drive/Tarvel")" = "$before" ] || fail "the rider's files changed"
  ;;
standin-recovery)
  # A stand-in that only starts in its ROM bootloader; the recovery's answer given in advance.
  start_standin --model 13 --face rom --drive-dir "$work/drive" --root-map "$work/drive/=$(winpath "$work/drive/")"
  status=$(updater --auto --recover=13)
  [ "$status" = 0 ] || fail "the updater ended with $status"
  check_events --outcome up-to-date 0 --in-order "Recovery Mode Carefully Choose Your Device" \
    '"answer":"13,english"' '"by":"option"' "Latest software is installed on device"
  grep -q "firmware 14.51, wireless 2.13.33.26: arrives in its application face" "$work/device.err" ||
    fail "the recovered device does not run the carried firmware"
  ;;
standin-japanese)
  # A Japanese Peak Pro against the stand-in: main firmware, wireless package, then both
  # language packs read from the drive and confirmed by the device one after the other.
  start_standin --model 13 --variant japanese --version 7.63 --nrf-version 1.10.31.39 --drive-dir "$work/drive" \
    --root-map "$work/drive/=$(winpath "$work/drive/")"
  status=$(updater --auto)
  [ "$status" = 0 ] || fail "the updater ended with $status"
  check_events --outcome up-to-date 0 --in-order "Peak Pro Flashing success" "Language Pack Update" \
    "Language Pack 1 of 2 done!" "Language Pack 2 of 2 done!" "Latest software is installed on device"
  expect_japanese_standin_programmed
  ;;
standin-bad-root)
  # The bus lists the device's drive at a root this computer cannot use, first one that does
  # not exist, then a file: the update stops before the device is touched, says why, and the
  # rider's files stay on the device as they were.
  : >"$work/root-file"
  for root in "$(winpath "$work/missing/")" "$(winpath "$work/root-file/")"; do
    start_standin --model 13 --version 7.63 --nrf-version 1.10.31.39 --drive-dir "$work/drive" --rider-data \
      --root-map "$work/drive/=$root"
    before=$(tree_sums "$work/drive/Tarvel")
    status=$(updater --auto)
    [ "$status" = 1 ] || fail "root $root: the updater ended with $status, not 1"
    check_events --outcome failure 1 --in-order "Could not back up the data on your GPS." \
      "The update was stopped. Your data is still on the GPS."
    grep -qF "is not a folder this computer can use" "$work/updater.out" || fail "root $root: the log does not say why"
    [ "$(tree_sums "$work/drive/Tarvel")" = "$before" ] || fail "root $root: the rider's files changed"
    [ -e "$work/missing" ] && fail "root $root: a folder was made where the drive was said to be"
    grep -q "arrives in its\\|factory reset" "$work/device.err" && fail "root $root: the device was touched"
    stop_device
  done
  ;;
bad-input)
  # A bus that cannot be used ends the run with 1 and says why, before anything is touched.
  bus_failure() { # TARVEL_VBUS, the reason the message must give
    local status
    status=$(TARVEL_VBUS=$1 updater --auto)
    [ "$status" = 1 ] || fail "TARVEL_VBUS=$1: the updater ended with $status, not 1"
    check_events --outcome bus-failure 1 --in-order "The virtual USB bus cannot be used: " "$2"
  }
  bus_failure 'C:\\no\\bus.sock' "this system has no Unix-domain sockets: give the bus as tcp:127.0.0.1:PORT[/TOKEN]"
  bus_failure tcp:0.0.0.0:4000 'the bus host \"0.0.0.0\" is not a loopback address'
  bus_failure tcp:127.0.0.1:70000 'the bus port \"70000\" is not a number 1 to 65535'
  start_device --model 11 --token right-token
  bare=${TARVEL_VBUS%/*}
  bus_failure "$bare/wrong-token" "refused hello: token required"
  bus_failure "$bare" "refused hello: token required"
  stop_device
  ;;
*)
  echo "unknown scenario $scenario" >&2
  exit 2
  ;;
esac
echo "PASS [$scenario]"
