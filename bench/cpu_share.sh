#!/usr/bin/env bash
# CPU share of the real charger at its real 5-second cadence against
# benchsim: CPU time (from /proc/PID/schedstat, in nanoseconds) over wall
# time, measured from the end of start-up for SECONDS.
# usage: bench/cpu_share.sh [SECONDS]   (default 60)
if [[ "${1:-}" == --measure ]]; then
  set -euo pipefail
  charger=$2 seconds=$3
  work=$(mktemp -d)
  cd "$work"
  "$charger" >/dev/null 2>charger.stderr &
  pid=$!
  # Start-up ends with the first poll, after the supply's 5-second settle.
  deadline=$((SECONDS + 30))
  until [[ -s $(ls ./*olm.log 2>/dev/null | head -1) ]]; do
    ((SECONDS < deadline)) || { echo "no poll within 30 s" >&2; exit 1; }
    sleep 0.1
  done
  cpu() { awk '{print $1}' "/proc/$pid/schedstat"; }
  start_cpu=$(cpu) start_wall=$(date +%s%N) start_polls=$(wc -l <./*olm.log)
  sleep "$seconds"
  end_cpu=$(cpu) end_wall=$(date +%s%N) end_polls=$(wc -l <./*olm.log)
  kill "$pid"
  awk -v c=$((end_cpu - start_cpu)) -v w=$((end_wall - start_wall)) -v p=$((end_polls - start_polls)) \
    'BEGIN {printf "CPU share at the 5-second cadence: %.4f%% (%.2f ms of CPU in %.1f s, %d polls, %.0f us per poll)\n",
            100 * c / w, c / 1e6, w / 1e9, p, p ? c / p / 1e3 : 0}'
  cd / && rm -rf "$work"
  exit 0
fi
source "$(dirname "$0")/common.sh"
BENCHSIM_ARGS=" " bench/sandbox.sh "$BUILD" "$PWD/bench/cpu_share.sh" --measure "$PWD/$BUILD/charger" "${1:-60}"
