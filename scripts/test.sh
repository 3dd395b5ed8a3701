#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs the test suite.
#   scripts/test.sh              normal build in build/
#   SANITIZE=1 scripts/test.sh   AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   TSAN=1 scripts/test.sh       ThreadSanitizer in build-tsan/, the tests labelled `threads`
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

labels=()
if [ "${TSAN:-0}" = 1 ]; then
  dir=build-tsan
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMAR_TSAN=ON -DQUILLMAR_BENCH=OFF
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
  labels=(-L threads)
elif [ "${SANITIZE:-0}" = 1 ]; then
  dir=build-asan
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMAR_SANITIZE=ON -DQUILLMAR_BENCH=OFF
  export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
else
  dir=build
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMAR_WERROR=ON
fi
cmake --build "$dir"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" "${labels[@]}"
