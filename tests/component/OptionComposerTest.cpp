#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "OptionComposer.h"
#include "OptionRecords.h"
#include "TestSupport.h"
#include "Text.h"

using testing_support::TTempDir;

namespace {

// Every field of an output record, one "name=value" per line, so that a test
// can state a whole record and a failure shows the field that differs.
std::string Describe(const TOutputOptions& o) {
  std::ostringstream s;
  s << "FileName=" << o.FileName << "\nFileExt=" << o.FileExt << "\nFileFormat=" << o.FileFormat
    << "\nPacketSize=" << o.PacketSize << "\nMuxRate=" << o.MuxRate << "\nMuxDelay=" << o.MuxDelay
    << "\nMuxPreload=" << o.MuxPreload << "\nAudioCodec=" << o.AudioCodec
    << "\nDisableAudio=" << o.DisableAudio << "\nAudioVolume=" << o.AudioVolume
    << "\nAudioChannels=" << o.AudioChannels << "\nAudioSampleRate=" << o.AudioSampleRate
    << "\nAudioBitrate=" << o.AudioBitrate << "\nAudioBitrateTolerance=" << o.AudioBitrateTolerance
    << "\nAudioLanguage=" << o.AudioLanguage << "\nAudioSync=" << o.AudioSync
    << "\nAudioTag=" << o.AudioTag << "\nVideoCodec=" << o.VideoCodec
    << "\nDisableVideo=" << o.DisableVideo << "\nFrameRate=" << o.FrameRate
    << "\nFrameSize=" << o.FrameSize << "\nFrameAspectRatio=" << o.FrameAspectRatio
    << "\nCrop=" << o.CropTop << "," << o.CropBottom << "," << o.CropLeft << "," << o.CropRight
    << "\nPad=" << o.PadTop << "," << o.PadBottom << "," << o.PadLeft << "," << o.PadRight
    << "\nPadColor=" << o.PadColor << "\nGOPSize=" << o.GOPSize
    << "\nVideoBitrate=" << o.VideoBitrate << "\nVideoMaxRate=" << o.VideoMaxRate
    << "\nVideoMinRate=" << o.VideoMinRate << "\nVideoBitrateTolerance=" << o.VideoBitrateTolerance
    << "\nVideoBufSize=" << o.VideoBufSize << "\nVideoSync=" << o.VideoSync
    << "\nVideoTag=" << o.VideoTag << "\nVideoFilters=" << o.VideoFilters
    << "\nDisableSubtitle=" << o.DisableSubtitle << "\nSubtitleLanguage=" << o.SubtitleLanguage
    << "\nCopyTimestamp=" << o.CopyTimestamp << "\nStartTime=" << o.StartTime
    << "\nRecordingTime=" << o.RecordingTime << "\nTimestamp=" << o.Timestamp << "\nYear=" << o.Year
    << "\nTrack=" << o.Track << "\nTitle=" << o.Title << "\nAuthor=" << o.Author
    << "\nCopyright=" << o.Copyright << "\nComment=" << o.Comment << "\nAlbum=" << o.Album
    << "\nGenre=" << o.Genre << "\nTarget=" << o.Target << "\nNorm=" << o.Norm
    << "\nDefaultNorm=" << o.DefaultNorm << "\nCustomHook=" << o.CustomHook
    << "\nBeforeHook=" << o.BeforeHook << "\nPTSs=" << o.PTSs << "\nExtOptions=" << o.ExtOptions
    << "\nReserved=" << o.Reserved1 << "," << o.Reserved2 << "\n";
  return s.str();
}

void Touch(const std::string& path) { std::ofstream(path) << "x"; }

// A 24-bit BMP header (no pixels needed) of the given size.
void WriteBitmapHeader(const std::string& path, int width, int height) {
  unsigned char h[54] = {'B', 'M'};
  auto put32 = [&h](int at, uint32_t v) {
    for (int i = 0; i < 4; ++i) h[at + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  put32(14, 40);
  put32(18, static_cast<uint32_t>(width));
  put32(22, static_cast<uint32_t>(height));
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(h), sizeof(h));
}

// The dialog as the main window leaves it for one source: output folder and
// format chosen, probe read. Hooks look into a folder of the test's own.
class ComposerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    State.Output.Folder = Dir.Path() + "/";
    State.Hooks.Folder = Dir.File("vhook");
    TSourceFacts source;
    source.FileName = "/music/a.flac";
    source.FormatName = "flac";
    source.Duration = 10'000'000;
    LoadSource(State, source);
  }
  TOutputOptions Output() {
    TOutputOptions o;
    ComposeOutput(State, o);
    return o;
  }
  TInputOptions Input() {
    TInputOptions i;
    ComposeInput(State, i);
    return i;
  }
  TOutputOptions For(const char* format) {
    EXPECT_TRUE(SelectFormat(State, format)) << format;
    return Output();
  }
  TTempDir Dir;
  TComposerState State;
};

using OptionComposer = ComposerTest;
using ComposerNaming = ComposerTest;
using ComposerClip = ComposerTest;
using ComposerHooks = ComposerTest;

}  // namespace

TEST(OptionRecords, DefaultsAreTheNotSetMarkers) {
  TOutputOptions o;
  o.AudioChannels = 2;
  o.Title = "t";
  o.Timestamp = 0;
  ResetOutputOptions(o);
  std::string expected =
      "FileName=\nFileExt=\nFileFormat=\nPacketSize=-1\nMuxRate=-1\nMuxDelay=-1\nMuxPreload=-1\n"
      "AudioCodec=\nDisableAudio=0\nAudioVolume=-1\nAudioChannels=-1\nAudioSampleRate=-1\n"
      "AudioBitrate=-1\nAudioBitrateTolerance=-1\nAudioLanguage=\nAudioSync=0\nAudioTag=\n"
      "VideoCodec=\nDisableVideo=0\nFrameRate=\nFrameSize=\nFrameAspectRatio=\n"
      "Crop=-1,-1,-1,-1\nPad=-1,-1,-1,-1\nPadColor=0\nGOPSize=-1\nVideoBitrate=-1\n"
      "VideoMaxRate=-1\nVideoMinRate=-1\nVideoBitrateTolerance=-1\nVideoBufSize=-1\n"
      "VideoSync=-1\nVideoTag=\nVideoFilters=\nDisableSubtitle=0\nSubtitleLanguage=\n"
      "CopyTimestamp=0\nStartTime=-1\nRecordingTime=-1\nTimestamp=-1\nYear=-1\nTrack=-1\n"
      "Title=\nAuthor=\nCopyright=\nComment=\nAlbum=\nGenre=\nTarget=0\nNorm=0\nDefaultNorm=1\n"
      "CustomHook=0\nBeforeHook=0\nPTSs=\nExtOptions=\nReserved=0,0\n";
  EXPECT_EQ(Describe(o), expected);

  TInputOptions i;
  i.StartTime = 5;
  i.FileName = "x";
  ResetInputOptions(i);
  EXPECT_EQ(i.FileName, "");
  EXPECT_EQ(i.FileFormat, "");
  EXPECT_EQ(i.StartTime, -1);
  EXPECT_EQ(i.ProgramID, -1);
  EXPECT_EQ(i.ExtOptions, "");
  EXPECT_EQ(i.Reserved1 + i.Reserved2, 0);
}

// ---- Records from the controls ------------------------------------------------------

TEST_F(OptionComposer, WavKeepsSourceRateAndChannels) {
  TOutputOptions expected;
  expected.FileName = Dir.File("a_(new).wav");
  expected.FileExt = ".wav";
  expected.Timestamp = 0;
  EXPECT_EQ(Describe(For("WAV")), Describe(expected));

  const TInputOptions in = Input();
  EXPECT_EQ(in.FileName, "/music/a.flac");
  EXPECT_EQ(in.FileFormat, "");
  EXPECT_EQ(in.StartTime, -1);
  EXPECT_EQ(in.ExtOptions, "vn=1");
}

TEST_F(OptionComposer, Mp3LeavesEncoderAndContainerToTheName) {
  const TOutputOptions o = For("MP3");
  EXPECT_EQ(o.FileExt, ".mp3");
  EXPECT_EQ(o.FileName, Dir.File("a_(new).mp3"));
  EXPECT_EQ(o.AudioCodec, "");
  EXPECT_EQ(o.FileFormat, "");
  EXPECT_FALSE(o.DisableVideo);
  EXPECT_EQ(Input().ExtOptions, "vn=1");
}

TEST_F(OptionComposer, AudioOnlyFormatsSkipVideoOnInput) {
  for (const char* format : {"AAC", "AC3", "MP2", "MP3", "WAV", "WMA"}) {
    SelectFormat(State, format);
    EXPECT_EQ(Input().ExtOptions, "vn=1") << format;
  }
  for (const char* format : {"OGG", "MP4", "AVI", "FLV", "DVD", "iPod"}) {
    SelectFormat(State, format);
    EXPECT_EQ(Input().ExtOptions, "") << format;
  }
  EXPECT_FALSE(SelectFormat(State, "APE"));  // unknown: the choice stays "iPod"
  EXPECT_EQ(State.Output.Format, 6);
  EXPECT_TRUE(SelectFormat(State, "wav"));
  EXPECT_EQ(State.Output.Format, DEFAULT_FORMAT_INDEX);
}

TEST_F(OptionComposer, InputTakesProbeNameAndForcedFormat) {
  TSourceFacts source = State.Source;
  source.FileName = "/music/raw.pcm";
  source.ForcedFormat = "s16le";
  LoadSource(State, source);
  const TInputOptions in = Input();
  EXPECT_EQ(in.FileName, "/music/raw.pcm");
  EXPECT_EQ(in.FileFormat, "s16le");
  EXPECT_EQ(in.ProgramID, -1);
}

TEST_F(OptionComposer, SettingsStereoAnd44100ReachTheRecord) {
  ApplyAudioSettings(State, 2, 4, "128 ");
  TOutputOptions o = For("MP3");
  EXPECT_EQ(o.AudioChannels, 2);
  EXPECT_EQ(o.AudioSampleRate, 44100);
  EXPECT_EQ(o.AudioBitrate, -1);  // the bit-rate box is not ticked by the settings

  State.Audio.BitRate.Checked = true;  // the trailing blank of "128 " is no reason for 64
  EXPECT_EQ(Output().AudioBitrate, 128000);

  ApplyAudioSettings(State, 1, 1, "8 ");
  o = Output();
  EXPECT_EQ(o.AudioChannels, 1);
  EXPECT_EQ(o.AudioSampleRate, 8000);

  ApplyAudioSettings(State, 0, 0, "8 ");  // "确定" without changes: back to Auto
  o = Output();
  EXPECT_EQ(o.AudioChannels, -1);
  EXPECT_EQ(o.AudioSampleRate, -1);

  ApplyAudioSettings(State, 7, -1, "8 ");  // indexes outside the lists count as Auto
  o = Output();
  EXPECT_EQ(o.AudioChannels, -1);
  EXPECT_EQ(o.AudioSampleRate, -1);
}

TEST_F(OptionComposer, VolumeAndBitRatesOnlyWhenTicked) {
  State.Audio.Volume.Text = "512";
  State.Video.BitRate.Text = "300";
  State.Audio.BitRate.Text = "96";
  TOutputOptions o = For("MP3");
  EXPECT_EQ(o.AudioVolume, -1);
  EXPECT_EQ(o.VideoBitrate, -1);
  EXPECT_EQ(o.AudioBitrate, -1);

  State.Audio.Volume.Checked = State.Video.BitRate.Checked = State.Audio.BitRate.Checked = true;
  o = Output();
  EXPECT_EQ(o.AudioVolume, 512);
  EXPECT_EQ(o.VideoBitrate, 300000);
  EXPECT_EQ(o.AudioBitrate, 96000);

  // Unreadable edits: volume not set, bit rates at the edits' defaults.
  State.Audio.Volume.Text = "loud";
  State.Video.BitRate.Text = "12x";
  State.Audio.BitRate.Text = "";
  o = Output();
  EXPECT_EQ(o.AudioVolume, -1);
  EXPECT_EQ(o.VideoBitrate, 200000);
  EXPECT_EQ(o.AudioBitrate, 64000);

  // A rate whose bit/s do not fit the record is no rate either.
  State.Audio.BitRate.Text = "3000000";
  EXPECT_EQ(Output().AudioBitrate, 64000);
}

TEST_F(OptionComposer, PictureControlsGiveSizeRateAndAspect) {
  State.Video.FrameSize = 6;
  State.Video.FrameRate = 3;
  State.Video.AspectRatio = 2;
  TOutputOptions o = For("AVI");
  EXPECT_EQ(o.FrameSize, "320x240");
  EXPECT_EQ(o.FrameRate, "25");
  EXPECT_EQ(o.FrameAspectRatio, "16:9");
  State.Video.FrameSize = 28;
  EXPECT_EQ(Output().FrameSize, "1920x1080");
  State.Video.FrameSize = State.Video.FrameRate = State.Video.AspectRatio = 0;
  o = Output();
  EXPECT_EQ(o.FrameSize + o.FrameRate + o.FrameAspectRatio, "");
}

TEST_F(OptionComposer, EncoderItemsNameEncodersTheLibrariesHave) {
  SelectFormat(State, "AVI");
  const std::pair<int, const char*> audio[] = {
      {0, ""}, {1, "aac"}, {2, "ac3"}, {3, "flac"}, {4, "libmp3lame"}};
  for (const auto& [item, codec] : audio) {
    State.Audio.Codec = item;
    EXPECT_EQ(Output().AudioCodec, codec) << AudioCodecItems[item];
  }
  State.Video.Codec = 1;
  TOutputOptions o = Output();
  EXPECT_EQ(o.VideoCodec, "mpeg4");
  EXPECT_EQ(o.VideoTag, "DIVX");
  State.Video.Codec = 2;
  EXPECT_EQ(Output().VideoCodec, "libxvid");
  EXPECT_EQ(Output().VideoTag, "");
  State.Video.Codec = 3;
  EXPECT_EQ(Output().VideoCodec, "libx264");
}

TEST_F(OptionComposer, FormatPresetsReplaceTheChoices) {
  State.Audio.Codec = 4;  // MP3
  State.Audio.Channels = 2;
  State.Audio.SampleRate = 1;  // 8000
  State.Video.Codec = 3;
  State.Video.FrameSize = 7;

  TOutputOptions o = For("OGG");
  EXPECT_EQ(o.AudioCodec, "flac");
  EXPECT_EQ(o.VideoCodec, "libtheora");
  EXPECT_EQ(o.FileExt, ".ogg");
  EXPECT_EQ(Input().ExtOptions, "");

  o = For("WMA");
  EXPECT_EQ(o.AudioCodec, "wmav2");
  EXPECT_TRUE(o.DisableVideo);

  o = For("FLV");
  EXPECT_EQ(o.AudioSampleRate, 22050);
  State.Audio.SampleRate = 4;
  EXPECT_EQ(Output().AudioSampleRate, 44100);
  State.Audio.SampleRate = 0;
  EXPECT_EQ(Output().AudioSampleRate, 22050);

  o = For("PSP");
  EXPECT_EQ(o.FileFormat, "psp");
  EXPECT_EQ(o.VideoCodec, "mpeg4");
  EXPECT_EQ(o.AudioCodec, "aac");
  EXPECT_EQ(o.AudioSampleRate, 24000);
  EXPECT_EQ(o.FrameRate, "15000/1001");
  EXPECT_EQ(o.FileExt, "_psp.mp4");
  EXPECT_EQ(o.FileName, Dir.File("a_(new)_psp.mp4"));

  o = For("iPod");
  EXPECT_EQ(o.AudioCodec, "aac");
  EXPECT_EQ(o.FrameSize, "320x240");
  EXPECT_EQ(o.FileExt, "_ipod.mp4");

  EXPECT_EQ(For("RM20").VideoCodec, "rv20");
  EXPECT_EQ(For("RM10").FileExt, "_rv10.rm");
  EXPECT_EQ(For("MKV").VideoCodec, "libx264");
  o = For("WMV");
  EXPECT_EQ(o.VideoCodec + "/" + o.AudioCodec, "wmv2/wmav2");

  o = For("3GP");
  EXPECT_EQ(o.AudioCodec, "aac");
  EXPECT_EQ(o.AudioChannels, 1);
  EXPECT_EQ(o.AudioSampleRate, 8000);
  EXPECT_EQ(o.AudioBitrate, 7400);
  EXPECT_EQ(o.FrameSize, "128x96");

  // Formats without a preset keep the choices.
  o = For("MP4");
  EXPECT_EQ(o.AudioCodec, "libmp3lame");
  EXPECT_EQ(o.VideoCodec, "libx264");
  EXPECT_EQ(o.FrameSize, "640x480");
  EXPECT_EQ(o.AudioChannels, 2);
}

TEST_F(OptionComposer, DiscTargetsTakeNormAndNameSuffix) {
  const struct {
    const char* format;
    int norm;
    int target;
    const char* suffix;
  } cases[] = {{"VCD", 0, 1, "_vcd_auto.mpg"},
               {"SVCD", 1, 2, "_svcd_pal.mpg"},
               {"DVD", 2, 3, "_dvd_ntsc.mpg"},
               {"DVD", 9, 3, "_dvd_auto.mpg"}};
  for (const auto& c : cases) {
    State.Output.Norm = c.norm;
    const TOutputOptions o = For(c.format);
    EXPECT_EQ(o.Target, c.target) << c.format;
    EXPECT_EQ(o.Norm, c.norm == 9 ? 0 : c.norm);
    EXPECT_EQ(o.DefaultNorm, 1);
    EXPECT_EQ(o.FileExt, c.suffix);
  }
  EXPECT_EQ(For("MP4").Target, 0);
}

TEST_F(OptionComposer, CropAndPadRoundTowardZeroToEven) {
  State.Crop = {true, "5", "-3", "x", " 8 "};
  TOutputOptions o = For("AVI");
  EXPECT_EQ(o.CropTop, 4);
  EXPECT_EQ(o.CropBottom, -2);
  EXPECT_EQ(o.CropLeft, 0);
  EXPECT_EQ(o.CropRight, 8);
  EXPECT_EQ(o.PadTop, -1);

  State.Crop.Checked = false;
  State.Pad = {true, "7", "1", "0", "-1"};
  o = Output();
  EXPECT_EQ(o.CropTop, -1);
  EXPECT_EQ(o.PadTop, 6);
  EXPECT_EQ(o.PadBottom, 0);
  EXPECT_EQ(o.PadLeft, 0);
  EXPECT_EQ(o.PadRight, 0);
  EXPECT_EQ(o.PadColor, 0);
}

TEST_F(OptionComposer, FiltersJoinInFixedOrder) {
  SelectFormat(State, "AVI");
  State.Filters.SetPTS.Checked = true;
  State.Filters.Negate = State.Filters.VertFlip = State.Filters.HoriFlip = true;
  State.Filters.Scale = {true, " 640:480 "};
  State.Filters.Rotate = {true, "90"};
  EXPECT_EQ(Output().VideoFilters,
            "vflip,hflip,negate,scale=640:480,rotate=90*PI/180,setpts=0.5*PTS");

  State.Filters = TFilterControls();
  State.Filters.Scale = {true, "  "};  // an empty scale adds nothing
  State.Filters.Rotate = {true, "steep"};
  EXPECT_EQ(Output().VideoFilters, "rotate=45*PI/180");
  State.Filters.Rotate.Text = "22.5";
  EXPECT_EQ(Output().VideoFilters, "rotate=22.5*PI/180");
  State.Filters = TFilterControls();
  EXPECT_EQ(Output().VideoFilters, "");
}

TEST_F(OptionComposer, HookChoiceAndTimestampFlags) {
  State.Output.CopyTimestamp = true;
  TOutputOptions o = For("AVI");
  EXPECT_TRUE(o.CopyTimestamp);
  EXPECT_FALSE(o.CustomHook);
  EXPECT_EQ(o.Timestamp, 0.0);
  State.Hooks.External = false;
  EXPECT_TRUE(Output().CustomHook);
}

// ---- Output naming ------------------------------------------------------------------

TEST_F(ComposerNaming, NewNamesCountUpPastExistingFiles) {
  SelectFormat(State, "MP3");
  EXPECT_EQ(Output().FileName, Dir.File("a_(new).mp3"));
  Touch(Dir.File("a_(new).mp3"));
  EXPECT_EQ(Output().FileName, Dir.File("a_(new_1).mp3"));
  Touch(Dir.File("a_(new_1).mp3"));
  Touch(Dir.File("a_(new_3).mp3"));
  EXPECT_EQ(Output().FileName, Dir.File("a_(new_2).mp3"));

  State.Output.Overwrite = true;
  EXPECT_EQ(Output().FileName, Dir.File("a_(new).mp3"));
}

TEST_F(ComposerNaming, NamesOfTheSameRunAreNeverShared) {
  SelectFormat(State, "MP3");
  State.Output.Overwrite = true;
  State.Output.Reserved = {Dir.File("a_(new).mp3")};
  EXPECT_EQ(Output().FileName, Dir.File("a_(new_1).mp3"));
  State.Output.Overwrite = false;
  Touch(Dir.File("a_(new_1).mp3"));
  EXPECT_EQ(Output().FileName, Dir.File("a_(new_2).mp3"));
}

TEST_F(ComposerNaming, ANameThatIsNoRegularFileIsPassedOverEvenToOverwrite) {
  SelectFormat(State, "MP3");
  State.Output.Overwrite = true;
  ASSERT_EQ(mkfifo(Dir.File("a_(new).mp3").c_str(), 0600), 0);
  std::filesystem::create_directory(Dir.File("a_(new_1).mp3"));
  std::filesystem::create_symlink(Dir.File("a_(new).mp3"), Dir.File("a_(new_2).mp3"));
  Touch(Dir.File("a_(new_3).mp3"));  // an earlier output: replaced
  EXPECT_EQ(Output().FileName, Dir.File("a_(new_3).mp3"));
}

TEST_F(ComposerNaming, ALongSourceNameIsCutToFitTheFolder) {
  SelectFormat(State, "MP3");
  const size_t limit = FileNameLimit(Dir.Path());
  std::string chinese;
  while (chinese.size() + 3 <= limit - 5) chinese += "\xe9\x9f\xb3";  // 音
  struct TCase {
    const char* Label;
    std::string Stem;
  } const cases[] = {{"ascii", std::string(limit - 5, 'a')},
                     {"chinese", chinese},
                     {"mixed", "x" + chinese}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    TSourceFacts source = State.Source;
    source.FileName = "/music/" + c.Stem + ".flac";
    LoadSource(State, source);
    std::string previous;
    for (int n = 0; n < 3; ++n) {
      const std::string name = Output().FileName;
      const std::string base = name.substr(Dir.Path().size() + 1);
      const std::string tag = n == 0 ? "_(new).mp3" : "_(new_" + std::to_string(n) + ").mp3";
      EXPECT_LE(base.size(), limit) << base;
      ASSERT_GE(base.size(), tag.size());
      EXPECT_EQ(base.substr(base.size() - tag.size()), tag);
      const std::string stem = base.substr(0, base.size() - tag.size());
      // A whole-character prefix of the source's name, as long as fits.
      EXPECT_EQ(c.Stem.compare(0, stem.size(), stem), 0);
      EXPECT_EQ(CutUtf8(c.Stem, stem.size()), stem);
      EXPECT_GT(stem.size() + tag.size() + 4, limit);
      Touch(name);
      EXPECT_TRUE(std::filesystem::exists(name));
      EXPECT_NE(name, previous);
      previous = name;
    }
  }
}

TEST_F(ComposerNaming, FolderJoinsTheSourceName) {
  SelectFormat(State, "WAV");
  State.Output.Folder = SAME_AS_INPUT;
  EXPECT_EQ(Output().FileName, "/music/a_(new).wav");
  State.Output.Folder = "";  // the current folder
  EXPECT_EQ(Output().FileName, "a_(new).wav");
  State.Output.Folder = "/nonexistent/out";  // no trailing delimiter
  EXPECT_EQ(Output().FileName, "/nonexistent/out/a_(new).wav");

  TSourceFacts source = State.Source;
  source.FileName = "/my.music/live.set.ogg";
  LoadSource(State, source);
  State.Output.Folder = SAME_AS_INPUT;
  EXPECT_EQ(Output().FileName, "/my.music/live.set_(new).wav");
  source.FileName = "/my.music/noext";
  LoadSource(State, source);
  EXPECT_EQ(Output().FileName, "/my.music/noext_(new).wav");
}

// ---- Time bar and clip ----------------------------------------------------------------

TEST_F(ComposerClip, BarStepFollowsDuration) {
  const TTimeBar& bar = State.Clip.Bar;  // 10 s
  EXPECT_TRUE(bar.HasSlider);
  EXPECT_EQ(bar.Step, 1000);
  EXPECT_EQ(bar.Max, 10000);
  EXPECT_EQ(bar.LineSize, 100);
  EXPECT_EQ(bar.PageSize, 500);
  EXPECT_EQ(TickFrequency(bar, 412), 250);

  TSourceFacts source = State.Source;
  source.Duration = 327'670;  // exactly 32767 positions of 10 µs
  LoadSource(State, source);
  EXPECT_EQ(bar.Step, 10);
  EXPECT_EQ(bar.LineSize, 1000);
  source.Duration = 3'600'000'000;
  LoadSource(State, source);
  EXPECT_EQ(bar.Step, 1'000'000);
  EXPECT_EQ(bar.Max, 3600);
  source.Duration = -1;
  LoadSource(State, source);
  EXPECT_EQ(bar.Max, 0);
  EXPECT_EQ(bar.LineSize, 1);
  source.Duration = 10'000'000;
  source.FormatName = "image2";
  LoadSource(State, source);
  EXPECT_FALSE(bar.HasSlider);
  EXPECT_EQ(bar.Max, 0);
}

TEST_F(ComposerClip, MarkedClipBecomesStartAndRecordingTime) {
  SelectFormat(State, "MP3");
  SetTimeBarPosition(State.Clip, TimeBarPositionAt(State.Clip.Bar, 2.5));
  SetClipStart(State.Clip);
  EXPECT_FALSE(State.Clip.Enabled);  // no end yet
  SetTimeBarPosition(State.Clip, TimeBarPositionAt(State.Clip.Bar, 7.0));
  SetClipEnd(State.Clip);
  EXPECT_TRUE(State.Clip.Enabled);
  EXPECT_EQ(State.Clip.StartText, "2.500");
  EXPECT_EQ(State.Clip.EndText, "7.000");
  EXPECT_EQ(Output().RecordingTime, -1);  // marked but not ticked

  State.Clip.Checked = true;
  EXPECT_EQ(Input().StartTime, 2500);
  TOutputOptions o = Output();
  EXPECT_EQ(o.RecordingTime, 4500);
  EXPECT_EQ(o.StartTime, -1);

  // An end mark before the start disables the cut.
  SetTimeBarPosition(State.Clip, 1000);
  SetClipEnd(State.Clip);
  EXPECT_FALSE(State.Clip.Enabled);
  EXPECT_EQ(Output().RecordingTime, -1);
  EXPECT_EQ(Input().StartTime, -1);
}

TEST_F(ComposerClip, ZeroMarksConvertTheWholeFile) {
  // The main window's way: enable and tick, then mark 0 and 0.
  State.Clip.Enabled = State.Clip.Checked = true;
  SetTimeBarPosition(State.Clip, 0);
  SetClipStart(State.Clip);
  SetClipEnd(State.Clip);
  EXPECT_FALSE(State.Clip.Enabled);
  EXPECT_EQ(Output().RecordingTime, -1);
  EXPECT_EQ(Input().StartTime, -1);
}

TEST_F(ComposerClip, ClipIsFittedIntoTheDuration) {
  State.Clip.Checked = true;
  State.Clip.Enabled = true;
  State.Clip.Bar.SelStart = 0;
  State.Clip.Bar.SelEnd = 20000;  // 20 s of a 10 s source
  TClipRange range;
  ASSERT_TRUE(ClipRange(State, range));
  EXPECT_EQ(range.Start, 0);
  EXPECT_EQ(range.End, 10000);
  State.Clip.Bar.SelStart = 12000;  // starts after the end: from the start
  ASSERT_TRUE(ClipRange(State, range));
  EXPECT_EQ(range.Start, 0);
  EXPECT_EQ(range.End, 10000);

  EXPECT_EQ(TimeBarPositionAt(State.Clip.Bar, 99.0), 10000);
  EXPECT_EQ(TimeBarPositionAt(State.Clip.Bar, -1.0), 0);
  SetTimeBarPosition(State.Clip, 123456);
  EXPECT_EQ(State.Clip.Bar.Position, 10000);
  EXPECT_EQ(TimeText(61'234'567), "61.234");
}

// ---- External hooks ------------------------------------------------------------------

namespace {

void TickAllHooks(THookControls& hooks) {
  hooks.Imlib2Img = hooks.Imlib2Txt = hooks.WaterMark = hooks.PaintHookImg = hooks.PaintHookTxt =
      true;
}

void InstallHooks(const std::string& folder) {
  ASSERT_TRUE(testing_support::Shell("mkdir -p '" + folder + "'"));
  for (const char* name : {"imlib2.so", "watermark.so", "PaintHook.so"}) Touch(folder + "/" + name);
}

}  // namespace

TEST_F(ComposerHooks, MissingLibrariesAddNothing) {
  SelectFormat(State, "AVI");
  TickAllHooks(State.Hooks);
  State.Hooks.Behavior = hbBeforeHook;
  TOutputOptions o = Output();
  EXPECT_EQ(o.ExtOptions, "");
  EXPECT_FALSE(o.BeforeHook);
  EXPECT_EQ(HookFolder(State.Hooks), Dir.File("vhook") + "/");

  Touch(Dir.File("vhook"));  // not even a folder
  EXPECT_FALSE(HookControlsEnabled(State.Hooks).WaterMark);
}

TEST_F(ComposerHooks, EachTickedHookAddsOneLineInOrder) {
  const std::string p = Dir.File("vhook") + "/";
  InstallHooks(Dir.File("vhook"));
  SelectFormat(State, "AVI");
  TSourceFacts source = State.Source;
  source.HasVideo = true;
  source.VideoWidth = 640;
  source.VideoHeight = 480;
  LoadSource(State, source);
  TickAllHooks(State.Hooks);
  State.Hooks.Imlib2Text = "  ";
  State.Hooks.PaintHookText = " Hi ";
  State.Hooks.WaterMarkMode = true;
  const std::string expected =
      "vhook=" + p + "imlib2.so -i " + p + "imlib2.jpg -x W-w -y H-h\r\n" + "vhook=" + p +
      "imlib2.so -R 255 -G 255 -B 255 -F Tahoma.ttf/16 -t PELIX -x 10 -y 10\r\n" + "vhook=" + p +
      "watermark.so -f " + p + "watermark.gif -m 1\r\n" + "vhook=" + p + "PaintHook.so -i " + p +
      "PaintHook.bmp -mc FFFFFF -ix 566 -iy 406\r\n" + "vhook=" + p +
      "PaintHook.so -t Hi -tx 10 -ty 10 -fc FFFFFF -fn Tahoma -fs 16 -fst BU\r\n";
  EXPECT_EQ(Output().ExtOptions, expected);

  // Moving pictures, and a picture of its own size.
  State.Hooks = THookControls();
  State.Hooks.Folder = p;
  State.Hooks.Imlib2Img = State.Hooks.ImgDancing = true;
  State.Hooks.Imlib2Txt = State.Hooks.TxtScrolling = true;
  State.Hooks.PaintHookImg = true;
  WriteBitmapHeader(p + "PaintHook.bmp", 100, -50);
  EXPECT_EQ(Output().ExtOptions,
            "vhook=" + p + "imlib2.so -i " + p +
                "imlib2.jpg -x (W-w)*(0.5+0.5*sin(N/47*PI)) -y (H-h)*(0.5+0.5*cos(N/97*PI))\r\n" +
                "vhook=" + p +
                "imlib2.so -R 255 -G 255 -B 255 -F Tahoma.ttf/16 -t PELIX -x 10 -y "
                "(H-25)*(0.5+0.50*cos(N/97*PI))\r\n" +
                "vhook=" + p + "PaintHook.so -i " + p +
                "PaintHook.bmp -mc FFFFFF -ix 530 -iy 420\r\n");

  State.Hooks.External = false;  // the custom hook takes over
  EXPECT_EQ(Output().ExtOptions, "");
}

TEST_F(ComposerHooks, BlanksSwitchTheSeparatorToBar) {
  const std::string p = Dir.File("hook folder") + "/";
  InstallHooks(p);
  State.Hooks.Folder = p;
  SelectFormat(State, "AVI");
  State.Hooks.WaterMark = true;
  EXPECT_EQ(Output().ExtOptions, "vhook=" + p + "watermark.so|-f|" + p + "watermark.gif|-m|0\r\n");

  // A text with blanks stays one argument; a line break cannot start another option.
  InstallHooks(Dir.File("vhook"));
  State.Hooks.Folder = Dir.File("vhook");
  State.Hooks.WaterMark = false;
  State.Hooks.PaintHookTxt = true;
  State.Hooks.PaintHookText = "Hello World\nvcodec=copy|x";
  const std::string p2 = Dir.File("vhook") + "/";
  EXPECT_EQ(Output().ExtOptions, "vhook=" + p2 +
                                     "PaintHook.so|-t|Hello World vcodec=copy x|-tx|10|-ty|10|"
                                     "-fc|FFFFFF|-fn|Tahoma|-fs|16|-fst|BU\r\n");
}

TEST_F(ComposerHooks, BehaviourNeedsAnEnabledTickedHook) {
  SelectFormat(State, "AVI");
  State.Hooks.Behavior = hbPTSs;
  State.Hooks.PTSs = "0-1000";
  EXPECT_EQ(Output().PTSs, "");
  InstallHooks(Dir.File("vhook"));
  EXPECT_FALSE(HookControlsEnabled(State.Hooks).Behavior);
  State.Hooks.WaterMark = true;
  EXPECT_TRUE(HookControlsEnabled(State.Hooks).Behavior);
  TOutputOptions o = Output();
  EXPECT_EQ(o.PTSs, "0-1000");
  EXPECT_FALSE(o.BeforeHook);
  State.Hooks.Behavior = hbBeforeHook;
  o = Output();
  EXPECT_TRUE(o.BeforeHook);
  EXPECT_EQ(o.PTSs, "");
  State.Hooks.Behavior = hbStandard;
  o = Output();
  EXPECT_FALSE(o.BeforeHook);
  EXPECT_EQ(o.PTSs, "");
}
