#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz (clang++ with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs each for a bounded time. Fails when any
# target crashes, leaks or hangs; the input that did it is kept in fuzz-out/.
#
#   tools/run-fuzz.sh [seconds per target, default 30] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift $(($# > 0 ? 1 : 0))
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(fuzz_text fuzz_header fuzz_run)
fi
build=build-fuzz
out=fuzz-out

echo "== building the fuzz targets in $build"
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSCALESUM_FUZZ=ON -DSCALESUM_BUILD_TESTS=OFF -DSCALESUM_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

# Seeds: the example and a few small simulated logs with their options files. The whole-run
# target takes the log, a NUL byte, then the options file.
seeds="$build/seeds"
rm -rf "$seeds"
mkdir -p "$seeds"/{fuzz_text,fuzz_header,fuzz_run} "$out"
cp examples/example.log "$seeds/fuzz_header/example.log"
head -c 4096 examples/example.log >"$seeds/fuzz_text/example-head.log"
cp examples/example.options "$seeds/fuzz_text/example.options"
for shape in "3 6 1 2000" "5 12 3 3000" "8 20 5 5000" "13 30 7 1000"; do
  read -r taxa samples seed burnin <<<"$shape"
  name="sim-$taxa-$samples"
  python3 tools/simulate_log.py --taxa "$taxa" --samples "$samples" --seed "$seed" \
    --burnin "$burnin" --out "$seeds/$name.log" --options "$seeds/$name.options"
  cp "$seeds/$name.log" "$seeds/fuzz_text/"
  cp "$seeds/$name.log" "$seeds/fuzz_header/"
  { cat "$seeds/$name.log"; printf '\0'; cat "$seeds/$name.options"; } >"$seeds/fuzz_run/$name"
done

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
failed=()
summary=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  echo "== $target: $seconds s"
  log="$build/$target.log"
  status=0
  "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=20 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$out/$target-" \
    "$corpus" "$seeds/$target" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if ((status != 0)); then
    tail -n 40 "$log"
    failed+=("$target")
    summary+=("$target: FAILED (exit $status), see $log and $out/")
  else
    summary+=("$target: ${runs:-?} executions in $seconds s, corpus $(ls "$corpus" | wc -l) inputs")
  fi
done

printf '%s\n' "${summary[@]}"
if ((${#failed[@]} > 0)); then
  echo "fuzzing found problems in: ${failed[*]}"
  exit 1
fi
