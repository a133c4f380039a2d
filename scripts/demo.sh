#!/usr/bin/env bash
# The updater's whole job on its built-in simulated device: a Peak Pro with firmware below 13
# and the rider's files on its drive, from plug-in to "Latest software is installed on
# device", with the status lines as a rider reads them. At the end it checks that the rider's
# files are back on the drive, byte for byte.
set -euo pipefail
build=${1:-build}
updater="$build/bin/tarvel-updater"
[ -x "$updater" ] || { echo "demo: $updater is missing (run make)" >&2; exit 1; }

# Every fixed pause of the updater and the device is multiplied by this: the 45-second driver
# wait becomes 9 seconds.
scale=${DEMO_TIME_SCALE:-0.2}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/run" "$work/drive/Tarvel/Rides"
chmod 700 "$work/run"
export XDG_RUNTIME_DIR="$work/run"

# The rider's files on the device's drive.
printf 'TARVEL-SETTINGS rider=demo units=metric zones=5\n' >"$work/drive/Tarvel/Settings.fit"
head -c 6000 /dev/urandom >"$work/drive/Tarvel/Rides/2026-05-01-0930.fit"
head -c 3000 /dev/urandom >"$work/drive/Tarvel/Rides/2026-05-03-1712.fit"
snapshot() { (cd "$work/drive" && find Tarvel -type f -print0 | sort -z | xargs -0 sha256sum); }
snapshot >"$work/before"

echo "== A simulated Peak Pro with firmware 12.40 and $(wc -l <"$work/before") rider files is plugged in"
echo "== tarvel-updater --headless --auto --simulate --time-scale=$scale"
echo
start=$(date +%s)
set +e
"$updater" --headless --auto --time-scale="$scale" \
    --simulate="drive-dir=$work/drive,user-data=no" </dev/null
status=$?
set -e
echo
echo "== tarvel-updater ended with status $status after $(( $(date +%s) - start )) s"

snapshot >"$work/after"
if cmp -s "$work/before" "$work/after"; then
  echo "== The rider's $(wc -l <"$work/after") files are back on the drive, byte for byte:"
  sed 's/^[0-9a-f]*  /   /' "$work/after"
else
  echo "== The rider's files differ from what was on the drive before the update:" >&2
  diff "$work/before" "$work/after" >&2 || true
  exit 1
fi
exit "$status"
