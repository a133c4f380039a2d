#!/bin/bash
# Session recordings end to end: a whole simulated update is recorded, replayed by
# tarvel-devsim --replay, and the updater ends the same way; a recording bent in one byte or
# missing one event never ends in success; the recordings kept in tests/e2e/recordings replay.
# Usage: recording_round_trip_test.sh UPDATER DEVSIM RECORDINGS_DIR
set -u
UPDATER=$1
DEVSIM=$2
KEPT=$3
# "files": bad recordings only; "kept" (default) also replays tests/e2e/recordings; "all" also
# records and replays three whole updates and bends them (a few minutes; see the README).
MODE=${4:-kept}
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
export XDG_RUNTIME_DIR=$T XDG_DATA_HOME=$T/data XDG_STATE_HOME=$T/state TMPDIR=$T
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The texts a run showed, without the log and in the order given: what must come out the same.
texts_last() { grep -v '^  ' "$1" | grep -v '^\[' | tail -1; }

# replay NAME RECORDING UPDATER_ARGS...: serves RECORDING and runs the updater against it;
# leaves $T/NAME.out, $T/NAME.err, and the statuses in $T/NAME.status ("updater replay").
replay() {
    local name=$1 recording=$2
    shift 2
    local socket=$T/$name.sock
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

if [ "$MODE" = all ]; then
round_trip peak-pro "model=13,version=12.40,user-data=yes"
grep -q '"drive"' "$T/peak-pro.jsonl" || fail "peak-pro: no drive tree recorded"
grep -q "Latest software is installed on device" "$T/peak-pro.out" || fail "peak-pro: the replay did not end up to date"
# The rider's files are described, never carried: their bytes are nowhere in the recording.
if grep -q '"contents"\|"bytes"' "$T/peak-pro.jsonl"; then fail "peak-pro: file contents in the recording"; fi
round_trip japanese "model=11,variant=japanese,version=7.63"
grep -qi "language\|font\|kanji" "$T/japanese.rec.out" || fail "japanese: the recorded run programmed no language packs"
round_trip rom-recovery "face=rom" --recover=13
grep -q '"op":"open","pid":115,"vid":5538' "$T/rom-recovery.jsonl" || fail "rom-recovery: no ROM bootloader in the recording"

# One reply byte bent: the flash bootloader's first generic response (report 3, tag 0xa0)
# reports a failed command. The updater must not end up to date.
python3 - "$T/peak-pro.jsonl" "$T/bent.jsonl" <<'PY'
import json, sys
lines = open(sys.argv[1]).read().splitlines(True)
for i, line in enumerate(lines[1:], 1):
    m = json.loads(line)
    r = m.get("response", {})
    d = r.get("data", "")
    if m.get("request", {}).get("op") == "read" and d[:4] == "0300" and d[8:10] == "a0":
        r["data"] = d[:16] + "01" + d[18:]
        lines[i] = json.dumps(m, separators=(",", ":")) + "\n"
        break
open(sys.argv[2], "w").writelines(lines)
PY
cmp -s "$T/peak-pro.jsonl" "$T/bent.jsonl" && fail "bent: the byte was not changed"
replay bent "$T/bent.jsonl"
read -r updater sim <"$T/bent.status"
[ "$updater" != 0 ] || fail "bent reply: the updater ended with success"
grep -q "Latest software is installed on device" "$T/bent.out" && fail "bent reply: the updater said it is up to date"

# One event dropped: the device's return after programming (its first nodes_changed after the
# bootloader's flash writes). The updater must not end up to date.
python3 - "$T/peak-pro.jsonl" "$T/dropped.jsonl" <<'PY'
import json, sys
lines = open(sys.argv[1]).read().splitlines(True)
seen_bootloader = False
for i, line in enumerate(lines[1:], 1):
    m = json.loads(line)
    if m.get("request", {}).get("op") == "open" and m["request"].get("pid") == 13:
        seen_bootloader = True
    if seen_bootloader and m.get("event", {}).get("event") == "volume_arrival":
        del lines[i]
        break
open(sys.argv[2], "w").writelines(lines)
PY
replay dropped "$T/dropped.jsonl"
read -r updater sim <"$T/dropped.status"
grep -q "Latest software is installed on device" "$T/dropped.out" && [ "$updater" = 0 ] \
    && fail "dropped event: the updater ended with success"
fi

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
