#!/usr/bin/env bash
# Instructions per accepted poll: the polling loop (pollPack with its decode,
# report, charge-log record, system-log lines, stage step and current
# command, and main's own lines) under callgrind for N and 2N polls; the
# difference over N leaves out start-up and exit.
# usage: bench/instructions_per_poll.sh [N]   (default 1000)
source "$(dirname "$0")/common.sh"
n=${1:-1000}
out=$(mktemp -d)

count() {
  bench/sandbox.sh "$BUILD" valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.$1" \
    "$BUILD/bench/poll_bench" "$1" 2>"$out/log.$1"
  grep -q "accepted $1 of $1 polls" "$out/log.$1"
  awk '/^(summary|totals):/ {print $2; exit}' "$out/callgrind.$1"
}
small=$(count "$n")
large=$(count $((2 * n)))
echo "instructions for $n polls: $small; for $((2 * n)) polls: $large"
echo "instructions per accepted poll: $(((large - small) / n))"
rm -rf "$out"
