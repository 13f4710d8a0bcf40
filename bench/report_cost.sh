#!/usr/bin/env bash
# What the report and --stats cost against reading the log: for each input, time in alternating
# rounds the parse floor (bench/parse_floor.cpp: read every log once and parse every field), the
# report on one thread, and the same with --stats; print the median CPU time (user + sys) of
# each, the report's multiple of the floor and --stats' multiple of the report. The reports with
# and without --stats must be identical.
#
# Usage: bench/report_cost.sh [ROUNDS [--no-large]]   (default 5 rounds)
#
# Inputs, made by tools/simulate_log.py: "drift", 100 taxa x 10,000 samples with --drift (every
# series drifts, so the effective sample sizes read many lags); "chains", 4 chains of 200 x 2,500
# (--seed 7 --chain 1..4, read with -c); "large", 2,000 x 20,000, which takes minutes a round and
# which --no-large skips. Both Scalesum runs use OMP_NUM_THREADS=1, so that their CPU times
# compare without the threads' overhead. Other jobs on the machine make CPU times noisy too: use
# five rounds or more. The build goes to ./build (Release), brought up to date first; the floor
# is compiled with -O2 beside the logs. Exit status: 0 on success, 1 when a run fails or reports
# differ, 2 on usage errors.
set -euo pipefail

rounds=${1:-5}
large=yes
case ${2:-} in
  '') ;;
  --no-large) large=no ;;
  *) echo "usage: bench/report_cost.sh [ROUNDS [--no-large]]" >&2; exit 2 ;;
esac
case $rounds in
  '' | *[!0-9]* | 0) echo "ROUNDS must be a positive integer" >&2; exit 2 ;;
esac

cd "$(dirname "$0")/.."
if [ ! -x /usr/bin/time ]; then
  echo "/usr/bin/time is missing (Debian package: time)" >&2
  exit 2
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/scalesum-report-cost.XXXXXX")
trap 'rm -rf "$work"' EXIT

if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=Release && cmake --build build -j2 --target Scalesum &&
  "${CXX:-c++}" -std=c++20 -O2 -o "$work/parse_floor" bench/parse_floor.cpp; } \
  >"$work/build.out" 2>&1; then
  tail -n 30 "$work/build.out" >&2
  exit 1
fi

simulate() { python3 tools/simulate_log.py --out "$work/$1.log" --options "$work/$1.options" "${@:2}"; }
simulate drift --taxa 100 --samples 10000 --seed 1 --drift
for c in 1 2 3 4; do simulate "chain$c" --taxa 200 --samples 2500 --seed 7 --chain "$c"; done
inputs="drift chains"
if [ "$large" = yes ]; then
  simulate large --taxa 2000 --samples 20000 --seed 1
  inputs="$inputs large"
fi

# The logs of an input, the first as the main log.
logs() {
  case $1 in
    chains) echo "$work/chain1.log $work/chain2.log $work/chain3.log $work/chain4.log" ;;
    *) echo "$work/$1.log" ;;
  esac
}

# timed NAME COMMAND...: one run; appends its CPU seconds to $work/NAME.times.
timed() {
  local name=$1
  shift
  if ! /usr/bin/time -f '%U %S' -o "$work/time" "$@" >"$work/$name.out" 2>"$work/$name.err"; then
    echo "$* failed:" >&2
    head -n 5 "$work/$name.out" "$work/$name.err" >&2
    exit 1
  fi
  awk '{ print $1 + $2 }' "$work/time" >>"$work/$name.times"
}

# The floor reads the logs this many times a run, so that its time rises above the timer's 10 ms.
floorReads=10
for input in $inputs; do
  read -r -a files <<<"$(logs "$input")"
  options=$work/${files[0]##*/}
  options=${options%.log}.options
  chained=()
  for f in "${files[@]:1}"; do chained+=(-c "$f"); done
  for ((i = 0; i < rounds; ++i)); do
    timed "$input.floor" "$work/parse_floor" "$floorReads" "${files[@]}"
    OMP_NUM_THREADS=1 timed "$input.report" ./build/Scalesum -q "${files[0]}" "$options" "${chained[@]}"
    OMP_NUM_THREADS=1 timed "$input.stats" ./build/Scalesum -q --stats "$work/stats.tsv" \
      "${files[0]}" "$options" "${chained[@]}"
    cmp -s "$work/$input.report.out" "$work/$input.stats.out" || { echo "$input: reports differ" >&2; exit 1; }
  done
done

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
printf 'CPU seconds, medians of %s rounds; one thread\n' "$rounds"
printf '%-8s %8s %10s %8s %10s %8s %12s\n' input "log MB" floor report "x floor" stats "x report"
for input in $inputs; do
  read -r -a files <<<"$(logs "$input")"
  floor=$(median <"$work/$input.floor.times")
  report=$(median <"$work/$input.report.times")
  stats=$(median <"$work/$input.stats.times")
  awk -v name="$input" -v mb="$(cat "${files[@]}" | wc -c)" -v f="$floor" -v r="$report" \
    -v s="$stats" -v reads="$floorReads" 'BEGIN {
      f /= reads
      printf "%-8s %8.1f %10.4f %8.2f %10.1f %8.2f %12.2f\n", name, mb / 1e6, f, r, (f > 0 ? r / f : 0), s, (r > 0 ? s / r : 0)
    }'
done
echo "reports with and without --stats identical: yes"
