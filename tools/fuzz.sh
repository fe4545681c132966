#!/usr/bin/env bash
# Builds the fuzzers with clang and runs each for the given number of seconds
# (default 30), starting from the committed starting corpus.
#   tools/fuzz.sh [seconds] [fuzzer...]     e.g. tools/fuzz.sh 3600 settings
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
shift || true
fuzzers=("$@")
[ ${#fuzzers[@]} -eq 0 ] && fuzzers=(lineassembler settings numericvalue)

./tools/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNEL_FUZZERS=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build-fuzz --parallel "$(nproc)" --target "${fuzzers[@]/#/fuzz_}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0
for name in "${fuzzers[@]}"; do
  mkdir -p "$work/$name" "$work/artifacts-$name"
  cp tests/fuzz/corpus/"$name"/* "$work/$name/"
  log="$work/$name.log"
  if build-fuzz/tests/fuzz/fuzz_"$name" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
      -rss_limit_mb=4096 -artifact_prefix="$work/artifacts-$name/" "$work/$name" >"$log" 2>&1; then
    echo "fuzz_$name: $(grep -E '^Done' "$log")"
  else
    status=1
    echo "fuzz_$name FAILED:"
    tail -40 "$log"
    for artifact in "$work/artifacts-$name"/*; do
      [ -e "$artifact" ] && { echo "input that failed ($artifact):"; od -A x -t x1z "$artifact" | head -20; }
    done
  fi
done
exit $status
