#!/usr/bin/env bash
# Sync benchmark (not run by the tests or CI): COUNT files (default 2000) of
# a 2 s stereo FLAC in a tree of 20 folders, converted to MP3 by
# quellon-cli --sync; then the same command again over the unchanged tree
# (it must write nothing and take under a tenth of the first run's time);
# then with 3 sources touched (exactly those 3 convert); then with 2 sources
# removed and --delete-orphans (exactly their 2 outputs go).
# ./bench/sync.sh [COUNT]
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${QUELLON_BENCH_BUILD:-$ROOT/build-bench}
COUNT=${1:-2000}

source "$ROOT/bench/common.sh"
build_release quellon-cli

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quellon-sync-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
echo "making $COUNT copies of a 2 s FLAC ..." >&2
ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=440:duration=2:sample_rate=44100" -ac 2 \
  "$WORK/one.flac"
for i in $(seq -w 1 "$COUNT"); do
  dir="$WORK/lib/album$((10#$i % 20))"
  mkdir -p "$dir"
  cp "$WORK/one.flac" "$dir/t$i.flac"
done

run() {  # label extra-options...
  local label=$1; shift
  local t0 t1
  t0=$(date +%s%N)
  "$CLI" -q -j "$(nproc)" --sync -r --keep-tree -f mp3 -o "$WORK/out" "$@" "$WORK/lib" \
    >"$WORK/$label.txt" 2>&1 || { echo "bench: $label failed" >&2; tail "$WORK/$label.txt" >&2; exit 1; }
  t1=$(date +%s%N)
  echo $(( (t1 - t0) / 1000000 ))
}

outputs() { find "$WORK/out" -type f ! -name '.*' | wc -l; }
summary() { grep -E "converted, " "$WORK/$1.txt"; }
snapshot() { find "$WORK/out" -type f -printf '%P %s %T@ %i\n' | sort; }

first=$(run first)
echo "first run:   $first ms, $(outputs) outputs ($(summary first))"
before=$(snapshot)
second=$(run second)
echo "second run:  $second ms ($(summary second))"
if [[ "$(snapshot)" == "$before" ]]; then echo "             nothing written"; else echo "             FILES CHANGED"; fi
echo "             ratio $(echo "scale=3; $second / $first" | bc) (must be under 0.1)"

for album in 1 2 3; do touch "$(ls "$WORK/lib/album$album"/*.flac | head -1)"; done
touched=$(run touched)
echo "3 touched:   $touched ms ($(summary touched))"

rm "$(ls "$WORK"/lib/album7/*.flac | head -1)" "$(ls "$WORK"/lib/album8/*.flac | head -1)"
orphans=$(run orphans --delete-orphans)
echo "2 removed:   $orphans ms ($(summary orphans)), $(grep -c '^  removed: ' "$WORK/orphans.txt") outputs removed, $(outputs) outputs left"
