#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/): the settings loader, run over the seed
# corpus in tests/fuzz/corpus, and the message-header decoder, each for about 30 seconds
# (TARNWICK_FUZZ_SECONDS overrides).
# Exits non-zero when the fuzzer finds a crash, a hang, a leak or a sanitizer report; the input
# that did it is left in build-fuzz/fuzz-work/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tarnwick_install_deps cmake ninja-build qt6-base-dev clang libclang-rt-14-dev

seconds="${TARNWICK_FUZZ_SECONDS:-30}"

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARNWICK_FUZZ=ON -DTARNWICK_BENCH=OFF >/dev/null
cmake --build build-fuzz --target fuzz_settings fuzz_headers

# New inputs go to a scratch folder; the checked-in seeds are only read.
work=build-fuzz/fuzz-work
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"

# -max_len beyond the 32766 bytes of the longest settings file, so that too-long files are
# tried as well. The fuzzer's chatter goes to a log, shown whole only when something was found.
log="$work/fuzz.log"
status=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build-fuzz/tests/fuzz/fuzz_settings \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=33000 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
    "$work/corpus" tests/fuzz/corpus >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    cat "$log"
    echo "fuzz_settings failed (exit $status); inputs in $work/artifacts/" >&2
    exit "$status"
fi
grep -E '^(Done|stat::)' "$log"

# The header decoder, from nothing, for the same time.
mkdir -p "$work/headers"
status=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build-fuzz/tests/fuzz/fuzz_headers \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=70000 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
    "$work/headers" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    cat "$log"
    echo "fuzz_headers failed (exit $status); inputs in $work/artifacts/" >&2
    exit "$status"
fi
grep -E '^(Done|stat::)' "$log"
