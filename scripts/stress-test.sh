#!/usr/bin/env bash
# Runs the ctest suite of a build N times while a load generator keeps both cores busy, and
# prints every failure with its test and its output.
#   scripts/stress-test.sh N [BUILD] [-- CTEST ARGS...]   (BUILD defaults to build/)
# for example: scripts/stress-test.sh 3 build -- -R headless_console_test
set -u

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]] || [ "$1" -lt 1 ]; then
    echo "usage: $0 N [BUILD] [-- CTEST ARGS...]" >&2
    exit 2
fi
runs=$1
shift
build=build
if [ $# -gt 0 ] && [ "$1" != "--" ]; then
    build=$1
    shift
fi
[ $# -gt 0 ] && [ "$1" = "--" ] && shift
if [ ! -f "$build/CTestTestfile.cmake" ]; then
    echo "$0: $build is not a configured build (run make first)" >&2
    exit 2
fi
if ! command -v stress-ng >/dev/null; then
    echo "$0: stress-ng is missing (apt-get install stress-ng)" >&2
    exit 2
fi

work=$(mktemp -d)
stress-ng --cpu 2 --timeout 0 --quiet &
load=$!
trap 'kill "$load" 2>/dev/null; wait "$load" 2>/dev/null; rm -rf "$work"' EXIT

passed=0
for run in $(seq 1 "$runs"); do
    out="$work/run-$run.log"
    if (cd "$build" && ctest --output-on-failure -j 2 -LE long "$@") >"$out" 2>&1; then
        passed=$((passed + 1))
        echo "run $run of $runs: passed"
    else
        echo "run $run of $runs: FAILED"
        grep -E '^[[:space:]]*[0-9]+ - ' "$out" | sed 's/^/  failed: /'
        echo "  ---- output of run $run"
        sed 's/^/  | /' "$out"
    fi
done
echo "$passed of $runs runs passed under load"
[ "$passed" -eq "$runs" ]
