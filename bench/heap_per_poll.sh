#!/usr/bin/env bash
# Heap allocations per poll after start-up: the polling loop under memcheck
# for 100 and for 10,000 polls; the difference over 9,900. Then the same with
# the two system-log calls muted, which shows what allocates.
# usage: bench/heap_per_poll.sh [SMALL LARGE]   (default 100 10000)
source "$(dirname "$0")/common.sh"
small=${1:-100}
large=${2:-10000}
out=$(mktemp -d)

allocs() {
  bench/sandbox.sh "$BUILD" valgrind --tool=memcheck --log-file="$out/memcheck.$1$2" \
    "$BUILD/bench/poll_bench" "$1" $2 2>"$out/log.$1$2"
  grep -q "accepted $1 of $1 polls" "$out/log.$1$2"
  sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p' "$out/memcheck.$1$2" | tr -d ,
}
for variant in "" --no-syslog; do
  a=$(allocs "$small" "$variant")
  b=$(allocs "$large" "$variant")
  label=${variant:-as built}
  echo "$label: $a allocations for $small polls, $b for $large polls"
  awk -v a="$a" -v b="$b" -v n=$((large - small)) -v l="$label" \
    'BEGIN {printf "%s: heap allocations per poll after start-up: %.2f\n", l, (b - a) / n}'
done
rm -rf "$out"
