# Shared by the benchmarks (sourced after ROOT and BUILD are set): the tools
# they need and a Release build, the ffmpeg options that make what
# quellon-cli makes for each format, a timed run, and a median.

# Checks for the ffmpeg tool and /usr/bin/time (installed when missing),
# builds the given targets in Release into BUILD and sets CLI.
build_release() {
  command -v ffmpeg >/dev/null || { echo "bench: the ffmpeg command-line tool is missing" >&2; exit 1; }
  if [[ ! -x /usr/bin/time ]]; then
    echo "installing the Debian package 'time' ..." >&2
    local sudo=""; [[ $(id -u) -eq 0 ]] || sudo=sudo
    $sudo apt-get install -y time >/dev/null 2>&1 ||
      { $sudo apt-get update >/dev/null && $sudo apt-get install -y time >/dev/null; }
  fi
  echo "building $* (Release) in $BUILD ..." >&2
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$BUILD" -j"$(nproc)" --target "$@" >/dev/null
  CLI=$BUILD/quellon-cli
}

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

# The CPU seconds (user and system) of the last measured run.
last_cpu() {
  awk -F': ' '/User time \(seconds\)|System time \(seconds\)/ { s += $2 } END { printf "%.2f\n", s }' \
    "$WORK/time.txt"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
