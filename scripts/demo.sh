#!/usr/bin/env bash
# A whole charge without instruments: builds the charger and benchsim, runs
# the unmodified charger in real time against the simulated supply and pack
# on 127.0.0.1:3002 and 127.0.0.1:10001 until the pack is commanded off, and
# leaves the charge log, both programs' output and the plot in
# out/demo-<time>/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# Simulated seconds per real second: at the charger's 5-second cadence the
# charge from 20 % to full takes about a minute and a half.
TIME_SCALE=${TIME_SCALE:-40}
INITIAL_CHARGE=${INITIAL_CHARGE:-20}
# Real seconds after which the demo gives up on the end of charge.
LIMIT=${LIMIT:-240}

say() { printf '[demo %3ds] %s\n' "$SECONDS" "$*"; }
fail() {
    printf 'demo: %s\n' "$*" >&2
    exit 1
}

# Whether something on this host listens on TCP port $1 (IPv4 or IPv6).
listening() {
    local hex
    hex=$(printf '%04X' "$1")
    awk -v port=":$hex" 'FNR > 1 && $4 == "0A" && substr($2, length($2) - 4) == port { found = 1 }
                         END { exit !found }' /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

busy=()
for port in 3002 10001; do
    if listening "$port"; then busy+=("$port"); fi
done
if ((${#busy[@]})); then
    fail "port(s) ${busy[*]} already in use on this machine; the charger is built for 127.0.0.1:3002 (supply) and
127.0.0.1:10001 (pack), so the demo needs both free. Stop what listens there (ss -ltnp shows it) and try again."
fi

say "checking the Debian packages (compiler, cmake, gnuplot)"
bash scripts/deps.sh demo

say "building charger, benchsim and chargeplot in build-demo/"
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCHARGER_TESTS=OFF >/dev/null
cmake --build build-demo -j "$(nproc)" --target charger benchsim chargeplot >/dev/null

out=$root/out/demo-$(date +%Y%m%d-%H%M%S)
mkdir -p "$out"

bench_pid=
charger_pid=
cleanup() {
    for pid in $charger_pid $bench_pid; do
        if kill -0 "$pid" 2>/dev/null; then
            kill "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say "starting benchsim (state of charge $INITIAL_CHARGE %, $TIME_SCALE simulated seconds per second)"
build-demo/tools/benchsim/benchsim --time-scale "$TIME_SCALE" --initial-charge "$INITIAL_CHARGE" \
    >"$out/benchsim.endpoints" 2>"$out/benchsim.log" &
bench_pid=$!
for _ in $(seq 100); do
    [[ $(grep -c . "$out/benchsim.endpoints" 2>/dev/null) -ge 2 ]] && break
    kill -0 "$bench_pid" 2>/dev/null || fail "benchsim did not start: $(cat "$out/benchsim.log")"
    sleep 0.1
done
[[ $(grep -c . "$out/benchsim.endpoints") -ge 2 ]] || fail "benchsim did not report its endpoints"

say "starting the charger in $out"
(cd "$out" && exec "$root/build-demo/charger" >charger.out 2>charger.err) &
charger_pid=$!

# Progress: one line per finished poll, and each stage message as it comes.
polls=0
stages_seen=0
while ! grep -q "turning battery off at end of charge" "$out/charger.out" 2>/dev/null; do
    ((SECONDS < LIMIT)) || fail "no end of charge after $LIMIT s; see $out"
    kill -0 "$charger_pid" 2>/dev/null || fail "the charger ended: $(tail -3 "$out/charger.err")"
    kill -0 "$bench_pid" 2>/dev/null || fail "benchsim ended: $(tail -3 "$out/benchsim.log")"
    sleep 0.5
    now=$(grep -c "going to sleep" "$out/charger.out" 2>/dev/null || true)
    if ((now > polls)); then
        polls=$now
        awk -v polls="$polls" -v t="$SECONDS" '
            /^gasGauge : / { gauge = $3 }
            /^Current: / { current = $2 }
            /^balance register: / { balance = $3 }
            /^status is / { count = $3 }
            END { printf "[demo %3ds] poll %d: reply of %s bytes, gas gauge %.2f %%, current %s A, balance register %s\n",
                         t, polls, count, gauge, current, balance }' "$out/charger.out"
    fi
    mapfile -t stages < <(grep -E "reducing charge current to" "$out/charger.out" 2>/dev/null || true)
    while ((stages_seen < ${#stages[@]})); do
        say "stage $((stages_seen + 1)): ${stages[$stages_seen]#\*\*\*\*}"
        stages_seen=$((stages_seen + 1))
    done
done
say "the charger commanded the pack off; stopping both"
cleanup
charger_pid=
bench_pid=

log=$(find "$out" -maxdepth 1 -name '*olm.log' | head -1)
[[ -n "$log" ]] || fail "no charge log in $out"
summary=$(build-demo/tools/chargeplot/chargeplot "$log" "$out/charge.png")

first=$(head -1 "$log" | cut -d, -f1)
last=$(tail -1 "$log" | cut -d, -f1)
echo
echo "Charge finished in $SECONDS s of wall time; the charge log spans $((last - first)) s."
echo "Polls: $(grep -c 'sending status request' "$out/charger.out"), accepted replies: $(grep -c . "$log")."
echo "Stages, from the charge log (stage 0, 45 A: from the start, $(date -d "@$first" +%T)):"
grep -E '^(stage|pack off)' <<<"$summary" | while read -r line; do
    seconds=$(sed -E 's/.* at ([0-9]+) .*/\1/' <<<"$line")
    echo "  ${line%% at *}: $(date -d "@$seconds" +%T) (+$((seconds - first)) s)"
done
echo
echo "Output in $out:"
echo "  $(basename "$log")   the charge log"
echo "  charge.png          its plot"
echo "  charger.out/.err    the charger's console output and error messages"
echo "  benchsim.log        the simulated instruments' events"
