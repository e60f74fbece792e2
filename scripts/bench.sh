#!/usr/bin/env bash
# Builds the benchmarks and runs the two that compare: one check session (bench_session, three
# times) and the running program against Debian's gnubiff (bench_program, needs root).
# Installs gnubiff, the peer, and perf, the whole-process counter, when missing. Arguments go
# to bench_program ([seconds [rounds]] [plain|tls]). Not part of the tests: the figures
# depend on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tarnwick_install_deps "${TARNWICK_PACKAGES[@]}" gnubiff linux-perf

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target bench_session bench_program

echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'); load: $(uptime)"
# Three runs of the check session, for its spread.
for run in 1 2 3; do
    build/bench/bench_session 10000 1000
done
build/bench/bench_program "$@"
echo "load after: $(uptime)"
