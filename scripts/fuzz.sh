#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build on its seed corpus (tests/fuzz/corpus/NAME), one after
# the other. New inputs go to a temporary folder, so the seeds stay as they are; a crash stops
# the run and leaves its input in the current folder.
#   scripts/fuzz.sh [BUILD] [libFuzzer options...]   default: build-fuzz -max_total_time=5
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-fuzz}
shift || true
options=("$@")
[ ${#options[@]} -gt 0 ] || options=(-max_total_time=5)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
shopt -s nullglob
count=0
for target in "$build"/fuzz/fuzz_*; do
  [ -f "$target" ] && [ -x "$target" ] || continue
  name=$(basename "$target")
  seeds="$root/tests/fuzz/corpus/$name"
  mkdir -p "$work/$name"
  echo "== $name"
  corpora=("$work/$name")
  [ -d "$seeds" ] && corpora+=("$seeds")
  status=0
  "$target" "${options[@]}" -print_final_stats=1 "${corpora[@]}" >"$work/$name.log" 2>&1 || status=$?
  grep -E "^(stat::number_of_executed_units|stat::average_exec_per_sec|Done)|ERROR|SUMMARY|Test unit written" \
    "$work/$name.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$work/$name.log"
    echo "fuzz: $name failed (exit $status)"
    exit 1
  fi
  count=$((count + 1))
done
[ "$count" -gt 0 ] || { echo "fuzz: no fuzz targets in $build/fuzz"; exit 1; }
echo "fuzz: $count targets ran without a finding"
