#!/usr/bin/env bash
# Builds Tarnel and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/build.sh build
exec build/src/tarnel
