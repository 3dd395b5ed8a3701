#!/usr/bin/env bash
# Installs the dependencies, builds the modem and the generated Python message
# module, then runs the example parent application, which starts the modem on a
# socket, has it receive a FLAC recording and prints every frame it decodes.
#   scripts/demo.sh                       the sample recording samples/demo.flac
#   scripts/demo.sh [options] <file.flac> any other FLAC recording
# Every argument goes to the example parent (examples/parent.py): --fast reads
# the recording as fast as the modem takes it, --seconds N shuts down after N s.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

"$root/scripts/install-deps.sh"

echo "building build/src/quillmar-modem (a few minutes the first time)" >&2
mkdir -p "$root/build"
# Configured exactly as scripts/test.sh configures build/, so that the tests
# after the demonstration build only what it left out.
if ! { cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DQUILLMAR_WERROR=ON &&
       cmake --build "$root/build" --target quillmar-modem quillmar_proto_py ${JOBS:+-j "$JOBS"}; } \
     >"$root/build/demo-build.log" 2>&1; then
  cat "$root/build/demo-build.log" >&2
  exit 1
fi

# Run from where the script was started, so that a recording named relative
# to there is found.
exec /usr/bin/python3 "$root/examples/parent.py" "$@"
