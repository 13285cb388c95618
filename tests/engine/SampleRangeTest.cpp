// Sample ranges ("sample_range=FIRST:END"): the tracks of an album image,
// cut at cue-frame boundaries (588 samples at 44.1 kHz) that are no FLAC
// block boundaries, put end to end are the image sample for sample; lossy
// tracks decode to exactly the range's length; a range deep into a long
// file is found by a seek, not by decoding from the start; a range outside
// the audio fails the job. ffmpeg decodes and hashes every output.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "FFmpeg.h"
#include "Music.h"
#include "TestSupport.h"

using namespace testing_support;

namespace {

constexpr int64_t CUE_FRAME = 588;
// 20.3 s: 895230 samples, no multiple of any encoder's frame.
constexpr int64_t IMAGE_SAMPLES = 895230;
// Track starts at cue frames 500 and 1111: inside FLAC blocks of 4608.
const std::vector<int64_t> TRACKS = {0, 500 * CUE_FRAME, 1111 * CUE_FRAME};

// The image as FLAC, WAV or WavPack (16-bit samples).
std::string Image(const std::string& extension) {
  const std::string codec = extension == "wav" ? "pcm_s16le -sample_fmt s16"
                            : extension == "wv" ? "wavpack -sample_fmt s16p"
                                                : "flac -sample_fmt s16";
  return Fixture("range_image." + extension,
                 "-f lavfi -i anoisesrc=c=pink:a=0.3:r=44100:seed=7 -f lavfi -i "
                 "sine=f=523:r=44100 -filter_complex [0][1]amix=inputs=2 -ac 2 -t 20.3 -c:a " +
                     codec);
}

// Ten minutes of two tones, one a channel (FLAC keeps them small).
std::string LongImage() {
  return Fixture("range_long.flac",
                 "-f lavfi -i sine=f=300:r=44100:d=600 -f lavfi -i sine=f=450:r=44100:d=600 "
                 "-filter_complex [0][1]amerge=inputs=2 -sample_fmt s16 -c:a flac");
}

std::string Md5Of(const std::string& command) { return Capture(command + " | md5sum"); }

std::string DecodePcm(const std::string& path) {
  return "ffmpeg -nostdin -v error -i " + Quote(path) + " -f s16le -";
}

// Samples (of every channel together) ffmpeg decodes from a file, at its rate.
long DecodedSamples(const std::string& path) {
  return std::atol(Capture("ffmpeg -nostdin -v error -i " + Quote(path) +
                           " -ac 1 -f s16le - | wc -c")
                       .c_str()) /
         2;
}

class SampleRange : public EngineFixture {
 protected:
  // Converts the samples [first, end) of source into out; the outcome.
  TJobOutcome Cut(const std::string& source, int64_t first, int64_t end, const std::string& out,
                  const std::vector<std::pair<std::string, std::string>>& options = {}) {
    Engine.Reset();
    Engine.SetOption("sample_range", SampleRangeText(first, end));
    if (!Convert(source, out, options)) return joNone;
    return Engine.Result.Outcome;
  }
};

}  // namespace

// Three tracks of each image, lossless, end to end: the image.
TEST_F(SampleRange, LosslessTracksJoinToTheImage) {
  for (const std::string extension : {"flac", "wav", "wv"}) {
    const std::string source = Image(extension);
    const std::string whole = Md5Of(DecodePcm(source));
    for (const char* target : {"flac", "wav"}) {
      std::string joined = "(";
      for (size_t t = 0; t < TRACKS.size(); ++t) {
        const int64_t end = t + 1 < TRACKS.size() ? TRACKS[t + 1] : -1;
        const std::string out = Dir.File(StrFormat("%s_%zu.%s", extension.c_str(), t, target));
        ASSERT_EQ(Cut(source, TRACKS[t], end, out), joComplete)
            << extension << " to " << target << ": " << Engine.Result.Reason;
        const int64_t length = (end >= 0 ? end : IMAGE_SAMPLES) - TRACKS[t];
        EXPECT_EQ(DecodedSamples(out), length) << out;
        joined += DecodePcm(out) + ";";
      }
      EXPECT_EQ(Md5Of(joined + ")"), whole) << extension << " to " << target;
    }
  }
}

// Lossy tracks decode to the range's length: the MP3's LAME header (delay
// and padding) and Opus' pre-skip and end trimming make it exact (Opus at
// 48 kHz: the range's length at that rate, rounded). AAC in MP4: ffmpeg
// takes the priming off by the edit list but decodes the last frame whole,
// so the decoded length is the range's rounded up to whole frames of 1024;
// the length the file states (the edit list, in ms) is the range's.
TEST_F(SampleRange, LossyTracksDecodeToTheRangesLength) {
  const std::string source = Image("flac");
  const int64_t first = TRACKS[1], end = TRACKS[2];
  struct TLossy {
    const char* Extension;
    const char* Codec;
    int Rate;
    long Frame;  // the decoded length is rounded up to whole frames of this (1: exact)
  };
  for (const TLossy& c : {TLossy{"mp3", "libmp3lame", 44100, 1}, TLossy{"m4a", "aac", 44100, 1024},
                          TLossy{"opus", "libopus", 48000, 1}}) {
    const std::string out = Dir.File(std::string("track.") + c.Extension);
    ASSERT_EQ(Cut(source, first, end, out, {{"acodec", c.Codec}, {"ar", std::to_string(c.Rate)}}),
              joComplete)
        << c.Extension << ": " << Engine.Result.Reason;
    const long exact = std::lround(static_cast<double>(end - first) * c.Rate / 44100);
    EXPECT_EQ(DecodedSamples(out), (exact + c.Frame - 1) / c.Frame * c.Frame) << c.Extension;
    if (c.Frame > 1) {
      EXPECT_NEAR(std::atof(Probe(out, "a:0", "stream=duration").c_str()),
                  static_cast<double>(exact) / c.Rate, 0.001)
          << c.Extension;
    }
  }
}

// Deep into ten minutes: read from a seek just before the range, and the
// same samples as the command-line tool's sample-exact trim.
TEST_F(SampleRange, DeepRangeIsSoughtAndExact) {
  const std::string source = LongImage();
  const int64_t first = 40000 * CUE_FRAME + 0, end = 40500 * CUE_FRAME;
  const std::string out = Dir.File("deep.flac");
  ASSERT_EQ(Cut(source, first, end, out), joComplete) << Engine.Result.Reason;
  EXPECT_EQ(Md5Of(DecodePcm(out)),
            Md5Of("ffmpeg -nostdin -v error -i " + Quote(source) +
                  StrFormat(" -af atrim=start_sample=%lld:end_sample=%lld -f s16le -",
                            static_cast<long long>(first), static_cast<long long>(end))));
  long long readFrom = -1;
  for (const auto& line : Log.Lines) {
    const size_t at = line.second.find("read from sample ");
    if (at != std::string::npos) readFrom = std::atoll(line.second.c_str() + at + 17);
  }
  EXPECT_GT(readFrom, first - 44100) << "decoded from the start";
  EXPECT_LE(readFrom, first);
}

// Forty seconds of the long file to MP3 in chunks: as long as the range, and
// the joins as close to the serial encoder's output as the encoder allows.
TEST_F(SampleRange, SplitEncodedRangeJoins) {
  const std::string source = LongImage();
  const int64_t first = 10000 * CUE_FRAME, end = first + 40 * 44100;
  std::string decoded[2];
  for (int split = 0; split < 2; ++split) {
    const std::string out = Dir.File(StrFormat("split%d.mp3", split));
    Engine.Reset();
    Engine.RunState.SplitEncoding = split != 0;
    Engine.RunState.EncoderThreads = 2;
    Engine.SetOption("sample_range", SampleRangeText(first, end));
    ASSERT_TRUE(Convert(source, out, {{"acodec", "libmp3lame"}}));
    ASSERT_EQ(Engine.Result.Outcome, joComplete) << Engine.Result.Reason;
    bool chunks = false;
    for (const auto& line : Log.Lines)
      chunks = chunks || line.second.find("is encoded in chunks of") != std::string::npos;
    EXPECT_EQ(chunks, split != 0);
    EXPECT_TRUE(Shell("ffmpeg -nostdin -v error -xerror -i " + Quote(out) + " -f null -"));
    EXPECT_EQ(DecodedSamples(out), end - first);
    decoded[split] = out;
  }
  // The difference of the two outputs stays at the encoder's noise: no
  // click, no shifted chunk (a one-sample shift of the tones is louder).
  const std::string diff = Capture(
      "ffmpeg -nostdin -v error -i " + Quote(decoded[0]) + " -i " + Quote(decoded[1]) +
      " -filter_complex '[1]volume=-1[n];[0][n]amix=inputs=2:normalize=0,astats=metadata=1:"
      "reset=0,ametadata=print:key=lavfi.astats.Overall.Peak_level:file=-' -f null - | tail -1");
  const double peakDb = std::atof(diff.substr(diff.find('=') + 1).c_str());
  EXPECT_LT(peakDb, -30.0) << diff;
}

// The measuring pass of levelling and ReplayGain measures the range only: a
// quiet track of a loud image gets the gain of its own samples (the loud
// rest would take 20 dB off it).
TEST_F(SampleRange, LoudnessIsMeasuredOnTheRange) {
  const std::string image = Dir.File("loud_around.flac");
  ASSERT_TRUE(Shell("ffmpeg -nostdin -v error -i " + Quote(Image("flac")) +
                    " -af \"volume='if(between(t,6,15.5),0.1,1)':eval=frame\" -sample_fmt s16 " +
                    Quote(image)));
  const std::string alone = Dir.File("alone.wav");
  ASSERT_TRUE(Shell("ffmpeg -nostdin -v error -i " + Quote(image) +
                    StrFormat(" -af atrim=start_sample=%lld:end_sample=%lld ",
                              static_cast<long long>(TRACKS[1]), static_cast<long long>(TRACKS[2])) +
                    Quote(alone)));
  std::vector<double> gains;
  for (const std::string& input : {alone, image}) {
    Engine.Reset();
    if (input == image) Engine.SetOption("sample_range", SampleRangeText(TRACKS[1], TRACKS[2]));
    Engine.Music.ReplayGain = true;
    const std::string out = Dir.File(StrFormat("gain%zu.flac", gains.size()));
    ASSERT_TRUE(Convert(input, out)) << Engine.LastError;
    ASSERT_EQ(Engine.Result.Outcome, joComplete) << Engine.Result.Reason;
    gains.push_back(std::atof(Probe(out, "", "format_tags=REPLAYGAIN_TRACK_GAIN").c_str()));
  }
  EXPECT_NEAR(gains[1], gains[0], 0.05);
}

// Ranges outside the audio fail with rcClip and leave no file; an end within
// one frame past the last sample takes the audio to its end.
TEST_F(SampleRange, RangesOutsideTheAudioFail) {
  const std::string source = Image("flac");
  struct TCase {
    int64_t First, End;
    TJobOutcome Outcome;
    long Samples;  // decoded, when complete
  } cases[] = {
      {IMAGE_SAMPLES, -1, joFailed, 0},
      {IMAGE_SAMPLES + 5000, IMAGE_SAMPLES + 9000, joFailed, 0},
      {TRACKS[2], IMAGE_SAMPLES + 50000, joFailed, 0},
      {TRACKS[2], (IMAGE_SAMPLES / CUE_FRAME + 1) * CUE_FRAME, joComplete,
       IMAGE_SAMPLES - TRACKS[2]},
  };
  for (const TCase& c : cases) {
    const std::string out = Dir.File("outside.flac");
    EXPECT_EQ(Cut(source, c.First, c.End, out), c.Outcome) << c.First << ":" << c.End;
    if (c.Outcome == joFailed) {
      EXPECT_EQ(Engine.Result.Code, rcClip) << Engine.Result.Reason;
      EXPECT_FALSE(Shell("test -e " + Quote(out)));
    } else {
      EXPECT_EQ(DecodedSamples(out), c.Samples);
    }
    Shell("rm -f " + Quote(out));
  }
}

TEST(SampleRangeValue, ParsesAndRefuses) {
  struct TCase {
    const char* Text;
    bool Valid;
    int64_t First, End;
  } cases[] = {
      {"0:588", true, 0, 588},     {"294000:", true, 294000, -1}, {" 10 : -1 ", true, 10, -1},
      {"", false, 0, 0},           {"5", false, 0, 0},            {"10:5", false, 0, 0},
      {"5:5", false, 0, 0},        {"-1:5", false, 0, 0},         {"1:2:3", false, 0, 0},
      {"0x10:20", false, 0, 0},    {"1.5:3", false, 0, 0},        {"3:-2", false, 0, 0},
  };
  for (const TCase& c : cases) {
    TSampleRange range;
    EXPECT_EQ(ParseSampleRange(c.Text, range), c.Valid) << "'" << c.Text << "'";
    if (!c.Valid) continue;
    EXPECT_EQ(range.First, c.First);
    EXPECT_EQ(range.End, c.End);
    TSampleRange again;
    ASSERT_TRUE(ParseSampleRange(SampleRangeText(range.First, range.End), again));
    EXPECT_EQ(again.End, range.End);
  }
}

// The cutter frame by frame over a range [1000, 3000): where each frame lies
// (by timestamp where the time base names samples, else by count) and what
// is kept of it; after a seek, a frame without a timestamp or past the
// range's start sends the reading back to the start.
TEST(SampleRangeCutter, PlacesFramesAndAsksForARestart) {
  ASSERT_TRUE(LoadEngineLibraries());
  struct TFrame {
    int64_t Pts;
    TRangeCutter::TVerdict Verdict;
    int Head, Kept;  // samples cut from the front, and kept
  };
  struct TCase {
    const char* Name;
    AVRational TimeBase;
    bool Sought;
    std::vector<TFrame> Frames;  // of 1152 samples each
  } cases[] = {
      {"from the start", {1, 44100}, false,
       {{0, TRangeCutter::cvKeep, 1000, 152}, {1152, TRangeCutter::cvKeep, 0, 1152},
        {2304, TRangeCutter::cvKeep, 0, 696}, {3456, TRangeCutter::cvDrop, 0, 0}}},
      {"counted in ms", {1, 1000}, false,
       {{0, TRangeCutter::cvKeep, 1000, 152}, {26, TRangeCutter::cvKeep, 0, 1152},
        {52, TRangeCutter::cvKeep, 0, 696}}},
      {"sought before", {1, 88200}, true,
       {{1152, TRangeCutter::cvKeep, 424, 728}, {3456, TRangeCutter::cvKeep, 0, 1152}}},
      {"sought past", {1, 44100}, true, {{1152, TRangeCutter::cvRestart, 0, 0}}},
      {"sought, no time", {1, 44100}, true, {{AV_NOPTS_VALUE, TRangeCutter::cvRestart, 0, 0}}},
  };
  for (const TCase& c : cases) {
    FormatContextPtr ic(av.avformat_alloc_context());
    AVStream* st = av.avformat_new_stream(ic.get(), nullptr);
    ASSERT_NE(st, nullptr);
    st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    st->codecpar->sample_rate = 44100;
    st->time_base = c.TimeBase;
    st->start_time = 0;
    TSampleRange range;
    ASSERT_TRUE(ParseSampleRange("1000:3000", range));
    TRangeCutter cutter(range, st);
    if (c.Sought) cutter.Sought();
    for (const TFrame& f : c.Frames) {
      FramePtr frame(av.av_frame_alloc());
      frame->format = AV_SAMPLE_FMT_S16;
      frame->nb_samples = 1152;
      frame->sample_rate = 44100;
      av.av_channel_layout_default(&frame->ch_layout, 2);
      ASSERT_GE(av.av_frame_get_buffer(frame.get(), 0), 0);
      const uint8_t* data = frame->data[0];
      EXPECT_EQ(cutter.Cut(frame.get(), f.Pts), f.Verdict) << c.Name << " at " << f.Pts;
      if (f.Verdict != TRangeCutter::cvKeep) continue;
      EXPECT_EQ(frame->nb_samples, f.Kept) << c.Name << " at " << f.Pts;
      // A head cut steps the data pointer on, 4 bytes a sample.
      EXPECT_EQ(frame->data[0] - data, 4 * f.Head) << c.Name << " at " << f.Pts;
    }
  }
}
