#!/bin/sh
# The long local fuzz campaign: builds the fuzz targets (preset fuzz), then
# runs each for RUNS executions (default 1000000), one target after the
# other in a single process, so that it takes one core. Each target grows a
# working corpus of its own in build/fuzz-campaign/<target>, seeded from
# the checked-in corpus and kept between campaigns; a failing input lands
# there as crash-*. The last lines of each log give executions and edges.
#
#   tests/fuzz/campaign.sh [RUNS [TARGET...]]    e.g. campaign.sh 1000000 lookup
set -eu

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${CHANPIPE_FUZZ_BUILD:-$root/build/fuzz}
runs=${1:-1000000}
[ $# -gt 0 ] && shift
targets=${*:-lookup copy}

cmake --preset fuzz -S "$root" -B "$build" >/dev/null
for target in $targets; do
  cmake --build "$build" -j2 --target "fuzz_$target"
done

status=0
for target in $targets; do
  work=$root/build/fuzz-campaign/$target
  mkdir -p "$work/corpus"
  echo "== fuzz_$target: $runs runs, log in $work/log"
  (cd "$work" && "$build/tests/fuzz/fuzz_$target" corpus "$root/tests/fuzz/corpus/$target" \
    -runs="$runs" -max_len=4096 -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    >log 2>&1) || status=1
  grep -E "^#[0-9]+[[:space:]]+DONE|^Done|^stat::number_of_executed_units|^SUMMARY|invariant broken" \
    "$work/log" || true
done
exit $status
