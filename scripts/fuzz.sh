#!/usr/bin/env bash
# Runs the fuzz targets: scripts/fuzz.sh [TARGET|all] [SECONDS]
# TARGET is status_reply, query_answer or endpoint. New inputs go to
# build-fuzz/tests/fuzz/work/TARGET/corpus, findings next to it; the seed
# corpus in tests/fuzz/corpus is only read.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:-all}
seconds=${2:-60}
build=build-fuzz
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

bash scripts/deps.sh
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_C_FLAGS=$sanitize" "-DCMAKE_CXX_FLAGS=$sanitize" >/dev/null

targets=(status_reply query_answer endpoint)
[[ "$target" == all ]] || targets=("$target")

status=0
for name in "${targets[@]}"; do
  cmake --build "$build" -j 2 --target "${name}_fuzz" >/dev/null
  work="$build/tests/fuzz/work/$name"
  mkdir -p "$work/corpus"
  command=("$build/tests/fuzz/${name}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024
           -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "tests/fuzz/corpus/$name")
  # The endpoint target may only see loopback: a network namespace of its own.
  if [[ "$name" == endpoint ]]; then
    command=(unshare --net sh -c 'ip link set lo up && exec "$0" "$@"' "${command[@]}")
  fi
  echo "== $name for ${seconds}s"
  if ! "${command[@]}" 2>"$work/log"; then
    echo "$name: FAILED, see $work/log and $work/crash-* / leak-*"
    status=1
  fi
  grep -E '^stat::(number_of_executed_units|new_units_added)' "$work/log" || true
done
exit "$status"
