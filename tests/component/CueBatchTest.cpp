// The batch's cue sheets: an image and its sheet listed as tracks, named
// "NN - Title" in the image's folder and tagged from the sheet (ffprobe is
// the oracle); folder scans list them once; a sheet that cannot be used
// fails with its line and leaves the image whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "Batch.h"
#include "FFmpegLoader.h"
#include "ComponentTestSupport.h"
#include "CueSheet.h"
#include "TestSupport.h"

using namespace component_testing;
using testing_support::Capture;
using testing_support::MakeMedia;
using testing_support::Quote;
using testing_support::TTempDir;

namespace {

// Three tracks of 4 s in a 12 s image; track 02 has a pregap of 1 s.
const char* const Sheet =
    "REM GENRE Ambient\n"
    "REM DATE 2001\n"
    "REM COMMENT \"test rip\"\n"
    "PERFORMER \"The Band\"\n"
    "TITLE \"The Album\"\n"
    "SONGWRITER \"Writer\"\n"
    "FILE \"image.wav\" WAVE\n"
    "  TRACK 01 AUDIO\n"
    "    TITLE \"First: Light\"\n"
    "    ISRC GBAAA0100001\n"
    "    INDEX 01 00:00:00\n"
    "  TRACK 02 AUDIO\n"
    "    TITLE \"Second\"\n"
    "    PERFORMER \"Guest\"\n"
    "    INDEX 00 00:03:00\n"
    "    INDEX 01 00:04:00\n"
    "  TRACK 03 AUDIO\n"
    "    INDEX 01 00:08:00\n";

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The format tags of a file by ffprobe, keys in lower case.
std::map<std::string, std::string> Tags(const std::string& path) {
  std::map<std::string, std::string> tags;
  const std::string text = Capture("ffprobe -v error -show_entries format_tags -of default=nw=1 " +
                                   Quote(path));
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.compare(0, 4, "TAG:") != 0) continue;
    const size_t eq = line.find('=');
    std::string key = line.substr(4, eq - 4);
    std::transform(key.begin(), key.end(), key.begin(), ::tolower);
    tags[key] = line.substr(eq + 1);
  }
  return tags;
}

class CueBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Component.LoadAVLib(DefaultLibraryDir())) << Component.LastErrMsg();
    Batch = std::make_unique<TConversionBatch>(Component);
    Batch->Choices.OutputFolder = Out.Path();
    Batch->Jobs = 2;
    Image = In.Path() + "/image.wav";
    ASSERT_TRUE(MakeMedia("-f lavfi -i sine=frequency=440:duration=12:sample_rate=44100 -ac 2 "
                          "-metadata title=Whole -metadata artist=ImageArtist "
                          "-metadata copyright=ImageCopyright",
                          Image));
    WriteFile(In.Path() + "/image.cue", Sheet);
  }
  void TearDown() override { Batch.reset(); }
  bool RunToEnd() {
    return Component.EventLoop()->RunUntil([this] { return !Batch->Running(); }, 60000);
  }
  std::vector<const TBatchFile*> Tracks() {
    std::vector<const TBatchFile*> tracks;
    for (const TBatchFile& file : Batch->Files())
      if (file.Track) tracks.push_back(&file);
    return tracks;
  }

  TTempDir In, Out;
  std::string Image;
  TREzuvuZUZ Component;
  std::unique_ptr<TConversionBatch> Batch;
};

TEST_F(CueBatch, TracksListedWithTheirRangesAndLengths) {
  ASSERT_TRUE(Batch->AddPath(In.Path() + "/image.cue", false));
  const auto tracks = Tracks();
  ASSERT_EQ(tracks.size(), 3u);
  ASSERT_EQ(Batch->Files().size(), 3u);  // the image is not listed whole
  const struct {
    int64_t First, End, Ms;
    const char* Label;
  } expected[] = {{0, 4 * 44100, 4000, "01 - First: Light"},
                  {4 * 44100, 8 * 44100, 4000, "02 - Second"},
                  {8 * 44100, -1, 4000, "03 - Track 03"}};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(tracks[i]->Source, Image);
    EXPECT_EQ(tracks[i]->Track->First, expected[i].First);
    EXPECT_EQ(tracks[i]->Track->End, expected[i].End);
    EXPECT_EQ(tracks[i]->ExpectedMs, expected[i].Ms);
    EXPECT_EQ(tracks[i]->Track->Label(), expected[i].Label);
  }
  // Gaps at the start: track 02 begins with its pregap, track 01 ends there.
  Batch->Clear();
  Batch->Choices.GapsAtStart = true;
  ASSERT_TRUE(Batch->AddPath(Image, false));  // the image finds its sheet
  ASSERT_EQ(Tracks().size(), 3u);
  EXPECT_EQ(Tracks()[0]->Track->End, 3 * 44100);
  EXPECT_EQ(Tracks()[1]->Track->First, 3 * 44100);
  // Names as a run would give them: "NN - Title" in the image's folder, the
  // characters a file system refuses replaced.
  const std::map<uint64_t, std::string> names = Batch->PreviewOutputNames();
  EXPECT_EQ(names.at(Tracks()[0]->Id), Out.Path() + "/image/01 - First_ Light.wav");
  EXPECT_EQ(names.at(Tracks()[2]->Id), Out.Path() + "/image/03 - Track 03.wav");
}

TEST_F(CueBatch, OutputsTaggedFromTheSheet) {
  for (const char* format : {"FLAC", "MP3"}) {
    SCOPED_TRACE(format);
    Batch->Clear();
    Batch->Choices.Format = format;
    Batch->Choices.OutputFolder = Out.Path() + "/" + format;
    ASSERT_TRUE(Batch->AddPath(In.Path() + "/image.cue", false));
    ASSERT_TRUE(Batch->Start());
    ASSERT_TRUE(RunToEnd());
    const auto tracks = Tracks();
    ASSERT_EQ(tracks.size(), 3u);
    const std::string ext = std::string(".") + (format[0] == 'F' ? "flac" : "mp3");
    const char* const titles[] = {"First: Light", "Second", nullptr};
    const char* const artists[] = {"The Band", "Guest", "The Band"};
    for (size_t i = 0; i < 3; ++i) {
      SCOPED_TRACE(i);
      ASSERT_EQ(tracks[i]->Outcome, foComplete) << tracks[i]->Reason;
      const std::string name = i == 0 ? "01 - First_ Light" : i == 1 ? "02 - Second" : "03 - Track 03";
      EXPECT_EQ(tracks[i]->Output, Batch->Choices.OutputFolder + "/image/" + name + ext);
      std::map<std::string, std::string> tags = Tags(tracks[i]->Output);
      EXPECT_EQ(tags["title"], titles[i] ? titles[i] : "");  // never the image's "Whole"
      EXPECT_EQ(tags["artist"], artists[i]);
      EXPECT_EQ(tags["album"], "The Album");
      EXPECT_EQ(tags["album_artist"], "The Band");
      EXPECT_EQ(tags["track"], std::to_string(i + 1) + "/3");
      EXPECT_EQ(tags["date"], "2001");
      EXPECT_EQ(tags["genre"], "Ambient");
      EXPECT_EQ(tags["composer"], "Writer");
      EXPECT_EQ(tags["comment"], "test rip");
      EXPECT_EQ(tags["copyright"], "ImageCopyright");  // what the sheet leaves out
      EXPECT_EQ(tags.count("isrc"), i == 0 ? 1u : 0u);
    }
  }
  // The sheet again: the tracks written take "_(new)" names beside them.
  Batch->Clear();
  ASSERT_TRUE(Batch->AddPath(In.Path() + "/image.cue", false));
  EXPECT_EQ(Batch->PreviewOutputNames().at(Tracks()[1]->Id),
            Batch->Choices.OutputFolder + "/image/02 - Second_(new).mp3");
}

TEST_F(CueBatch, TracksNamedByAPatternFromTheirOwnTags) {
  Batch->Choices.NamePattern = "{albumartist}/{album}/{track:02} {title} - {artist} ({name})";
  ASSERT_TRUE(Batch->AddPath(In.Path() + "/image.cue", false));
  const std::map<uint64_t, std::string> names = Batch->PreviewOutputNames();
  const auto tracks = Tracks();
  ASSERT_EQ(tracks.size(), 3u);
  // The sheet's tags, never the image's own title ("Whole").
  const char* const expected[] = {
      "/The Band/The Album/01 First_ Light - The Band (01 - First_ Light).wav",
      "/The Band/The Album/02 Second - Guest (02 - Second).wav",
      "/The Band/The Album/03 Track 03 - The Band (03 - Track 03).wav"};
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(names.at(tracks[i]->Id), Out.Path() + expected[i]);
}

TEST_F(CueBatch, FolderScansListImageAndSheetOnce) {
  ASSERT_TRUE(MakeMedia("-f lavfi -i sine=duration=1 -ac 2", In.Path() + "/other.wav"));
  const struct {
    bool UseCue;
    size_t Tracks, Whole, Skipped;
  } cases[] = {{true, 3, 1, 0}, {false, 0, 2, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.UseCue);
    Batch->Clear();
    Batch->Choices.UseCue = c.UseCue;
    ASSERT_TRUE(Batch->AddPath(In.Path(), true));
    EXPECT_EQ(Tracks().size(), c.Tracks);
    EXPECT_EQ(Batch->Files().size() - Tracks().size(), c.Whole);
    EXPECT_EQ(Batch->Skipped().size(), c.Skipped);
  }
}

TEST_F(CueBatch, UnusableSheetFailsAndItsImageIsListedWhole) {
  const struct {
    const char* Text;
    const char* Reason;
  } cases[] = {
      {"FILE \"image.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
       "  TRACK 02 AUDIO\n    INDEX 01 00:30:00\n",
       "cue sheet line 4: track 02 starts at 00:30:00, past the end of"},
      {"FILE \"image.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
       "FILE \"gone.wav\" WAVE\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n",
       "cue sheet line 4: FILE 'gone.wav' is missing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Reason);
    Batch->Clear();
    WriteFile(In.Path() + "/image.cue", c.Text);
    std::vector<TBatchFile> ended;
    Batch->OnFileEnded = [&ended](const TBatchFile& file) { ended.push_back(file); };
    ASSERT_TRUE(Batch->AddPath(In.Path() + "/image.cue", false));
    ASSERT_EQ(Batch->Files().size(), 2u);
    EXPECT_TRUE(Tracks().empty());
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].Source, In.Path() + "/image.cue");
    EXPECT_EQ(ended[0].Code, rcCueSheet);
    EXPECT_NE(ended[0].Reason.find(c.Reason), std::string::npos) << ended[0].Reason;
    EXPECT_EQ(Batch->Files()[1].Source, Image);
    // A run converts the image and fails the sheet again with its reason.
    ASSERT_TRUE(Batch->Start());
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Batch->Files()[0].Code, rcCueSheet);
    EXPECT_EQ(Batch->Files()[1].Outcome, foComplete) << Batch->Files()[1].Reason;
    Batch->OnFileEnded = nullptr;
  }
}

TEST_F(CueBatch, SheetInsideAFlac) {
  // The image's "cuesheet" tag names the tracks; it never reaches them.
  const std::string flac = In.Path() + "/inside.flac";
  ASSERT_TRUE(MakeMedia("-i " + Quote(Image) + " -metadata " + Quote(std::string("cuesheet=") + Sheet) +
                            " -metadata title=Whole",
                        flac));
  Batch->Choices.Format = "FLAC";
  ASSERT_TRUE(Batch->AddPath(flac, false));
  const auto tracks = Tracks();
  ASSERT_EQ(tracks.size(), 3u);
  EXPECT_EQ(tracks[0]->Source, flac);
  EXPECT_EQ(tracks[1]->Track->First, 4 * 44100);
  ASSERT_TRUE(Batch->Start());
  ASSERT_TRUE(RunToEnd());
  ASSERT_EQ(Tracks()[1]->Outcome, foComplete) << Tracks()[1]->Reason;
  const std::string output = Tracks()[1]->Output;
  EXPECT_EQ(output, Out.Path() + "/inside/02 - Second.flac");
  std::map<std::string, std::string> tags = Tags(output);
  EXPECT_EQ(tags.count("cuesheet"), 0u);
  EXPECT_EQ(tags["title"], "Second");
}

TEST_F(CueBatch, ChineseTitlesInAGbkSheet) {
  const std::string utf8 =
      "PERFORMER \"歌手\"\nTITLE \"专辑\"\nFILE \"image.wav\" WAVE\n  TRACK 01 AUDIO\n"
      "    TITLE \"第一首\"\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    TITLE \"第二首\"\n"
      "    INDEX 01 00:06:00\n";
  WriteFile(In.Path() + "/utf8.txt", utf8);
  ASSERT_TRUE(testing_support::Shell("iconv -f UTF-8 -t GBK " + Quote(In.Path() + "/utf8.txt") +
                                     " > " + Quote(In.Path() + "/image.cue")));
  std::ifstream gbkFile(In.Path() + "/image.cue", std::ios::binary);
  const std::string gbk((std::istreambuf_iterator<char>(gbkFile)), std::istreambuf_iterator<char>());
  std::string decoded, taken, error;
  ASSERT_TRUE(TextToUtf8(gbk, teAuto, decoded, taken, error)) << error;
  EXPECT_EQ(taken, "GB18030");
  Batch->Choices.Format = "FLAC";
  ASSERT_TRUE(Batch->AddPath(In.Path() + "/image.cue", false));
  ASSERT_EQ(Tracks().size(), 2u);
  ASSERT_TRUE(Batch->Start());
  ASSERT_TRUE(RunToEnd());
  const TBatchFile& first = *Tracks()[0];
  ASSERT_EQ(first.Outcome, foComplete) << first.Reason;
  EXPECT_EQ(first.Output, Out.Path() + "/image/01 - 第一首.flac");
  std::map<std::string, std::string> tags = Tags(first.Output);
  EXPECT_EQ(tags["title"], "第一首");
  EXPECT_EQ(tags["artist"], "歌手");
  EXPECT_EQ(tags["album"], "专辑");
}

}  // namespace
