#!/usr/bin/env bash
# Runs a command in network and mount namespaces of its own: only loopback
# (so the instruments' fixed ports are free and nothing else is reachable),
# a private /dev whose /dev/log is a syslog_sink, and benchsim serving the
# supply and the pack on their fixed ports.
#
# usage: bench/sandbox.sh BUILD_DIR COMMAND [ARGS...]
# BENCHSIM_ARGS adds options to benchsim (default: --step 5).
set -euo pipefail

if [[ "${1:-}" != --inside ]]; then
  exec unshare --net --mount --propagation private -- "$0" --inside "$@"
fi
shift
build=$(cd "$1" && pwd)
shift

ip link set lo up
saved=$(mktemp -d)
mount --bind /dev "$saved"
mount -t tmpfs -o mode=755 tmpfs /dev
for node in null zero full random urandom tty; do
  touch "/dev/$node"
  mount --bind "$saved/$node" "/dev/$node"
done
ln -s /proc/self/fd /dev/fd

"$build/bench/syslog_sink" /dev/log 2>"$saved.sink" &
sink=$!
# shellcheck disable=SC2086
"$build/tools/benchsim/benchsim" --quiet ${BENCHSIM_ARGS:---step 5} >/dev/null &
sim=$!
for _ in $(seq 100); do
  [[ -S /dev/log ]] && grep -q ':2711 ' /proc/net/tcp && grep -q ':0BBA ' /proc/net/tcp && break
  sleep 0.05
done

status=0
"$@" || status=$?
kill "$sim" "$sink"
wait "$sink" || true
cat "$saved.sink" >&2
exit "$status"
