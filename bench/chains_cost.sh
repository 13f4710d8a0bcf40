#!/usr/bin/env bash
# What the convergence columns cost: simulate one log, cut its sample lines into CHAINS chains
# of equal length, and time, alternating, a --stats run of an earlier build without the columns
# on the whole log (BASE), this build on the whole log, and this build on the chains. Prints the
# median wall and CPU time of each and their ratios to BASE. The three reports must be
# identical.
#
# Usage: bench/chains_cost.sh BASE [TAXA SAMPLES [CHAINS [ROUNDS [SEED]]]]
#        (default 200 10000 4 5 1: four chains of 2,500 samples)
#
# BASE is a Scalesum built from a commit before the columns (for instance:
# git archive bc0cc9d | tar -x -C /tmp/base && cmake -S /tmp/base -B /tmp/base/build
# -DCMAKE_BUILD_TYPE=Release && cmake --build /tmp/base/build -j2 --target Scalesum). This
# build is ./build, brought up to date first, or the program SCALESUM names (not rebuilt), to
# measure an older build of the columns. No burn-in: every chain keeps all its lines.
set -euo pipefail

base=${1:?usage: bench/chains_cost.sh BASE [TAXA SAMPLES [CHAINS [ROUNDS [SEED]]]]}
taxa=${2:-200}
samples=${3:-10000}
chains=${4:-4}
rounds=${5:-5}
seed=${6:-1}
[ -x "$base" ] || { echo "$base is no program" >&2; exit 2; }
base=$(realpath "$base")
cd "$(dirname "$0")/.."
work=$(mktemp -d "${TMPDIR:-/tmp}/scalesum-chains-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 tools/simulate_log.py --taxa "$taxa" --samples "$samples" --seed "$seed" \
  --out "$work/whole.log"
program=${SCALESUM:-}
if [ -n "$program" ]; then
  [ -x "$program" ] || { echo "$program is no program" >&2; exit 2; }
  program=$(realpath "$program")
elif ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=Release && cmake --build build -j2 --target Scalesum; } \
  >"$work/build.out" 2>&1; then
  tail -n 30 "$work/build.out" >&2
  exit 1
else
  program=./build/Scalesum
fi
# The header: the taxon count, its taxa, the node count, its nodes and the header line.
taxonCount=$(head -n 1 "$work/whole.log")
nodeCount=$(sed -n "$((taxonCount + 2))p" "$work/whole.log")
header=$((taxonCount + nodeCount + 3))
head -n "$header" "$work/whole.log" >"$work/header"
tail -n +"$((header + 1))" "$work/whole.log" >"$work/samples"
# Chains of equal length, as independent runs of one analysis are: ceil(lines / CHAINS) each.
lines=$(wc -l <"$work/samples")
split -l "$(((lines + chains - 1) / chains))" -d -a 3 "$work/samples" "$work/part"
chainFlags=()
first=
for part in "$work"/part[0-9][0-9][0-9]; do
  cat "$work/header" "$part" >"$part.log"
  if [ -z "$first" ]; then first=$part.log; else chainFlags+=(-c "$part.log"); fi
done

# run NAME PROGRAM ARGS...: one timed run; appends "wall cpu" to $work/NAME.times.
run() {
  local name=$1
  shift
  if ! /usr/bin/time -f '%e %U %S' -o "$work/time" "$@" -q -s "$work/$name.tsv" \
    >"$work/$name.out" 2>"$work/$name.err"; then
    echo "$name failed:" >&2
    head -n 5 "$work/$name.out" "$work/$name.err" >&2
    exit 1
  fi
  awk '{ print $1, $2 + $3 }' "$work/time" >>"$work/$name.times"
}

for ((i = 0; i < rounds; ++i)); do
  run base "$base" "$work/whole.log"
  run whole "$program" "$work/whole.log"
  run chains "$program" "$first" "${chainFlags[@]}"
  cmp -s "$work/base.out" "$work/whole.out" && cmp -s "$work/base.out" "$work/chains.out" ||
    { echo "reports differ" >&2; exit 1; }
done

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
printf 'log: %s taxa, %s samples in %s chains, seed %s; %s rounds\n' "$taxa" "$samples" \
  "$chains" "$seed" "$rounds"
baseCpu=$(cut -d' ' -f2 "$work/base.times" | median)
for name in base whole chains; do
  wall=$(cut -d' ' -f1 "$work/$name.times" | median)
  cpu=$(cut -d' ' -f2 "$work/$name.times" | median)
  awk -v n="$name" -v w="$wall" -v c="$cpu" -v b="$baseCpu" \
    'BEGIN { printf "%-7s wall %.2f s  cpu %.2f s  cpu/base %.3f\n", n, w, c, c / b }'
done
