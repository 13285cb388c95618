#include <gtest/gtest.h>

#include <algorithm>

#include "FFmpeg.h"
#include "TestSupport.h"

using testing_support::TLogCapture;
using testing_support::TTempDir;

namespace {

class TargetPreset : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(testing_support::LoadEngineLibraries()); }
  void SetUp() override {
    Engine.Reset();
    Log.Attach(Engine);
  }
  int64_t VideoOption(const char* name) {
    int64_t value = 0;
    av.av_opt_get_int(Engine.OptionContexts.Codec[AVMEDIA_TYPE_VIDEO].get(), name, 0, &value);
    return value;
  }
  std::string Refusal(const std::string& value) {
    try {
      Engine.SetOption("target", value);
    } catch (const FFmpegException& e) {
      return e.what();
    }
    return "";
  }
  TCustomFFmpeg Engine;
  TLogCapture Log;
};

}  // namespace

TEST_F(TargetPreset, PalVcdNeedsNoDetection) {
  Engine.SetOption("target", " pal-vcd ");
  EXPECT_EQ(Engine.Video.FrameWidth, 352);
  EXPECT_EQ(Engine.Video.FrameHeight, 288);
  EXPECT_EQ(Engine.Video.FrameRate.num, 25);
  EXPECT_EQ(Engine.Video.FrameRate.den, 1);
  EXPECT_EQ(VideoOption("g"), 15);
  EXPECT_EQ(VideoOption("b"), 1150000);
  EXPECT_EQ(Engine.Video.CodecName, "mpeg1video");
  EXPECT_EQ(Engine.Audio.CodecName, "mp2");
  EXPECT_STREQ(Engine.Maps.ForcedOutputFormat->name, "vcd");
  EXPECT_EQ(Engine.Audio.SampleRate, 44100);
  EXPECT_FLOAT_EQ(Engine.MuxTime.MuxPreload, 0.44f);
  EXPECT_FLOAT_EQ(Engine.Video.FrameAspectRatio, 4.0f / 3.0f);
  EXPECT_TRUE(Log.Contains("Assuming 4:3 for aspect ratio"));
  for (const auto& line : Log.Lines) EXPECT_EQ(line.second.find("for target."), std::string::npos);
}

TEST_F(TargetPreset, FilmDvdUsesTheFilmRateAndNtscSizes) {
  Engine.SetOption("aspect", "4:3");
  Engine.SetOption("ac", "1");
  Engine.SetOption("target", "film-dvd");
  EXPECT_EQ(Engine.Video.FrameWidth, 720);
  EXPECT_EQ(Engine.Video.FrameHeight, 480);
  EXPECT_EQ(Engine.Video.FrameRate.num, 24000);
  EXPECT_EQ(Engine.Video.FrameRate.den, 1001);
  EXPECT_EQ(VideoOption("g"), 18);
  EXPECT_EQ(Engine.Audio.SampleRate, 48000);
  EXPECT_EQ(Engine.Audio.Channels, 2);
  EXPECT_EQ(Engine.Audio.CodecName, "ac3");
  EXPECT_FLOAT_EQ(Engine.Video.FrameAspectRatio, 4.0f / 3.0f);  // kept
}

TEST_F(TargetPreset, DetectionNeedsAFrameRate) {
  EXPECT_EQ(Refusal("vcd"), "frame_rate is invalid.");
  EXPECT_EQ(Engine.Video.FrameWidth, 0);
}

TEST_F(TargetPreset, UndecidedRatesFallBack) {
  Engine.SetOption("r", "24");
  Engine.SetOption("target", "vcd");  // the option's fallback is NTSC
  EXPECT_EQ(Engine.Video.FrameHeight, 240);
  EXPECT_TRUE(Log.Contains("Assuming NTSC for target."));

  Engine.Reset();
  Engine.SetOption("r", "24");
  Engine.SetVerbose(0);
  Engine.SetTarget("vcd", "auto", "pal");
  EXPECT_EQ(Engine.Video.FrameHeight, 288);
  EXPECT_FALSE(Log.Contains("Assuming PAL for target."));
  Engine.SetVerbose(1);
}

TEST_F(TargetPreset, RatesOfTheOptionDecide) {
  Engine.SetOption("r", "25");
  Engine.SetTarget("svcd", "auto", "ntsc");
  EXPECT_EQ(Engine.Video.FrameHeight, 576);
  EXPECT_TRUE(Log.Contains("Assuming PAL for target."));
  EXPECT_EQ(VideoOption("maxrate"), 2516000);
}

TEST_F(TargetPreset, AnOpenVideoInputDecides) {
  TTempDir dir;
  const std::string clip = dir.File("ntsc.mkv");
  ASSERT_TRUE(testing_support::Shell(
      "ffmpeg -nostdin -loglevel error -f lavfi -i testsrc=size=64x48:rate=30000/1001 -t 0.3 "
      "-c:v ffv1 '" + clip + "'"));
  AVFormatContext* ic = nullptr;
  ASSERT_EQ(av.avformat_open_input(&ic, clip.c_str(), nullptr, nullptr), 0);
  ASSERT_GE(av.avformat_find_stream_info(ic, nullptr), 0);
  Engine.Input.Files[0].reset(ic);
  Engine.Input.FileCount = 1;
  Engine.SetOption("r", "24");
  Engine.SetTarget("vcd", "auto", "pal");
  EXPECT_EQ(Engine.Video.FrameWidth, 352);
  EXPECT_EQ(Engine.Video.FrameHeight, 240);
  EXPECT_EQ(Engine.Video.FrameRate.num, 30000);
  EXPECT_EQ(VideoOption("g"), 18);
  EXPECT_TRUE(Log.Contains("Assuming NTSC for target."));
}

TEST_F(TargetPreset, DigitalVideoPixelFormats) {
  Engine.SetTarget("dv50", "ntsc", "pal");
  EXPECT_EQ(Engine.Video.PixFmt, AV_PIX_FMT_YUV422P);
  Engine.SetTarget("dv", "film", "pal");
  EXPECT_EQ(Engine.Video.PixFmt, AV_PIX_FMT_YUV411P);
  Engine.SetTarget("dv", "pal", "pal");
  EXPECT_EQ(Engine.Video.PixFmt, AV_PIX_FMT_YUV420P);
  EXPECT_STREQ(Engine.Maps.ForcedOutputFormat->name, "dv");
  EXPECT_EQ(Engine.Audio.SampleRate, 48000);
}

TEST_F(TargetPreset, UnknownTypesChangeNothing) {
  EXPECT_EQ(Refusal("pal-dvdx"), "Unknown target type");
  EXPECT_EQ(Engine.Video.FrameWidth, 0);
  EXPECT_EQ(Engine.Video.CodecName, "");
  EXPECT_EQ(Engine.Maps.ForcedOutputFormat, nullptr);
}

TEST_F(TargetPreset, TheMuxRateReachesTheMpegMuxer) {
  // "muxrate" is the MPEG muxers' own option: it waits for the output format.
  TTempDir dir;
  Engine.SetOption("target", "pal-vcd");
  ASSERT_TRUE(Engine.OpenOutputFile(dir.File("disc.mpg"))) << Engine.LastError;
  const AVDictionaryEntry* rate =
      av.av_dict_get(Engine.Output.MuxOptions[0].get(), "muxrate", nullptr, 0);
  ASSERT_NE(rate, nullptr);
  EXPECT_STREQ(rate->value, "1411200");
  EXPECT_TRUE(Engine.OptionContexts.Names.end() ==
              std::find(Engine.OptionContexts.Names.begin(), Engine.OptionContexts.Names.end(),
                        "muxrate"));
}
