// Quality per format: the text read (good and bad, per format), what each
// encoder is given or why it refuses, and the batch's outputs as ffprobe
// reads them back (VBR MP3 with its Xing header, split in chunks; Vorbis
// quality; Opus rate control; FLAC compression level).
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "Batch.h"
#include "ComponentTestSupport.h"
#include "FFmpegLoader.h"
#include "Quality.h"
#include "TestSupport.h"

using testing_support::Capture;
using testing_support::DecodesCleanly;
using testing_support::Fixture;
using testing_support::Probe;
using testing_support::ProbeDuration;
using testing_support::Quote;
using testing_support::TTempDir;

namespace {

struct TTextCase {
  const char* Text;
  bool Good;
  const char* Canonical;  // Good: QualityText of it; bad: a part of the reason
};

TEST(QualityText, ReadsEachFormOfQualityAndNamesWhatIsWrong) {
  const TTextCase cases[] = {
      {"", true, ""},
      {" auto ", true, ""},
      {"V0", true, "V0"},
      {"v2", true, "V2"},
      {"V9", true, "V9"},
      {"192k", true, "192k"},
      {"192K", true, "192k"},
      {"96k:vbr", true, "96k:vbr"},
      {"96k:CVBR", true, "96k:cvbr"},
      {"64k:cbr", true, "64k:cbr"},
      {"q5", true, "q5"},
      {"q-1", true, "q-1"},
      {"q0.5", true, "q0.5"},
      {"level8", true, "level8"},
      {"Level0", true, "level0"},
      {"V10", false, "V0 (best) to V9"},
      {"V-1", false, "V0 (best) to V9"},
      {"V2.5", false, "V0 (best) to V9"},
      {"V", false, "V0 (best) to V9"},
      {"192", false, "needs its unit: 192k"},
      {"0k", false, "whole number of kbit/s above 0"},
      {"-8k", false, "whole number of kbit/s"},
      {"1.5k", false, "whole number of kbit/s"},
      {"96k:abr", false, ":vbr, :cvbr or :cbr"},
      {"q", false, "q and a number"},
      {"q+5", false, "q and a number"},
      {"qfive", false, "q and a number"},
      {"level", false, "level0 to level8"},
      {"level-1", false, "level0 to level8"},
      {"best", false, "not understood"},
  };
  for (const TTextCase& c : cases) {
    TQuality quality;
    std::string why;
    const bool read = ParseQuality(c.Text, quality, why);
    EXPECT_EQ(read, c.Good) << c.Text << ": " << why;
    if (read && c.Good) {
      EXPECT_EQ(QualityText(quality), c.Canonical) << c.Text;
      TQuality again;
      EXPECT_TRUE(ParseQuality(QualityText(quality), again, why)) << c.Text;
      EXPECT_EQ(QualityText(again), c.Canonical);
    } else if (!read) {
      EXPECT_NE(why.find(c.Canonical), std::string::npos) << c.Text << ": " << why;
    }
  }
}

TEST(QualityText, AListGivesEachFormatItsOwnAndTheOthersTheirDefault) {
  const std::string list = "mp3=V2, OPUS=96k:cvbr,flac=level8";
  const struct {
    const char* Format;
    const char* Expected;
  } cases[] = {{"MP3", "V2"}, {"opus", "96k:cvbr"}, {"FLAC", "level8"}, {"VORBIS", ""}};
  for (const auto& c : cases) {
    TQuality quality;
    std::string why;
    ASSERT_TRUE(QualityOfFormat(list, c.Format, quality, why)) << why;
    EXPECT_EQ(QualityText(quality), c.Expected) << c.Format;
  }
  const struct {
    const char* Text;
    const char* Reason;
  } bad[] = {{"mp3=V2,ape=q5", "unknown format 'ape'"},
             {"mp3=V2,MP3=V3", "names MP3 twice"},
             {"mp3=V2,opus", "FORMAT=QUALITY"},
             {"mp3=V2,vorbis=q", "VORBIS quality 'q'"}};
  for (const auto& c : bad) {
    TQuality quality;
    std::string why;
    EXPECT_FALSE(QualityOfFormat(c.Text, "MP3", quality, why)) << c.Text;
    EXPECT_NE(why.find(c.Reason), std::string::npos) << c.Text << ": " << why;
  }
}

struct TSettingsCase {
  const char* Format;
  const char* Encoder;
  const char* Text;
  int SampleRate, Channels;
  int BitRate;        // -1 none; 0: refused
  const char* Lines;  // joined by ';', or a part of the reason when refused
};

TEST(QualitySettings, EachEncoderGetsWhatItTakesAndRefusesTheRest) {
  const TSettingsCase cases[] = {
      // MP3: LAME's V scale as the quality-scale flag, CBR as a bit rate.
      {"MP3", "libmp3lame", "V2", 0, 0, -1, "aq=2"},
      {"MP3", "libmp3lame", "V0", 44100, 2, -1, "aq=0"},
      {"MP3", "libmp3lame", "192k", 0, 0, 192000, ""},
      {"MP3", "libmp3lame", "320k", 44100, 0, 320000, ""},
      {"MP3", "libmp3lame", "320k", 22050, 0, 0, "8k-160k at 22050 Hz"},
      {"MP3", "libmp3lame", "96k", 8000, 0, 0, "8k-64k at 8000 Hz"},
      {"MP3", "libmp3lame", "16k", 44100, 0, 0, "32k-320k"},
      {"MP3", "libmp3lame", "q5", 0, 0, 0, "V0-V9 or a bit rate"},
      {"MP3", "libmp3lame", "level5", 0, 0, 0, "V0-V9"},
      {"MP3", "libmp3lame", "128k:vbr", 0, 0, 0, "those are Opus's"},
      {"MP3", "libshine", "V2", 0, 0, 0, "no VBR"},
      {"MP3", "", "V2", 0, 0, 0, "no encoder for MP3"},
      // AAC and M4A: the libraries' own encoder's quality, or libfdk_aac's VBR modes.
      {"M4A", "aac", "q1.5", 0, 0, -1, "aq=1.5"},
      {"AAC", "aac", "q0.1", 0, 0, -1, "aq=0.1"},
      {"AAC", "aac", "q3", 0, 0, 0, "q0.1-q2"},
      {"AAC", "aac", "256k", 0, 0, 256000, ""},
      {"AAC", "aac", "V2", 0, 0, 0, "q0.1-q2"},
      {"M4A", "libfdk_aac", "q4", 0, 0, -1, "vbr=4"},
      {"M4A", "libfdk_aac", "q4.5", 0, 0, 0, "q1-q5"},
      // Vorbis quality -1 to 10.
      {"VORBIS", "libvorbis", "q5", 0, 0, -1, "aq=5"},
      {"VORBIS", "libvorbis", "q-1", 0, 0, -1, "aq=-1"},
      {"VORBIS", "libvorbis", "q10.5", 0, 0, 0, "q-1 to q10"},
      {"VORBIS", "libvorbis", "128k", 0, 0, 128000, ""},
      {"VORBIS", "libvorbis", "level5", 0, 0, 0, "q-1 to q10"},
      // Opus: a bit rate and its rate control.
      {"OPUS", "libopus", "96k", 0, 0, 96000, ""},
      {"OPUS", "libopus", "96k:vbr", 0, 0, 96000, "vbr=on"},
      {"OPUS", "libopus", "96k:cvbr", 0, 0, 96000, "vbr=constrained"},
      {"OPUS", "libopus", "64k:cbr", 0, 0, 64000, "vbr=off"},
      {"OPUS", "libopus", "300k", 0, 1, 0, "6k-256k"},
      {"OPUS", "libopus", "5k", 0, 0, 0, "6k-510k"},
      {"OPUS", "libopus", "q5", 0, 0, 0, "6k-510k"},
      // FLAC, and OGG that holds FLAC: the compression level.
      {"FLAC", "flac", "level8", 0, 0, -1, "compression_level=8"},
      {"OGG", "flac", "level0", 0, 0, -1, "compression_level=0"},
      {"FLAC", "flac", "level9", 0, 0, 0, "level0-level8"},
      {"FLAC", "flac", "320k", 0, 0, 0, "lossless: no bit rate"},
      // MP2: the layer's bit rates only, by the sample rate when it is known.
      {"MP2", "mp2", "384k", 44100, 0, 384000, ""},
      {"MP2", "mp2", "144k", 22050, 0, 144000, ""},
      {"MP2", "mp2", "144k", 44100, 0, 0, "at 44100 Hz"},
      {"MP2", "mp2", "100k", 0, 0, 0, "one of 32k 48k"},
      {"MP2", "mp2", "V2", 0, 0, 0, "one of"},
      // WMA: a bit rate from 24k.
      {"WMA", "wmav2", "128k", 0, 0, 128000, ""},
      {"WMA", "wmav2", "16k", 0, 0, 0, "24k-384k"},
      {"WMA", "wmav2", "q5", 0, 0, 0, "24k-384k"},
      // PCM takes nothing; the other formats a bit rate.
      {"WAV", "pcm_s16le", "192k", 0, 0, 0, "uncompressed PCM"},
      {"AVI", "libmp3lame", "V2", 0, 0, -1, "aq=2"},
      {"AC3", "ac3", "448k", 0, 0, 448000, ""},
      {"AC3", "ac3", "q5", 0, 0, 0, "a bit rate"},
  };
  for (const TSettingsCase& c : cases) {
    const std::string label = std::string(c.Format) + "/" + c.Encoder + " " + c.Text;
    TQuality quality;
    std::string why;
    ASSERT_TRUE(ParseQuality(c.Text, quality, why)) << label << ": " << why;
    TQualitySettings settings;
    const bool taken =
        QualitySettingsFor({c.Format, c.Encoder, c.SampleRate, c.Channels}, quality, settings, why);
    if (c.BitRate == 0) {
      EXPECT_FALSE(taken) << label;
      EXPECT_NE(why.find(c.Lines), std::string::npos) << label << ": " << why;
      continue;
    }
    ASSERT_TRUE(taken) << label << ": " << why;
    EXPECT_EQ(settings.BitRate, c.BitRate) << label;
    std::string lines;
    for (const std::string& line : settings.Lines) lines += (lines.empty() ? "" : ";") + line;
    EXPECT_EQ(lines, c.Lines) << label;
  }
}

// ---- Outputs read back ---------------------------------------------------------

// 45 s of a music-like stereo signal: tones that swell over pink noise, the
// noise in bursts so that a VBR encoder's frames differ.
std::string MusicWav() {
  return Fixture("quality_music.wav",
                 "-f lavfi -i aevalsrc=exprs='0.3*sin(2*PI*220*t)*(0.5+0.5*sin(2*PI*0.5*t))"
                 "+0.2*sin(2*PI*330*t+2*sin(2*PI*3*t))|0.3*sin(2*PI*277*t)':d=45 "
                 "-f lavfi -i anoisesrc=c=pink:a=0.15:d=45:seed=4 "
                 "-filter_complex '[1]tremolo=f=0.7:d=0.9[n];[0][n]amix=inputs=2:normalize=0' "
                 "-ac 2 -ar 44100");
}

std::vector<int> PacketSizes(const std::string& path) {
  const std::string text = Capture("ffprobe -v error -select_streams a:0 -show_entries "
                                   "packet=size -of csv=p=0 " + Quote(path));
  std::vector<int> sizes;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find('\n', at), text.size());
    if (end > at) sizes.push_back(std::atoi(text.c_str() + at));
    at = end + 1;
  }
  return sizes;
}

// The tag of an MP3's first frame ("Xing" for VBR, "Info" for CBR) and the
// frame count it states; "" when there is none.
std::string XingTag(const std::string& path, int64_t& frames) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  bytes.resize(std::min<size_t>(bytes.size(), 1 << 16));
  for (const char* tag : {"Xing", "Info"}) {
    const size_t at = bytes.find(tag);
    if (at == std::string::npos || at + 12 > bytes.size()) continue;
    auto word = [&](size_t i) {
      const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + i);
      return (int64_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
    };
    frames = (word(at + 4) & 1) ? word(at + 8) : -1;  // flag 1: the frame count is there
    return tag;
  }
  return "";
}

struct TOutputCase {
  const char* Name;
  const char* Format;
  const char* Quality;
  const char* Extension;
};

void PrintTo(const TOutputCase& c, std::ostream* os) { *os << c.Name; }

class QualityOutput : public ::testing::TestWithParam<TOutputCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Component.LoadAVLib(DefaultLibraryDir())) << Component.LastErrMsg();
    Component.SetLogLevel(llInfo);
    Batch = std::make_unique<TConversionBatch>(Component);
    Batch->Choices.OutputFolder = Out.Path();
    Batch->Jobs = 1;
    Batch->SplitEncoding = true;
    Batch->OnLog = [this](uint64_t, TLogLevel, const std::string& text) {
      if (text.find("is encoded in chunks") != std::string::npos) Split = true;
    };
  }
  void TearDown() override { Batch.reset(); }
  // Converts the source with the case's choices; the output's path.
  std::string Convert(const TOutputCase& c) {
    Batch->Choices.Format = c.Format;
    Batch->Choices.Quality = c.Quality;
    std::string why;
    EXPECT_TRUE(Batch->CheckChoices(why)) << why;
    EXPECT_TRUE(Batch->AddPath(MusicWav(), false));
    EXPECT_TRUE(Batch->Start());
    EXPECT_TRUE(Component.EventLoop()->RunUntil([this] { return !Batch->Running(); }, 120000));
    const TBatchFile& file = Batch->Files().back();
    EXPECT_EQ(file.Outcome, foComplete) << file.Reason;
    return file.Output;
  }
  TTempDir Out;
  TREzuvuZUZ Component;
  std::unique_ptr<TConversionBatch> Batch;
  bool Split = false;
};

TEST_P(QualityOutput, IsWhatFfprobeReadsBack) {
  const TOutputCase& c = GetParam();
  if (FormatEncoder(c.Format).empty()) GTEST_SKIP() << "no encoder for " << c.Format;
  const std::string out = Convert(c);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.substr(out.size() - std::string(c.Extension).size()), c.Extension);
  EXPECT_NEAR(ProbeDuration(out), 45.0, 0.06) << out;
  EXPECT_TRUE(DecodesCleanly(out)) << out;
  const std::vector<int> sizes = PacketSizes(out);
  ASSERT_GT(sizes.size(), 100u);
  // Frame sizes other than the last one's.
  const std::set<int> distinct(sizes.begin(), sizes.end() - 1);
  const std::string name = c.Name;
  if (name == "Mp3V2Split") {
    // VBR: the frames' bit rates vary, and the Xing header (not "Info")
    // counts every frame of the file, chunks and joins included.
    EXPECT_GE(distinct.size(), 3u);
    int64_t frames = -1;
    EXPECT_EQ(XingTag(out, frames), "Xing");
    EXPECT_EQ(frames, static_cast<int64_t>(sizes.size()));
    // Every chunk at V2: the mean bit rate is ffmpeg's for -q:a 2, give or take.
    const std::string whole = Out.File("whole.mp3");
    ASSERT_TRUE(testing_support::Shell("ffmpeg -nostdin -v error -y -i " + Quote(MusicWav()) +
                                       " -c:a libmp3lame -q:a 2 " + Quote(whole)));
    const double ours = std::stod(Probe(out, "", "format=bit_rate"));
    const double theirs = std::stod(Probe(whole, "", "format=bit_rate"));
    EXPECT_NEAR(ours, theirs, theirs * 0.05);
    if (std::thread::hardware_concurrency() >= 2) {
      EXPECT_TRUE(Split) << "not encoded in chunks";
    }
  } else if (name == "Mp3Cbr") {
    int64_t frames = -1;
    EXPECT_EQ(XingTag(out, frames), "Info");
    EXPECT_EQ(Probe(out, "a:0", "stream=bit_rate"), "192000");
  } else if (name == "VorbisQ5") {
    // libvorbis states the nominal bit rate of its quality: 160 kbit/s for
    // q5 at 44.1 kHz stereo (the default quality 3 states 112).
    EXPECT_EQ(Probe(out, "a:0", "stream=bit_rate"), "160000");
  } else if (name == "Opus96kVbr") {
    EXPECT_GE(distinct.size(), 10u);
  } else if (name == "Opus96kCbr") {
    EXPECT_EQ(distinct.size(), 1u) << "a constant bit rate has packets of one size";
  } else if (name == "FlacLevel8") {
    // The same encoder at levels 0 and 8, by ffmpeg: ours is as small as level 8.
    const std::string level0 = Out.File("level0.flac"), level8 = Out.File("level8.flac");
    for (const auto& [level, path] : {std::pair{"0", level0}, std::pair{"8", level8}})
      ASSERT_TRUE(testing_support::Shell("ffmpeg -nostdin -v error -y -i " + Quote(MusicWav()) +
                                         " -compression_level " + level + " " + Quote(path)));
    const auto size = [](const std::string& path) {
      std::ifstream in(path, std::ios::binary | std::ios::ate);
      return static_cast<double>(in.tellg());
    };
    EXPECT_LT(size(out), size(level0) * 0.99);
    EXPECT_NEAR(size(out), size(level8), size(level8) * 0.005);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, QualityOutput,
    ::testing::Values(TOutputCase{"Mp3V2Split", "MP3", "V2", ".mp3"},
                      TOutputCase{"Mp3Cbr", "MP3", "192k", ".mp3"},
                      TOutputCase{"VorbisQ5", "VORBIS", "q5", ".ogg"},
                      TOutputCase{"Opus96kVbr", "OPUS", "96k:vbr", ".opus"},
                      TOutputCase{"Opus96kCbr", "OPUS", "96k:cbr", ".opus"},
                      TOutputCase{"FlacLevel8", "FLAC", "level8", ".flac"}),
    [](const ::testing::TestParamInfo<TOutputCase>& param) { return param.param.Name; });

TEST(QualityBatch, AQualityTheEncoderCannotTakeFailsEveryFileBeforeItRuns) {
  TREzuvuZUZ component;
  ASSERT_TRUE(component.LoadAVLib(DefaultLibraryDir())) << component.LastErrMsg();
  TTempDir out;
  TConversionBatch batch(component);
  batch.Choices.OutputFolder = out.Path();
  batch.Choices.Format = "MP3";
  batch.Choices.Quality = "q5";
  std::string why;
  EXPECT_FALSE(batch.CheckChoices(why));
  EXPECT_NE(why.find("MP3 (libmp3lame) cannot take the quality 'q5'"), std::string::npos) << why;
  batch.AddPath(component_testing::SineWav(1), false);
  if (batch.Start())
    component.EventLoop()->RunUntil([&batch] { return !batch.Running(); }, 60000);
  ASSERT_EQ(batch.Files().size(), 1u);
  const TBatchFile& file = batch.Files().front();
  EXPECT_EQ(file.Outcome, foFailed);
  EXPECT_EQ(file.Code, rcOption);
  EXPECT_EQ(file.Reason, why);
  EXPECT_TRUE(Capture("ls -A " + Quote(out.Path())).empty()) << "nothing is written";
  // A list's formats are each checked, the one chosen or not.
  batch.Choices.Quality = "mp3=V2,opus=level5";
  EXPECT_FALSE(batch.CheckChoices(why));
  EXPECT_NE(why.find("OPUS (libopus) cannot take the quality 'level5'"), std::string::npos) << why;
  batch.Choices.Quality = "mp3=V2,opus=96k:cvbr";
  EXPECT_TRUE(batch.CheckChoices(why)) << why;
  // A text that is not a quality at all is refused the same way.
  batch.Choices.Quality = "V12";
  EXPECT_FALSE(batch.CheckChoices(why));
  EXPECT_NE(why.find("V0 (best) to V9"), std::string::npos) << why;
}

}  // namespace
