#!/usr/bin/env bash
# Builds everything and runs every test, without a display.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/build.sh build
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure --parallel "$(nproc)"
