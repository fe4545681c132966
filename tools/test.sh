#!/usr/bin/env bash
# Builds everything and runs every test, without a display:
#   1. the suite in the normal build (build/),
#   2. the suite again under AddressSanitizer and UndefinedBehaviorSanitizer
#      (build-asan/),
#   3. each fuzzer for 30 seconds from its seed corpus (build-fuzz/).
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
jobs="$(nproc)"

./tools/build.sh build
ctest --test-dir build --output-on-failure --parallel "$jobs"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNEL_SANITIZE=ON >/dev/null
cmake --build build-asan --parallel "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure --parallel "$jobs" --label-exclude bench

./tools/fuzz.sh "${FUZZ_SECONDS:-30}"
