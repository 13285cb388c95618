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
