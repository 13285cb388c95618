#!/usr/bin/env bash
# Makes the seed corpus of the input fuzz target with the ffmpeg command-line
# tool: small files (at most 20 KB, 0.1-0.5 s) of every input format the
# application takes, in a few rates and layouts, with a cover picture, with
# tags and one truncated. Each seed is the fuzz entry's two-byte header (byte
# 0: the extension's index, byte 1: output kind and probe-picture bit) and
# then the media file.
#
# Usage: make_corpus.sh FOLDER   (made anew; nothing else in it survives)
# A folder made by the same script with the same ffmpeg is kept as it is.
set -euo pipefail
out=${1:?usage: make_corpus.sh FOLDER}
recipe="$(sha1sum <"$0") $(ffmpeg -version | head -1)"
if [[ -f $out/.recipe && $(<"$out/.recipe") == "$recipe" ]]; then
  echo "make_corpus: $out is up to date"
  exit 0
fi
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The extensions in the order of the fuzz entry's table (FuzzInput.cpp).
exts=(wav mp3 mp2 flac ogg opus m4a aac wma ac3 mkv mp4 avi ts)
ext_index() {
  local i
  for i in "${!exts[@]}"; do [[ ${exts[$i]} == "$1" ]] && { echo "$i"; return; }; done
  echo "unknown extension $1" >&2
  exit 1
}

# seed NAME EXT OUTPUT-BYTE FFMPEG-ARGS...: makes NAME.EXT and writes the seed.
# OUTPUT-BYTE: 0 wav, 1 mp3, 2 flac, 3 null muxer; +4 reads a probe picture.
seed() {
  local name=$1 ext=$2 kind=$3
  shift 3
  local file="$work/$name.$ext"
  ffmpeg -nostdin -y -loglevel error "$@" "$file"
  finish "$name" "$ext" "$kind" "$file"
}

finish() {
  local name=$1 ext=$2 kind=$3 file=$4 size
  size=$(stat -c %s "$file")
  if ((size > 20480)); then
    echo "make_corpus: $name.$ext is $size bytes, more than 20 KB" >&2
    exit 1
  fi
  {
    printf "\\x$(printf %02x "$(ext_index "$ext")")\\x$(printf %02x "$kind")"
    cat "$file"
  } >"$out/$name-$ext"
}

sine="-f lavfi -i sine=frequency=440:sample_rate"
noise="-f lavfi -i anoisesrc=amplitude=0.3:seed=7:sample_rate"
video="-f lavfi -i testsrc=size=64x48:rate=10"

seed wav-s16-stereo wav 0 $sine=44100:duration=0.1 -ac 2
seed wav-u8-mono wav 2 $sine=8000:duration=0.5 -c:a pcm_u8
seed wav-f32-51 wav 1 $noise=8000:duration=0.1 -af "aformat=channel_layouts=5.1" -c:a pcm_f32le
seed wav-adpcm wav 3 $sine=16000:duration=0.3 -c:a adpcm_ms
seed wav-tags wav 0 $sine=11025:duration=0.2 -metadata title="Seed title" \
  -metadata artist="Seed artist" -metadata date=2009 -metadata comment="x"
seed mp3-cbr mp3 0 $sine=44100:duration=0.5 -c:a libmp3lame -b:a 64k
seed mp3-tags-cover mp3 1 $sine=22050:duration=0.3 \
  -f lavfi -i color=c=red:size=16x16:duration=1 -map 0:a -map 1:v -frames:v 1 \
  -c:a libmp3lame -b:a 32k -c:v png -disposition:v attached_pic -id3v2_version 3 \
  -metadata title="Tagged" -metadata album="Album" -metadata track="3/9" -metadata genre="Rock"
seed mp3-mono-8k mp3 2 $sine=8000:duration=0.4 -c:a libmp3lame -b:a 16k
seed mp2-48k mp2 0 $sine=48000:duration=0.3 -c:a mp2 -b:a 64k
seed flac-stereo flac 2 $noise=22050:duration=0.1 -ac 2 -c:a flac
seed flac-24bit-96k flac 0 $sine=96000:duration=0.1 -c:a flac -sample_fmt s32
seed flac-cover flac 1 $sine=8000:duration=0.3 \
  -f lavfi -i color=c=blue:size=16x16:duration=1 -map 0:a -map 1:v -frames:v 1 \
  -c:a flac -c:v png -disposition:v attached_pic
seed ogg-vorbis ogg 0 $sine=22050:duration=0.3 -c:a libvorbis -q:a 0
seed opus-48k opus 2 $sine=48000:duration=0.3 -ac 2 -c:a libopus -b:a 24k
seed m4a-aac m4a 0 $sine=44100:duration=0.3 -c:a aac -b:a 32k
seed m4a-alac m4a 3 $sine=8000:duration=0.1 -c:a alac
seed aac-adts aac 1 $sine=32000:duration=0.3 -c:a aac -b:a 24k
seed wma-v2 wma 0 $sine=22050:duration=0.3 -c:a wmav2 -b:a 32k
seed ac3-51 ac3 2 $noise=48000:duration=0.1 -af "aformat=channel_layouts=5.1" -c:a ac3 -b:a 192k
seed mkv-video-audio mkv 7 $video:duration=0.3 $sine=8000:duration=0.3 \
  -c:v mpeg4 -q:v 20 -c:a pcm_s16le
seed mkv-ffv1-flac mkv 3 $video:duration=0.2 $sine=8000:duration=0.2 \
  -c:v ffv1 -c:a flac
seed mp4-h264-aac mp4 7 $video:duration=0.5 $sine=22050:duration=0.5 \
  -c:v libx264 -preset ultrafast -crf 40 -pix_fmt yuv420p -c:a aac -b:a 24k
seed avi-mjpeg-pcm avi 4 $video:duration=0.2 $sine=8000:duration=0.2 \
  -c:v mjpeg -q:v 20 -c:a pcm_u8
seed ts-mpeg2-mp2 ts 3 $video:duration=0.3 $sine=48000:duration=0.3 \
  -c:v mpeg2video -q:v 20 -c:a mp2 -b:a 64k

# A subtitle track beside the sound, and a stream with two programs.
printf '1\n00:00:00,000 --> 00:00:00,200\nSeed subtitle\n\n' >"$work/subtitle.srt"
seed mkv-audio-subtitle mkv 3 $sine=8000:duration=0.3 -i "$work/subtitle.srt" \
  -map 0:a -map 1:s -c:a pcm_s16le -c:s srt -metadata:s:s:0 language=eng
seed ts-two-programs ts 0 $sine=48000:duration=0.2 $noise=32000:duration=0.2 \
  -map 0:a -map 1:a -c:a mp2 -b:a 64k \
  -program title=First:st=0 -program title=Second:st=1

# A download broken off: the first part of a longer file.
ffmpeg -nostdin -y -loglevel error $sine=44100:duration=1 -c:a libmp3lame -b:a 128k \
  "$work/whole.mp3"
head -c 6000 "$work/whole.mp3" >"$work/truncated.mp3"
finish truncated mp3 0 "$work/truncated.mp3"
ffmpeg -nostdin -y -loglevel error $video:duration=0.5 $sine=8000:duration=0.5 \
  -c:v mpeg4 -q:v 20 -c:a pcm_s16le "$work/whole.mkv"
head -c 4000 "$work/whole.mkv" >"$work/truncated.mkv"
finish truncated mkv 7 "$work/truncated.mkv"

echo "$recipe" >"$out/.recipe"
echo "make_corpus: $(find "$out" -type f ! -name .recipe | wc -l) seeds in $out"
