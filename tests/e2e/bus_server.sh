# Sourced by the end-to-end scripts that start a bus server of their own. The caller sets work
# (its folder) and source_dir, keeps the server's pid in device_pid, and defines fail MESSAGE
# (it must not return).

# take_bus_address OUTPUT PID WHO: waits up to 10 s for the server PID to print its
# TARVEL_VBUS=tcp:127.0.0.1:PORT/TOKEN line first into OUTPUT, and exports it; fails when the
# server ends first or prints anything else.
take_bus_address() {
  local output=$1 pid=$2 who=$3 line
  for _ in $(seq 100); do
    [ -s "$output" ] && break
    kill -0 "$pid" 2>/dev/null || fail "$who ended before it listened"
    sleep 0.1
  done
  line=$(head -1 "$output")
  case $line in
    TARVEL_VBUS=tcp:127.0.0.1:*/*) export "${line?}" ;;
    *) fail "$who printed no bus address: $line" ;;
  esac
}

# start_standin ARGS...: the stand-in device of tests/support (written apart from the
# simulator) on a loopback port of its choosing, its lines in $work/device.out and device.err.
start_standin() {
  python3 "$source_dir/tests/support/vbus_standin.py" --tcp 127.0.0.1:0 "$@" >"$work/device.out" 2>"$work/device.err" &
  device_pid=$!
  take_bus_address "$work/device.out" "$device_pid" "the stand-in"
}

# stop_device: ends the server with SIGTERM, which must end it with 0 (its last lines are then
# its own record of the device).
stop_device() {
  kill -TERM "$device_pid"
  wait "$device_pid" || fail "the bus server ended with $?"
  device_pid=
}

# expect_japanese_standin_programmed: the stand-in's log shows a Japanese Peak Pro given both
# language packs and running the carried firmware.
expect_japanese_standin_programmed() {
  grep -q "font Kanji_11x12.bin programmed" "$work/device.err" || fail "the device did not program the small font"
  grep -q "font Kanji_18x18.bin programmed" "$work/device.err" || fail "the device did not program the large font"
  grep -q "model 13, firmware 14.51, wireless 2.13.33.26: arrives in its application face" "$work/device.err" ||
    fail "the device does not run the carried firmware"
}
