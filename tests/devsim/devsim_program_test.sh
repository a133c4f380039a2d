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
# TCP: loopback hosts only, a port that is a number, one kind of bus, sound tokens and root
# mappings. Nothing listens or connects when an option is refused.
for value in 0.0.0.0:0 10.0.0.1:4000 example.org:80 127.0.0.2:0 ::1:0 127.0.0.1 127.0.0.1:65536 127.0.0.1:x; do
  timeout 10 "$sim" --tcp "$value" >"$work/out" 2>"$work/err"
  [ $? = 2 ] || fail "--tcp '$value' must be refused with 2"
  [ ! -s "$work/out" ] || fail "a refused --tcp '$value' printed a bus address"
done
grep -q "not a number" "$work/err" || fail "a bad port is not said to be one: $(cat "$work/err")"
timeout 10 "$sim" --tcp 0.0.0.0:0 2>"$work/err"
grep -q "is not a loopback address" "$work/err" || fail "a non-loopback host is not said to be one: $(cat "$work/err")"
timeout 10 "$sim" --tcp 127.0.0.1:0 --socket "$work/both.sock" 2>"$work/err"
[ $? = 2 ] || fail "--tcp with --socket must be refused with 2"
[ ! -e "$work/both.sock" ] || fail "a refused start left a socket"
for token in "two words" "" "$(printf 'tab\there')"; do
  timeout 10 "$sim" --tcp 127.0.0.1:0 --token="$token" </dev/null >/dev/null 2>&1
  [ $? = 2 ] || fail "--token '$token' must be refused with 2"
done
for map in /tmp/x /tmp/x/ "=Z:\\" "/tmp/x=Z:\\x\\"; do
  timeout 10 "$sim" --tcp 127.0.0.1:0 --root-map "$map" >/dev/null 2>&1
  [ $? = 2 ] || fail "--root-map '$map' must be refused with 2"
done
timeout 10 "$sim" --socket "$work/tok.sock" --token abc 2>/dev/null
[ $? = 2 ] || fail "--token with --socket must be refused with 2: a client cannot give it"
timeout 10 "$sim" --buspal 2>"$work/err"
[ $? = 2 ] || fail "--buspal without --serial must be refused with 2"
grep -q "needs --serial" "$work/err" || fail "--buspal's refusal does not say why: $(cat "$work/err")"

# Port 0: one line on standard output says where the bus is, with a random token (a fresh one
# each start); --no-token serves without one.
"$sim" --tcp 127.0.0.1:0 --drive-dir "$work/drive" >"$work/tcp.out" 2>/dev/null &
tcp=$!
for _ in $(seq 50); do [ -s "$work/tcp.out" ] && break; sleep 0.1; done
kill -TERM $tcp; wait $tcp || fail "the TCP simulator did not stop cleanly"
grep -Eq '^TARVEL_VBUS=tcp:127\.0\.0\.1:[1-9][0-9]*/[0-9a-f]{32}$' "$work/tcp.out" || fail "no address line: $(cat "$work/tcp.out")"
first_line=$(cat "$work/tcp.out")
"$sim" --tcp 127.0.0.1:0 --drive-dir "$work/drive" >"$work/tcp.out" 2>/dev/null &
tcp=$!
for _ in $(seq 50); do [ -s "$work/tcp.out" ] && break; sleep 0.1; done
kill -TERM $tcp; wait $tcp
[ "${first_line#*/}" != "$(sed 's#.*/##' "$work/tcp.out")" ] || fail "two starts got the same token"
"$sim" --tcp 127.0.0.1:0 --no-token --drive-dir "$work/drive" >"$work/tcp.out" 2>/dev/null &
tcp=$!
for _ in $(seq 50); do [ -s "$work/tcp.out" ] && break; sleep 0.1; done
kill -TERM $tcp; wait $tcp
grep -Eq '^TARVEL_VBUS=tcp:127\.0\.0\.1:[1-9][0-9]*$' "$work/tcp.out" || fail "--no-token still has a token: $(cat "$work/tcp.out")"
# --record: a file that exists is kept (no --record-overwrite), and it cannot go with --replay.
echo "kept" >"$work/kept.jsonl"
"$sim" --socket "$work/rec.sock" --drive-dir "$work/drive" --record "$work/kept.jsonl" 2>"$work/rec.err"
[ $? = 1 ] || fail "--record over an existing file did not end with 1"
[ "$(cat "$work/kept.jsonl")" = kept ] || fail "--record changed an existing file"
grep -q -- "--record $work/kept.jsonl" "$work/rec.err" || fail "--record's refusal does not name the file: $(cat "$work/rec.err")"
"$sim" --socket "$work/rec.sock" --record "$work/new.jsonl" --replay "$work/kept.jsonl" 2>"$work/rec.err"
[ $? = 2 ] || fail "--record with --replay was not refused"
[ ! -e "$work/new.jsonl" ] || fail "a refused command line made a recording"
"$sim" --socket "$work/rec.sock" --drive-dir "$work/drive" --record "$work/new.jsonl" 2>/dev/null &
rec=$!
for _ in $(seq 50); do [ -S "$work/rec.sock" ] && break; sleep 0.1; done
kill -TERM $rec; wait $rec || fail "the recording simulator did not stop cleanly"
head -1 "$work/new.jsonl" | grep -q '"recording":"tarvel-vbus"' || fail "no recording header: $(head -1 "$work/new.jsonl")"
echo "devsim program test passed"
