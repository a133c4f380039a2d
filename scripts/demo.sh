#!/usr/bin/env bash
# The main job as far as the programs go today: a device that sits in its flash bootloader is
# erased, programmed with the firmware this updater carries for it and reset, after which it
# runs the new firmware. With no real device it uses the project's simulated device on a
# private virtual USB bus.
set -euo pipefail
build=${1:-build}
bin="$build/bin"

for p in tarvel-devsim tarvel-bl tarvel-fw; do
  [ -x "$bin/$p" ] || { echo "demo: $bin/$p is missing (run make)" >&2; exit 1; }
done

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

model=11
if [ -z "${TARVEL_VBUS:-}" ]; then
  export TARVEL_VBUS="$work/bus.sock"
  echo "== No device given: starting the simulated Summit GPS (type $model) in its flash bootloader"
  "$bin/tarvel-devsim" --socket "$TARVEL_VBUS" --model $model --version 7.63 --face bootloader \
      --drive-dir "$work/drive" --time-scale 0.2 >"$work/devsim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do [ -S "$TARVEL_VBUS" ] && break; sleep 0.05; done
fi
bl=("$bin/tarvel-bl" --usb 0x2b29:0x$(printf '%02x' $model))

echo "== Firmware carried by this updater"
"$bin/tarvel-fw" list
"$bin/tarvel-fw" extract $model standard "$work/image.bin"
size=$(stat -c %s "$work/image.bin")
# The erase covers the whole image, rounded up to the 4 KB sector, and at least 0x76000 bytes.
erase=$(( (size + 4095) / 4096 * 4096 )); [ $erase -lt $((0x76000)) ] && erase=$((0x76000))

echo "== The bootloader"
"${bl[@]}" -- get-property current-version
"${bl[@]}" -- get-property flash-size-in-bytes
"${bl[@]}" -- get-property flash-sector-size
echo "== Erasing $(printf '0x%x' $erase) bytes from 0xa000"
"${bl[@]}" -- flash-erase-region 0xa000 $(printf '0x%x' $erase)
echo "== Writing the $size-byte image"
start=$(date +%s%N)
"${bl[@]}" -- write-memory 0xa000 "$work/image.bin"
echo "   took $(( ($(date +%s%N) - start) / 1000000 )) ms"
echo "== Reading it back"
"${bl[@]}" -- read-memory 0xa000 $size "$work/readback.bin" >/dev/null
cmp "$work/image.bin" "$work/readback.bin" && echo "   identical"
echo "== Resetting the device into its new firmware"
"${bl[@]}" -- reset
if [ -n "$sim_pid" ]; then
  sleep 1
  echo "== What the simulated device showed:"
  sed 's/^tarvel-devsim: /   /' "$work/devsim.log"
fi
echo "== Done"
