#!/usr/bin/env bash
# Runs the real-backend update tests in a folder of their own (TMPDIR, so the tests' drives,
# images and mocked /sys all live there) and cleans after them whatever way they end: the
# mounts below the folder are unmounted (their FUSE processes then end), the loop devices
# backed by files in it detached, and the folder removed.
#   system_lane.sh TEST_PROGRAM [gtest arguments]
set -u
test_program=$1
shift
lane=$(mktemp -d)
cleanup() {
    while read -r point; do
        umount -l "$point" 2>/dev/null
    done < <(awk -v lane="$lane/" 'index($5, lane) == 1 { print $5 }' /proc/self/mountinfo)
    while read -r loop file; do
        case $file in "$lane"/*) losetup -d "$loop" 2>/dev/null ;; esac
    done < <(losetup -nO NAME,BACK-FILE 2>/dev/null)
    rm -rf "$lane"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
TMPDIR="$lane" "$test_program" "$@"
