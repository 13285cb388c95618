#!/usr/bin/env bash
# Benchmarks quellon-cli against the ffmpeg command-line tool on the same
# generated files in the same run, per output format:
#   (a) sequential: FILES_SEQ files one after another (quellon-cli -j 1, a loop of ffmpeg)
#   (b) parallel:   FILES_PAR files two at a time (quellon-cli -j 2, xargs -P 2 ffmpeg)
# and prints the wall-time ratio quellon/ffmpeg (median of REPEAT runs; below 1
# means quellon is faster) with the peak resident memory of each side.
# Not run by the tests or CI: ./bench/run.sh [seconds-per-file]
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${QUELLON_BENCH_BUILD:-$ROOT/build-bench}
SECONDS_PER_FILE=${1:-30}
FILES_SEQ=${FILES_SEQ:-4}
FILES_PAR=${FILES_PAR:-8}
REPEAT=${REPEAT:-3}
FORMATS=${FORMATS:-"wav mp3 mp2 aac wma ogg"}

source "$ROOT/bench/common.sh"
build_release quellon-cli

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quellon-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/src"
count=$(( FILES_SEQ > FILES_PAR ? FILES_SEQ : FILES_PAR ))
echo "generating $count sources of ${SECONDS_PER_FILE} s ..." >&2
for i in $(seq 1 "$count"); do
  ffmpeg -nostdin -v error -y -f lavfi \
    -i "sine=frequency=$((200 + 40 * i)):duration=$SECONDS_PER_FILE:sample_rate=44100" \
    -ac 2 -metadata title="bench $i" "$WORK/src/s$i.wav"
done
sources() { for i in $(seq 1 "$1"); do echo "$WORK/src/s$i.wav"; done; }


run_quellon() {  # format jobs files...
  local format=$1 jobs=$2; shift 2
  rm -rf "$WORK/q"
  measure "$CLI" -q -j "$jobs" --bitrate 128 -f "$format" -o "$WORK/q" "$@"
}

run_ffmpeg_seq() {  # format files...
  local format=$1; shift
  rm -rf "$WORK/f"; mkdir -p "$WORK/f"
  measure bash -c 'fmt=$1; args=$2; out=$3; shift 3
    for f in "$@"; do b=$(basename "$f" .wav)
      ffmpeg -nostdin -v error -y -i "$f" $args "$out/$b.$fmt" || exit 1; done' \
    _ "$format" "$(ffmpeg_args "$format")" "$WORK/f" "$@"
}

run_ffmpeg_par() {  # format files...
  local format=$1; shift
  rm -rf "$WORK/f"; mkdir -p "$WORK/f"
  measure bash -c 'fmt=$1; args=$2; out=$3; shift 3
    printf "%s\n" "$@" | xargs -P 2 -I{} sh -c "ffmpeg -nostdin -v error -y -i \"\$1\" $args \"$out/\$(basename \"\$1\" .wav).$fmt\"" _ {}' \
    _ "$format" "$(ffmpeg_args "$format")" "$WORK/f" "$@"
}

# One line of the table: format, mode, then REPEAT alternating runs of each side.
bench_line() {
  local format=$1 mode=$2 n=$3
  local -a files
  mapfile -t files < <(sources "$n")
  local qw=() fw=() qm=0 fm=0 r q f
  for r in $(seq 1 "$REPEAT"); do
    if [[ $mode == sequential ]]; then
      q=$(run_quellon "$format" 1 "${files[@]}"); f=$(run_ffmpeg_seq "$format" "${files[@]}")
    else
      f=$(run_ffmpeg_par "$format" "${files[@]}"); q=$(run_quellon "$format" 2 "${files[@]}")
    fi
    qw+=("${q% *}"); fw+=("${f% *}")
    (( ${q#* } > qm )) && qm=${q#* }
    (( ${f#* } > fm )) && fm=${f#* }
  done
  local qmed fmed
  qmed=$(printf "%s\n" "${qw[@]}" | median)
  fmed=$(printf "%s\n" "${fw[@]}" | median)
  awk -v fmt="$format" -v mode="$mode" -v n="$n" -v q="$qmed" -v f="$fmed" -v qm="$qm" -v fm="$fm" \
    'BEGIN { printf "%-6s %-10s %5d %10.2f %10.2f %7.2f %12.1f %12.1f\n",
             fmt, mode, n, q, f, (f > 0 ? q / f : 0), qm / 1024, fm / 1024 }'
}

echo
echo "quellon-cli vs ffmpeg $(ffmpeg -version | head -1 | cut -d' ' -f3); ${SECONDS_PER_FILE} s stereo 44.1 kHz per file;" \
  "median of $REPEAT runs; $(nproc) cores"
printf "%-6s %-10s %5s %10s %10s %7s %12s %12s\n" \
  format mode files "quellon s" "ffmpeg s" ratio "quellon MB" "ffmpeg MB"
for format in $FORMATS; do
  bench_line "$format" sequential "$FILES_SEQ"
  bench_line "$format" parallel "$FILES_PAR"
done
