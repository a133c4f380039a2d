#!/bin/bash
# scripts/run-tests.sh against a stand-in ctest: the run fails when either half fails, the two
# halves get their own arguments and run at the same time, and the waiting half's output shows.
set -u
SCRIPT=$1
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The stand-in: records its arguments, waits for the other half to have started (so the two
# must overlap), and exits with the status named for its half.
mkdir "$T/bin"
cat >"$T/bin/ctest" <<'STANDIN'
#!/bin/bash
half=busy
case " $* " in *" waiting-half "*) half=waits ;; esac
echo "$*" >"$STUB_DIR/$half.args"
touch "$STUB_DIR/$half.started"
other=busy; [ "$half" = busy ] && other=waits
for _ in $(seq 100); do [ -e "$STUB_DIR/$other.started" ] && break; sleep 0.05; done
[ -e "$STUB_DIR/$other.started" ] || echo "$half ran alone" >>"$STUB_DIR/alone"
echo "output of the $half half"
exit "$(cat "$STUB_DIR/$half.status")"
STANDIN
chmod +x "$T/bin/ctest"

run() { # run BUSY_STATUS WAITS_STATUS: the script's exit status, its output in $T/out
    rm -f "$T"/*.started "$T"/*.args "$T/alone"
    echo "$1" >"$T/busy.status"
    echo "$2" >"$T/waits.status"
    PATH="$T/bin:$PATH" STUB_DIR=$T bash "$SCRIPT" busy-half -j 2 -- waiting-half -j 8 >"$T/out" 2>&1
}

run 0 0 || fail "both halves passed, the run failed"
grep -q "output of the waits half" "$T/out" || fail "the waiting half's output is missing"
grep -q "output of the busy half" "$T/out" || fail "the busy half's output is missing"
grep -q -- "busy-half -j 2" "$T/busy.args" || fail "busy half got: $(cat "$T/busy.args")"
grep -q -- "waiting-half -j 8" "$T/waits.args" || fail "waiting half got: $(cat "$T/waits.args")"
grep -q -- "waiting-half" "$T/busy.args" && fail "the busy half got the waiting half's arguments"
[ -e "$T/alone" ] && fail "the halves did not run at the same time: $(cat "$T/alone")"
run 8 0 && fail "a failing busy half ended in success"
run 0 8 && fail "a failing waiting half ended in success"
run 8 8 && fail "two failing halves ended in success"

[ "$failures" -eq 0 ] && echo "run-tests.sh: all checks passed"
exit "$failures"
