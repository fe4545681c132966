#!/usr/bin/env bash
# Builds the portable bundle, unpacks it into a fresh folder and checks that
# the unpacked tarnel starts there and keeps its settings beside itself.
set -euo pipefail
build_dir="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

(cd "$build_dir" && cpack -B "$work/pkg" >/dev/null)
tar -xzf "$work"/pkg/tarnel-*.tar.gz -C "$work"
bundle="$(echo "$work"/tarnel-*-linux-x86_64)"
test -x "$bundle/tarnel" && test -x "$bundle/tarnel-sim"

cd /   # the bundle must not depend on the current directory
QT_QPA_PLATFORM=offscreen "$bundle/tarnel" &
pid=$!
sleep 2
kill -TERM "$pid"
wait "$pid"

ini="$bundle/tarnel.ini"
test -f "$ini" || { echo "no tarnel.ini beside the unpacked tarnel"; exit 1; }
expected=$(printf '1\r\n;\r\n%s/log.csv\r\n 0\r\n 0\r\n' "$bundle")
[ "$(cat "$ini")" = "$expected" ] || { echo "unexpected tarnel.ini:"; cat -A "$ini"; exit 1; }
echo "bundle runs where it is unpacked: $ini written"
