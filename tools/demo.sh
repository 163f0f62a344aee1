#!/usr/bin/env bash
# The main job: builds a sample 2HD disk, converts it to ZEL and on to D88 and
# HFE, shows it with zelview, and converts the D88 back to a plain dump to
# prove the round trip is exact.
set -euo pipefail
bin=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run() { echo "\$ $*"; "$@"; echo; }

run "$bin/mkimage" 2hd "$work/sample.2HD" 7
run "$bin/zelconv" -i "$work/sample.2HD" -o "$work/sample.ZEL"
run "$bin/zelconv" -i "$work/sample.ZEL" -o "$work/sample.D88"
run "$bin/zelconv" -i "$work/sample.ZEL" -o "$work/sample.HFE"
run "$bin/zelview" "$work/sample.D88"
run "$bin/zelview" -v sector -t 3 "$work/sample.HFE"
echo "\$ $bin/zelview -v data -t 0 -s 1 $work/sample.ZEL | head -n 30"
"$bin/zelview" -v data -t 0 -s 1 "$work/sample.ZEL" > "$work/data.txt"
head -n 30 "$work/data.txt"
echo
run "$bin/zelconv" -i "$work/sample.D88" -o "$work/back.2HD"
if cmp "$work/sample.2HD" "$work/back.2HD"; then
  echo "Round trip 2HD -> ZEL -> D88 -> 2HD: identical ($(stat -c %s "$work/back.2HD") bytes)"
else
  echo "Round trip 2HD -> ZEL -> D88 -> 2HD: DIFFERENT" >&2
  exit 1
fi
