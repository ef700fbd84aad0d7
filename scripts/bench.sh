#!/usr/bin/env bash
# Builds the release programs and runs every benchmark; each prints its ratio against a
# reference measured in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
for bench in build/release/bench/bench_*; do
  home=$(mktemp -d)
  ORVIK_HOME="$home" "$bench"
  rm -rf "$home"
done
