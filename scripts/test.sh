#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and UndefinedBehaviorSanitizer,
# runs every test, then fuzzes every parser for a short while.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset ci
cmake --build --preset ci
# The Debian package, once, for its install test.
scripts/package.sh
ctest --preset ci "$@"
# Every parser of outside data under libFuzzer, a short run per target.
scripts/fuzz.sh "${ORVIK_FUZZ_SECONDS:-15}"
