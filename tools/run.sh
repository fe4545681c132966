#!/usr/bin/env bash
# Builds Tarnel and starts it, with a simulated instrument as COM 1 so there
# is something to log at once. --no-sim starts Tarnel alone.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/build.sh build
bin=build/bin
if [ "${1:-}" = "--no-sim" ]; then
  exec "$bin/tarnel"
fi
"$bin/tarnel-sim" --port 1 &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
"$bin/tarnel"
