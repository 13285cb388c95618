#!/usr/bin/env bash
# Saves a picture under a virtual X server:
#   tests/gui/screenshot.sh OUT.png            the main window with two generated
#                                              files listed after converting them to MP3
#   tests/gui/screenshot.sh --options OUT.png  the options dialog's hook page, the
#                                              hook boxes enabled by the built hooks
#   tests/gui/screenshot.sh --preview OUT.png  the preview window of a running video
#                                              conversion over the main window
set -euo pipefail
mode=main
if [[ ${1:-} == --options || ${1:-} == --preview ]]; then
  mode=${1#--}
  shift
fi
out=${1:?usage: tests/gui/screenshot.sh [--options|--preview] OUT.png}
out=$(realpath -m "$out")
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
source scripts/deps.sh
ensure_packages build test gui
build="$root/build-gui"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --target quellon_screenshot vhook -j"$(nproc)" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$(dirname "$out")"
screen=(xvfb-run -a -s "-screen 0 1024x768x24")
case $mode in
  options)
    "${screen[@]}" "$build/quellon_screenshot" --options "$out"
    exit ;;
  preview)
    ffmpeg -nostdin -loglevel error -f lavfi -i "testsrc2=size=320x240:rate=25:duration=20" \
      -c:v ffv1 "$work/clip.mkv"
    "${screen[@]}" "$build/quellon_screenshot" --preview "$out" "$work/out" "$work/clip.mkv"
    exit ;;
esac
ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=440:duration=2" -ac 2 "$work/钢琴练习.wav"
ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=660:duration=1.5" "$work/voice memo.wav"
xvfb-run -a -s "-screen 0 1024x768x24" \
  "$build/quellon_screenshot" "$out" "$work/out" "$work/钢琴练习.wav" "$work/voice memo.wav"
