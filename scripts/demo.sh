#!/usr/bin/env bash
# Installs the dependencies, builds the modem and the generated Python message
# module, then runs the example parent application, which starts the modem on a
# socket, has it receive a FLAC recording and prints every frame it decodes.
#   scripts/demo.sh                  the sample recording samples/demo.flac
#   scripts/demo.sh <file.flac>      any other FLAC recording
set -euo pipefail
# A recording named relative to where the script was started from.
recording=$(realpath -m -- "${1:-$(dirname "$0")/../samples/demo.flac}")
cd "$(dirname "$0")/.."

scripts/install-deps.sh

echo "building build/src/quillmar-modem (a few minutes the first time)" >&2
mkdir -p build
if ! { cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build build --target quillmar-modem quillmar_proto_py ${JOBS:+-j "$JOBS"}; } \
     >build/demo-build.log 2>&1; then
  cat build/demo-build.log >&2
  exit 1
fi

exec /usr/bin/python3 examples/parent.py "$recording"
