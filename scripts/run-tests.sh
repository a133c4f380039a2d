#!/usr/bin/env bash
# Runs a CTest suite in two parts at the same time: the tests labelled `waits`, which wait out
# the updater's real reply limits and use almost no processor, many side by side; and the rest
# at the job count given. Both parts' results count; the waiting part's output follows the
# other's.
#   run-tests.sh EXCLUDED_LABELS CTEST_ARGS...
#   e.g. run-tests.sh long --test-dir build -j 2      run-tests.sh long --preset asan
set -u
excluded=$1
shift
waiting_jobs=${TARVEL_WAITING_JOBS:-8}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
ctest --output-on-failure "$@" -L waits ${excluded:+-LE "$excluded"} -j "$waiting_jobs" >"$log" 2>&1 &
waiting=$!
ctest --output-on-failure "$@" -LE "${excluded:+$excluded|}waits"
rest=$?
wait "$waiting"
waits=$?
echo "---- the tests that wait out reply limits (label waits, $waiting_jobs at a time):"
cat "$log"
[ "$rest" -eq 0 ] && [ "$waits" -eq 0 ]
