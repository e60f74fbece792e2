#!/usr/bin/env bash
# Builds the benchmarks and runs those that compare (needs root; not part of the tests: the
# figures depend on the machine). Installs the peers (Debian's gnubiff and Mailnag) and perf,
# the whole-process counter, when missing.
#   scripts/bench.sh idle [seconds [rounds]]
#       The watch cases only, in about 15 minutes: 3 and 20 mailboxes in IMAP IDLE (check
#       interval 5 minutes) by the real program, Mailnag and gnubiff on one Dovecot, all
#       counted over the same windows; then delivery to alert (bench_alert). Prints the
#       README's rows.
#   scripts/bench.sh [seconds [rounds]] [plain|tls]
#       One check session (bench_session, three times) and the polled cases of the running
#       program against gnubiff (bench_program).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tarnwick_install_deps "${TARNWICK_PACKAGES[@]}" gnubiff mailnag linux-perf

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target bench_session bench_program bench_alert

echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'); load: $(uptime)"
if [[ "${1:-}" == idle ]]; then
    shift
    build/bench/bench_program idle "$@"
    build/bench/bench_alert
else
    # Three runs of the check session, for its spread.
    for run in 1 2 3; do
        build/bench/bench_session 10000 1000
    done
    build/bench/bench_program "$@"
fi
echo "load after: $(uptime)"
