#!/usr/bin/env bash
# Installs what is missing, builds Tarnwick and runs every test: the normal build with
# warnings as errors, the settings loader under the fuzzer for a while, then the same tests
# under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tarnwick_install_deps "${TARNWICK_PACKAGES[@]}"

jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

# The settings loader under the fuzzer, briefly, over the seeds in tests/fuzz/corpus.
./scripts/fuzz.sh

if [ "${TARNWICK_SKIP_SANITIZERS:-0}" != 1 ]; then
    # The end-to-end test is left out here: it drives the normal build's program.
    cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_WERROR=ON \
        -DTARNWICK_SANITIZE=ON -DTARNWICK_BENCH=OFF >/dev/null
    cmake --build build-asan -j"$jobs"
    (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --output-on-failure -j"$jobs" -LE no-sanitizer)
fi
