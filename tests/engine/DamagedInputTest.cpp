// Inputs whose headers state nonsense: what the demuxers pass on unchecked
// (sizes, counts) must not make the engine's own arithmetic go wrong. The
// cases come from fuzzing (tests/fuzz); under UBSan an overflow fails them.
#include <gtest/gtest.h>

#include <climits>

#include "FFmpeg.h"
#include "TestSupport.h"

using namespace testing_support;

namespace {

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
