#include <gtest/gtest.h>
#include "FFmpegLoader.h"

#include <filesystem>

#include "FFmpeg.h"
#include "TestSupport.h"

using testing_support::TTempDir;

namespace {

class EngineObject : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(testing_support::LoadEngineLibraries()); }
  void SetUp() override { Engine.Reset(); }
  TCustomFFmpeg Engine;
};

// An output context of the wav muxer on path, as OpenOutputFile leaves it.
AVFormatContext* OpenWavOutput(const std::string& path, bool writeHeader) {
  AVFormatContext* oc = nullptr;
  if (av.avformat_alloc_output_context2(&oc, nullptr, "wav", path.c_str()) < 0) return nullptr;
  if (av.avio_open2(&oc->pb, path.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr) < 0) return oc;
  if (writeHeader) {
    AVStream* st = av.avformat_new_stream(oc, nullptr);
    st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    st->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
    st->codecpar->sample_rate = 44100;
    av.av_channel_layout_default(&st->codecpar->ch_layout, 2);
    st->codecpar->bits_per_coded_sample = 16;
    st->codecpar->block_align = 4;
    if (av.avformat_write_header(oc, nullptr) < 0) return oc;
    av.avio_flush(oc->pb);
  }
  return oc;
}

struct TFlagPreviewer : IPreviewer {
  explicit TFlagPreviewer(bool& freed) : Freed(freed) {}
  ~TFlagPreviewer() override { Freed = true; }
  bool ShowFrame(TBitmap*, int, int64_t) override { return true; }
  bool& Freed;
};

}  // namespace

TEST_F(EngineObject, ResetGivesTheDocumentedDefaults) {
  EXPECT_EQ(Engine.Audio.Channels, 2);
  EXPECT_EQ(Engine.Audio.SampleRate, 44100);
  EXPECT_EQ(Engine.Sync.AudioVolume, 256);
  EXPECT_EQ(Engine.MuxTime.RecordingTime, INT64_MAX);
  for (int limit : Engine.Video.MaxFrames) EXPECT_EQ(limit, 2147483647);
  EXPECT_EQ(Engine.Video.PadColor[0], 16);
  EXPECT_EQ(Engine.Video.PadColor[1], 128);
  EXPECT_EQ(Engine.Video.PadColor[2], 128);
  EXPECT_EQ(Engine.Counters.SwsFlags, 4);
  EXPECT_EQ(Engine.Counters.Verbose, 1);
  EXPECT_FLOAT_EQ(Engine.MuxTime.MuxPreload, 0.5f);
  EXPECT_FLOAT_EQ(Engine.MuxTime.MuxMaxDelay, 0.7f);
  EXPECT_FLOAT_EQ(Engine.Counters.DtsDeltaThreshold, 10.0f);
  EXPECT_EQ(Engine.Video.IntraDcPrecision, 8);
  EXPECT_EQ(Engine.Video.TopFieldFirst, -1);
  EXPECT_EQ(Engine.RunState.TotalDuration, -1);
  EXPECT_EQ(Engine.BitstreamFilters.BufferSize, 262144);
  EXPECT_EQ(Engine.RunState.ReportInterval, 500000);
  EXPECT_EQ(Engine.RunState.PreviewInterval, 100000);
  EXPECT_EQ(Engine.FilterSink.Name, "ffmpeg_output");
  for (int type = 0; type < OPTION_CONTEXT_COUNT; ++type) {
    ASSERT_NE(Engine.OptionContexts.Codec[type], nullptr);
    EXPECT_EQ(Engine.OptionContexts.Codec[type]->codec_type, type);
  }
  EXPECT_NE(Engine.OptionContexts.Format, nullptr);
  EXPECT_NE(Engine.OptionContexts.Scaler, nullptr);
}

TEST_F(EngineObject, ResetUndoesTheOptionsOfThePreviousJob) {
  Engine.SetOption("ar", "22050");
  Engine.SetOption("map", "0.1");
  Engine.SetOption("g", "25");
  Engine.SetOption("vcodec", "copy");
  Engine.Reset();
  EXPECT_EQ(Engine.Audio.SampleRate, 44100);
  EXPECT_TRUE(Engine.Maps.StreamMaps.empty());
  EXPECT_TRUE(Engine.OptionContexts.Names.empty());
  EXPECT_EQ(Engine.StreamCopy.Video, 0);
  int64_t gop = 0;
  av.av_opt_get_int(Engine.OptionContexts.Codec[0].get(), "g", 0, &gop);
  EXPECT_EQ(gop, 12);  // the library's default again
}

TEST_F(EngineObject, TypedSettersKeepThePreviousValueOnOutOfRangeInput) {
  Engine.SetRecordingTime(3600000);
  EXPECT_EQ(Engine.MuxTime.RecordingTime, 3600000000LL);
  EXPECT_EQ(Engine.RunState.TotalDuration, 3600000);
  Engine.SetRecordingTime(0);
  Engine.SetRecordingTime(-5);
  EXPECT_EQ(Engine.MuxTime.RecordingTime, 3600000000LL);

  Engine.SetAudioVolume(-1);
  EXPECT_EQ(Engine.Sync.AudioVolume, 256);
  Engine.SetAudioVolume(0);
  EXPECT_EQ(Engine.Sync.AudioVolume, 0);
  Engine.SetMuxPreload(0);
  EXPECT_FLOAT_EQ(Engine.MuxTime.MuxPreload, 0.5f);
  Engine.SetMuxMaxDelay(-1);
  EXPECT_FLOAT_EQ(Engine.MuxTime.MuxMaxDelay, 0.7f);
  Engine.SetStartTime(0);
  EXPECT_EQ(Engine.MuxTime.StartTime, 0);
  Engine.SetStartTime(1500000);
  EXPECT_EQ(Engine.MuxTime.StartTime, 1500000);
  Engine.SetProgramId(-1);
  EXPECT_EQ(Engine.Sync.ProgramId, 0);
  Engine.SetProgramId(3);
  EXPECT_EQ(Engine.Sync.ProgramId, 3);
  Engine.SetAudioSyncMethod(1);
  Engine.SetVideoSyncMethod(2);
  EXPECT_EQ(Engine.Sync.AudioSyncMethod, 1);
  EXPECT_EQ(Engine.Sync.VideoSyncMethod, 2);
  Engine.AddMetadata("title", "Song");
  ASSERT_EQ(Engine.MuxTime.Metadata.size(), 1u);
  EXPECT_EQ(Engine.MuxTime.Metadata[0].second, "Song");
}

TEST_F(EngineObject, ReleaseAllRemovesUnfinishedOutputsAndKeepsFinishedOnes) {
  TTempDir dir;
  // An output still under its temporary name, and one that took its name.
  const std::string unfinished = dir.File(".a.wav.part"), finished = dir.File("written.wav");
  Engine.Output.Files[0].reset(OpenWavOutput(unfinished, true));
  Engine.Output.Files[1].reset(OpenWavOutput(finished, true));
  Engine.Output.Targets = {{dir.File("a.wav"), unfinished, false}, {finished, "", true}};
  Engine.Output.FileCount = 2;
  ASSERT_GT(std::filesystem::file_size(unfinished), 0u);

  Engine.ReleaseAll();
  EXPECT_FALSE(std::filesystem::exists(unfinished));
  EXPECT_FALSE(std::filesystem::exists(dir.File("a.wav")));
  EXPECT_TRUE(std::filesystem::exists(finished));
  EXPECT_EQ(Engine.Output.FileCount, 0);
  EXPECT_TRUE(Engine.Output.Targets.empty());
  EXPECT_EQ(Engine.OptionContexts.Format, nullptr);
  Engine.ReleaseAll();  // a second release finds nothing to free
}

TEST_F(EngineObject, PreviewFlagsReturnThePreviousValueAndFreeThePreviewer) {
  bool freed = false;
  EXPECT_EQ(Engine.SetPreviewFlags(3), 0);
  Engine.RunState.Previewer = std::make_unique<TFlagPreviewer>(freed);
  EXPECT_EQ(Engine.SetPreviewFlags(3), 3);
  EXPECT_FALSE(freed);
  EXPECT_EQ(Engine.SetPreviewFlags(2), 3);
  EXPECT_TRUE(freed);
  EXPECT_EQ(Engine.RunState.Previewer, nullptr);
}

TEST_F(EngineObject, VerbosityReachesTheLibraryLogLevel) {
  Engine.SetVerbose(2);
  EXPECT_EQ(Engine.Counters.Verbose, 2);
  EXPECT_EQ(av.av_log_get_level(), 2);
  EXPECT_EQ(LibraryLogThreshold.load(), 2);
  Engine.SetOption("v", "-1");
  EXPECT_EQ(av.av_log_get_level(), -1);
}

TEST(EngineLifetime, ResetAndReleaseDoNothingWithoutTheLibraries) {
  FFmpegLoader().UnloadLibraries(ALL_LIBRARIES);
  TCustomFFmpeg engine;
  engine.Reset();
  EXPECT_EQ(engine.OptionContexts.Format, nullptr);
  engine.ReleaseAll();
  EXPECT_EQ(engine.Audio.SampleRate, 44100);
  EXPECT_FALSE(engine.OpenInputFile("/tmp/any.wav"));
  EXPECT_EQ(engine.LastError, "The media libraries are not loaded");
  EXPECT_FALSE(engine.OpenOutputFile("/tmp/any.wav"));
  EXPECT_THROW(engine.SetOption("r", "25"), FFmpegException);
}
