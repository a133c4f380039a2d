#!/usr/bin/env bash
# tarvel-fw: the decoded image it writes is the carried one, and bad requests fail plainly.
set -u
fw=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$fw" extract 11 standard "$work/a.bin" >/dev/null || fail "extract 11 standard"
[ "$(stat -c %s "$work/a.bin")" = 570480 ] || fail "type 11 standard is not 570480 bytes"
"$fw" extract 4 japanese "$work/b.bin" >/dev/null || fail "extract 4 japanese"
[ "$(stat -c %s "$work/b.bin")" = 466864 ] || fail "type 4 japanese is not 466864 bytes"
# The identity record at 0x200 names the type.
[ "$(dd if="$work/a.bin" bs=1 skip=512 count=8 2>/dev/null)" = TRVLIMG1 ] || fail "no identity record"
"$fw" list | grep -q "Ridge Easy .* 13.12" || fail "list lacks type 15 at 13.12"

"$fw" extract 3 standard "$work/c.bin" 2>/dev/null; [ $? = 1 ] || fail "type 3 must fail with 1"
[ ! -e "$work/c.bin" ] || fail "a failed extract left a file"
"$fw" extract 11 french "$work/c.bin" 2>/dev/null; [ $? = 2 ] || fail "a bad variant must fail with 2"
"$fw" extract 11 standard "$work/no/such/dir/x.bin" 2>/dev/null; [ $? = 1 ] || fail "an unwritable file must fail"
"$fw" 2>/dev/null; [ $? = 2 ] || fail "no arguments must fail with 2"
echo "tarvel-fw: all checks passed"
