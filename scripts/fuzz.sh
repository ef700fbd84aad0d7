#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan and UBSan), makes their seed corpus with the project's
# own writers, replays every input that once crashed a target, then fuzzes each target.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [-runs=N]   (default 20 seconds; CI runs it short)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
limit=-max_total_time=$seconds
[ $# -ge 2 ] && limit=$2
scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build build/fuzz --target fuzzers
program=build/fuzz/program
seeds=build/fuzz/seeds
rm -rf "$seeds"
ASAN_OPTIONS=detect_leaks=0 "$program/make_seeds" "$seeds"
status=0
for fuzzer in "$program"/fuzz_*; do
  target=${fuzzer##*/fuzz_}
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus" "$seeds/$target"
  if [ -d "fuzz/regressions/$target" ]; then
    "$fuzzer" fuzz/regressions/"$target"/* >"build/fuzz/$target-regressions.log" 2>&1 || {
      echo "fuzz: $target fails on an input it once crashed on (build/fuzz/$target-regressions.log)"; status=1; }
  fi
  log=build/fuzz/$target.log
  if "$fuzzer" "$limit" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="build/fuzz/$target-" \
      "$corpus" "$seeds/$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $target: $runs inputs, no failure"
  else
    echo "fuzz: $target FAILED; the input is build/fuzz/$target-*; see $log"
    status=1
  fi
done
exit $status
