#!/usr/bin/env bash
# Installs the build into a private DESTDIR and checks the installed tree: programs, udev
# rule, desktop entry, metainfo, icons, manual pages, completions; an install over an earlier
# one leaves nothing stale; uninstalling removes everything and no user file.
set -euo pipefail
build=$1 source=$2 programs=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0 passes=0
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@" >"$work/out" 2>&1; then passes=$((passes + 1)); else
    failures=$((failures + 1)); echo "FAIL: $what"; sed 's/^/    /' "$work/out"; fi
}
prefix=/usr
root=$work/root
install_tree() { DESTDIR=$root cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; }

check "install into DESTDIR" install_tree
p=$root$prefix
share=$p/share
id=com.tarvel.GpsUpdater

for program in $programs; do
  check "$program installed and executable" test -x "$p/bin/$program"
  check "$program manual page" test -s "$share/man/man1/$program.1.gz"
  check "$program bash completion" bash -n "$share/bash-completion/completions/$program"
done
if [[ " $programs " == *" tarvel-updater "* ]]; then
  check "installed tarvel-updater --version" "$p/bin/tarvel-updater" --version
  check "installed tarvel-fw list" "$p/bin/tarvel-fw" list
fi

check "desktop entry valid" desktop-file-validate "$share/applications/$id.desktop"
check "desktop entry starts the updater" grep -qx 'Exec=tarvel-updater' "$share/applications/$id.desktop"
check "metainfo valid" appstreamcli validate --no-net "$share/metainfo/$id.metainfo.xml"
check "scalable icon" test -s "$share/icons/hicolor/scalable/apps/$id.svg"
for size in 16 24 32 48 64 128 256 512; do
  check "${size}px icon is a PNG of its size" bash -c \
    "head -c 24 '$share/icons/hicolor/${size}x${size}/apps/$id.png' | od -An -tx1 | tr -d ' \n' | grep -q '^89504e47.*0000$(printf %04x "$size")0000$(printf %04x "$size")\$'"
done

# The udev rule: every rule line is a list of KEY=="value" matches and one TAG+="uaccess", and
# the three faces are covered: vendor 2b29 (application and flash bootloader) and 15a2/0073.
rule=$p/lib/udev/rules.d/70-tarvel-gps.rules
check "udev rule installed" test -s "$rule"
parse_rule() {
  local line n=0
  while IFS= read -r line; do
    [[ -z $line || $line == \#* ]] && continue
    n=$((n + 1))
    local rest=$line
    while [[ -n $rest ]]; do
      if [[ $rest =~ ^[[:space:]]*([A-Z_]+(\{[a-zA-Z_]+\})?)(==|!=|\+=|=|:=)\"([^\"]*)\"[[:space:]]*(,|$)(.*)$ ]]; then
        rest=${BASH_REMATCH[6]}
      else
        echo "unparsable: $line"; return 1
      fi
    done
    [[ $line == *'SUBSYSTEM=="hidraw"'* && $line == *'TAG+="uaccess"'* ]] || { echo "not a hidraw uaccess rule: $line"; return 1; }
  done < "$1"
  ((n > 0)) && grep -q 'ATTRS{idVendor}=="2b29"' "$1" && grep -q 'ATTRS{idVendor}=="15a2", ATTRS{idProduct}=="0073"' "$1"
}
check "udev rule parses and covers the three faces" parse_rule "$rule"
if udevadm verify --help >/dev/null 2>&1; then
  check "udevadm verify" udevadm verify "$rule"
fi

man_clean() { # renders with no warnings at all
  local out
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 "$1" 2>&1 >/dev/null)
  [[ -z $out ]] || { echo "$out"; return 1; }
}
for page in "$share"/man/man1/*.1.gz; do
  check "$(basename "$page") renders without warnings" man_clean "$page"
done

# An install over an earlier one: a file the earlier install listed and this one does not bring
# is gone afterwards; the list names only what is there.
list=$share/tarvel-updater/installed-files
check "installed-files list written" test -s "$list"
mkdir -p "$share/tarvel-updater/old"
echo stale > "$share/tarvel-updater/old/obsolete.txt"
echo "$prefix/share/tarvel-updater/old/obsolete.txt" >> "$list"
check "reinstall" install_tree
check "stale file of an earlier install removed" test ! -e "$share/tarvel-updater/old/obsolete.txt"
listed_present() { while IFS= read -r f; do [[ -e $root$f ]] || { echo "missing: $f"; return 1; }; done < "$list"; }
check "every listed file is installed" listed_present

# Uninstalling removes every installed file, and never a rider's held backup or staging folder.
home=$work/home
mkdir -p "$home/.local/state/Tarvel" "$home/.local/share/Tarvel"
echo ride > "$home/.local/state/Tarvel/ride.fit"; : > "$home/.local/state/Tarvel.held"
echo nrf > "$home/.local/share/Tarvel/nrf_update.bin"
check "uninstall" env HOME="$home" bash "$source/scripts/uninstall.sh" "$root" "$prefix"
check "nothing left installed" bash -c "[ -z \"\$(find '$root' -type f)\" ]"
check "held backup untouched" test -s "$home/.local/state/Tarvel/ride.fit"
check "held marker untouched" test -e "$home/.local/state/Tarvel.held"
check "staging untouched" test -s "$home/.local/share/Tarvel/nrf_update.bin"

echo "packaging: $passes passed, $failures failed"
[[ $failures -eq 0 ]]
