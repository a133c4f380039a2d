#!/usr/bin/env bash
# Runs a CTest suite in two parts at the same time: the tests that keep the processor busy, at
# the usual job count, and the tests labelled `waits`, which wait out the updater's real reply
# limits using almost no processor, many side by side. Both parts' results count; the waiting
# part's output follows the other's.
#   run-tests.sh BUSY_CTEST_ARGS... -- WAITING_CTEST_ARGS...
#   e.g. run-tests.sh --test-dir build -j 2 -LE 'long|waits' -- --test-dir build -j 8 -L waits
set -u
busy=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    busy+=("$1")
    shift
done
[ $# -gt 0 ] && shift
log=$(mktemp)
trap 'rm -f "$log"' EXIT
ctest --output-on-failure "$@" >"$log" 2>&1 &
waiting=$!
ctest --output-on-failure "${busy[@]}"
rest=$?
wait "$waiting"
waits=$?
echo "---- the tests that wait out reply limits (label waits), run beside the others:"
cat "$log"
[ "$rest" -eq 0 ] && [ "$waits" -eq 0 ]
