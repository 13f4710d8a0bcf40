#!/usr/bin/env bash
# What --stats costs: simulate a log, then time the normal build on it without and with
# --stats, alternating, and print the median wall and CPU time of each and the difference. The
# reports of both must be identical.
#
# Usage: bench/stats_cost.sh [TAXA SAMPLES [ROUNDS [SEED]]]   (default 200 10000 5 1)
#
# The build goes to ./build (Release), brought up to date first. The thread count is the
# runtime's default; set OMP_NUM_THREADS to pin it. Exit status: 0 on success, 1 when a run
# fails or the reports differ, 2 on usage errors.
set -euo pipefail

taxa=${1:-200}
samples=${2:-10000}
rounds=${3:-5}
seed=${4:-1}
for value in "$taxa" "$samples" "$rounds" "$seed"; do
  case $value in
    '' | *[!0-9]*) echo "TAXA, SAMPLES, ROUNDS and SEED must be non-negative integers" >&2; exit 2 ;;
  esac
done
[ "$rounds" -ge 1 ] || { echo "ROUNDS must be at least 1" >&2; exit 2; }

cd "$(dirname "$0")/.."
if [ ! -x /usr/bin/time ]; then
  echo "/usr/bin/time is missing (Debian package: time)" >&2
  exit 2
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/scalesum-stats-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 tools/simulate_log.py --taxa "$taxa" --samples "$samples" --seed "$seed" \
  --out "$work/bench.log" --options "$work/bench.options"
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=Release && cmake --build build -j2 --target Scalesum; } \
  >"$work/build.out" 2>&1; then
  tail -n 30 "$work/build.out" >&2
  exit 1
fi

# run NAME [flags]: one timed run; appends "wall cpu" to $work/NAME.times.
run() {
  local name=$1
  shift
  if ! /usr/bin/time -f '%e %U %S' -o "$work/time" ./build/Scalesum "$@" "$work/bench.log" \
    "$work/bench.options" >"$work/$name.out" 2>"$work/$name.err"; then
    echo "Scalesum $* failed:" >&2
    head -n 5 "$work/$name.out" "$work/$name.err" >&2
    exit 1
  fi
  awk '{ print $1, $2 + $3 }' "$work/time" >>"$work/$name.times"
}

for ((i = 0; i < rounds; ++i)); do
  run plain
  run stats -q --stats "$work/stats.tsv"
  cmp -s "$work/plain.out" "$work/stats.out" || { echo "reports differ" >&2; exit 1; }
done

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
printf 'log: %s taxa, %s samples, seed %s; %s rounds; statistics file: %s rows\n' "$taxa" \
  "$samples" "$seed" "$rounds" "$(($(wc -l <"$work/stats.tsv") - 1))"
printf '%-16s %10s %10s\n' run "wall s" "cpu s"
for name in plain stats; do
  printf '%-16s %10s %10s\n' "$name" "$(cut -d' ' -f1 "$work/$name.times" | median)" \
    "$(cut -d' ' -f2 "$work/$name.times" | median)"
done
for field in 1 2; do
  a=$(cut -d' ' -f$field "$work/plain.times" | median)
  b=$(cut -d' ' -f$field "$work/stats.times" | median)
  awk -v a="$a" -v b="$b" -v what="$([ $field = 1 ] && echo wall || echo cpu)" \
    'BEGIN { printf "--stats adds %+.1f%% %s time\n", (b - a) / a * 100, what }'
done
echo "reports identical: yes"
