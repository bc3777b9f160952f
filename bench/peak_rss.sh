#!/usr/bin/env bash
# Peak resident memory (VmHWM) of the real charger after 100 and after
# 10,000 polls, run under libfaketime (1000 times fast: a 5-second sleep
# takes 5 ms) against benchsim. The two should be equal; RssAnon (heap and
# stack) and RssFile (code and data read from files) say where a difference is.
# usage: bench/peak_rss.sh [SMALL LARGE]   (default 100 10000)
if [[ "${1:-}" == --measure ]]; then
  set -euo pipefail
  charger=$2 small=$3 large=$4
  work=$(mktemp -d)
  cd "$work"
  LD_PRELOAD=$(ls /usr/lib/*/faketime/libfaketime.so.1 | head -1) FAKETIME="+0 x1000" \
    "$charger" >/dev/null 2>charger.stderr &
  pid=$!
  peak_after() {
    local deadline=$((SECONDS + 600))
    until [[ $(cat ./*olm.log 2>/dev/null | wc -l) -ge $1 ]]; do
      ((SECONDS < deadline)) && kill -0 "$pid" || { echo "charger stopped or stalled" >&2; exit 1; }
      sleep 0.2
    done
    awk '/^(VmHWM|RssAnon|RssFile):/ {printf "%s %s kB ", $1, $2}' "/proc/$pid/status"
  }
  a=$(peak_after "$small")
  b=$(peak_after "$large")
  kill "$pid"
  echo "after $small polls: $a"
  echo "after $large polls: $b"
  cd / && rm -rf "$work"
  exit 0
fi
source "$(dirname "$0")/common.sh"
bench/sandbox.sh "$BUILD" "$PWD/bench/peak_rss.sh" --measure "$PWD/$BUILD/charger" "${1:-100}" "${2:-10000}"
