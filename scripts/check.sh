#!/usr/bin/env bash
# The whole test suite from a fresh clone: installs what is missing, builds
# and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs" --timeout 300)

# The same suite again, built by clang with AddressSanitizer and UBSan; any
# report fails its test. This build also has the fuzz targets, which ctest
# runs for a short while each. The end-to-end tests preload libfaketime into
# the sanitized charger, ahead of the ASan runtime, which ASan accepts only
# without its link-order check.
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_C_FLAGS=$sanitize" "-DCMAKE_CXX_FLAGS=$sanitize" >/dev/null
cmake --build build-asan -j "$jobs"
(cd build-asan &&
  ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j "$jobs" --timeout 300)
