#!/usr/bin/env bash
# Runs the soak test for the given number of seconds (default one hour):
#   tools/soak.sh [seconds] [run]
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/build.sh build >/dev/null
args=(--seconds "${1:-3600}")
[ -n "${2:-}" ] && args+=(--run "$2")
QT_QPA_PLATFORM=offscreen build/tests/soak "${args[@]}"
