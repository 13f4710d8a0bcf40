#!/usr/bin/env bash
# Memory and time at scale: simulate a log, run ./build/Scalesum on it without a cap and under
# each given cap, and print wall time, CPU time (user and system: steadier than the wall time on
# a shared machine), peak memory and the number of blocks of each run; the reports must be
# byte-identical.
#
# Usage: bench/scale.sh [--keep] [--no-uncapped] [--pipe] [--binary PATH] TAXA SAMPLES [CAP ...]
#
#   CAP            a --max-memory size such as 64M; each gives one more run
#   --no-uncapped  skip the run without a cap (its histories may not fit in memory)
#   --pipe         hand the log to every run through a pipe, as standard input
#   --binary PATH  time another build of Scalesum (an older one, to compare); not rebuilt
#   --keep         keep the temporary directory with the log and the reports
#
# Every sample is kept (no options file), so the length histories take
# 8 bytes x (2 x TAXA - 1) nodes x SAMPLES. Logs are cached in ${SCALESUM_BENCH_CACHE:-/tmp}.
# Exit status: 0 on success, 1 when a run fails or the reports differ, 2 on usage errors.
set -euo pipefail

keep=0
uncapped=1
pipe=0
binary=./build/Scalesum
positional=()
while [ $# -gt 0 ]; do
  case $1 in
    --keep) keep=1 ;;
    --no-uncapped) uncapped=0 ;;
    --pipe) pipe=1 ;;
    --binary) shift; binary=$1 ;;
    -h | --help) sed -n 's/^# \{0,1\}//; 7,17p' "$0"; exit 0 ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) positional+=("$1") ;;
  esac
  shift
done
[ ${#positional[@]} -ge 2 ] || { sed -n 's/^# \{0,1\}//; 7,17p' "$0" >&2; exit 2; }
taxa=${positional[0]}
samples=${positional[1]}
caps=("${positional[@]:2}")
[ "$uncapped" = 1 ] && caps=(none "${caps[@]}")
[ ${#caps[@]} -ge 1 ] || { echo "nothing to run" >&2; exit 2; }

cd "$(dirname "$0")/.."
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (Debian package: time)" >&2; exit 2; }
[ "$binary" = ./build/Scalesum ] && cmake --build build -j2 --target Scalesum >/dev/null
# Builds that read the log once replay it once per block; older ones read it twice before the
# blocks.
before_blocks=1
"$binary" --help | grep -q -- --temp-dir || before_blocks=2

cache=${SCALESUM_BENCH_CACHE:-/tmp}
log="$cache/scalesum-scale-$taxa-$samples.log"
if [ ! -s "$log" ]; then
  python3 tools/simulate_log.py --taxa "$taxa" --samples "$samples" --seed 1 --out "$log.part"
  mv "$log.part" "$log"
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/scalesum-scale.XXXXXX")
if [ "$keep" = 1 ]; then echo "keeping $work"; else trap 'rm -rf "$work"' EXIT; fi

awk -v t="$taxa" -v s="$samples" -v b="$(wc -c <"$log")" 'BEGIN {
  printf "log: %d taxa, %d samples, %.0f MiB; histories %.0f MiB\n",
         t, s, b / 1048576, 8 * (2 * t - 1) * s / 1048576 }'
printf '%-8s %8s %10s %10s %14s %s\n' cap blocks "wall s" "cpu s" "peak RSS MiB" report
first=""
for cap in "${caps[@]}"; do
  args=(--progress)
  [ "$cap" = none ] || args+=(--max-memory "$cap")
  begin=$(date +%s.%N)
  status=0
  if [ "$pipe" = 1 ]; then
    cat "$log" | /usr/bin/time -v -o "$work/$cap.time" "$binary" "${args[@]}" - \
      >"$work/$cap.out" 2>"$work/$cap.err" || status=$?
  else
    /usr/bin/time -v -o "$work/$cap.time" "$binary" "${args[@]}" "$log" \
      >"$work/$cap.out" 2>"$work/$cap.err" || status=$?
  fi
  wall=$(awk -v a="$begin" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
  if [ "$status" -ne 0 ]; then
    echo "run with cap $cap exited with status $status:" >&2
    head -n 3 "$work/$cap.out" >&2
    exit 1
  fi
  # The closing progress line says how many passes there were.
  passes=$(tail -n 1 "$work/$cap.err" | sed -n 's/.* in \([0-9]*\) passes.*/\1/p')
  cpu=$(awk -F': ' '/(User|System) time/ { t += $NF } END { printf "%.1f", t }' "$work/$cap.time")
  peak=$(awk -F': ' '/Maximum resident set size/ { printf "%.1f", $NF / 1024 }' "$work/$cap.time")
  same=first
  if [ -z "$first" ]; then
    first=$cap
  elif cmp -s "$work/$first.out" "$work/$cap.out"; then
    same="identical"
  else
    same="DIFFERS from $first"
  fi
  printf '%-8s %8s %10s %10s %14s %s\n' "$cap" "$((passes - before_blocks))" "$wall" "$cpu" "$peak" \
    "$same"
  [ "$same" = first ] || [ "$same" = identical ] || exit 1
done
