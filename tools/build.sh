#!/usr/bin/env bash
# Installs what the build needs and builds into build/ (or the directory given).
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/install-deps.sh
build_dir="${1:-build}"
shift || true
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"
