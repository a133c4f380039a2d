#!/bin/bash
# Session recordings end to end: a whole simulated update is recorded, replayed by
# tarvel-devsim --replay, and the updater ends the same way; a recording bent in one byte or
# missing one event never ends in success; the recordings kept in tests/e2e/recordings replay.
# Usage: recording_round_trip_test.sh UPDATER DEVSIM RECORDINGS_DIR
set -u
UPDATER=$1
DEVSIM=$2
KEPT=$3
# "files": bad recordings only; "kept" (default) also replays tests/e2e/recordings;
# "peak-pro", "japanese" or "rom-recovery" records and replays that whole update instead
# ("peak-pro" also bends its recording in one reply byte and drops one event); "all" does
# every one of them in turn; "standin" records a session with the device stand-in that the
# STANDIN command serves, and replays it.
MODE=${4:-kept}
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
export XDG_RUNTIME_DIR=$T TMPDIR=$T
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
want() { [ "$MODE" = all ] || [ "$MODE" = "$1" ]; }

# Every run of the updater starts from nothing held: its own staging and state folders, as the
# recorded run had (a backup held by one run would change what the next one does), and its own
# runtime folder, so that runs side by side are not one another's other instance.
fresh_state() {
    mkdir -m 700 -p "$T/$1.run"
    export XDG_DATA_HOME=$T/$1.data XDG_STATE_HOME=$T/$1.state XDG_RUNTIME_DIR=$T/$1.run
}

# The texts a run showed, without the log and in the order given: what must come out the same.
texts_last() { grep -v '^  ' "$1" | grep -v '^\[' | tail -1; }

# replay NAME RECORDING UPDATER_ARGS...: serves RECORDING and runs the updater against it;
# leaves $T/NAME.out, $T/NAME.err, and the statuses in $T/NAME.status ("updater replay").
replay() {
    local name=$1 recording=$2
    shift 2
    local socket=$T/$name.sock
    fresh_state "$name"
    timeout 60 "$DEVSIM" --replay "$recording" --socket "$socket" --time-scale 0 2>"$T/$name.err" &
    local sim=$!
    for _ in $(seq 200); do [ -S "$socket" ] && break; sleep 0.05; done
    TARVEL_VBUS=$socket timeout 60 "$UPDATER" --headless --auto --time-scale=0 "$@" >"$T/$name.out" 2>>"$T/$name.uerr"
    local updater=$?
    wait $sim
    echo "$updater $?" >"$T/$name.status"
}

# round_trip NAME SIMULATE_ARGS -- UPDATER_ARGS...
round_trip() {
    local name=$1 device=$2
    shift 2
    fresh_state "$name.rec"
    "$UPDATER" --headless --auto --simulate="$device" --time-scale=0 --record="$T/$name.jsonl" "$@" >"$T/$name.rec.out" 2>/dev/null
    local recorded=$?
    replay "$name" "$T/$name.jsonl" "$@"
    read -r updater sim <"$T/$name.status"
    [ "$updater" = "$recorded" ] || fail "$name: recorded run ended $recorded, replayed $updater ($(cat "$T/$name.err"))"
    [ "$sim" = 0 ] || fail "$name: replay ended $sim: $(cat "$T/$name.err")"
    # The intermediate status lines depend on how the host's threads meet; the last text shown
    # is the outcome.
    [ "$(texts_last "$T/$name.rec.out")" = "$(texts_last "$T/$name.out")" ] \
        || fail "$name: the replayed run ended on '$(texts_last "$T/$name.out")', recorded '$(texts_last "$T/$name.rec.out")'"
}

if want peak-pro; then
round_trip peak-pro "model=13,version=12.40,user-data=yes"
grep -q '"drive"' "$T/peak-pro.jsonl" || fail "peak-pro: no drive tree recorded"
grep -q "Latest software is installed on device" "$T/peak-pro.out" || fail "peak-pro: the replay did not end up to date"
# The rider's files are described, never carried: their bytes are nowhere in the recording.
if grep -q '"contents"\|"bytes"' "$T/peak-pro.jsonl"; then fail "peak-pro: file contents in the recording"; fi
fi
if want japanese; then
round_trip japanese "model=11,variant=japanese,version=7.63"
grep -qi "language\|font\|kanji" "$T/japanese.rec.out" || fail "japanese: the recorded run programmed no language packs"
fi
if want rom-recovery; then
round_trip rom-recovery "face=rom" --recover=13
grep -q '"op":"open","pid":115,"vid":5538' "$T/rom-recovery.jsonl" || fail "rom-recovery: no ROM bootloader in the recording"
fi
if want peak-pro; then

# One reply byte bent: the frame that tells the wireless update finished (SOH, 0x0a,
# "Succus!!") gets the failure mark '%' as its first byte after SOH. The wireless update then
# failed, and the updater must not end up to date. (A bootloader status is no such byte: the
# flashing steps only log it, and the device came back with the new firmware all the same.)
# The two bent recordings are looked for as text: a whole update is some 36000 lines.
python3 - "$T/peak-pro.jsonl" "$T/bent.jsonl" <<'PY'
import json, sys
lines = open(sys.argv[1]).read().splitlines(True)
mark = '"data":"010a' + b"Succus!!".hex()
for i, line in enumerate(lines[1:], 1):
    if mark in line:
        m = json.loads(line)
        d = m["response"]["data"]
        m["response"]["data"] = d[:2] + "25" + d[4:]
        lines[i] = json.dumps(m, separators=(",", ":")) + "\n"
        break
open(sys.argv[2], "w").writelines(lines)
PY
cmp -s "$T/peak-pro.jsonl" "$T/bent.jsonl" && fail "bent: the byte was not changed"

# One event dropped: the drive's arrival when the device returns after programming (the first
# volume_arrival after the flash bootloader was opened). The updater must not end up to date.
python3 - "$T/peak-pro.jsonl" "$T/dropped.jsonl" <<'PY'
import sys
lines = open(sys.argv[1]).read().splitlines(True)
seen_bootloader = False
for i, line in enumerate(lines[1:], 1):
    if '"op":"open","pid":13,' in line:
        seen_bootloader = True
    if seen_bootloader and '"event":{"event":"volume_arrival"' in line:
        del lines[i]
        break
open(sys.argv[2], "w").writelines(lines)
PY
cmp -s "$T/peak-pro.jsonl" "$T/dropped.jsonl" && fail "dropped: no event was dropped"

# Both take their failure path side by side.
replay bent "$T/bent.jsonl" &
bent=$!
replay dropped "$T/dropped.jsonl"
wait $bent
read -r updater sim <"$T/bent.status"
[ "$updater" != 0 ] || fail "bent reply: the updater ended with success"
grep -q "Latest software is installed on device" "$T/bent.out" && fail "bent reply: the updater said it is up to date"
read -r updater sim <"$T/dropped.status"
[ "$updater" != 0 ] || fail "dropped event: the updater ended with success"
grep -q "Latest software is installed on device" "$T/dropped.out" && fail "dropped event: the updater said it is up to date"
fi

# A recording made against a device stand-in that is not the project's simulator: STANDIN is a
# command that serves a whole device on the bus, prints TARVEL_VBUS=ADDRESS as its first line
# (as tests/support/vbus_standin.py --tcp 127.0.0.1:0 does) and ends when killed; the
# updater's session with it is recorded, then replayed, and both must end alike. @DRIVE@ in
# STANDIN stands for a fresh folder of this run (the stand-in's drive).
if [ "$MODE" = standin ]; then
    [ -n "${STANDIN:-}" ] || { echo "FAIL: standin: set STANDIN to the stand-in's command"; exit 1; }
    fresh_state standin.rec
    mkdir -p "$T/standin-drive"
    ${STANDIN//@DRIVE@/$T/standin-drive} >"$T/standin.addr" &
    standin=$!
    for _ in $(seq 200); do grep -q '^TARVEL_VBUS=' "$T/standin.addr" && break; sleep 0.05; done
    TARVEL_VBUS=$(sed -n 's/^TARVEL_VBUS=//p' "$T/standin.addr" | head -1) timeout 60 "$UPDATER" --headless --auto \
        --time-scale=0 --record="$T/standin.jsonl" >"$T/standin.rec.out" 2>/dev/null
    recorded=$?
    kill "$standin" 2>/dev/null
    wait "$standin" 2>/dev/null
    replay standin "$T/standin.jsonl"
    read -r updater sim <"$T/standin.status"
    [ "$updater" = "$recorded" ] || fail "standin: recorded run ended $recorded, replayed $updater ($(cat "$T/standin.err"))"
    [ "$sim" = 0 ] || fail "standin: replay ended $sim: $(cat "$T/standin.err")"
    [ "$(texts_last "$T/standin.rec.out")" = "$(texts_last "$T/standin.out")" ] \
        || fail "standin: the replayed run ended on '$(texts_last "$T/standin.out")', recorded '$(texts_last "$T/standin.rec.out")'"
fi

case $MODE in peak-pro | japanese | rom-recovery | standin)
    [ $failures = 0 ] && echo "recording round trip $MODE passed"
    exit $((failures > 0)) ;;
esac

# Bad recordings are refused with the line at fault, quickly, with status 1.
printf '{"t_ms":0,"conn":1,"event":{"event":"nodes_changed"}}\n' >"$T/no-header.jsonl"
printf '{"recording":"tarvel-vbus","version":7}\n' >"$T/version.jsonl"
printf '{"recording":"tarvel-vbus","version":1}\n{"t_ms":0,"conn":1,"event":{"ev' >"$T/cut.jsonl"
for bad in no-header version cut; do
    timeout 10 "$DEVSIM" --replay "$T/$bad.jsonl" --socket "$T/$bad.sock" 2>"$T/$bad.err"
    status=$?
    [ "$status" = 1 ] || fail "$bad recording: status $status"
    grep -q "line [12]" "$T/$bad.err" || fail "$bad recording: no line in $(cat "$T/$bad.err")"
done

# Faults laid over a replay: only those that bend answers, and only over a replay.
"$DEVSIM" --replay "$T/cut.jsonl" --replay-faults corrupt_write --socket "$T/f.sock" 2>"$T/f.err"
[ $? = 2 ] && grep -q "cannot be laid over a replay" "$T/f.err" || fail "--replay-faults corrupt_write was not refused: $(cat "$T/f.err")"
"$DEVSIM" --replay-faults drop_report --socket "$T/f.sock" 2>"$T/f.err"
[ $? = 2 ] && grep -q "needs --replay" "$T/f.err" || fail "--replay-faults without --replay was not refused: $(cat "$T/f.err")"

[ "$MODE" = files ] && { [ $failures = 0 ] && echo "bad recordings refused"; exit $((failures > 0)); }

# The kept recordings: each NAME.jsonl with NAME.args (the updater's options) and NAME.expect
# (a text its replayed run must show).
for kept in "$KEPT"/*.jsonl; do
    [ -e "$kept" ] || continue
    name=kept-$(basename "$kept" .jsonl)
    args=()
    [ -f "${kept%.jsonl}.args" ] && read -r -a args <"${kept%.jsonl}.args"
    replay "$name" "$kept" "${args[@]}"
    read -r updater sim <"$T/$name.status"
    [ "$sim" = 0 ] || fail "$name: replay ended $sim: $(cat "$T/$name.err")"
    if [ -f "${kept%.jsonl}.expect" ]; then
        grep -qF "$(cat "${kept%.jsonl}.expect")" "$T/$name.out" || fail "$name: expected text not shown"
    fi
done

[ $failures = 0 ] && echo "all recording round trips passed"
exit $((failures > 0))
