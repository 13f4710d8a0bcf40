#!/bin/sh
# Runs two Scalesum binaries on the same logs and compares every file they write, byte for byte:
# a change meant to leave the outputs alone can prove it. Prints one line per file; exits 1 on
# any difference.
# Usage: tools/compare_outputs.sh OLD_BINARY NEW_BINARY SCRATCH_DIR
set -eu
[ $# -eq 3 ] || { echo "usage: $0 OLD_BINARY NEW_BINARY SCRATCH_DIR" >&2; exit 2; }
old=$1 new=$2 dir=$3
root=$(cd "$(dirname "$0")/.." && pwd)
in=$dir/inputs
mkdir -p "$in"
for c in 1 2 3; do
  python3 "$root/tools/simulate_log.py" --taxa 16 --samples 300 --seed 1 --chain $c \
    --out "$in/run$c.log" --options "$in/run.options"
done
python3 "$root/tools/simulate_log.py" --taxa 300 --samples 400 --seed 1 --out "$in/big.log" \
  --options "$in/big.options"
status=0

# compare CASE ARGS...: both binaries write every output twice over (rectangular picture and
# trees; circular picture with node ids, params and traces), with their messages and status.
compare() {
  case=$1
  shift
  for side in old new; do
    eval bin=\$$side
    o=$dir/$side/$case
    mkdir -p "$o"
    "$bin" "$@" -o "$o/report" --stats "$o/stats" --tree "$o/tree.nex" \
      --scaled-tree "$o/scaled.nex" --svg "$o/rectangular.svg" 2>"$o/messages1" &&
      echo 0 >"$o/status1" || echo $? >"$o/status1"
    "$bin" "$@" -o "$o/report2" --svg "$o/circular.svg" --layout circular --node-ids \
      --color-by pct_changed --params "$o/params" --traces "$o/traces" 2>"$o/messages2" &&
      echo 0 >"$o/status2" || echo $? >"$o/status2"
  done
  for f in "$dir/old/$case"/*; do
    name=$case/${f##*/}
    if cmp -s "$f" "$dir/new/$name"; then
      echo "same    $name"
    else
      echo "DIFFERS $name"
      status=1
    fi
  done
}

compare example "$root/examples/example.log" "$root/examples/example.options"
compare chains "$in/run1.log" "$in/run.options" -c "$in/run2.log" -c "$in/run3.log"
compare taxa300 "$in/big.log" "$in/big.options"
exit $status
