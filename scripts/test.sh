#!/usr/bin/env bash
# Installs what is missing, builds Tarnwick and runs every test: the normal build with
# warnings as errors, the settings loader under the fuzzer for a while, then the same tests
# under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tarnwick_install_deps "${TARNWICK_PACKAGES[@]}"

jobs=$(nproc)

# Every process this run starts carries a mark in its environment and stays in a session of
# the run's own, one per stage (a server that cleans its environment keeps the session, one
# that starts a session of its own keeps the mark). When the run ends, passed or failed, any
# such process still alive is named, ended, and fails the run.
run_mark="tarnwick-test-$$-$RANDOM"
session_file=$(mktemp)
tracked() {
    TARNWICK_TEST_RUN="$run_mark" setsid --wait sh -c 'echo $$ >>"$0"; exec "$@"' \
        "$session_file" "$@"
}
survivors() {
    local entry stat
    for entry in /proc/[0-9]*; do
        stat=$(cat "$entry/stat" 2>/dev/null) || continue
        stat=${stat##*) }                       # "S ppid pgrp session ...", after the name
        set -- $stat
        [ "$1" = Z ] && continue                # ended, waiting for its parent
        if grep -qx -- "$4" "$session_file" ||
            grep -qzx -- "TARNWICK_TEST_RUN=$run_mark" "$entry/environ" 2>/dev/null; then
            echo "${entry#/proc/}"
        fi
    done
}
check_survivors() {
    local status=$? pids
    pids=$(survivors)
    if [ -n "$pids" ]; then
        echo "Processes started by the tests are still running:" >&2
        # shellcheck disable=SC2086
        ps -o pid,user,args -p "$(echo $pids | tr ' ' ',')" >&2 || true
        # shellcheck disable=SC2086
        kill -KILL $pids 2>/dev/null || true
        status=1
    fi
    rm -f "$session_file"
    exit "$status"
}
trap check_survivors EXIT
trap 'exit 130' INT TERM

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
(cd build && tracked ctest --output-on-failure -j"$jobs")

# The settings loader under the fuzzer, briefly, over the seeds in tests/fuzz/corpus.
tracked ./scripts/fuzz.sh

if [ "${TARNWICK_SKIP_SANITIZERS:-0}" != 1 ]; then
    # The end-to-end test is left out here: it drives the normal build's program.
    cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_WERROR=ON \
        -DTARNWICK_SANITIZE=ON -DTARNWICK_BENCH=OFF >/dev/null
    cmake --build build-asan -j"$jobs"
    (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        tracked ctest --output-on-failure -j"$jobs" -LE no-sanitizer)
fi
