#!/usr/bin/env bash
# What --html costs: simulate CHAINS chains of one analysis, then time the build in ./build on
# them with --stats alone and with --stats --html, alternating, and print the median wall and
# CPU time of each, the difference, and the page's size. The reports of both must be identical.
#
# Usage: bench/page_cost.sh [TAXA SAMPLES [CHAINS [ROUNDS [LOGS_DIR]]]]
#        (default 2000 20000 4 3; LOGS_DIR keeps the simulated logs for another round)
#
# Build ./build (Release) first. Exit status: 0 on success, 1 when a run fails or the reports
# differ, 2 on usage errors.
set -euo pipefail

taxa=${1:-2000}
samples=${2:-20000}
chains=${3:-4}
rounds=${4:-3}
for value in "$taxa" "$samples" "$chains" "$rounds"; do
  case $value in
    '' | *[!0-9]* | 0) echo "TAXA, SAMPLES, CHAINS and ROUNDS must be positive integers" >&2; exit 2 ;;
  esac
done
cd "$(dirname "$0")/.."
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (Debian package: time)" >&2; exit 2; }
[ -x build/Scalesum ] || { echo "build/Scalesum is missing: build it first" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/scalesum-page-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
logs=${5:-$work}
mkdir -p "$logs"

args=()
for ((c = 1; c <= chains; c++)); do
  log="$logs/chain$c-$taxa-$samples.log"
  [ -s "$log" ] || python3 tools/simulate_log.py --taxa "$taxa" --samples "$samples" --seed 7 \
    --chain "$c" --out "$log"
  if ((c == 1)); then args+=("$log"); else args+=(-c "$log"); fi
done

# run NAME [flags]: one timed run; appends "wall cpu" to $work/NAME.times.
run() {
  local name=$1
  shift
  if ! /usr/bin/time -f '%e %U %S' -o "$work/time" ./build/Scalesum -q "${args[@]}" "$@" \
    >"$work/$name.out" 2>"$work/$name.err"; then
    echo "Scalesum $* failed:" >&2
    head -n 5 "$work/$name.out" "$work/$name.err" >&2
    exit 1
  fi
  awk '{ print $1, $2 + $3 }' "$work/time" >>"$work/$name.times"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

for ((r = 1; r <= rounds; r++)); do
  run stats -s "$work/stats.tsv"
  run page -s "$work/stats.tsv" --html "$work/page.html"
done
cmp -s "$work/stats.out" "$work/page.out" || { echo "the reports differ" >&2; exit 1; }

for name in stats page; do
  wall=$(cut -d' ' -f1 "$work/$name.times" | median)
  cpu=$(cut -d' ' -f2 "$work/$name.times" | median)
  printf '%-6s wall %8.2f s  cpu %8.2f s  (median of %d)\n' "$name" "$wall" "$cpu" "$rounds"
  eval "${name}_wall=$wall ${name}_cpu=$cpu"
done
awk -v a="$stats_wall" -v b="$page_wall" -v c="$stats_cpu" -v d="$page_cpu" \
  'BEGIN { printf "--html adds %.1f%% wall, %.1f%% cpu\n", 100 * (b - a) / a, 100 * (d - c) / c }'
echo "page: $(stat -c %s "$work/page.html") bytes for $taxa taxa x $samples samples x $chains chains"
