# Sourced by the test lanes that mount FAT images from loop devices in a folder of their own.

# release_lane_devices DIR: unmounts every mount below DIR (their FUSE processes then end) and
# detaches every loop device backed by a file in DIR.
release_lane_devices() {
    local lane=$1 point loop file
    while read -r point; do
        umount -l "$point" 2>/dev/null
    done < <(awk -v lane="$lane/" 'index($5, lane) == 1 { print $5 }' /proc/self/mountinfo)
    while read -r loop file; do
        case $file in "$lane"/*) losetup -d "$loop" 2>/dev/null ;; esac
    done < <(losetup -nO NAME,BACK-FILE 2>/dev/null)
}
