#include <gtest/gtest.h>

#include <cstdarg>
#include <mutex>
#include <regex>

#include "FFmpeg.h"
#include "TestSupport.h"

using testing_support::TLogCapture;

namespace {

class OptionVocabulary : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(testing_support::LoadEngineLibraries()); }
  void SetUp() override {
    Engine.Reset();
    Log.Attach(Engine);
  }
  // The text of the FFmpegException that SetOption raises, or "" if none.
  std::string Refusal(const std::string& name, const std::string& value) {
    try {
      Engine.SetOption(name, value);
    } catch (const FFmpegException& e) {
      return e.what();
    }
    return "";
  }
  int64_t CodecOption(int type, const char* name) {
    int64_t value = 0;
    EXPECT_GE(av.av_opt_get_int(Engine.OptionContexts.Codec[type].get(), name, 0, &value), 0);
    return value;
  }
  TCustomFFmpeg Engine;
  TLogCapture Log;
};

// Library log lines, for the messages the engine sends through the library.
std::mutex LibraryLinesLock;
std::vector<std::string> LibraryLines;
void CaptureLibraryLog(void*, int, const char* format, va_list args) {
  char line[1024];
  vsnprintf(line, sizeof(line), format, args);
  std::lock_guard<std::mutex> lock(LibraryLinesLock);
  LibraryLines.push_back(line);
}

}  // namespace

TEST_F(OptionVocabulary, IgnoredNamesOnlyLog) {
  for (const char* name : {"L", "h", "version", "formats", "i", "y", "benchmark", "apre",
                           "vpre", "spre"}) {
    Engine.SetOption(name, "anything");
    EXPECT_TRUE(Log.Contains(std::string("Do nothing: option - ") + name)) << name;
  }
  EXPECT_EQ(Log.Lines.size(), 10u);
  EXPECT_EQ(Log.Lines[0].first, 1);
  Engine.OnLog = nullptr;
  EXPECT_NO_THROW(Engine.SetOption("h", ""));
}

TEST_F(OptionVocabulary, ThreadsIsRefusedAndUnknownNamesAreIgnoredSilently) {
  EXPECT_EQ(Refusal("threads", "4"), "TODO: option - threads");
  EXPECT_EQ(Refusal("no_such_option_anywhere", "1"), "");
  EXPECT_EQ(Refusal("abogus", "1"), "");
  EXPECT_TRUE(Log.Lines.empty());
  EXPECT_TRUE(Engine.OptionContexts.Names.empty());
}

TEST_F(OptionVocabulary, BooleansAreFalseOnlyForZero) {
  Engine.SetOption("vn", "0");
  EXPECT_FALSE(Engine.Video.Disable);
  Engine.SetOption("vn", "");
  EXPECT_TRUE(Engine.Video.Disable);
  Engine.SetOption("an", "no");
  EXPECT_TRUE(Engine.Audio.Disable);
  Engine.SetOption("copyts", "0");
  EXPECT_TRUE(Engine.Sync.CopyTS);
  Engine.SetOption("xerror", "0");
  EXPECT_TRUE(Engine.Sync.ExitOnError);
  Engine.SetOption("shortest", "1");
  EXPECT_TRUE(Engine.Sync.Shortest);
}

TEST_F(OptionVocabulary, NumbersAreCheckedByKind) {
  try {
    Engine.SetOption("vframes", "12x");
    FAIL() << "no conversion error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'12x' is not a valid integer value");
  }
  try {
    Engine.SetOption("aq", "fast");
    FAIL() << "no conversion error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'fast' is not a valid floating point value");
  }
  EXPECT_THROW(Engine.SetOption("fs", "99999999999999999999"), EConvertError);
  Engine.SetOption("fs", "5000000000");
  EXPECT_EQ(Engine.Counters.LimitFileSize, 5000000000LL);
  Engine.SetOption("vframes", "$10");
  EXPECT_EQ(Engine.Video.MaxFrames[0], 16);
  Engine.SetOption("aframes", "-3");
  EXPECT_EQ(Engine.Video.MaxFrames[1], -3);
  Engine.SetOption("muxpreload", " 0.25 ");
  EXPECT_FLOAT_EQ(Engine.MuxTime.MuxPreload, 0.25f);

  Engine.SetOption("ac", "0");
  EXPECT_EQ(Engine.Audio.Channels, 2);
  Engine.SetOption("ar", "-8000");
  EXPECT_EQ(Engine.Audio.SampleRate, 44100);
  Engine.SetOption("ac", "1");
  Engine.SetOption("ar", "22050");
  EXPECT_EQ(Engine.Audio.Channels, 1);
  EXPECT_EQ(Engine.Audio.SampleRate, 22050);

  EXPECT_EQ(Refusal("pass", "3"), "pass number can be only 1 or 2");
  EXPECT_EQ(Refusal("qscale", "0"), "qscale must be > 0.0 and <= 255");
  EXPECT_EQ(Refusal("qscale", "255.5"), "qscale must be > 0.0 and <= 255");
  Engine.SetOption("qscale", "255");
  EXPECT_FLOAT_EQ(Engine.Video.QScale, 255.0f);
}

TEST_F(OptionVocabulary, CropFollowsTheFrameSizeAndKeepsParity) {
  Engine.SetOption("s", "320x240");
  EXPECT_EQ(Refusal("croptop", "3"), "Top crop size must be a multiple of 2");
  EXPECT_EQ(Refusal("cropright", "5"), "Right crop size must be a multiple of 2");
  Engine.SetOption("croptop", "-4");
  EXPECT_EQ(Engine.Video.CropTop, 0);
  EXPECT_EQ(Refusal("cropbottom", "240"),
            "Vertical crop dimensions are outside the range of the original image.\n"
            "Remember to crop first and scale second.");
  Engine.SetOption("croptop", "16");
  Engine.SetOption("cropleft", "8");
  EXPECT_EQ(Engine.Video.CropTop, 16);
  EXPECT_EQ(Engine.Video.FrameHeight, 224);
  EXPECT_EQ(Engine.Video.FrameWidth, 312);
  EXPECT_EQ(Refusal("cropright", "312"),
            "Horizontal crop dimensions are outside the range of the original image.\n"
            "Remember to crop first and scale second.");

  EXPECT_EQ(Refusal("padleft", "7"), "Left pad size must be a multiple of 2");
  EXPECT_EQ(Refusal("padbottom", "1"), "Bottom pad size must be a multiple of 2");
  Engine.SetOption("padtop", "-2");
  Engine.SetOption("padright", "10");
  EXPECT_EQ(Engine.Video.PadTop, 0);
  EXPECT_EQ(Engine.Video.PadRight, 10);
}

TEST_F(OptionVocabulary, FrameSizeRateAndAspect) {
  Engine.SetOption("s", "vga");
  EXPECT_EQ(Engine.Video.FrameWidth, 640);
  EXPECT_EQ(Engine.Video.FrameHeight, 480);
  EXPECT_EQ(Refusal("s", "321x240"), "Frame size must be a multiple of 2");
  EXPECT_EQ(Refusal("s", "big"), "Incorrect frame size");
  Engine.SetOption("s", "");
  EXPECT_EQ(Engine.Video.FrameWidth, 640);

  Engine.SetOption("r", "ntsc");
  EXPECT_EQ(Engine.Video.FrameRate.num, 30000);
  EXPECT_EQ(Engine.Video.FrameRate.den, 1001);
  Engine.SetOption("r", "25");
  EXPECT_EQ(Engine.Video.FrameRate.num, 25);
  EXPECT_EQ(Engine.Video.FrameRate.den, 1);
  EXPECT_EQ(Refusal("r", "fast"), "Incorrect frame rate");

  Engine.SetOption("aspect", "16:9");
  EXPECT_FLOAT_EQ(Engine.Video.FrameAspectRatio, 1.7777778f);
  Engine.SetOption("aspect", "1.3333");
  EXPECT_FLOAT_EQ(Engine.Video.FrameAspectRatio, 1.3333f);
  for (const char* bad : {"4:0", "x:3", "wide", "-4:3"})
    EXPECT_EQ(Refusal("aspect", bad), "Incorrect aspect ratio specification.") << bad;
}

TEST_F(OptionVocabulary, TimeValuesAndTheirErrors) {
  Engine.SetOption("t", "10");
  EXPECT_EQ(Engine.MuxTime.RecordingTime, 10000000);
  EXPECT_EQ(Engine.RunState.TotalDuration, 10000);
  Engine.SetOption("t", "0");
  EXPECT_EQ(Engine.MuxTime.RecordingTime, 10000000);
  Engine.SetOption("ss", "00:01:02.5");
  EXPECT_EQ(Engine.MuxTime.StartTime, 62500000);
  Engine.SetOption("itsoffset", "-1.5");
  EXPECT_EQ(Engine.MuxTime.InputTSOffset, -1500000);
  EXPECT_EQ(Refusal("t", "soon"), "Invalid duration specification for t: soon");
  Engine.SetOption("timestamp", "1970-01-01T00:01:40.6Z");
  EXPECT_EQ(Engine.MuxTime.RecordingTimestamp, 101);
  EXPECT_EQ(Refusal("timestamp", "someday"),
            "Invalid date specification for timestamp: someday");
}

TEST_F(OptionVocabulary, MapsReadNumbersWithBaseDetection) {
  Engine.SetOption("map", "1.2");
  Engine.SetOption("map", "0x1.0x2:3.010");
  Engine.SetOption("map", "0:1");
  ASSERT_EQ(Engine.Maps.StreamMaps.size(), 3u);
  const TStreamMap& plain = Engine.Maps.StreamMaps[0];
  EXPECT_EQ(plain.FileIndex, 1);
  EXPECT_EQ(plain.StreamIndex, 2);
  EXPECT_EQ(plain.SyncFileIndex, 1);
  EXPECT_EQ(plain.SyncStreamIndex, 2);
  const TStreamMap& based = Engine.Maps.StreamMaps[1];
  EXPECT_EQ(based.FileIndex, 1);
  EXPECT_EQ(based.StreamIndex, 2);
  EXPECT_EQ(based.SyncFileIndex, 3);
  EXPECT_EQ(based.SyncStreamIndex, 8);
  EXPECT_EQ(Engine.Maps.StreamMaps[2].StreamIndex, 1);

  Engine.SetOption("map_meta_data", "1:0");
  ASSERT_EQ(Engine.Maps.MetaDataMaps.size(), 1u);
  EXPECT_EQ(Engine.Maps.MetaDataMaps[0].OutFile, 1);
  EXPECT_EQ(Engine.Maps.MetaDataMaps[0].InFile, 0);

  for (int i = 3; i < MAX_STREAM_MAPS; ++i) Engine.SetOption("map", "0.0");
  EXPECT_NE(Refusal("map", "0.0"), "");
  EXPECT_EQ(Engine.Maps.StreamMaps.size(), static_cast<size_t>(MAX_STREAM_MAPS));
}

TEST_F(OptionVocabulary, TimeScaleMetadataAndTags) {
  EXPECT_EQ(Refusal("itsscale", "20:1.0"), "stream index over MAX_STREAMS(20)");
  EXPECT_EQ(Refusal("itsscale", "-1:1.0"), "stream index over MAX_STREAMS(20)");
  Engine.SetOption("itsscale", "1:2.5");
  EXPECT_DOUBLE_EQ(Engine.Input.TSScales[0][1], 2.5);

  EXPECT_EQ(Refusal("metadata", "title"), "Missing =");
  EXPECT_TRUE(Engine.MuxTime.Metadata.empty());
  Engine.SetOption("metadata", "comment=a=b");
  ASSERT_EQ(Engine.MuxTime.Metadata.size(), 1u);
  EXPECT_EQ(Engine.MuxTime.Metadata[0].first, "comment");
  EXPECT_EQ(Engine.MuxTime.Metadata[0].second, "a=b");

  Engine.SetOption("vtag", "XVID");
  EXPECT_EQ(Engine.Video.CodecTag, 'X' | 'V' << 8 | 'I' << 16 | 'D' << 24);
  try {
    Engine.SetOption("atag", "mp3");
    FAIL() << "no assertion";
  } catch (const EAssertionFailed& e) {
    EXPECT_STREQ(e.what(), "audio tag parameter must be 4 chars");
  }
  Engine.SetOption("atag", "");
  EXPECT_EQ(Engine.Audio.CodecTag, 0);
}

TEST_F(OptionVocabulary, BitRateWarningBelowOneKilobit) {
  const std::string warning =
      "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s";
  Engine.SetOption("ab", "128");
  EXPECT_TRUE(Log.Contains(warning));
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_AUDIO, "b"), 128);
  Log.Lines.clear();
  Engine.SetOption("ab", "128000");
  EXPECT_FALSE(Log.Contains(warning));
  Engine.SetOption("b", "64k");
  EXPECT_FALSE(Log.Contains(warning));
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "b"), 64000);
  Engine.SetOption("vb", "900");
  EXPECT_TRUE(Log.Contains(warning));
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "b"), 900);
  Log.Lines.clear();
  Engine.SetOption("b", "");
  EXPECT_TRUE(Log.Lines.empty());
}

TEST_F(OptionVocabulary, GenericFallbackHonoursMasksAndPrefixes) {
  Engine.SetOption("g", "15");
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "g"), 15);
  EXPECT_NE(CodecOption(AVMEDIA_TYPE_AUDIO, "g"), 15);  // a video-only option
  Engine.SetOption("ab", "96000");                        // an audio-only option
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_AUDIO, "b"), 96000);
  EXPECT_NE(CodecOption(AVMEDIA_TYPE_VIDEO, "b"), 96000);
  Engine.SetOption("packetsize", "2324");  // a format option
  int64_t packetSize = 0;
  av.av_opt_get_int(Engine.OptionContexts.Format.get(), "packetsize", 0, &packetSize);
  EXPECT_EQ(packetSize, 2324);
  Engine.SetOption("sws_flags", "bilinear");  // a scaler option
  int64_t swsFlags = 0;
  av.av_opt_get_int(Engine.OptionContexts.Scaler.get(), "sws_flags", 0, &swsFlags);
  EXPECT_EQ(swsFlags, SWS_BILINEAR);
  Engine.SetOption("vmaxrate", "2000000");  // prefix rule: "maxrate" on the video context
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "maxrate"), 2000000);
  EXPECT_EQ(Engine.OptionContexts.Names,
            (std::vector<std::string>{"g", "ab", "packetsize", "sws_flags", "maxrate"}));
}

TEST_F(OptionVocabulary, GenericFallbackReportsRefusedValuesThroughTheLibrary) {
  av.av_log_set_callback(CaptureLibraryLog);
  Engine.SetOption("g", "many");
  av.av_log_set_callback(av.av_log_default_callback);
  bool seen = false;
  for (const std::string& line : LibraryLines)
    seen = seen || line == "Invalid value \"many\" for option \"g\"\n";
  EXPECT_TRUE(seen);
  EXPECT_TRUE(Engine.OptionContexts.Names.empty());
}

TEST_F(OptionVocabulary, DebugFlagRaisesTheLogLevel) {
  Engine.SetVerbose(0);
  Engine.SetOption("debug", "pict");
  EXPECT_EQ(Engine.Counters.Verbose, 2);
  EXPECT_EQ(av.av_log_get_level(), 2);
  Engine.SetVerbose(1);
}

TEST_F(OptionVocabulary, PadColourIsConvertedToYUV) {
  auto yuv = [this](const char* value) {
    Engine.SetOption("padcolor", value);
    return std::vector<int>(Engine.Video.PadColor, Engine.Video.PadColor + 3);
  };
  EXPECT_EQ(yuv("0"), (std::vector<int>{0, 128, 128}));
  EXPECT_EQ(yuv("16777215"), (std::vector<int>{255, 128, 128}));
  EXPECT_EQ(yuv("255"), (std::vector<int>{76, 85, 255}));
  EXPECT_EQ(yuv("$FF0000"), (std::vector<int>{29, 255, 107}));  // blue
}

TEST_F(OptionVocabulary, MatricesNeedSixtyFourItems) {
  std::string items;
  for (int i = 1; i <= 64; ++i) items += (i > 1 ? "," : "") + std::to_string(i);
  Engine.SetOption("intra_matrix", items);
  ASSERT_NE(Engine.Video.IntraMatrix, nullptr);
  EXPECT_EQ((*Engine.Video.IntraMatrix)[0], 1);
  EXPECT_EQ((*Engine.Video.IntraMatrix)[63], 64);

  std::string short_items = items.substr(0, items.rfind(','));
  EXPECT_EQ(Refusal("inter_matrix", short_items),
            "Syntax error in matrix \"" + short_items + "\" at coeff 62");
  Engine.SetOption("intra_matrix", "8,,x" + std::string(61, ','));
  EXPECT_EQ((*Engine.Video.IntraMatrix)[0], 8);
  EXPECT_EQ((*Engine.Video.IntraMatrix)[1], 0);
}

TEST_F(OptionVocabulary, FormatsCodecsAndFilters) {
  EXPECT_EQ(Refusal("f", "nosuch"), "Unknown input or output format: nosuch");
  Engine.SetOption("f", "wav");
  ASSERT_NE(Engine.Maps.ForcedInputFormat, nullptr);
  ASSERT_NE(Engine.Maps.ForcedOutputFormat, nullptr);
  EXPECT_STREQ(Engine.Maps.ForcedOutputFormat->name, "wav");
  Engine.SetOption("f", "pgmyuv");
  EXPECT_TRUE(Engine.Counters.PgmyuvCompat);
  EXPECT_TRUE(Log.Contains("pgmyuv format is deprecated, use image2"));
  EXPECT_STREQ(Engine.Maps.ForcedOutputFormat->name, "image2");
  try {
    Engine.SetInputFormat("adts");
    FAIL();
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "Unknown input format: adts");
  }
  try {
    Engine.SetOutputFormat("wma");
    FAIL();
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "Unknown output format: wma");
  }

  Engine.SetOption("acodec", "libmp3lame");
  EXPECT_EQ(Engine.Audio.CodecName, "libmp3lame");
  Engine.SetOption("acodec", "copy");
  EXPECT_EQ(Engine.Audio.CodecName, "");
  EXPECT_EQ(Engine.StreamCopy.Audio, 1);
  Engine.SetOption("vcodec", "");
  EXPECT_EQ(Engine.StreamCopy.Video, 0);

  Engine.SetOption("vbsf", "h264_mp4toannexb");
  Engine.SetOption("absf", "=ignored");
  ASSERT_EQ(Engine.BitstreamFilters.Video.size(), 1u);
  EXPECT_STREQ(Engine.BitstreamFilters.Video[0]->name, "h264_mp4toannexb");
  EXPECT_TRUE(Engine.BitstreamFilters.Audio.empty());
  EXPECT_EQ(Refusal("sbsf", " nosuch "), "Unknown bitstream filter nosuch");

  Engine.SetOption("pix_fmt", "yuv422p");
  EXPECT_EQ(Engine.Video.PixFmt, AV_PIX_FMT_YUV422P);
  Engine.SetOption("pix_fmt", "nosuch");
  EXPECT_EQ(Engine.Video.PixFmt, AV_PIX_FMT_NONE);
  Engine.SetOption("sample_fmt", "fltp");
  EXPECT_EQ(Engine.Audio.SampleFmt, AV_SAMPLE_FMT_FLTP);
  Log.Lines.clear();
  Engine.SetOption("sample_fmt", "list");
  EXPECT_EQ(Engine.Audio.SampleFmt, AV_SAMPLE_FMT_FLTP);
  ASSERT_EQ(Log.Lines.size(), static_cast<size_t>(AV_SAMPLE_FMT_NB) + 1);
  EXPECT_EQ(Log.Lines[0].second.rfind("name", 0), 0u);
  EXPECT_EQ(Log.Lines[2].second.rfind("s16", 0), 0u);
  Log.Lines.clear();
  Engine.SetOption("pix_fmt", "list");
  EXPECT_GT(Log.Lines.size(), 100u);

  Engine.SetOption("vfilters", "");
  Engine.SetOption("vfilters", "hflip");
  Engine.SetOption("vfilters", "");
  EXPECT_EQ(Engine.Video.Filters, "hflip");
}

TEST_F(OptionVocabulary, FileAndStatisticsOptions) {
  EXPECT_EQ(Refusal("newvideo", ""), "At least one output file must be specified");
  EXPECT_EQ(Refusal("newaudio", ""), "At least one output file must be specified");
  EXPECT_EQ(Refusal("newsubtitle", ""), "At least one output file must be specified");
  EXPECT_EQ(Refusal("vhook", "nosuch.so -x"), "Failed to add video hook function: nosuch.so -x");
  EXPECT_FALSE(Engine.Counters.UsingVHook);

  Engine.SetOption("vstats", "ignored");
  EXPECT_TRUE(std::regex_match(Engine.Sync.VStatsFileName,
                               std::regex(".*/vstats_[0-9]{6}\\.log")))
      << Engine.Sync.VStatsFileName;
  Engine.SetOption("vstats_file", "/tmp/my.log");
  EXPECT_EQ(Engine.Sync.VStatsFileName, "/tmp/my.log");
  Engine.SetOption("passlogfile", "pass");
  Engine.SetOption("pass", "2");
  EXPECT_EQ(Engine.Diagnostic.PassLogFile, "pass");
  EXPECT_EQ(Engine.Diagnostic.PassNumber, 2);
  Engine.SetOption("alang", "chi");
  Engine.SetOption("tvstd", "pal");
  EXPECT_EQ(Engine.Audio.Language, "chi");
  EXPECT_EQ(Engine.Sync.VideoStandard, "pal");
}
