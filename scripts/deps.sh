#!/usr/bin/env bash
# Installs the Debian packages that are missing for what is asked:
#   scripts/deps.sh        everything: the build, the tests (gcc and the
#                          sanitizer build), the fuzz targets, the benchmarks
#   scripts/deps.sh demo   only what scripts/demo.sh needs: the build of the
#                          programs (no tests) and gnuplot for the plot
# Sourced or run by the other scripts.
set -euo pipefail

BUILD=(g++ cmake make)
DEMO=(gnuplot-nox)
TESTS=(
  pkg-config libgtest-dev googletest
  faketime libfaketime iproute2 util-linux procps
  ser2net
  clang libclang-rt-14-dev valgrind time
  systemd
)

case "${1:-all}" in
  demo) PACKAGES=("${BUILD[@]}" "${DEMO[@]}") ;;
  all) PACKAGES=("${BUILD[@]}" "${DEMO[@]}" "${TESTS[@]}") ;;
  *)
    echo "usage: scripts/deps.sh [demo]" >&2
    exit 2
    ;;
esac

missing=()
for package in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
