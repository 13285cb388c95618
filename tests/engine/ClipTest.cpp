// A clip (input start position, recording time) is cut where it was asked,
// whatever streams the source holds: a tone whose loudness tells the time
// shows where the output begins and ends.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <sstream>

#include "FFmpeg.h"
#include "TestSupport.h"

using namespace testing_support;

namespace {

// A 1 kHz tone whose amplitude at t seconds is t / 4 of full scale.
const char* RAMP = "aevalsrc=exprs='t/4*sin(2*PI*1000*t)|t/4*sin(2*PI*1000*t)':d=3:s=44100";

// The tone's amplitude around a sample: the RMS of 10 ms, times sqrt 2.
double Amplitude(const std::vector<double>& samples, size_t center) {
  double sum = 0;
  for (size_t i = center - 220; i < center + 221; ++i) sum += samples[i] * samples[i];
  return std::sqrt(sum / 441) * std::sqrt(2.0);
}

struct TClipCase {
  const char* Name;
  std::string Args;  // ffmpeg arguments that make the source from the ramp
  const char* Output;
  double Tolerance;  // seconds the measured start may be off
  double Padding;    // seconds an encoder adds at the end
};

void PrintTo(const TClipCase& c, std::ostream* os) { *os << c.Name; }

class Clip : public ::testing::TestWithParam<TClipCase> {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(LoadEngineLibraries()); }
  // The decoded samples of the output's first channel, in full-scale units.
  static std::vector<double> Samples(const std::string& path) {
    const std::string raw = Capture("ffmpeg -nostdin -v error -i " + Quote(path) +
                                    " -af 'pan=mono|c0=c0' -ar 44100 -f f32le - | od -An -v -tf4 -w4");
    std::vector<double> values;
    std::istringstream in(raw);
    for (double v; in >> v;) values.push_back(v);
    return values;
  }
  TTempDir Dir;
};

}  // namespace

TEST_P(Clip, StartsAndEndsWhereAsked) {
  const TClipCase& c = GetParam();
  const std::string source = Fixture(std::string("clip_") + c.Name,
                                     std::string("-f lavfi -i ") + RAMP + " " + c.Args);
  TCustomFFmpeg engine;
  engine.Reset();
  engine.SetStartTime(1000000);
  if (std::string(c.Output) != "ogg") engine.SetOption("vn", "1");
  ASSERT_TRUE(engine.OpenInputFile(source)) << engine.LastError;
  engine.SetRecordingTime(1000);
  if (std::string(c.Output) == "ogg") engine.SetOption("acodec", "flac");
  const std::string out = Dir.File(std::string("clip.") + c.Output);
  ASSERT_TRUE(engine.OpenOutputFile(out)) << engine.LastError;
  engine.Start(false);
  ASSERT_EQ(engine.Result.Outcome, joComplete) << engine.Result.Reason;
  EXPECT_TRUE(DecodesCleanly(out));
  const double duration = ProbeDuration(out);
  EXPECT_GE(duration, 1.0 - 0.001);
  EXPECT_LE(duration, 1.0 + c.Padding + 0.001);
  const std::vector<double> samples = Samples(out);
  ASSERT_GE(samples.size(), 44100u);
  // The amplitude 50 ms in and 50 ms before the end tell, whatever gain a
  // lossy codec adds, which time of the source the output starts at.
  const double a = Amplitude(samples, 2205), b = Amplitude(samples, 44100 - 2205);
  const double start = (a * 0.95 - b * 0.05) / (b - a);
  EXPECT_NEAR(start, 1.0, c.Tolerance) << "amplitudes " << a << ", " << b;
  EXPECT_NEAR(b / a, 1.95 / 1.05, 0.01);  // one second of the source, not more
}

INSTANTIATE_TEST_SUITE_P(
    Sources, Clip,
    ::testing::Values(
        TClipCase{"wav.wav", "", "wav", 0.002, 0},
        // A video stream before the audio: the seek lands on its key frame.
        TClipCase{"mp4.mp4",
                  "-f lavfi -i testsrc=d=3:s=160x120:r=25 -map 1 -map 0 -c:v libx264 -g 50 "
                  "-c:a aac -b:a 192k",
                  "mp3", 0.01, 0.06},
        // A cover picture beside the audio.
        TClipCase{"cover.mp3",
                  "-f lavfi -i color=red:s=64x64:d=1 -map 0 -map 1 -frames:v 1 -c:v mjpeg "
                  "-disposition:v attached_pic -c:a libmp3lame -b:a 192k",
                  "wav", 0.01, 0},
        TClipCase{"cover.flac",
                  "-f lavfi -i color=red:s=64x64:d=1 -map 0 -map 1 -frames:v 1 -c:v mjpeg "
                  "-disposition:v attached_pic -c:a flac",
                  "ogg", 0.002, 0}),
    [](const ::testing::TestParamInfo<TClipCase>& param) {
      std::string name = param.param.Name;
      for (char& ch : name)
        if (ch == '.') ch = '_';
      return name;
    });
