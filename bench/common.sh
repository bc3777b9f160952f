# Shared by the benchmark scripts: builds the release configuration the
# charger ships in (RelWithDebInfo, gcc) into build-bench.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/deps.sh
BUILD=build-bench
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j 2 --target charger poll_bench syslog_sink benchsim >/dev/null
