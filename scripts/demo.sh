#!/usr/bin/env bash
# Installs the dependencies, builds the program and decodes the sample recording
# kept in the repository, printing the JSON summary of what it found.
#   scripts/demo.sh                  the sample recording
#   scripts/demo.sh <file.wav|.flac> any other recording
set -euo pipefail
# A recording named relative to where the script was started from.
recording=$(realpath -m -- "${1:-$(dirname "$0")/../samples/demo.flac}")
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target quillmar-modem ${JOBS:+-j "$JOBS"} >/dev/null

exec build/src/quillmar-modem --decode "$recording"
