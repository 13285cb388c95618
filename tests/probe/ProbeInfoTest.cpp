// The descriptive calls: info text, file info, video stream info.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "ProbeTestSupport.h"

using namespace probe_test;

namespace {

class ProbeInfoText : public ProbeTest {};
class ProbeVideoStreamInfo : public ProbeTest {};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool StartsWith(const std::string& text, const std::string& head) {
  return text.rfind(head, 0) == 0;
}

// Sets TZ for one scope.
struct TTimeZone {
  explicit TTimeZone(const char* zone) {
    if (const char* old = getenv("TZ")) Saved = old, HadOne = true;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TTimeZone() {
    if (HadOne)
      setenv("TZ", Saved.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  std::string Saved;
  bool HadOne = false;
};

const char* const TAGS =
    "-metadata title=T1 -metadata artist=A1 -metadata copyright=Cp -metadata comment=C1 "
    "-metadata album=Al -metadata genre=Rock -metadata date=2009 -metadata track=7";

}  // namespace

TEST_F(ProbeInfoText, SizesAndDurationsAreFormattedByTheirUnit) {
  EXPECT_EQ(TCustomAVProbe::FormatFileSize(3000000), "2.86 MB");
  EXPECT_EQ(TCustomAVProbe::FormatFileSize(1024), "1024 Byte");
  EXPECT_EQ(TCustomAVProbe::FormatFileSize(1025), "1.00 KB");
  EXPECT_EQ(TCustomAVProbe::FormatFileSize(1073741824), "1024.00 MB");
  EXPECT_EQ(TCustomAVProbe::FormatFileSize(3221225472), "3.00 GB");
  EXPECT_EQ(TCustomAVProbe::FormatDuration(3723500000), "01:02:03.500");
  EXPECT_EQ(TCustomAVProbe::FormatDuration(999999), "00:00:00.999");
}

TEST_F(ProbeInfoText, DescribesATaggedStereoWav) {
  const std::string file = Temp.File("tagged.wav");
  ASSERT_TRUE(
      MakeMedia(std::string("-f lavfi -i sine=frequency=440:duration=3 -ac 2 ") + TAGS, file));
  TCustomAVProbe probe;
  ASSERT_TRUE(probe.Open(file)) << probe.LastError();

  const auto size = static_cast<int64_t>(std::filesystem::file_size(file));
  EXPECT_EQ(probe.GetFileSize(), size);
  const long bitRate = std::atol(Probe(file, "", "format=bit_rate").c_str());
  char sizeText[32];
  snprintf(sizeText, sizeof(sizeText), "%.2f KB", size / 1024.0);
  const std::vector<std::string> expected = {
      "File Name: " + file,
      "Format Name: wav",
      "Format Long Name: WAV / WAVE (Waveform Audio)",
      std::string("File Size: ") + sizeText,
      "Duration: 00:00:03.000",
      "Bit Rate: " + std::to_string(bitRate / 1000) + " Kbps",
      "Title: T1",
      "Author: A1",
      "Copyright: Cp",
      "Comment: C1",
      "Album: Al",
      "Genre: Rock",
      "Year: 2009",
      "Track: #7"};
  const std::string text = probe.GetInfoText();
  std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(lines.size(), expected.size() + 1) << text;
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i], expected[i]);
  const std::string& stream = lines.back();
  EXPECT_TRUE(StartsWith(stream, "Stream #0, 1/44100: Audio: pcm_s16le")) << stream;
  EXPECT_NE(stream.find("44100 Hz, stereo"), std::string::npos) << stream;
  EXPECT_EQ(stream.substr(stream.size() - 24), ", Duration: 00:00:03.000") << stream;
  EXPECT_NE(text.back(), '\n');

  const TFileInfo info = probe.GetFileInfo();
  EXPECT_EQ(info.StartTime, -1);  // ffprobe: start_time=N/A
  EXPECT_EQ(info.Duration, 3000000);
  EXPECT_EQ(info.BitRate, bitRate);
  EXPECT_EQ(info.Title, "T1");
  EXPECT_EQ(info.Author, "A1");
  EXPECT_EQ(info.Year, 2009);
  EXPECT_EQ(info.Track, 7);
  EXPECT_EQ(info.TimeStamp, 0);
}

TEST_F(ProbeInfoText, ProgramsListTheirStreamsWithIdsAndStartTimes) {
  const std::string file = Temp.File("prog.ts");
  ASSERT_TRUE(
      MakeMedia("-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=duration=2 "
                "-t 2 -c:v mpeg4 -c:a mp2",
                file));
  TCustomAVProbe probe;
  ASSERT_TRUE(probe.Open(file)) << probe.LastError();
  const std::vector<std::string> lines = Lines(probe.GetInfoText());
  auto find = [&](const std::string& head) {
    for (const auto& line : lines)
      if (StartsWith(line, head)) return line;
    return std::string();
  };
  EXPECT_EQ(find("StartTime: "), "StartTime: " + Probe(file, "", "format=start_time"));
  const std::string program = "Program " + Probe(file, "", "program=program_id") + " " +
                              Probe(file, "", "program_tags=service_name") + "@" +
                              Probe(file, "", "program_tags=service_provider");
  const std::string video = find("Stream #0");
  const std::string audio = find("Stream #1");
  // ffprobe lists a program's streams twice: Probe takes the first answer.
  const std::string starts[] = {Probe(file, "v", "stream=start_time"),
                                Probe(file, "a", "stream=start_time")};
  EXPECT_TRUE(StartsWith(video, "Stream #0[0x100], 1/90000: Video: mpeg4")) << video;
  EXPECT_NE(video.find(", 25.00 tb(r), StartTime: " + starts[0] + ", Duration: "),
            std::string::npos)
      << video;
  EXPECT_TRUE(StartsWith(audio, "Stream #1[0x101], 1/90000: Audio: mp2")) << audio;
  EXPECT_NE(audio.find(", StartTime: " + starts[1] + ", Duration: "), std::string::npos) << audio;
  // The program heads its streams.
  auto at = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line); };
  ASSERT_NE(at(program), lines.end()) << program;
  EXPECT_EQ(at(program) + 1, at(video));
  EXPECT_EQ(at(program) + 2, at(audio));
}

TEST_F(ProbeInfoText, TimeStampIsShownInLocalTime) {
  const std::string file = Temp.File("stamped.mka");
  ASSERT_TRUE(
      MakeMedia("-f lavfi -i sine=duration=1 -c:a pcm_s16le -metadata "
                "creation_time=2009-06-15T12:30:45Z",
                file));
  TCustomAVProbe probe;
  ASSERT_TRUE(probe.Open(file)) << probe.LastError();
  EXPECT_EQ(probe.GetFileInfo().TimeStamp, 1245069045);
  {
    TTimeZone zone("CST-8");
    EXPECT_NE(probe.GetInfoText().find("\nTime Stamp: 2009-06-15 20:30:45\n"), std::string::npos);
  }
  {
    TTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");  // summer time in June
    EXPECT_NE(probe.GetInfoText().find("\nTime Stamp: 2009-06-15 14:30:45\n"), std::string::npos);
  }
}

TEST_F(ProbeInfoText, LongTagsAreCutAtACharacterBoundary) {
  const std::string file = Temp.File("long.wav");
  std::string title;
  for (int i = 0; i < 300; ++i) title += "\xC3\xA9";  // 600 bytes of "é"
  ASSERT_TRUE(MakeMedia("-f lavfi -i sine=duration=1 -metadata title=" + title, file));
  TCustomAVProbe probe;
  ASSERT_TRUE(probe.Open(file));
  EXPECT_EQ(probe.GetFileInfo().Title, title.substr(0, 510));
}

TEST_F(ProbeInfoText, WithoutAFileEveryCallIsEmptyAndLogged) {
  TAVProbe probe;
  EXPECT_EQ(probe.GetInfoText(), "");
  EXPECT_TRUE(LibraryLog.Contains(1, "file not loaded.\n"));
  EXPECT_EQ(probe.GetFileSize(), -1);
  EXPECT_EQ(probe.GetFileName(), "");
  const TFileInfo info = probe.GetFileInfo();
  EXPECT_EQ(info.Duration, -1);
  EXPECT_EQ(info.StartTime, -1);
  EXPECT_EQ(probe.GetVideoStreamInfo().Width, -1);
  EXPECT_FALSE(probe.Seek(-1, 0));
  EXPECT_EQ(probe.LastError(), "file not loaded.");
  EXPECT_EQ(probe.ReadVideoFrame().GetWidth(), 0);
}

TEST_F(ProbeVideoStreamInfo, AgreesWithFfprobe) {
  const std::string file = Temp.File("v.mkv");
  ASSERT_TRUE(
      MakeMedia("-f lavfi -i sine=duration=1 -f lavfi -i testsrc=size=160x120:rate=25 -t 1 "
                "-c:v mpeg4 -aspect 16:9 -metadata:s:v:0 language=eng",
                file));
  TCustomAVProbe probe;
  ASSERT_TRUE(probe.Open(file)) << probe.LastError();
  const TVideoStreamInfo info = probe.GetVideoStreamInfo(-1);
  EXPECT_EQ(info.Width, 160);
  EXPECT_EQ(info.Height, 120);
  EXPECT_EQ(info.CodecName, Probe(file, "v", "stream=codec_name"));
  EXPECT_EQ(info.Language, "eng");
  EXPECT_EQ(info.PixelFormat, 0);  // yuv420p
  EXPECT_EQ(std::to_string(info.RealFrameRateNum) + "/" + std::to_string(info.RealFrameRateDen),
            Probe(file, "v", "stream=r_frame_rate"));
  EXPECT_NEAR(info.DisplayAspectRatio, 16.0 / 9.0, 1e-4);
  EXPECT_EQ(std::to_string(info.StartTime), Probe(file, "v", "stream=start_pts"));
  EXPECT_NEAR(info.StartTimeUs, 1e6 * std::atof(Probe(file, "v", "stream=start_time").c_str()), 1);
  EXPECT_EQ(probe.GetVideoStreamInfo(probe.FirstVideoStreamIndex()).Width, 160);
}
