#!/usr/bin/env bash
# Takes the README's screenshot: Tarnel logging from tarnel-sim, in a real
# window under Xvfb. Rerun after any change to the window.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/build.sh build
if ! command -v xdotool >/dev/null || ! command -v import >/dev/null; then
  . tools/apt-get.sh
  apt_get update -qq
  apt_get install -y -qq xdotool imagemagick >/dev/null
fi

work="$(mktemp -d)"
cp build/bin/tarnel build/bin/tarnel-sim "$work/" # a clean program directory
display=:97
Xvfb "$display" -screen 0 400x300x24 >/dev/null 2>&1 &
xvfb=$!
cleanup() {
  kill "${app:-}" "${sim:-}" 2>/dev/null || true
  wait "${app:-}" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export DISPLAY="$display"
sleep 1

"$work/tarnel-sim" --rate 4 >/dev/null &
sim=$!
(cd "$work" && ./tarnel) &
app=$!
window="$(xdotool search --sync --name '^Tarnel$' | head -1)"
sleep 1
xdotool mousemove --window "$window" 158 32 click 1   # Add Time
xdotool mousemove --window "$window" 128 156 click 1  # Start
sleep 3
mkdir -p docs
import -window "$window" docs/screenshot.png
echo "docs/screenshot.png written; the log it showed:"
tail -3 "$work/log.csv"
