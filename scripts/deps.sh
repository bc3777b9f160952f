#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# any of them is missing. Sourced or run by the other scripts.
set -euo pipefail

PACKAGES=(
  g++ cmake make pkg-config libgtest-dev googletest
  faketime libfaketime iproute2 util-linux procps
  ser2net gnuplot-nox
  clang libclang-rt-14-dev valgrind
  systemd
)

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
