#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs the differential fuzz targets (build/fuzz/fuzz_<routine>).
#
#   scripts/fuzz.sh run FUZZDIR SECONDS
#       every target for SECONDS seconds, seeded with the repository corpus;
#       new inputs are kept in FUZZDIR/found/<routine>, failing inputs in
#       FUZZDIR/failures/<routine>/.  Fails if any target found a failure.
#   scripts/fuzz.sh merge FUZZDIR
#       adds the inputs in FUZZDIR/found/<routine> that reach something new
#       to the repository corpus tests/fuzz/corpus/<routine>.
#   scripts/fuzz.sh bounded TARGET CORPUS RUNS
#       the test suite's run: a fixed seed, at most RUNS inputs, the corpus
#       (if it exists) read but not written.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
corpora=$root/tests/fuzz/corpus

# Inputs larger than this only repeat what shorter ones do: the windows
# hold two pages, the line loop runs from 128 bytes on.
max_len=1100

targets() {
  for t in "$1"/fuzz_*; do [ -x "$t" ] && echo "$t"; done
}

case "${1:-}" in
run)
  dir=$2 seconds=$3 failed=""
  for target in $(targets "$dir"); do
    routine=${target##*/fuzz_}
    found=$dir/found/$routine failures=$dir/failures/$routine
    mkdir -p "$found" "$failures" "$corpora/$routine"
    echo "== fuzz $routine for ${seconds}s"
    if ! "$target" -max_len=$max_len -max_total_time="$seconds" -print_final_stats=1 \
         -artifact_prefix="$failures/" "$found" "$corpora/$routine" 2>"$dir/$routine.log"; then
      failed="$failed $routine"
      grep -E '==sse2str==|ERROR|SEGV' "$dir/$routine.log" | head -5
      echo "   failing input in $failures/"
    fi
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|DONE' "$dir/$routine.log" | tail -3
  done
  [ -z "$failed" ] || { echo "fuzzing found failures in:$failed"; exit 1; }
  ;;
merge)
  dir=$2
  for target in $(targets "$dir"); do
    routine=${target##*/fuzz_}
    [ -d "$dir/found/$routine" ] || continue
    mkdir -p "$corpora/$routine"
    "$target" -merge=1 -max_len=$max_len "$corpora/$routine" "$dir/found/$routine" \
      2>"$dir/$routine.merge.log"
    echo "$routine: $(ls "$corpora/$routine" | wc -l) inputs in the corpus"
  done
  ;;
bounded)
  target=$2 corpus=$3 runs=$4
  failures=$(dirname "$target")/failures/${target##*/fuzz_}
  scratch=$(mktemp -d) log=$(mktemp)
  trap 'rm -rf "$scratch" "$log"' EXIT
  mkdir -p "$failures"
  # The scratch directory comes first: libFuzzer writes new inputs there.
  status=0
  "$target" -seed=1 -runs="$runs" -max_len=$max_len -artifact_prefix="$failures/" \
    -print_final_stats=1 "$scratch" "$corpus" >"$log" 2>&1 || status=$?
  tail -30 "$log"
  exit $status
  ;;
*)
  sed -n '2,17p' "$0" >&2
  exit 2
  ;;
esac
