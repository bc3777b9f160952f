#!/usr/bin/env bash
# Time chargeplot takes to draw a month's charge log: RECORDS records 5 s
# apart (default 500,000, about 29 days), generated: a charge from 20 % with
# its stages, then the pack full and off for the rest, as a charger left
# running writes it. Prints the wall and CPU time of three runs.
# usage: bench/chargeplot_month.sh [RECORDS]
source "$(dirname "$0")/common.sh"
cmake --build "$BUILD" -j 2 --target chargeplot >/dev/null
records=${1:-500000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
awk -v n="$records" -v start=1796000000 'BEGIN {
    srand(1)
    t = start; gauge = 20
    for (i = 0; i < n; i++) {
        if (gauge < 90) { gauge += 0.02; amps = 45; bal = 0 }
        else if (gauge < 95) { gauge += 0.01; amps = 22.5; bal = 128 }
        else if (gauge < 99.5) { gauge += 0.005; amps = 12.5; bal = 180 }
        else if (gauge < 100) { gauge += 0.002; amps = 7.5; bal = 255 }
        else { gauge = 100; amps = -0.1; bal = 255 }
        printf "%d,%4.2f,%.2f,%d,%2x,%2x,%2x,%2x\n", t, gauge, amps + (rand() - 0.5) * 0.2,
               38 + int(rand() * 3), bal, 0, 0, 33800
        t += 5
    }
}' >"$work/1796000000olm.log"
echo "log: $(wc -l <"$work/1796000000olm.log") records, $(du -h "$work/1796000000olm.log" | cut -f1)"
for run in 1 2 3; do
    /usr/bin/time -f "run $run: %e s wall, %U s user, %S s system, %M kB peak" \
        "$BUILD/tools/chargeplot/chargeplot" "$work/1796000000olm.log" "$work/charge.png" >/dev/null
done
