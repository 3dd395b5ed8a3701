#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and fuzzes.
#   scripts/fuzz.sh <target> [seconds] [jobs]   one target (default 3600 s, 1 job)
#   scripts/fuzz.sh all [seconds]               every target for [seconds] (default
#                                               60), as many at once as there are cores
# Each run starts from fuzz/corpus/<target>/ and fuzz/regressions/<target>/ and
# keeps what it finds new in build-fuzz/corpus/<target>/; crashes, leaks and
# timeouts are written to build-fuzz/findings/<target>/. The status is 1 when a
# target reported a finding. FUZZ_TIMEOUT (seconds, default 10) bounds one
# input; a long run niced on a busy machine wants more, since the bound is
# wall-clock time.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 1 ]; then
  sed -n '3,6p' "$0" >&2
  exit 2
fi
target=$1

dir=build-fuzz
CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMAR_FUZZ=ON \
  -DQUILLMAR_TESTS=OFF -DQUILLMAR_BENCH=OFF >/dev/null
targets=$(sed -n '/^set(QUILLMAR_FUZZ_TARGETS/,/)/p' fuzz/CMakeLists.txt | tr -d '()' | sed '1d')
if [ "$target" = all ]; then
  cmake --build "$dir"
else
  echo "$targets" | grep -qx " *$target" || { echo "unknown fuzz target: $target" >&2; exit 2; }
  cmake --build "$dir" --target "${target}_fuzz"
fi

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# Runs one target for $2 seconds with $3 jobs, in its findings directory (where
# libFuzzer also puts the logs of its jobs); its output goes to log there.
run() {
  local name=$1 seconds=$2 jobs=$3 root=$PWD
  local corpus=$root/$dir/corpus/$name findings=$root/$dir/findings/$name
  mkdir -p "$corpus" "$findings"
  rm -f "$findings"/log "$findings"/fuzz-*.log
  local options=(-max_total_time="$seconds" -rss_limit_mb=2048 -timeout="${FUZZ_TIMEOUT:-10}"
    -artifact_prefix="$findings/" -print_final_stats=1)
  [ -f "fuzz/$name.dict" ] && options+=(-dict="$root/fuzz/$name.dict")
  if [ -f "fuzz/$name.options" ]; then
    local extra
    read -ra extra <"fuzz/$name.options"
    options+=("${extra[@]}")
  fi
  if [ "$jobs" -gt 1 ]; then options+=(-jobs="$jobs" -workers="$jobs"); fi
  local seeds=("$root/fuzz/corpus/$name")
  [ -d "fuzz/regressions/$name" ] && seeds+=("$root/fuzz/regressions/$name")
  (cd "$findings" && exec "$root/$dir/fuzz/${name}_fuzz" "${options[@]}" "$corpus" "${seeds[@]}" \
    >log 2>&1)
}

# The figures of a finished run: inputs run and their rate (summed over jobs).
report() {
  local name=$1 status=$2 findings=$dir/findings/$1
  local logs=("$findings"/log) runs rate
  compgen -G "$findings/fuzz-*.log" >/dev/null && logs=("$findings"/fuzz-*.log)
  runs=$(grep -ho 'stat::number_of_executed_units: *[0-9]*' "${logs[@]}" | awk '{s+=$2} END {print s+0}')
  rate=$(grep -ho 'stat::average_exec_per_sec: *[0-9]*' "${logs[@]}" | awk '{s+=$2} END {print s+0}')
  if [ "$status" -eq 0 ]; then
    echo "fuzz $name: clean, $runs inputs, $rate inputs/s"
  else
    echo "fuzz $name: FINDING (status $status), see $findings/" >&2
    tail -n 40 "${logs[@]}" >&2
  fi
}

if [ "$target" != all ]; then
  status=0
  run "$target" "${2:-3600}" "${3:-1}" || status=$?
  report "$target" "$status"
  exit $((status != 0))
fi

seconds=${2:-60}
slots=$(nproc)
failed=0
declare -A pids=()
for name in $targets; do
  while [ "$(jobs -rp | wc -l)" -ge "$slots" ]; do wait -n || true; done
  run "$name" "$seconds" 1 &
  pids[$name]=$!
done
for name in $targets; do
  status=0
  wait "${pids[$name]}" || status=$?
  report "$name" "$status"
  [ "$status" -eq 0 ] || failed=1
done
exit "$failed"
