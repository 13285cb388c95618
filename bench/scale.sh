#!/usr/bin/env bash
# Scale benchmarks (not run by the tests or CI):
#  1. COUNT copies (default 10000) of a 0.3 s WAV converted to MP3 by
#     quellon-cli -j 2 and by xargs -P 2 ffmpeg, both under "ulimit -n 1024":
#     every file must convert; wall time, peak resident memory and the time
#     until the first output is complete, side by side.
#  2. WINDOW_COUNT files (default 2000) added to the main window on the
#     offscreen platform, then the folder of the COUNT copies: time until
#     every row is there, the longest time the event loop was blocked and the
#     peak resident memory. Skipped when WINDOW_COUNT is 0.
# ./bench/scale.sh [COUNT] [WINDOW_COUNT]
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${QUELLON_BENCH_BUILD:-$ROOT/build-bench}
COUNT=${1:-10000}
WINDOW_COUNT=${2:-2000}

source "$ROOT/bench/common.sh"
if (( WINDOW_COUNT > 0 )); then build_release quellon-cli bench_window_add; else build_release quellon-cli; fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quellon-scale-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/src"
echo "making $COUNT copies of a 0.3 s WAV ..." >&2
ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=440:duration=0.3:sample_rate=44100" -ac 2 \
  "$WORK/one.wav"
for i in $(seq -w 1 "$COUNT"); do cp "$WORK/one.wav" "$WORK/src/f$i.wav"; done

# Prints the seconds (since the given start, in ns) until a visible file
# exists in the folder; quellon-cli shows a file only once it is complete.
first_file() {  # folder start-ns
  while ! find "$1" -maxdepth 1 -type f ! -name '.*' -print -quit 2>/dev/null | grep -q .; do
    sleep 0.01
  done
  echo "$(( ($(date +%s%N) - $2) / 1000000 ))"
}

report() {  # label time-file first-ms outputs
  local wall rss
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$2" |
    awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$2")
  printf "%-10s %8d files %8.1f s %8.1f MB peak %8.2f s to the first complete output\n" \
    "$1" "$4" "$wall" "$(echo "$rss / 1024" | bc -l)" "$(echo "$3 / 1000" | bc -l)"
}

echo
echo "$COUNT copies of a 0.3 s stereo WAV to MP3, 2 at a time, ulimit -n 1024, $(nproc) cores"
# ffmpeg writes into the final name from the start: its first complete output
# is the first one whose process has ended, marked by a file of its own.
mkdir -p "$WORK/f" "$WORK/fdone"
start=$(date +%s%N)
first_file "$WORK/fdone" "$start" >"$WORK/f.first" &
( ulimit -n 1024
  /usr/bin/time -v -o "$WORK/f.time" bash -c 'cd "$1" && ls | xargs -P 2 -I{} sh -c \
    "ffmpeg -nostdin -v error -y -i \"\$1\" -c:a libmp3lame -b:a 128k \"$2/\${1%.wav}.mp3\" && touch \"$3/x\"" _ {}' \
    _ "$WORK/src" "$WORK/f" "$WORK/fdone" )
wait
report ffmpeg "$WORK/f.time" "$(cat "$WORK/f.first")" "$(ls "$WORK/f" | wc -l)"

mkdir -p "$WORK/q"
start=$(date +%s%N)
first_file "$WORK/q" "$start" >"$WORK/q.first" &
( ulimit -n 1024
  cd "$WORK/src"
  /usr/bin/time -v -o "$WORK/q.time" "$CLI" -q -j 2 --bitrate 128 -f mp3 -o "$WORK/q" f*.wav \
    >"$WORK/q.out" 2>&1 || { tail -5 "$WORK/q.out"; exit 1; } )
wait
report quellon "$WORK/q.time" "$(cat "$WORK/q.first")" "$(ls "$WORK/q" | wc -l)"
tail -1 "$WORK/q.out"

(( WINDOW_COUNT > 0 )) || exit 0
echo
echo "$WINDOW_COUNT files added to the main window (offscreen)"
"$BUILD/bench_window_add" $(ls -d "$WORK"/src/f*.wav | head -n "$WINDOW_COUNT")
echo
echo "a folder of $COUNT files added to the main window (offscreen)"
"$BUILD/bench_window_add" "$WORK/src"
