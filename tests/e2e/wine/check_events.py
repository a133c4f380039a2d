#!/usr/bin/env python3
"""Checks an updater's --json output: every line one JSON event, the last one the outcome with
the given result and status, and the given texts found in the output in this order.

    check_events.py FILE --outcome RESULT STATUS --in-order TEXT...
"""
import json
import sys


def main(argv):
    path = argv[1]
    args = argv[2:]
    result = status = None
    texts = []
    while args:
        if args[0] == "--outcome":
            result, status = args[1], int(args[2])
            args = args[3:]
        elif args[0] == "--in-order":
            texts = args[1:]
            args = []
        else:
            print("unknown argument " + args[0], file=sys.stderr)
            return 2
    with open(path, encoding="utf-8", errors="replace") as f:
        raw = f.read()
    lines = [line.rstrip("\r") for line in raw.split("\n") if line.strip()]
    events = []
    for number, line in enumerate(lines, 1):
        try:
            events.append(json.loads(line))
        except ValueError:
            print(f"line {number} is no JSON event: {line!r}", file=sys.stderr)
            return 1
    if not events:
        print("no events", file=sys.stderr)
        return 1
    last = events[-1]
    if result is not None:
        if last.get("event") != "outcome" or last.get("result") != result or last.get("status") != status:
            print(f"the last event is {last}, not the outcome {result} {status}", file=sys.stderr)
            return 1
    # Texts as the Linux tests look for them: in the output as written, one after another.
    at = 0
    text = "\n".join(lines)
    for wanted in texts:
        found = text.find(wanted, at)
        if found < 0:
            found_anywhere = text.find(wanted) >= 0
            where = "only earlier" if found_anywhere else "nowhere"
            print(f"{wanted!r} is {where} in the output", file=sys.stderr)
            return 1
        at = found + len(wanted)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
