// Inputs whose headers state nonsense: what the demuxers pass on unchecked
// (sizes, counts) must not make the engine's own arithmetic go wrong. The
// cases come from fuzzing (tests/fuzz); under UBSan an overflow fails them.
// And damaged sources: what the outcome says they lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "FFmpeg.h"
#include "TestSupport.h"

using namespace testing_support;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class DamagedInput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(LoadEngineLibraries()); }
  void SetUp() override { Engine.Reset(); }
  TTempDir Dir;
  TCustomFFmpeg Engine;
};

}  // namespace

// Matroska takes a pixel width of up to eight bytes into an int: a damaged
// file gives a negative or huge size, which OpenInputFile copies into the
// frame size of the next output. The set-up's buffer size (six bytes a
// pixel) overflowed an int on it.
TEST_F(DamagedInput, StatedFrameSizeBeyondAnIntDoesNotOverflowTheSetUp) {
  const std::string clip = VideoClip();
  ASSERT_FALSE(clip.empty());
  const std::pair<int, int> sizes[] = {{-2060443837, 2}, {40000, 60000}, {INT_MAX, INT_MAX}};
  for (const auto& size : sizes) {
    Engine.Reset();
    Engine.SetOption("t", "0.2");
    ASSERT_TRUE(Engine.OpenInputFile(clip)) << Engine.LastError;
    Engine.Video.FrameWidth = size.first;
    Engine.Video.FrameHeight = size.second;
    Engine.SetOption("f", "null");
    ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("out.null"))) << Engine.LastError;
    EXPECT_EQ(Engine.Start(false), nullptr);
    EXPECT_TRUE(Engine.RunState.Done) << size.first << "x" << size.second;
    EXPECT_GE(Engine.BitstreamFilters.BufferSize, DEFAULT_BSF_BUFFER_SIZE);
  }
}

// A 1 Hz stream resampled for an 8 kHz encoder: each chunk of the input is
// minutes of output. The recording time was checked between packets only, so
// a "t 2" job wrote the whole first chunk (about 17 minutes, some hundred MB
// in the FIFO at once) instead of two seconds.
TEST_F(DamagedInput, RecordingTimeHoldsWhenResamplingMultipliesAChunk) {
  const std::string source =
      Fixture("rate1hz.wav", "-f lavfi -i anullsrc=r=1:cl=stereo -t 1600 -c:a pcm_s16le");
  ASSERT_FALSE(source.empty());
  const std::string out = Dir.File("two-seconds.wav");
  Engine.SetOption("t", "2");
  ASSERT_TRUE(Engine.OpenInputFile(source)) << Engine.LastError;
  Engine.SetOption("ar", "8000");
  ASSERT_TRUE(Engine.OpenOutputFile(out)) << Engine.LastError;
  Engine.Start(false);
  EXPECT_TRUE(Engine.RunState.FinishedNormally) << Engine.RunState.ExceptionMessage;
  EXPECT_EQ(Probe(out, "a:0", "stream=sample_rate"), "8000");
  EXPECT_EQ(Probe(out, "a:0", "stream=duration_ts"), "16000");
}

// Damaged sources are told by what they lost, in source time: a source that
// states its length exactly (a Xing frame count, FLAC's sample count, a WAV
// data size) and ends before it is short; a damaged stretch in the middle
// is the time between the good packets around it. An MP3 without a Xing
// frame states no length: a cut one is complete (or has a read error).
TEST_F(DamagedInput, ShortAndDamagedSourcesSayWhatTheyLostInSourceTime) {
  struct TCase {
    const char* Name;
    const char* Recipe;    // ffmpeg arguments of the whole source
    double CutAt;          // share of the bytes kept; 1: all
    double ZeroFrom, ZeroTo;  // share of the bytes zeroed; equal: none
    TJobOutcome Outcome;
    TReasonCode Code;
  };
  const TCase cases[] = {
      {"xing.mp3", "-f lavfi -i sine=duration=25 -c:a libmp3lame", 0.3, 0, 0, joPartial,
       rcSourceShort},
      {"cut.flac", "-f lavfi -i sine=duration=10 -ac 2 -c:a flac", 0.5, 0, 0, joPartial,
       rcSourceShort},
      {"cut.wav", "-f lavfi -i sine=duration=10 -c:a pcm_s16le", 0.4, 0, 0, joPartial,
       rcSourceShort},
      {"zeroed.flac", "-f lavfi -i sine=duration=22 -ac 2 -c:a flac", 1, 0.25, 0.65, joPartial,
       rcSourceDamaged},
      {"plain.mp3", "-f lavfi -i sine=duration=25 -c:a libmp3lame -write_xing 0", 0.3, 0, 0,
       joComplete, rcNone},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string whole = Fixture(std::string("damage_whole_") + c.Name, c.Recipe);
    ASSERT_FALSE(whole.empty());
    const double full = ProbeDuration(whole);
    std::string bytes = ReadFile(whole);
    for (size_t i = static_cast<size_t>(bytes.size() * c.ZeroFrom);
         i < static_cast<size_t>(bytes.size() * c.ZeroTo); ++i)
      bytes[i] = 0;
    bytes.resize(static_cast<size_t>(bytes.size() * c.CutAt));
    const std::string source = Dir.File(c.Name);
    std::ofstream(source, std::ios::binary) << bytes;
    // What ffmpeg itself decodes of the damaged file.
    const double readable = std::stod(Capture("ffmpeg -nostdin -v quiet -i " + Quote(source) +
                                              " -ac 1 -ar 8000 -f s16le - | wc -c") ) / 16000;
    Engine.Reset();
    ASSERT_TRUE(Engine.OpenInputFile(source)) << Engine.LastError;
    const std::string out = Dir.File(std::string(c.Name) + ".wav");
    ASSERT_TRUE(Engine.OpenOutputFile(out)) << Engine.LastError;
    Engine.Start(false);
    const TJobResult& r = Engine.Result;
    EXPECT_EQ(r.Outcome, c.Outcome) << r.Reason;
    EXPECT_EQ(r.Code, c.Code) << r.Reason << " (" << ReasonCodeName(r.Code) << ")";
    // (The decoders differ a little on the packet that holds a damage's start.)
    EXPECT_NEAR(ProbeDuration(out), readable, 0.35);
    auto clock = [](double s) {
      const int total = static_cast<int>(s + 0.5);
      return std::to_string(total / 60) + ":" + (total % 60 < 10 ? "0" : "") +
             std::to_string(total % 60);
    };
    if (c.Code == rcSourceShort) {
      EXPECT_NEAR(r.SourceEnd / 1e6, readable, 0.5);
      EXPECT_NEAR(r.StatedLength / 1e6, full, 0.5);
      EXPECT_EQ(r.Reason, "source ends at " + clock(r.SourceEnd / 1e6) + " of " + clock(full));
    } else if (c.Code == rcSourceDamaged) {
      // ffprobe's packets: the end of the last one before the zeroed bytes,
      // and the first one after them.
      const double zeroFrom = static_cast<double>(static_cast<size_t>(bytes.size() / c.CutAt * c.ZeroFrom));
      const double zeroTo = static_cast<double>(static_cast<size_t>(bytes.size() / c.CutAt * c.ZeroTo));
      double goodEnd = 0, nextGood = 1e9;
      std::istringstream packets(Capture(
          "ffprobe -v error -select_streams a -show_entries packet=pts_time,duration_time,pos,size "
          "-of csv=p=0 " + Quote(source) + " | grep -v N/A"));
      double pts, duration, pos, size;
      char comma;
      while (packets >> pts >> comma >> duration >> comma >> size >> comma >> pos) {
        if (pos + size <= zeroFrom) goodEnd = std::max(goodEnd, pts + duration);
        if (pos >= zeroTo) nextGood = std::min(nextGood, pts);
      }
      EXPECT_NEAR(r.Lost / 1e6, nextGood - goodEnd, 0.5);
      EXPECT_NEAR(r.FirstLoss / 1e6, goodEnd, 0.5);
      char lost[64];
      std::snprintf(lost, sizeof lost, "%.1f s lost at ", r.Lost / 1e6);
      EXPECT_EQ(r.Reason, lost + clock(r.FirstLoss / 1e6));
    } else {
      EXPECT_EQ(r.Reason, "");
    }
  }
}
