# Shared by the benchmarks (sourced): the ffmpeg options that make what
# quellon-cli makes for each format, a timed run, and a median.

# The composer's codecs; the lossy ones at the same bit rate on both sides.
ffmpeg_args() {
  case $1 in
    wav) echo "-c:a pcm_s16le" ;;
    mp3) echo "-c:a libmp3lame -b:a 128k" ;;
    mp2) echo "-c:a mp2 -b:a 128k" ;;
    aac) echo "-c:a aac -b:a 128k" ;;
    wma) echo "-vn -c:a wmav2 -b:a 128k" ;;
    ogg) echo "-c:a flac" ;;
  esac
}

# Runs a command under /usr/bin/time -v; prints "wall-seconds peak-KB".
# Needs WORK, the benchmark's scratch folder.
measure() {
  local report=$WORK/time.txt
  /usr/bin/time -v -o "$report" "$@" >/dev/null 2>&1 || { echo "bench: failed: $*" >&2; exit 1; }
  local wall rss
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$report" |
    awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$report")
  echo "$wall $rss"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
