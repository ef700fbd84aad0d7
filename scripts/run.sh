#!/usr/bin/env bash
# Installs what is missing, builds the release programs and starts the assistant. Arguments are
# passed to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
program=build/release/program
if [ -x "$program/OrvikDesk" ]; then
  exec "$program/OrvikDesk" "$@"
fi
# Until the window program is built, the command-line tool is what there is to start.
exec "$program/orvikctl" "${@:-help}"
