#!/usr/bin/env bash
# Runs the real-backend update tests in a folder of their own (TMPDIR, so the tests' drives,
# images and mocked /sys all live there) and cleans after them whatever way they end: the
# mounts below the folder are unmounted (their FUSE processes then end), the loop devices
# backed by files in it detached, and the folder removed.
#   system_lane.sh TEST_PROGRAM [gtest arguments]
set -u
test_program=$1
shift
source "$(dirname "$0")/../../support/lane_cleanup.sh"
lane=$(mktemp -d)
cleanup() {
    release_lane_devices "$lane"
    rm -rf "$lane"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
TMPDIR="$lane" "$test_program" "$@"
