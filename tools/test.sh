#!/usr/bin/env bash
# Builds everything and runs every test, without a display:
#   1. the suite in the normal build (build/),
#   2. the suite again under AddressSanitizer and UndefinedBehaviorSanitizer
#      (build-asan/),
#   3. each fuzzer for 30 seconds from its starting corpus (build-fuzz/).
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
jobs="$(nproc)"

# Counts what ran, for the closing line; set -e stops at the first failure.
passed=0
run_suite() {
  local out
  out="$(mktemp)"
  ctest "$@" --output-on-failure --parallel "$jobs" | tee "$out"
  passed=$((passed + $(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$out")))
  rm -f "$out"
}

./tools/build.sh build
run_suite --test-dir build

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNEL_SANITIZE=ON >/dev/null
cmake --build build-asan --parallel "$jobs"
# Not the drivers test: an instrumented library cannot be preloaded into
# QEMU, and the emulated machine would run the instrumented window slower still.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite --test-dir build-asan --label-exclude 'bench|package|drivers'

./tools/fuzz.sh "${FUZZ_SECONDS:-30}"
passed=$((passed + 3))
echo "$passed passed, 0 failed"
