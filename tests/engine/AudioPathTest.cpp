// Audio conversions into every format of the application, checked with ffprobe
// and ffmpeg as the oracle; resampling, channel mapping, volume and sync.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "FFmpeg.h"
#include "TestSupport.h"

using namespace testing_support;

namespace {

struct TFormat {
  const char* Name;       // file extension
  const char* Encoder;    // "acodec"
  const char* Codec;      // what ffprobe reports
  const char* Container;  // ffprobe's format_name
  double Padding;         // seconds an encoder may add at the ends
};

const TFormat Formats[] = {
    {"wav", "pcm_s16le", "pcm_s16le", "wav", 0},
    {"mp3", "libmp3lame", "mp3", "mp3", 0.03},
    {"mp2", "mp2", "mp2", "mp3", 2 * 1152 / 44100.0},
    {"aac", "aac", "aac", "aac", 3 * 1024 / 44100.0},
    {"wma", "wmav2", "wmav2", "asf", 3 * 2048 / 44100.0},
    {"ogg", "flac", "flac", "ogg", 0},
    // The further music formats.
    {"opus", "libopus", "opus", "ogg", 0.03},
    {"oga", "libvorbis", "vorbis", "ogg", 0.03},
    {"flac", "flac", "flac", "flac", 0},
    {"m4a", "aac", "aac", "mov,mp4,m4a,3gp,3g2,mj2", 3 * 1024 / 44100.0},
};

std::string Stereo60() {
  return Fixture("stereo60.wav",
                 "-f lavfi -i sine=frequency=440:duration=60:sample_rate=44100 "
                 "-af aeval='val(0)|0.5*val(0)' -ac 2 -metadata title=Quellon\\ Song "
                 "-metadata artist=Someone -metadata album=Tests -metadata date=2026 "
                 "-metadata track=7 -metadata genre=Test -metadata comment=Tagged");
}

std::string Stereo60Mp3() {
  return Fixture("stereo60.mp3", "-i '" + Stereo60() + "' -c:a libmp3lame -b:a 160k");
}

// Decoded length in seconds (what a player plays).
double DecodedSeconds(const std::string& path) {
  std::string out = Capture("ffmpeg -v error -i '" + path +
                            "' -f s16le -ac 1 -ar 44100 - 2>/dev/null | wc -c");
  return out.empty() ? -1 : std::stod(out) / 2 / 44100.0;
}

// Peak absolute sample of a channel over a window, as a fraction of full scale.
double Peak(const std::string& path, double from, double length, int channel = 0) {
  std::string out = Capture(StrFormat(
      "ffmpeg -nostdin -ss %f -t %f -i '%s' -af 'pan=mono|c0=c%d,volumedetect' -f null - 2>&1 "
      "| grep max_volume",
      from, length, path.c_str(), channel));
  size_t at = out.find("max_volume:");
  if (at == std::string::npos) return -1;
  const std::string value = out.substr(at + 11);
  if (value.find("-inf") != std::string::npos) return 0;
  return std::pow(10.0, std::stod(value) / 20.0);
}

class AudioPath : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(LoadEngineLibraries()); }
  void SetUp() override {
    Engine.Reset();
    Log.Attach(Engine);
  }
  // Converts source into out with the given output options; the job must succeed.
  void Convert(const std::string& source, const std::string& out,
               const std::vector<std::pair<std::string, std::string>>& outputOptions,
               const std::vector<std::pair<std::string, std::string>>& inputOptions = {}) {
    Engine.Reset();
    Log.Lines.clear();
    for (const auto& option : inputOptions) Engine.SetOption(option.first, option.second);
    ASSERT_TRUE(Engine.OpenInputFile(source)) << Engine.LastError;
    for (const auto& option : outputOptions) Engine.SetOption(option.first, option.second);
    ASSERT_TRUE(Engine.OpenOutputFile(out)) << Engine.LastError;
    Engine.Start(false);
    ASSERT_FALSE(Engine.RunState.ExceptionRaised) << Engine.RunState.ExceptionMessage;
    ASSERT_TRUE(Engine.RunState.FinishedNormally);
  }
  TTempDir Dir;
  TCustomFFmpeg Engine;
  TLogCapture Log;
};

}  // namespace

TEST_F(AudioPath, EveryFormatFromWavAndMp3) {
  for (const std::string& source : {Stereo60(), Stereo60Mp3()}) {
    const double expected = DecodedSeconds(source);
    for (const TFormat& format : Formats) {
      SCOPED_TRACE(source + " -> " + format.Name);
      const std::string out = Dir.File(std::string("out.") + format.Name);
      Convert(source, out, {{"acodec", format.Encoder}});
      EXPECT_TRUE(DecodesCleanly(out));
      EXPECT_EQ(Probe(out, "a:0", "stream=codec_name"), format.Codec);
      EXPECT_EQ(Probe(out, "", "format=format_name"), format.Container);
      // Opus is coded at 48 kHz whatever it was given.
      EXPECT_EQ(Probe(out, "a:0", "stream=sample_rate"),
                std::string(format.Name) == "opus" ? "48000" : "44100");
      EXPECT_EQ(Probe(out, "a:0", "stream=channels"), "2");
      const double seconds = DecodedSeconds(out);
      EXPECT_GE(seconds, expected - 0.05);
      EXPECT_LE(seconds, expected + 0.05 + format.Padding);
      std::filesystem::remove(out);
    }
  }
}

TEST_F(AudioPath, TagsOfTheSourceReachEveryFormat) {
  for (const TFormat& format : Formats) {
    SCOPED_TRACE(format.Name);
    const std::string out = Dir.File(std::string("tagged.") + format.Name);
    Convert(Stereo60(), out, {{"acodec", format.Encoder}, {"t", "1"}});
    const std::string tags = Capture("ffprobe -v error -show_entries format_tags:stream_tags "
                                     "-of default=nw=1 '" + out + "'");
    EXPECT_NE(tags.find("=Quellon Song"), std::string::npos) << tags;
    EXPECT_NE(tags.find("=Someone"), std::string::npos) << tags;
    if (std::string(format.Name) != "wav") {
      EXPECT_NE(tags.find("=Tests"), std::string::npos) << tags;
    }
  }
}

TEST_F(AudioPath, RatesAndLayoutsEncodersRefuseBecomeTheNearestTheyTake) {
  const std::string mono = Fixture("mono22050.wav", "-f lavfi -i sine=duration=2:sample_rate=22050 -ac 1");
  std::string out = Dir.File("stereo44.mp3");
  Convert(mono, out, {{"acodec", "libmp3lame"}, {"ac", "2"}, {"ar", "44100"}});
  EXPECT_EQ(Probe(out, "a:0", "stream=sample_rate"), "44100");
  EXPECT_EQ(Probe(out, "a:0", "stream=channels"), "2");
  EXPECT_NEAR(DecodedSeconds(out), 2.0, 0.05);

  const std::string hires = Fixture("hires96.wav", "-f lavfi -i sine=duration=3:sample_rate=96000 -ac 2");
  for (const char* name : {"hires.mp3", "hires.wma", "hires.mp2"}) {
    SCOPED_TRACE(name);
    out = Dir.File(name);
    Convert(hires, out, {});
    EXPECT_EQ(Probe(out, "a:0", "stream=sample_rate"), "48000");
    EXPECT_TRUE(DecodesCleanly(out));
    EXPECT_NEAR(DecodedSeconds(out), 3.0, 0.15);
  }

  const std::string surround = Fixture("surround51.wav",
                                       "-f lavfi -i sine=duration=3:sample_rate=48000 "
                                       "-af aformat=channel_layouts=5.1");
  for (const char* name : {"surround.mp2", "surround.wma", "surround.mp3"}) {
    SCOPED_TRACE(name);
    out = Dir.File(name);
    Convert(surround, out, {});
    EXPECT_EQ(Probe(out, "a:0", "stream=channels"), "2");
    EXPECT_TRUE(DecodesCleanly(out));
  }

  const std::string low = Fixture("low8000.wav", "-f lavfi -i sine=duration=2:sample_rate=8000 -ac 1");
  for (const TFormat& format : Formats) {
    out = Dir.File(std::string("low.") + format.Name);
    Convert(low, out, {{"acodec", format.Encoder}});
    EXPECT_TRUE(DecodesCleanly(out)) << format.Name;
  }
}

TEST_F(AudioPath, SampleFormatsAreConverted) {
  const std::string u8 = Fixture("u8.wav", "-f lavfi -i sine=duration=2 -ac 2 -c:a pcm_u8");
  std::string out = Dir.File("from8bit.mp3");
  Convert(u8, out, {{"acodec", "libmp3lame"}});
  EXPECT_TRUE(DecodesCleanly(out));
  EXPECT_NEAR(DecodedSeconds(out), 2.0, 0.05);

  const std::string flt = Fixture("float.wav", "-f lavfi -i sine=duration=2 -ac 2 -c:a pcm_f32le");
  out = Dir.File("fromfloat.wav");
  Convert(flt, out, {{"acodec", "pcm_s16le"}});
  EXPECT_EQ(Probe(out, "a:0", "stream=codec_name"), "pcm_s16le");
  EXPECT_EQ(Probe(out, "a:0", "stream=duration_ts"), "88200");
  // Same signal: the s16 rendering of both is identical.
  EXPECT_EQ(Capture("ffmpeg -v error -i '" + out + "' -f s16le - | md5sum"),
            Capture("ffmpeg -v error -i '" + flt + "' -f s16le - | md5sum"));
}

TEST_F(AudioPath, VolumeScalesAndClips) {
  // The sine source peaks at 1/8 of full scale.
  const std::string quiet = Fixture("quiet.wav", "-f lavfi -i sine=duration=2 -ac 2");
  const std::string loud = Fixture("loud.wav", "-f lavfi -i sine=duration=2 -af volume=6 -ac 2");
  std::string out = Dir.File("doubled.wav");
  Convert(quiet, out, {{"vol", "512"}});
  EXPECT_NEAR(Peak(out, 0.5, 1) / Peak(quiet, 0.5, 1), 2.0, 0.02);
  out = Dir.File("clipped.wav");
  Convert(loud, out, {{"vol", "512"}});
  EXPECT_NEAR(Peak(out, 0.5, 1), 1.0, 0.001);
}

TEST_F(AudioPath, SilenceFillsALateStart) {
  // The audio starts 0.5 s after the start of the file.
  const std::string late = Fixture("late.mka",
                                   "-f lavfi -i sine=frequency=440:duration=3:sample_rate=44100 "
                                   "-ac 2 -output_ts_offset 0.5 -c:a pcm_s16le");
  const std::string out = Dir.File("synced.wav");
  Convert(late, out, {{"async", "1"}}, {{"copyts", "1"}, {"v", "3"}});
  EXPECT_LT(Peak(out, 0.0, 0.49), 0.0001);
  EXPECT_GT(Peak(out, 0.51, 0.3), 0.05);
  EXPECT_TRUE(Log.Contains("adding 22050 audio samples of silence"));
}

TEST_F(AudioPath, DriftAboveFiftySamplesIsCorrected) {
  // The audio starts 50 or 51 samples late: only more than 50 is corrected.
  for (int late : {50, 51}) {
    SCOPED_TRACE(late);
    const std::string source = Fixture(
        StrFormat("late%d.nut", late),
        StrFormat("-f lavfi -i sine=duration=1:sample_rate=44100 -ac 2 -c:a pcm_s16le "
                  "-output_ts_offset %.10f",
                  late / 44100.0));
    const std::string out = Dir.File(StrFormat("drift%d.wav", late));
    Convert(source, out, {{"async", "1"}}, {{"copyts", "1"}, {"v", "3"}});
    const int added =
        std::stoi(Capture("ffmpeg -v error -i '" + out + "' -f s16le - | wc -c")) / 4 - 44100;
    EXPECT_EQ(added, late == 51 ? 51 : 0);
    EXPECT_EQ(Log.Contains("adding 51 audio samples of silence"), late == 51);
  }
}

TEST_F(AudioPath, ProgressReportsOfAnAudioJob) {
  struct TReport {
    int Frame, Fps, Duration;
    float Quality, BitRate;
    int64_t Size;
    int Total;
  };
  std::vector<TReport> reports;
  const std::string source = Fixture("mono22050.wav", "-f lavfi -i sine=duration=2:sample_rate=22050 -ac 1");
  Engine.Reset();
  ASSERT_TRUE(Engine.OpenInputFile(source));
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("report.wav")));
  Engine.OnProgress = [&](TCustomFFmpeg*, int32_t frame, int32_t fps, int32_t duration,
                          float quality, float bitRate, int64_t size, int32_t total) {
    reports.push_back({frame, fps, duration, quality, bitRate, size, total});
  };
  Engine.RunState.ReportInterval = 0;  // a report per packet
  Engine.Start(false);
  ASSERT_GE(reports.size(), 2u);
  for (const TReport& r : reports) {
    EXPECT_EQ(r.Frame, -1);
    EXPECT_EQ(r.Fps, -1);
    EXPECT_FLOAT_EQ(r.Quality, -1.0f);
    EXPECT_EQ(r.Total, 2000);
  }
  const TReport& last = reports.back();
  EXPECT_NEAR(last.Duration, 2000, 30);
  EXPECT_EQ(last.Size, static_cast<int64_t>(std::filesystem::file_size(Dir.File("report.wav"))));
  EXPECT_NEAR(last.BitRate, 352.8f, 2.0f);  // 22050 Hz × 16 bit
  for (size_t i = 1; i < reports.size(); ++i) EXPECT_GE(reports[i].Duration, reports[i - 1].Duration);

  // Without a progress notification: text lines, then the summary.
  Engine.Reset();
  Engine.OnProgress = nullptr;
  Log.Attach(Engine);
  Log.Lines.clear();
  ASSERT_TRUE(Engine.OpenInputFile(source));
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("summary.wav")));
  Engine.SetVerbose(2);
  Engine.Start(false);
  ASSERT_GE(Log.Lines.size(), 2u);
  const std::string& text = Log.Lines[Log.Lines.size() - 2].second;
  EXPECT_EQ(text.rfind("size=", 0), 0u) << text;
  EXPECT_NE(text.find(" time=2.00 "), std::string::npos) << text;
  EXPECT_NE(text.find(" dup=0 drop=0"), std::string::npos) << text;
  const std::string& summary = Log.Lines.back().second;
  EXPECT_EQ(summary.rfind("video:0kB audio:86kB global headers:0kB muxing overhead 0.", 0), 0u)
      << summary;
  EXPECT_EQ(summary.substr(summary.size() - 3), "%\r\n");
}

TEST_F(AudioPath, ADamagedInputStillConvertsToEveryFormat) {
  // Bursts of random bytes in an MP3, and its last third cut off.
  std::ifstream in(Stereo60Mp3(), std::ios::binary);
  std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::mt19937 random(1);
  for (int burst = 0; burst < 200; ++burst) {
    const size_t at = 5000 + random() % (data.size() - 5100);
    for (int i = 0; i < 50; ++i) data[at + i] = static_cast<char>(random());
  }
  data.resize(data.size() * 2 / 3);
  const std::string damaged = Dir.File("damaged.mp3");
  std::ofstream(damaged, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
  for (const TFormat& format : Formats) {
    SCOPED_TRACE(format.Name);
    const std::string out = Dir.File(std::string("repaired.") + format.Name);
    Convert(damaged, out, {{"acodec", format.Encoder}});
    EXPECT_TRUE(DecodesCleanly(out));
    EXPECT_GT(DecodedSeconds(out), 35.0);
  }
}

TEST_F(AudioPath, WildSampleValuesDoNotFailTheEncoder) {
  // A float WAV whose second half holds NaN, infinities and huge values.
  const int rate = 44100, frames = rate;
  std::vector<float> samples(static_cast<size_t>(frames) * 2);
  for (int i = 0; i < frames; ++i) {
    float v = 0.5f * std::sin(i * 0.0627f);
    if (i > frames / 2) v = (i % 3 == 0) ? NAN : (i % 3 == 1) ? 1e30f : -INFINITY;
    samples[2 * i] = samples[2 * i + 1] = v;
  }
  const std::string wild = Dir.File("wild.wav");
  std::ofstream f(wild, std::ios::binary);
  auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
  const uint32_t bytes = static_cast<uint32_t>(samples.size() * 4);
  f.write("RIFF", 4), u32(36 + bytes), f.write("WAVEfmt ", 8), u32(16), u16(3), u16(2), u32(rate),
      u32(rate * 8), u16(8), u16(32), f.write("data", 4), u32(bytes);
  f.write(reinterpret_cast<const char*>(samples.data()), bytes);
  f.close();
  for (const char* encoder : {"wmav2", "aac", "libmp3lame"}) {
    SCOPED_TRACE(encoder);
    const std::string out = Dir.File(std::string("tamed_") + encoder + ".mkv");
    Convert(wild, out, {{"acodec", encoder}});
    EXPECT_TRUE(DecodesCleanly(out));
  }
}

TEST_F(AudioPath, RecordingTimeCountsWhatTheEncoderWasGiven) {
  for (const TFormat& format : Formats) {
    SCOPED_TRACE(format.Name);
    const std::string out = Dir.File(std::string("cut.") + format.Name);
    Convert(Stereo60(), out, {{"acodec", format.Encoder}, {"t", "1.5"}});
    const double seconds = DecodedSeconds(out);
    EXPECT_GE(seconds, 1.5 - 0.05);
    // At most one encoder frame past the limit (FLAC's are 105 ms), and the
    // format's padding; the muxed clock, which lags by the encoder's delay,
    // gave 1.67 s of MP3.
    EXPECT_LE(seconds, 1.5 + 0.11 + format.Padding);
  }
}
