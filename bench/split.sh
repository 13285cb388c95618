#!/usr/bin/env bash
# One long file on every core (not run by the tests or CI):
#  1. a 10-minute and a 60-minute source to each format: quellon-cli with the
#     file split over the cores, quellon-cli --no-split, and the ffmpeg tool,
#     in alternating runs; wall-time ratios and peak memory;
#  2. a batch of 3 files of 10 minutes: quellon-cli -j 2 against
#     xargs -P 2 ffmpeg;
#  3. one table of it all per format: the ratios to the ffmpeg tool, the CPU
#     time of the split encode against the serial one (what splitting costs)
#     and the peak memory of each.
# ./bench/split.sh [REPEAT]   (FORMATS, LONG_MINUTES may be set; LONG_MINUTES=0
# leaves the long source out)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${QUELLON_BENCH_BUILD:-$ROOT/build-bench}
REPEAT=${1:-3}
FORMATS=${FORMATS:-"wav mp3 mp2 aac wma ogg"}
LONG_MINUTES=${LONG_MINUTES:-60}

source "$ROOT/bench/common.sh"
build_release quellon-cli

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quellon-split-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
echo "generating the sources ..." >&2
# Music-like: tones that swell and fade with vibrato, over pink noise.
ffmpeg -nostdin -v error -f lavfi -i "aevalsrc=exprs='0.3*sin(2*PI*220*t)*(0.5+0.5*sin(2*PI*0.5*t))+0.2*sin(2*PI*330*t+2*sin(2*PI*3*t))|0.3*sin(2*PI*277*t)*(0.5+0.5*cos(2*PI*0.7*t))+0.2*sin(2*PI*415*t+sin(2*PI*5*t))':d=600" \
  -f lavfi -i "anoisesrc=c=pink:a=0.08:d=600" -filter_complex "[0][1]amix=inputs=2:normalize=0" \
  -ac 2 -ar 44100 "$WORK/ten.wav"
(( LONG_MINUTES > 0 )) && ffmpeg -nostdin -v error -stream_loop $((LONG_MINUTES / 10 - 1)) -i "$WORK/ten.wav" -c copy "$WORK/long.wav"
for i in 1 2 3; do cp "$WORK/ten.wav" "$WORK/b$i.wav"; done


one_file() {  # format source label
  local format=$1 source=$2 label=$3 r s n f
  local sw=() nw=() fw=() sc=() nc=() sm=0 nm=0 fm=0
  for r in $(seq 1 "$REPEAT"); do
    rm -rf "$WORK/o"; s=$(measure "$CLI" -q -j 1 --bitrate 128 -f "$format" -o "$WORK/o" "$source")
    sc+=("$(last_cpu)")
    rm -f "$WORK/f.$format"; f=$(measure ffmpeg -nostdin -v error -y -i "$source" $(ffmpeg_args "$format") "$WORK/f.$format")
    rm -rf "$WORK/o"; n=$(measure "$CLI" -q -j 1 --no-split --bitrate 128 -f "$format" -o "$WORK/o" "$source")
    nc+=("$(last_cpu)")
    sw+=("${s% *}"); nw+=("${n% *}"); fw+=("${f% *}")
    (( ${s#* } > sm )) && sm=${s#* }; (( ${n#* } > nm )) && nm=${n#* }; (( ${f#* } > fm )) && fm=${f#* }
  done
  local sm_ nm_ fm_ sc_ nc_
  sm_=$(printf "%s\n" "${sw[@]}" | median); nm_=$(printf "%s\n" "${nw[@]}" | median)
  fm_=$(printf "%s\n" "${fw[@]}" | median)
  sc_=$(printf "%s\n" "${sc[@]}" | median); nc_=$(printf "%s\n" "${nc[@]}" | median)
  SUMMARY[$format,$label]=$(awk -v s="$sm_" -v f="$fm_" -v sc="$sc_" -v nc="$nc_" -v sr="$sm" -v nr="$nm" \
    'BEGIN { printf "%.2f %.2f %.0f %.0f", s / f, sc / nc, sr / 1024, nr / 1024 }')
  awk -v fmt="$format" -v l="$label" -v s="$sm_" -v n="$nm_" -v f="$fm_" -v sr="$sm" -v nr="$nm" -v fr="$fm" \
    'BEGIN { printf "%-5s %-7s %8.2f %8.2f %8.2f %7.2f %7.2f %8.0f %8.0f %8.0f\n", fmt, l, s, n, f,
             s / f, n / f, sr / 1024, nr / 1024, fr / 1024 }'
}

declare -A SUMMARY

echo
echo "One file; quellon split / serial / ffmpeg, median of $REPEAT; $(nproc) cores"
printf "%-5s %-7s %8s %8s %8s %7s %7s %8s %8s %8s\n" fmt source split serial ffmpeg "s/ff" "n/ff" "MB split" "MB ser" "MB ff"
for format in $FORMATS; do
  one_file "$format" "$WORK/ten.wav" "10 min"
  (( LONG_MINUTES > 0 )) && one_file "$format" "$WORK/long.wav" "$LONG_MINUTES min"
done

echo
echo "3 files of 10 minutes, 2 at a time; quellon-cli -j 2 / xargs -P 2 ffmpeg, median of $REPEAT"
printf "%-5s %8s %8s %7s %8s %8s\n" fmt quellon ffmpeg ratio "MB q" "MB ff"
for format in $FORMATS; do
  qw=(); fw=(); qm=0; fm=0
  for r in $(seq 1 "$REPEAT"); do
    rm -rf "$WORK/f"; mkdir -p "$WORK/f"
    f=$(measure bash -c 'args=$1; out=$2; fmt=$3; shift 3; printf "%s\n" "$@" |
      xargs -P 2 -I{} sh -c "ffmpeg -nostdin -v error -y -i \"\$1\" $args \"$out/\$(basename \"\$1\" .wav).$fmt\"" _ {}' \
      _ "$(ffmpeg_args "$format")" "$WORK/f" "$format" "$WORK"/b1.wav "$WORK"/b2.wav "$WORK"/b3.wav)
    rm -rf "$WORK/q"; q=$(measure "$CLI" -q -j 2 --bitrate 128 -f "$format" -o "$WORK/q" "$WORK"/b1.wav "$WORK"/b2.wav "$WORK"/b3.wav)
    qw+=("${q% *}"); fw+=("${f% *}")
    (( ${q#* } > qm )) && qm=${q#* }; (( ${f#* } > fm )) && fm=${f#* }
  done
  q=$(printf "%s\n" "${qw[@]}" | median); f=$(printf "%s\n" "${fw[@]}" | median)
  SUMMARY[$format,batch]=$(awk -v q="$q" -v f="$f" 'BEGIN { printf "%.2f", q / f }')
  awk -v fmt="$format" -v q="$q" -v f="$f" -v qm="$qm" -v fm="$fm" \
    'BEGIN { printf "%-5s %8.2f %8.2f %7.2f %8.0f %8.0f\n", fmt, q, f, q / f, qm / 1024, fm / 1024 }'
done

echo
echo "Summary per format: wall-time ratios to the ffmpeg tool (one 10-minute file split,"
echo "the $LONG_MINUTES-minute one, 3 files with -j 2), CPU time of split / serial on the"
echo "10-minute file (the cost of splitting), peak MB split and serial on it"
printf "%-5s %8s %8s %8s %9s %8s %8s\n" fmt "10m/ff" "${LONG_MINUTES}m/ff" "3x/ff" "cpu s/n" "MB split" "MB ser"
for format in $FORMATS; do
  read -r ten_ratio ten_cpu ten_ms ten_mn <<<"${SUMMARY[$format,10 min]}"
  read -r long_ratio _ <<<"${SUMMARY[$format,$LONG_MINUTES min]:--}"
  printf "%-5s %8s %8s %8s %9s %8s %8s\n" "$format" "$ten_ratio" "$long_ratio" "${SUMMARY[$format,batch]}" \
    "$ten_cpu" "$ten_ms" "$ten_mn"
done
