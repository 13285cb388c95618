// Several formats in one batch: the list checked before the run, each
// source decoded once into one output per format, each format its own tree,
// and a file converted with all its outputs or with none.
#include <gtest/gtest.h>

#include "Batch.h"
#include "ComponentTestSupport.h"
#include "FFmpegLoader.h"
#include "LibAV.h"
#include "TestSupport.h"

using testing_support::Fixture;
using testing_support::Probe;
using testing_support::ProbeDuration;
using testing_support::Quote;
using testing_support::Shell;
using testing_support::TTempDir;

namespace {

TEST(MultiFormatList, IsCheckedBeforeTheRun) {
  const struct {
    const char* List;
    bool Taken;
    const char* Format;  // Format afterwards (unchanged when refused)
    std::vector<std::string> More;
    const char* Why;  // part of the reason
  } cases[] = {
      {"mp3,opus", true, "mp3", {"opus"}, ""},
      {" MP3 , flac,m4a ", true, "MP3", {"flac", "m4a"}, ""},
      {"mp4", true, "mp4", {}, ""},  // one format: any of them, as before
      {"mp3,xyz", false, "WAV", {}, "unknown format 'xyz'"},
      {"mp3,,opus", false, "WAV", {}, "empty item"},
      {"", false, "WAV", {}, "empty item"},
      {"mp3,MP3", false, "WAV", {}, "given twice"},
      {"mp3,mp4", false, "WAV", {}, "'mp4' holds pictures"},
  };
  for (const auto& c : cases) {
    TBatchChoices choices;
    std::string why;
    EXPECT_EQ(SetFormatList(choices, c.List, why), c.Taken) << c.List;
    EXPECT_EQ(choices.Format, c.Format) << c.List;
    EXPECT_EQ(choices.MoreFormats, c.More) << c.List;
    EXPECT_NE(why.find(c.Why), std::string::npos) << c.List << ": " << why;
  }
}

class MultiFormatBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Component.LoadAVLib(DefaultLibraryDir()))
        << Component.LastErrMsg();
    for (const char* encoder : {"libmp3lame", "libopus"})
      if (!av.avcodec_find_encoder_by_name(encoder))
        GTEST_SKIP() << encoder << " is not in the bound libraries";
    Batch = std::make_unique<TConversionBatch>(Component);
    Batch->Jobs = 2;
  }
  void TearDown() override { Batch.reset(); }
  bool RunToEnd() {
    return Component.EventLoop()->RunUntil([this] { return !Batch->Running(); }, 60000);
  }
  // The formats of the run, written under Out.
  bool Choose(const std::string& formats) {
    std::string why;
    const bool taken = SetFormatList(Batch->Choices, formats, why);
    EXPECT_TRUE(taken) << formats << ": " << why;
    Batch->Choices.OutputFolder = Out.Path();
    return taken;
  }
  // A tagged 2 s source In/album/<n>.flac.
  std::string TaggedSource(int n) {
    const std::string path = In.File("album/" + std::to_string(n) + ".flac");
    EXPECT_TRUE(Shell("mkdir -p " + Quote(In.File("album")) + " && cp " +
                      Quote(Fixture("multi_" + std::to_string(n) + ".flac",
                                    "-f lavfi -i sine=frequency=" + std::to_string(300 + 100 * n) +
                                        ":duration=2 -ac 2 -metadata title=Song" +
                                        std::to_string(n) + " -metadata artist=Band")) +
                      " " + Quote(path)));
    return path;
  }

  TTempDir In, Out;
  TREzuvuZUZ Component;
  std::unique_ptr<TConversionBatch> Batch;
};

TEST_F(MultiFormatBatch, EachSourceIsDecodedOnceIntoATreePerFormat) {
  constexpr int SOURCES = 4;
  for (int n = 1; n <= SOURCES; ++n) TaggedSource(n);
  ASSERT_TRUE(Choose("mp3,opus"));
  ASSERT_TRUE(Batch->AddPath(In.Path(), true));
  const int64_t decodedBefore = TCustomFFmpeg::DecodersOpened();
  ASSERT_TRUE(Batch->Start());
  ASSERT_TRUE(RunToEnd());
  // One decoder per source (each has one audio stream), not one per output.
  EXPECT_EQ(TCustomFFmpeg::DecodersOpened() - decodedBefore, SOURCES);
  ASSERT_EQ(Batch->Files().size(), static_cast<size_t>(SOURCES));
  for (const TBatchFile& file : Batch->Files()) {
    ASSERT_EQ(file.Outcome, foComplete) << file.Source << ": " << file.Reason;
    ASSERT_EQ(file.Outputs.size(), 2u) << file.Source;
    EXPECT_EQ(file.Output, file.Outputs[0]);
    const std::string stem = file.Source.substr(file.Source.rfind('/') + 1, 1);
    const struct {
      std::string Folder, Codec, TitleEntry;
    } expected[] = {{Out.File("mp3/album/"), "mp3", "format_tags=title"},
                    {Out.File("opus/album/"), "opus", "stream_tags=title"}};
    for (size_t i = 0; i < 2; ++i) {
      const std::string& output = file.Outputs[i];
      EXPECT_EQ(output.rfind(expected[i].Folder, 0), 0u) << output;
      EXPECT_EQ(Probe(output, "a:0", "stream=codec_name"), expected[i].Codec) << output;
      EXPECT_NEAR(ProbeDuration(output), 2.0, 0.1) << output;
      EXPECT_EQ(Probe(output, expected[i].TitleEntry == "format_tags=title" ? "" : "a:0",
                      expected[i].TitleEntry),
                "Song" + stem)
          << output;
    }
  }
}

TEST_F(MultiFormatBatch, BesideTheSourceEachOutputTakesItsOwnName) {
  const std::string source = TaggedSource(1);
  std::string why;
  // Both write ".ogg": the second output must not take the first one's name.
  ASSERT_TRUE(SetFormatList(Batch->Choices, "ogg,vorbis", why)) << why;
  ASSERT_TRUE(Batch->AddPath(source, false));
  ASSERT_TRUE(Batch->Start());
  ASSERT_TRUE(RunToEnd());
  const TBatchFile& file = Batch->Files().front();
  ASSERT_EQ(file.Outcome, foComplete) << file.Reason;
  ASSERT_EQ(file.Outputs.size(), 2u);
  EXPECT_NE(file.Outputs[0], file.Outputs[1]);
  EXPECT_EQ(Probe(file.Outputs[0], "a:0", "stream=codec_name"), "flac");
  EXPECT_EQ(Probe(file.Outputs[1], "a:0", "stream=codec_name"), "vorbis");
  for (const std::string& output : file.Outputs)
    EXPECT_EQ(output.rfind(In.File("album/1_(new"), 0), 0u) << output;
}

TEST_F(MultiFormatBatch, EachOutputGetsOnlyItsOwnEncoderOptions) {
  const std::string source = TaggedSource(1);
  // Opus is given 128 kbit/s; AC3 has no bit rate given and takes its own
  // default (192 kbit/s for stereo), not the one set for the output before.
  ASSERT_TRUE(Choose("opus,ac3"));
  ASSERT_TRUE(Batch->AddPath(source, false));
  ASSERT_TRUE(Batch->Start());
  ASSERT_TRUE(RunToEnd());
  const TBatchFile& file = Batch->Files().front();
  ASSERT_EQ(file.Outcome, foComplete) << file.Reason;
  ASSERT_EQ(file.Outputs.size(), 2u);
  EXPECT_EQ(Probe(file.Outputs[1], "a:0", "stream=codec_name"), "ac3");
  EXPECT_EQ(Probe(file.Outputs[1], "a:0", "stream=bit_rate"), "192000");
}

// The trailer of every Opus output fails, as a full disk would.
decltype(&::av_write_trailer) RealWriteTrailer = nullptr;
int TrailerFailsForOpus(AVFormatContext* oc) {
  const int result = RealWriteTrailer(oc);
  const std::string url = oc->url ? oc->url : "";
  return url.find("/opus/") != std::string::npos ? AVERROR(ENOSPC) : result;
}

TEST_F(MultiFormatBatch, AFailedOutputFailsTheFileAndKeepsNoneOfItsOutputs) {
  TaggedSource(1);
  TaggedSource(2);
  ASSERT_TRUE(Choose("mp3,opus"));
  ASSERT_TRUE(Batch->AddPath(In.Path(), true));
  RealWriteTrailer = av.av_write_trailer;
  av.av_write_trailer = TrailerFailsForOpus;
  const bool started = Batch->Start();
  const bool ended = started && RunToEnd();
  av.av_write_trailer = RealWriteTrailer;
  ASSERT_TRUE(ended);
  for (const TBatchFile& file : Batch->Files()) {
    EXPECT_EQ(file.Outcome, foFailed) << file.Source;
    EXPECT_EQ(file.Code, rcDiskFull) << file.Reason;
    EXPECT_NE(file.Reason.find(Out.File("opus/album/")), std::string::npos) << file.Reason;
    EXPECT_TRUE(file.Outputs.empty());
  }
  // Nothing under a final name in either tree (the folders may be there).
  EXPECT_EQ(testing_support::Capture("find " + Quote(Out.Path()) + " -type f"), "");
}

TEST_F(MultiFormatBatch, AnOutputRefusedBeforeTheRunFailsItsFile) {
  const std::string source = TaggedSource(1);
  // A plain file where the Opus tree's folder would be made.
  ASSERT_TRUE(Shell("touch " + Quote(Out.File("opus"))));
  ASSERT_TRUE(Choose("mp3,opus"));
  ASSERT_TRUE(Batch->AddPath(source, false));
  ASSERT_TRUE(Batch->Start());
  ASSERT_TRUE(RunToEnd());
  const TBatchFile& file = Batch->Files().front();
  EXPECT_EQ(file.Outcome, foFailed);
  EXPECT_NE(file.Reason.find(Out.File("opus/")), std::string::npos) << file.Reason;
  EXPECT_TRUE(file.Outputs.empty());
  EXPECT_FALSE(Shell("test -e " + Quote(Out.File("mp3"))));
}

}  // namespace

// Sync mode records one output per source: several formats are refused
// before the run, and a file composed all the same fails with the reason.
TEST_F(MultiFormatBatch, SyncTakesOneFormatAtATime) {
  ASSERT_TRUE(Choose("mp3,opus"));
  Batch->Choices.Sync = true;
  std::string why;
  EXPECT_FALSE(Batch->CheckChoices(why));
  EXPECT_NE(why.find("one format at a time"), std::string::npos) << why;
  ASSERT_TRUE(Batch->AddPath(TaggedSource(1), false));
  ASSERT_TRUE(Batch->Start());
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(Batch->Files().front().Outcome, foFailed);
  EXPECT_EQ(Batch->Files().front().Code, rcOption);
  EXPECT_FALSE(Shell("test -e " + Quote(Out.File("mp3"))));
}
