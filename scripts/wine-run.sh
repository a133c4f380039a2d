#!/usr/bin/env bash
# Runs one Windows program under Wine in the build's own prefix:
#   scripts/wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# The prefix is made on first use (wineboot takes ~20 s), once, however many programs start at
# the same time; the machine's own ~/.wine is never touched. Wine's 64-bit loader is not on
# PATH in Debian: it is taken from the wine64 package's place.
set -euo pipefail
# Wine takes an absolute prefix only.
prefix=$(realpath -m "$1")
shift
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wine=${TARVEL_WINE:-/usr/lib/wine/wine64}
if [ ! -f "$prefix/.ready" ]; then
  mkdir -p "$prefix"
  (
    flock 9
    if [ ! -f "$prefix/.ready" ]; then
      "$wine" wineboot -i >/dev/null 2>&1 || true
      # Windows without a display: the device-change window is a hidden one and needs no X.
      "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null 2>&1 || true
      wineserver -w 2>/dev/null || true
      touch "$prefix/.ready"
    fi
  ) 9>"$prefix.lock"
fi
exec "$wine" "$@"
