#!/usr/bin/env bash
# Saves a picture under a virtual X server:
#   tests/gui/screenshot.sh OUT.png            the main window after converting three
#                                              generated files to MP3, one of them
#                                              damaged (its row fails; the summary)
#   tests/gui/screenshot.sh --midrun OUT.png   the main window during a run of longer
#                                              files, the status line counting
#   tests/gui/screenshot.sh --maximised OUT.png  the main window maximised on a
#                                              1600x900 screen, files with long names
#                                              converted
#   tests/gui/screenshot.sh --options OUT.png  the options dialog's hook page, the
#                                              hook boxes enabled by the built hooks
#   tests/gui/screenshot.sh --preview OUT.png  the preview window of a running video
#                                              conversion over the main window
set -euo pipefail
mode=main
if [[ ${1:-} == --options || ${1:-} == --preview || ${1:-} == --midrun ||
      ${1:-} == --maximised ]]; then
  mode=${1#--}
  shift
fi
out=${1:?usage: tests/gui/screenshot.sh [--options|--preview|--midrun|--maximised] OUT.png}
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
  maximised)
    names=("第一乐章 快板 — 柏林爱乐乐团 2019 年现场录音（重新混音版）.wav"
           "A very long recording name that would be cut off in a small window - take 3.wav"
           "短.wav")
    for name in "${names[@]}"; do
      ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=440:duration=2" -ac 2 \
        "$work/$name"
    done
    xvfb-run -a -s "-screen 0 1600x900x24" "$build/quellon_screenshot" --maximised "$out" \
      "$work/out" "${names[@]/#/$work/}"
    exit ;;
  midrun)
    names=(第一乐章.wav 第二乐章.wav 第三乐章.wav 第四乐章.wav 第五乐章.wav)
    for name in "${names[@]}"; do
      ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=440:duration=300" -ac 2 \
        "$work/$name"
    done
    "${screen[@]}" "$build/quellon_screenshot" --midrun "$out" "$work/out" "${names[@]/#/$work/}"
    exit ;;
esac
ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=440:duration=2" -ac 2 "$work/钢琴练习.wav"
ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=660:duration=1.5" "$work/voice memo.wav"
# A FLAC whose header is whole and whose frames are noise: added, then failed.
ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=330:duration=2" "$work/good.flac"
python3 - "$work/good.flac" "$work/损坏的录音.flac" <<'PY'
import random, sys
data = open(sys.argv[1], 'rb').read()
i = 4
while True:  # past the metadata blocks
    last, length = data[i] & 0x80, int.from_bytes(data[i + 1:i + 4], 'big')
    i += 4 + length
    if last:
        break
random.seed(7)
noise = bytes(random.getrandbits(8) for _ in range(len(data) - i))
open(sys.argv[2], 'wb').write(data[:i] + noise)
PY
"${screen[@]}" "$build/quellon_screenshot" "$out" "$work/out" "$work/钢琴练习.wav" \
  "$work/voice memo.wav" "$work/损坏的录音.flac"
