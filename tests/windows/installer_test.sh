#!/usr/bin/env bash
# The Windows installer under Wine, in a fresh prefix of its own: a silent install, the installed
# updater runs (--version, and a simulated run to its end), a silent uninstall that leaves no
# installed file, shortcut or registry key behind, and the rider's C:\Tarvel folder made before
# the install still there with its content.
#   installer_test.sh SETUP.exe VERSION
set -euo pipefail
setup=$1 version=$2
work=$(mktemp -d)
cleanup() {
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
unset DISPLAY
wine=${TARVEL_WINE:-/usr/lib/wine/wine64}
"$wine" wineboot -i >/dev/null 2>&1 || true
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null 2>&1 || true
wineserver -w

c=$WINEPREFIX/drive_c
dir="$c/Program Files/Tarvel/Updater"
link="$c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tarvel Gps Updater.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TarvelGpsUpdater'
failed=0
check() { # WHAT COMMAND...
  local what=$1; shift
  if "$@"; then echo "  ok: $what"; else echo "  FAIL: $what" >&2; failed=$((failed + 1)); fi
}
regvalue() { "$wine" reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' | awk -v name="$1" '$1 == name { $1 = ""; $2 = ""; sub(/^  */, ""); print }'; }

# The rider's own folder, there before the updater was ever installed.
mkdir -p "$c/Tarvel/backup"
echo "rider's data" >"$c/Tarvel/backup/held.txt"

cp "$setup" "$work/tarvel-updater-setup.exe"
check "the silent install ends with status 0" "$wine" "$work/tarvel-updater-setup.exe" /S
wineserver -w
for exe in tarvel-updater.exe tarvel-bl.exe tarvel-fw.exe uninstall.exe; do
  check "$exe is installed" test -f "$dir/$exe"
done
check "the Start-menu shortcut is there for all users" test -f "$link"
check "the uninstall entry names the program" test "$(regvalue DisplayName)" = "Tarvel Gps Updater"
check "the uninstall entry carries version $version" test "$(regvalue DisplayVersion)" = "$version"
check "the uninstall entry names the publisher" test "$(regvalue Publisher)" = "Tarvel"
check "the uninstall entry has a size" test -n "$(regvalue EstimatedSize)"

out=$("$wine" "$dir/tarvel-updater.exe" --version 2>&1 | tr -d '\r') || true
check "the installed updater says its version" grep -q "$version" <<<"$out"
# A simulated device already on the current software: the run goes to its end quickly.
status=0
"$wine" "$dir/tarvel-updater.exe" --simulate=version=14.51 --headless --auto --time-scale=0 >"$work/run.out" 2>&1 || status=$?
check "the installed updater's simulated run ends with status 0" test "$status" -eq 0
check "the run reached the done screen" grep -aq "Latest software is installed on device" "$work/run.out"

check "the silent uninstall ends with status 0" "$wine" "$dir/uninstall.exe" /S
wineserver -w # the uninstaller runs from a copy of itself, which ends later
check "no installed file is left" test ! -e "$c/Program Files/Tarvel"
check "the shortcut is gone" test ! -e "$link"
check "the uninstall entry is gone" bash -c "! '$wine' reg query '$key' >/dev/null 2>&1"
check "the rider's C:\\Tarvel folder is kept with its content" grep -q "rider's data" "$c/Tarvel/backup/held.txt"

[ "$failed" -eq 0 ] || { echo "installer_test: $failed checks failed" >&2; exit 1; }
echo "installer_test: passed"
