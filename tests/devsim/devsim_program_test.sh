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

# Wireless versions are four dotted numbers, as the device reports them.
for nrf in 1.2.3.4.5 1.2.3 1..3.4 1.2.3. x.1.2.3 1.2.3.4x; do
  timeout 10 "$sim" --socket "$work/bus.sock" --nrf-version "$nrf" 2>"$work/err"
  [ $? = 2 ] || fail "--nrf-version '$nrf' must be refused with 2"
  grep -q "bad value '$nrf' for --nrf-version" "$work/err" || fail "the refusal of '$nrf' does not say why: $(cat "$work/err")"
  [ ! -e "$work/bus.sock" ] || fail "a refused start left a socket"
done

# The bus-bridge adapter sits on the serial line: without one it is refused, saying so.
timeout 10 "$sim" --socket "$work/bus.sock" --buspal 2>"$work/err"
[ $? = 2 ] || fail "--buspal without --serial must be refused with 2"
grep -q -- "--buspal needs --serial" "$work/err" || fail "the --buspal refusal does not say why: $(cat "$work/err")"
[ ! -e "$work/bus.sock" ] || fail "a refused start left a socket"
timeout 10 "$sim" 2>"$work/err"
[ $? = 2 ] || fail "no socket and no serial line must be refused with 2"
grep -q -- "--socket PATH (or --serial PATH) is needed" "$work/err" || fail "the refusal does not say why: $(cat "$work/err")"

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
