#!/usr/bin/env bash
# scripts/bench.sh runs every benchmark program of a build and nothing else: CMake leaves
# folders (CMakeFiles) and files beside the programs.
set -u
bench=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

mkdir -p "$work/benchmarks/CMakeFiles/x.dir"
printf '#!/bin/sh\necho "figures of $0 $*"\n' > "$work/benchmarks/a_bench"
chmod +x "$work/benchmarks/a_bench"
echo "not a program" > "$work/benchmarks/cmake_install.cmake"
out=$(bash "$bench" "$work" 2>&1) || fail "bench.sh stopped: $out"
echo "$out" | grep -q "== a_bench" || fail "the benchmark did not run: $out"
echo "$out" | grep -q "figures of .*a_bench --benchmark_counters_tabular=true" || fail "no figures: $out"
echo "$out" | grep -q "CMakeFiles" && fail "CMake's folder was taken for a benchmark: $out"
echo "bench script test passed"
