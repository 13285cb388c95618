#!/usr/bin/env bash
# The cost of loudness levelling: quellon-cli --loudness (a measuring pass,
# then the encoding pass, in one job) against the ffmpeg command-line tool's
# two-pass loudnorm (a measuring run, then a levelling run with the measured
# values, linear) on the same generated files, alternating runs, and the same
# conversion without levelling on both sides for scale. Prints the median
# wall time of each and the ratios (below 1: quellon is faster).
# Not run by the tests or CI: ./bench/loudness.sh [seconds-per-file]
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${QUELLON_BENCH_BUILD:-$ROOT/build-bench}
SECONDS_PER_FILE=${1:-60}
FILES=${FILES:-4}
REPEAT=${REPEAT:-3}
FORMAT=${FORMAT:-flac}   # output format on both sides

source "$ROOT/bench/common.sh"
build_release quellon-cli

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quellon-loudness-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/src"
echo "generating $FILES sources of ${SECONDS_PER_FILE} s ..." >&2
for i in $(seq 1 "$FILES"); do
  # Pink noise at different levels: music-like, with peaks to watch.
  ffmpeg -nostdin -v error -y -f lavfi -i "anoisesrc=color=pink:duration=$SECONDS_PER_FILE:seed=$i" \
    -af "volume=$(( -30 + 6 * i ))dB" -ac 2 -ar 44100 "$WORK/src/s$i.wav"
done
files=("$WORK"/src/s*.wav)

codec() { case $FORMAT in flac) echo "-c:a flac" ;; mp3) echo "-c:a libmp3lame" ;; wav) echo "-c:a pcm_s16le" ;; esac; }

quellon() {  # extra options
  rm -rf "$WORK/q"
  "$CLI" -q -j 1 -f "$FORMAT" -o "$WORK/q" "$@" "${files[@]}" >/dev/null
}

ffmpeg_plain() {
  rm -rf "$WORK/f"; mkdir -p "$WORK/f"
  for f in "${files[@]}"; do
    ffmpeg -nostdin -v error -y -i "$f" $(codec) "$WORK/f/$(basename "$f" .wav).$FORMAT"
  done
}

ffmpeg_twopass() {
  rm -rf "$WORK/f"; mkdir -p "$WORK/f"
  for f in "${files[@]}"; do
    local json I TP LRA TH
    json=$(ffmpeg -nostdin -hide_banner -i "$f" -af loudnorm=I=-16:TP=-1:print_format=json -f null - 2>&1 |
      sed -n '/^{/,/^}/p')
    I=$(sed -n 's/.*"input_i" : "\(.*\)".*/\1/p' <<<"$json")
    TP=$(sed -n 's/.*"input_tp" : "\(.*\)".*/\1/p' <<<"$json")
    LRA=$(sed -n 's/.*"input_lra" : "\(.*\)".*/\1/p' <<<"$json")
    TH=$(sed -n 's/.*"input_thresh" : "\(.*\)".*/\1/p' <<<"$json")
    ffmpeg -nostdin -v error -y -i "$f" \
      -af "loudnorm=I=-16:TP=-1:measured_I=$I:measured_TP=$TP:measured_LRA=$LRA:measured_thresh=$TH:linear=true,aresample=44100" \
      $(codec) "$WORK/f/$(basename "$f" .wav).$FORMAT"
  done
}

seconds() { local s e; s=$(date +%s.%N); "$@"; e=$(date +%s.%N); awk -v s="$s" -v e="$e" 'BEGIN { print e - s }'; }

ql=(); fl=(); qp=(); fp=()
for r in $(seq 1 "$REPEAT"); do
  ql+=("$(seconds quellon --loudness -16)"); fl+=("$(seconds ffmpeg_twopass)")
  fp+=("$(seconds ffmpeg_plain)"); qp+=("$(seconds quellon)")
done
m() { printf "%s\n" "$@" | median; }
QL=$(m "${ql[@]}"); FL=$(m "${fl[@]}"); QP=$(m "${qp[@]}"); FP=$(m "${fp[@]}")

echo
echo "loudness levelling to -16 LUFS / -1 dBTP, $FILES files of ${SECONDS_PER_FILE} s, -> $FORMAT;" \
  "median of $REPEAT runs; $(nproc) cores"
printf "%-26s %10s %10s %7s\n" "" "quellon s" "ffmpeg s" ratio
awk -v q="$QL" -v f="$FL" 'BEGIN { printf "%-26s %10.2f %10.2f %7.2f\n", "levelled (ffmpeg 2-pass)", q, f, q / f }'
awk -v q="$QP" -v f="$FP" 'BEGIN { printf "%-26s %10.2f %10.2f %7.2f\n", "plain conversion", q, f, q / f }'
awk -v q="$QL" -v p="$QP" -v f="$FL" -v g="$FP" \
  'BEGIN { printf "cost of levelling: quellon x%.2f of its plain run, ffmpeg x%.2f\n", q / p, f / g }'
