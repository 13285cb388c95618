// The composed records, spoken to the ffmpeg command-line tool, must give the
// files the user chose: checked with ffprobe, independently of our engine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "OptionComposer.h"
#include "TestSupport.h"
#include "Text.h"

using testing_support::Capture;
using testing_support::MakeMedia;
using testing_support::Quote;
using testing_support::Shell;
using testing_support::TTempDir;

namespace {

std::string Seconds(int ms) { return StrFormat("%d.%03d", ms / 1000, ms % 1000); }

bool HasEncoder(const std::string& name) {
  static const std::string encoders = Capture("ffmpeg -hide_banner -encoders 2>/dev/null");
  return encoders.find(" " + name + " ") != std::string::npos;
}

// The records as command-line options, for the fields the composer sets here.
std::string ConvertCommand(const TInputOptions& in, const TOutputOptions& out) {
  std::string c = "ffmpeg -nostdin -v error -y";
  if (!in.FileFormat.empty()) c += " -f " + in.FileFormat;
  if (in.StartTime > 0) c += " -ss " + Seconds(in.StartTime);
  if (in.ExtOptions == "vn=1") c += " -vn";
  c += " -i " + Quote(in.FileName);
  if (!out.FileFormat.empty()) c += " -f " + out.FileFormat;
  if (!out.AudioCodec.empty()) c += " -acodec " + out.AudioCodec;
  if (out.DisableVideo) c += " -vn";
  if (out.AudioChannels > 0) c += " -ac " + std::to_string(out.AudioChannels);
  if (out.AudioSampleRate > 0) c += " -ar " + std::to_string(out.AudioSampleRate);
  if (out.AudioBitrate > 0) c += " -ab " + std::to_string(out.AudioBitrate);
  if (out.RecordingTime > 0) c += " -t " + Seconds(out.RecordingTime);
  return c + " " + Quote(out.FileName);
}

// ffprobe's view of a file: format name, duration and the first stream.
std::map<std::string, std::string> Probe(const std::string& file) {
  std::map<std::string, std::string> facts;
  const std::string text = Capture(
      "ffprobe -v error -show_entries "
      "format=format_name,duration,nb_streams:stream=codec_name,channels,sample_rate "
      "-of default=nw=1 " +
      Quote(file));
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    const size_t eq = line.find('=');
    if (eq != std::string::npos && !facts.count(line.substr(0, eq)))
      facts[line.substr(0, eq)] = line.substr(eq + 1);
    at = end + 1;
  }
  return facts;
}

class ComposedConversion : public ::testing::Test {
 protected:
  // A sine source beside which the outputs are written.
  std::string MakeSource(int rate, int channels, int seconds) {
    const std::string file = Dir.File("a.wav");
    EXPECT_TRUE(
        MakeMedia(StrFormat("-f lavfi -i sine=frequency=440:sample_rate=%d:duration=%d -ac %d",
                            rate, seconds, channels),
                  file));
    TSourceFacts source;
    source.FileName = file;
    source.FormatName = "wav";
    source.Duration = seconds * 1'000'000LL;
    LoadSource(State, source);
    return file;
  }
  // Composes both records for the format and converts; the output's facts.
  std::map<std::string, std::string> Convert(const char* format) {
    EXPECT_TRUE(SelectFormat(State, format));
    TInputOptions in;
    TOutputOptions out;
    ComposeInput(State, in);
    ComposeOutput(State, out);
    EXPECT_EQ(out.ExtOptions, "");
    EXPECT_TRUE(Shell(ConvertCommand(in, out))) << ConvertCommand(in, out);
    return Probe(out.FileName);
  }
  TTempDir Dir;
  TComposerState State;
};

}  // namespace

TEST_F(ComposedConversion, EachAppFormatGivesItsCodecAndContainer) {
  MakeSource(44100, 2, 2);
  const struct {
    const char* format;
    const char* container;
    const char* codec;
    const char* encoder;
  } cases[] = {{"WAV", "wav", "pcm_s16le", "pcm_s16le"},
               {"MP3", "mp3", "mp3", "libmp3lame"},
               {"MP2", "mp3", "mp2", "mp2"},
               {"AAC", "aac", "aac", "aac"},
               {"WMA", "asf", "wmav2", "wmav2"},
               {"OGG", "ogg", "flac", "flac"}};
  for (const auto& c : cases) {
    if (!HasEncoder(c.encoder)) {
      ADD_FAILURE() << "encoder " << c.encoder << " missing: " << c.format << " not checked";
      continue;
    }
    auto facts = Convert(c.format);
    EXPECT_EQ(facts["format_name"], c.container) << c.format;
    EXPECT_EQ(facts["codec_name"], c.codec) << c.format;
    EXPECT_EQ(facts["nb_streams"], "1") << c.format;
    EXPECT_EQ(facts["channels"], "2") << c.format;
    EXPECT_EQ(facts["sample_rate"], "44100") << c.format;
  }
}

TEST_F(ComposedConversion, AacEncoderChoiceIsAccepted) {
  MakeSource(44100, 1, 1);
  State.Audio.Codec = 1;  // "AAC"
  auto facts = Convert("MP4");
  EXPECT_EQ(facts["codec_name"], "aac");
}

TEST_F(ComposedConversion, SettingsStereoAnd44100WriteTwoChannelsAt44100) {
  if (!HasEncoder("libmp3lame")) GTEST_SKIP() << "no libmp3lame encoder";
  MakeSource(22050, 1, 1);
  ApplyAudioSettings(State, 2, 4, "8 ");
  auto facts = Convert("MP3");
  EXPECT_EQ(facts["channels"], "2");
  EXPECT_EQ(facts["sample_rate"], "44100");
}

TEST_F(ComposedConversion, MarkedClipConvertsOnlyThatPart) {
  MakeSource(44100, 2, 4);
  SetTimeBarPosition(State.Clip, TimeBarPositionAt(State.Clip.Bar, 1.0));
  SetClipStart(State.Clip);
  SetTimeBarPosition(State.Clip, TimeBarPositionAt(State.Clip.Bar, 3.0));
  SetClipEnd(State.Clip);
  State.Clip.Checked = true;
  auto facts = Convert("WAV");
  EXPECT_NEAR(std::atof(facts["duration"].c_str()), 2.0, 0.05);
}
