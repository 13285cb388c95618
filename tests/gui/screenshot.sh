#!/usr/bin/env bash
# Saves a picture of the main window, under a virtual X server, with two
# generated files listed after converting them to MP3.
# Usage: tests/gui/screenshot.sh OUT.png
set -euo pipefail
out=${1:?usage: tests/gui/screenshot.sh OUT.png}
out=$(realpath -m "$out")
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
source scripts/deps.sh
ensure_packages build test gui
build="$root/build-gui"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --target quellon_screenshot -j"$(nproc)" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=440:duration=2" -ac 2 "$work/钢琴练习.wav"
ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=660:duration=1.5" "$work/voice memo.wav"
mkdir -p "$(dirname "$out")"
xvfb-run -a -s "-screen 0 1024x768x24" \
  "$build/quellon_screenshot" "$out" "$work/out" "$work/钢琴练习.wav" "$work/voice memo.wav"
