#!/usr/bin/env bash
# End-to-end benchmark: simulate a log, run the normal build and the reference-density
# build on it, report wall time and peak memory of each, and check that both print
# byte-identical reports.
#
# Usage: bench/end_to_end.sh [--no-reference] [--keep] TAXA SAMPLES [SEED]
#
#   --no-reference   run only ./build (also: SCALESUM_BENCH_NO_REFERENCE=1). The reference
#                    build evaluates every kernel term: about 40 s at 200 x 10000 on a 2-core Xeon.
#   --keep           keep the temporary directory with the log and the outputs
#                    (also: SCALESUM_BENCH_KEEP=1).
#
# Builds go to ./build and ./build-reference (configured as Release; the latter with
# -DSCALESUM_REFERENCE_DENSITY=ON) and are brought up to date before timing. The thread
# count is the runtime's default; set OMP_NUM_THREADS to pin it.
# Exit status: 0 on success, 1 when a run fails or the reports differ, 2 on usage errors.
set -euo pipefail

usage() {
  sed -n 's/^# \{0,1\}//; 6,12p' "$0" >&2
  exit "${1:-2}"
}

no_reference=${SCALESUM_BENCH_NO_REFERENCE:-0}
keep=${SCALESUM_BENCH_KEEP:-0}
positional=()
while [ $# -gt 0 ]; do
  case $1 in
    --no-reference) no_reference=1 ;;
    --keep) keep=1 ;;
    -h | --help) usage 0 ;;
    -*) echo "unknown option: $1" >&2; usage ;;
    *) positional+=("$1") ;;
  esac
  shift
done
[ ${#positional[@]} -ge 2 ] && [ ${#positional[@]} -le 3 ] || usage
taxa=${positional[0]}
samples=${positional[1]}
seed=${positional[2]:-1}
for value in "$taxa" "$samples" "$seed"; do
  case $value in
    '' | *[!0-9]*) echo "TAXA, SAMPLES and SEED must be non-negative integers" >&2; exit 2 ;;
  esac
done

cd "$(dirname "$0")/.."
if [ ! -x /usr/bin/time ]; then
  echo "/usr/bin/time is missing (Debian package: time)" >&2
  exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/scalesum-bench.XXXXXX")
if [ "$keep" = 1 ]; then
  echo "keeping $work"
else
  trap 'rm -rf "$work"' EXIT
fi

now() { date +%s.%N; }

start=$(now)
python3 tools/simulate_log.py --taxa "$taxa" --samples "$samples" --seed "$seed" \
  --out "$work/bench.log" --options "$work/bench.options"
finish=$(now)
log_mib=$(awk -v b="$(wc -c <"$work/bench.log")" 'BEGIN { printf "%.1f", b / 1048576 }')
printf 'log: %s taxa, %s samples, seed %s, %s MiB, simulated in %.1f s\n' \
  "$taxa" "$samples" "$seed" "$log_mib" "$(awk -v a="$start" -v b="$finish" 'BEGIN { print b - a }')"

# build DIR [extra cmake arguments]: configure (cheap when cached) and build the executable.
build() {
  local dir=$1
  shift
  if ! { cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" &&
    cmake --build "$dir" -j2 --target Scalesum; } >"$work/$(basename "$dir").build" 2>&1; then
    echo "building $dir failed; last lines of its output:" >&2
    tail -n 30 "$work/$(basename "$dir").build" >&2
    exit 1
  fi
}

# run NAME DIR: time one run; leaves NAME.out, NAME.err, NAME.time (the `time -v` report)
# and NAME.wall (seconds, to the millisecond) in $work.
run() {
  local name=$1 dir=$2 status=0 begin
  begin=$(now)
  /usr/bin/time -v -o "$work/$name.time" "$dir/Scalesum" "$work/bench.log" "$work/bench.options" \
    >"$work/$name.out" 2>"$work/$name.err" || status=$?
  awk -v a="$begin" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }' >"$work/$name.wall"
  if [ "$status" -ne 0 ]; then
    echo "$dir/Scalesum exited with status $status" >&2
    head -n 5 "$work/$name.out" "$work/$name.err" >&2
    exit 1
  fi
  if [ -s "$work/$name.err" ]; then
    echo "warning: $dir/Scalesum wrote to standard error:" >&2
    head -n 5 "$work/$name.err" >&2
  fi
}

peak_mib() {
  awk -F': ' '/Maximum resident set size/ { printf "%.1f", $NF / 1024 }' "$1"
}

names=(build)
build build -DSCALESUM_REFERENCE_DENSITY=OFF
if [ "$no_reference" != 1 ]; then
  names+=(build-reference)
  build build-reference -DSCALESUM_REFERENCE_DENSITY=ON
fi
for name in "${names[@]}"; do
  run "$name" "./$name"
done

printf '\n%-18s %10s %14s\n' build "wall s" "peak RSS MiB"
for name in "${names[@]}"; do
  printf '%-18s %10s %14s\n' "$name" "$(cat "$work/$name.wall")" \
    "$(peak_mib "$work/$name.time")"
done
printf 'report: %s lines\n' "$(wc -l <"$work/build.out")"

if [ "$no_reference" = 1 ]; then
  echo "reference build skipped"
  exit 0
fi
awk -v fast="$(cat "$work/build.wall")" -v ref="$(cat "$work/build-reference.wall")" \
  'BEGIN { if (fast > 0) printf "speed-up: %.1fx\n", ref / fast; else print "speed-up: n/a" }'
if cmp -s "$work/build.out" "$work/build-reference.out"; then
  echo "reports identical: yes"
else
  echo "reports identical: NO" >&2
  cmp "$work/build.out" "$work/build-reference.out" >&2 || true
  exit 1
fi
