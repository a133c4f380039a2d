#!/usr/bin/env bash
# Runs every benchmark program of the build and prints its figures.
set -euo pipefail
build=${1:-build}
shopt -s nullglob
for b in "$build"/benchmarks/*; do
  # Only the benchmark programs: the folder also holds CMake's own files and folders.
  [ -f "$b" ] && [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_counters_tabular=true
done
