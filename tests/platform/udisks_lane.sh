#!/usr/bin/env bash
# The udisks lane: runs the volume service's test against a D-Bus system bus, a udev daemon
# and a udisks2 daemon that this script starts itself. The bus is private (its socket in the
# lane's folder); udevd and udisksd keep their state in /run/udev and /run/udisks2, so the
# lane refuses to run where either already exists. Everything started is stopped by its own
# process id and every file, loop device and mount is cleaned, also when the test fails.
#   udisks_lane.sh TEST_PROGRAM [gtest arguments]
set -u
test_program=$1
shift

skip() {
    echo "udisks lane skipped: $*"
    exit 0
}
[ "$(id -u)" = 0 ] || skip "needs root (loop devices, a udev daemon, FUSE mounts)"
[ -c /dev/fuse ] || skip "no /dev/fuse on this machine"
udevd=/lib/systemd/systemd-udevd
udisksd=/usr/libexec/udisks2/udisksd
for tool in dbus-daemon busctl udevadm losetup mkfs.vfat fusefat "$udevd" "$udisksd"; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (packages: dbus systemd udev udisks2 dosfstools fusefat)"
done
if [ -e /run/udev ] || [ -e /run/udisks2 ]; then
    echo "udisks lane: /run/udev or /run/udisks2 exists, so a udev or udisks2 daemon of this machine's own may be running; the lane starts its own and will not share"
    exit 1
fi

source "$(dirname "$0")/../support/lane_cleanup.sh"
lane=$(mktemp -d)
pids=()
cleanup() {
    # Mounts and loop devices made in the lane's folder, then the daemons, newest first.
    release_lane_devices "$lane"
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null
        wait "${pids[i]}" 2>/dev/null
    done
    rm -rf /run/udev /run/udisks2 "$lane"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

cat >"$lane/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$lane/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="root"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$lane/system_bus_socket"
dbus-daemon --config-file="$lane/bus.conf" --nofork --nopidfile 2>"$lane/bus.log" &
pids+=($!)

# The lane's loop devices read as USB drives, the way a device's drive does.
mkdir -p /run/udev/rules.d
echo "SUBSYSTEM==\"block\", KERNEL==\"loop*\", ATTR{loop/backing_file}==\"$lane/*\", ENV{ID_BUS}=\"usb\"" \
    >/run/udev/rules.d/99-lane-usb.rules
"$udevd" 2>"$lane/udevd.log" &
pids+=($!)

wait_until() { # seconds, command...
    local limit=$(($1 * 50))
    shift
    for ((n = 0; n < limit; n++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.02
    done
    return 1
}
wait_until 10 test -S "$lane/system_bus_socket" || { echo "udisks lane: the bus never came up"; exit 1; }
wait_until 10 udevadm control --ping || { echo "udisks lane: udevd never answered"; exit 1; }

"$udisksd" 2>"$lane/udisksd.log" &
pids+=($!)
owned() { busctl --system --timeout=2 call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus NameHasOwner s org.freedesktop.UDisks2 | grep -q true; }
wait_until 20 owned || { echo "udisks lane: udisksd never took its name on the bus"; exit 1; }

TARVEL_LANE_DIR="$lane" "$test_program" "$@"
