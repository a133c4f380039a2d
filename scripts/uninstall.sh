#!/usr/bin/env bash
# Removes every file that the last `make install` into DESTDIR/PREFIX listed, then the folders
# it leaves empty. Never touches a user's files (held backups and staging live in the home).
set -euo pipefail
destdir=${1:-}
prefix=${2:-/usr/local}
list="$destdir$prefix/share/tarvel-updater/installed-files"
if [ ! -f "$list" ]; then
  echo "uninstall: nothing installed in $destdir$prefix (no $list)" >&2
  exit 1
fi
while IFS= read -r f; do
  [ -n "$f" ] || continue
  rm -f -- "$destdir$f"
  rmdir -p --ignore-fail-on-non-empty -- "$(dirname -- "$destdir$f")" 2>/dev/null || true
done < "$list"
