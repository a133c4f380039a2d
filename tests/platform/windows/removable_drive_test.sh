#!/usr/bin/env bash
# Runs the removable-drive test program under Wine with drive E: mapped to a fresh test folder
# and marked removable, in a prefix of its own (its wineserver is restarted to read the drive's
# type, which must not disturb the tests running in the build's shared prefix).
#   removable_drive_test.sh PROGRAM.exe PREFIX
set -euo pipefail
program=$1
prefix=$2
here=$(cd "$(dirname "$0")" && pwd)
run=$here/../../../scripts/wine-run.sh
export WINEPREFIX=$prefix WINEDEBUG=-all

folder=$(mktemp -d)
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -f "$prefix/dosdevices/e:"
  rm -rf "$folder"
}
trap cleanup EXIT
printf 'TARVEL GPS\n' > "$folder/.windows-label"
mkdir "$folder/Tarvel"

# The prefix is made on first use, then kept in the build folder.
"$run" "$prefix" cmd /c exit 0 >/dev/null 2>&1 || true
ln -sfn "$folder" "$prefix/dosdevices/e:"
"$run" "$prefix" reg add 'HKLM\Software\Wine\Drives' /v e: /t REG_SZ /d floppy /f >/dev/null 2>&1
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
"$run" "$prefix" "$program"
