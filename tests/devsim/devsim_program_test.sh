#!/usr/bin/env bash
# tarvel-devsim as a program: option values it must refuse, and paths it must not take.
set -u
sim=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

for scale in nan NaN inf -1 '' 1x; do
  timeout 10 "$sim" --socket "$work/bus.sock" --time-scale "$scale" 2>/dev/null
  [ $? = 2 ] || fail "--time-scale '$scale' must be refused with 2"
  [ ! -e "$work/bus.sock" ] || fail "a refused start left a socket"
done

for fault in corrupt corrupt_write,offset corrupt_write,offset=-1 corrupt_write,always=1 ''; do
  timeout 10 "$sim" --socket "$work/bus.sock" --fault "$fault" 2>"$work/err"
  [ $? = 2 ] || fail "--fault '$fault' must be refused with 2"
  grep -q "fault" "$work/err" || fail "the refusal of --fault '$fault' does not say why: $(cat "$work/err")"
  [ ! -e "$work/bus.sock" ] || fail "a refused start left a socket"
done
"$sim" --socket "$work/fault.sock" --face bootloader --fault corrupt_write,offset=4096,always 2>"$work/err" &
faulty=$!
for _ in $(seq 50); do [ -S "$work/fault.sock" ] && break; sleep 0.1; done
[ -S "$work/fault.sock" ] || { kill $faulty; fail "a simulator with a fault did not start: $(cat "$work/err")"; }
kill -TERM $faulty
wait $faulty

echo "rider's notes" > "$work/notes.txt"
timeout 10 "$sim" --socket "$work/notes.txt" 2>"$work/err"
[ $? = 1 ] || fail "an ordinary file as the socket path must be refused with 1"
grep -q "is not a socket" "$work/err" || fail "the refusal does not say why: $(cat "$work/err")"
[ "$(cat "$work/notes.txt")" = "rider's notes" ] || fail "the file at the socket path was changed"

# A live simulator is detected; the first keeps serving and removes its socket when stopped.
mkdir -p "$work/drive"
"$sim" --socket "$work/live.sock" --drive-dir "$work/drive" 2>/dev/null &
first=$!
for _ in $(seq 50); do [ -S "$work/live.sock" ] && break; sleep 0.1; done
[ -S "$work/live.sock" ] || { kill $first; fail "the first simulator did not start"; }
timeout 10 "$sim" --socket "$work/live.sock" 2>"$work/err"
code=$?
[ -S "$work/live.sock" ] || { kill $first; fail "the second simulator took the first one's socket"; }
kill -TERM $first
wait $first
[ $code = 1 ] || fail "a second simulator on a live socket must be refused with 1"
grep -q "already listening" "$work/err" || fail "the refusal does not say why: $(cat "$work/err")"
[ ! -e "$work/live.sock" ] || fail "the stopped simulator left its socket"
echo "devsim program test passed"
