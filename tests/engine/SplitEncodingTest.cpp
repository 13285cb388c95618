// A long audio output encoded in chunks on several encoder instances against
// the same output encoded by one: the same length, bit-identical for the
// lossless codec, and for the lossy ones no worse at the joins than the one
// encoder is at the same places, without a click. ffmpeg decodes every
// output and measures it.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "FFmpeg.h"
#include "Mp3Repack.h"
#include "SplitEncoder.h"
#include "TestSupport.h"

using namespace testing_support;

namespace {

// Three minutes of a music-like signal: detuned tones that swell and fade,
// vibrato, over pink noise.
std::string Music() {
  return Fixture(
      "split_music.wav",
      "-f lavfi -i aevalsrc=exprs='0.3*sin(2*PI*220*t)*(0.5+0.5*sin(2*PI*0.5*t))"
      "+0.2*sin(2*PI*330*t+2*sin(2*PI*3*t))+0.1*sin(2*PI*(440+100*sin(0.1*t))*t)|"
      "0.3*sin(2*PI*277*t)*(0.5+0.5*cos(2*PI*0.7*t))+0.2*sin(2*PI*415*t+sin(2*PI*5*t))':d=180 "
      "-f lavfi -i anoisesrc=c=pink:a=0.08:d=180:seed=1 "
      "-filter_complex [0][1]amix=inputs=2:normalize=0 -ac 2 -ar 44100");
}

// Three minutes of a speech-like signal: band-limited noise in syllables of
// about a quarter second, with pauses.
std::string Speech() {
  return Fixture("split_speech.wav",
                 "-f lavfi -i anoisesrc=c=pink:a=0.5:d=180:r=44100:seed=1 "
                 "-af bandpass=f=900:width_type=o:w=2,tremolo=f=4:d=0.95,tremolo=f=0.3:d=0.8 "
                 "-ac 2");
}

// The first channel of a file, decoded by ffmpeg, as floats.
std::vector<float> Decode(const std::string& path) {
  const std::string raw = path + ".f32";
  Shell("ffmpeg -nostdin -v error -y -i " + Quote(path) + " -af 'pan=mono|c0=c0' -f f32le " +
        Quote(raw));
  std::ifstream in(raw, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::copy(bytes.begin(), bytes.begin() + static_cast<long>(samples.size() * sizeof(float)),
            reinterpret_cast<char*>(samples.data()));
  return samples;
}

// The shift (in samples) that best lines a decoded output up with the source.
int Lag(const std::vector<float>& source, const std::vector<float>& out) {
  int best = 0;
  double bestValue = -1e300;
  const size_t at = 44100 * 30;
  for (int lag = -4096; lag <= 4096; ++lag) {
    double sum = 0;
    for (size_t i = at; i < at + 22050; ++i) sum += source[i] * out[static_cast<size_t>(static_cast<long>(i) + lag)];
    if (sum > bestValue) {
      bestValue = sum;
      best = lag;
    }
  }
  return best;
}

struct TSplitCase {
  const char* Name;
  const char* Extension;
  const char* Encoder;
  long FrameSize;  // samples per encoder frame
  bool Lossless;
  // How much more error (dB) one join may have over 100 ms than one encoder
  // at the same place; all joins together are held to 1 dB. The AAC
  // encoder's rate state never settles exactly to the serial encoder's: a
  // single join, like any 100 ms within a chunk, measures up to about 1.8 dB
  // either way, and these even out over the joins (a pre-roll too short to
  // settle the encoder shows as 3 to 7 dB at every join).
  double Allowance = 1.0;
};

void PrintTo(const TSplitCase& c, std::ostream* os) { *os << c.Name; }

class SplitEncoding : public ::testing::TestWithParam<std::tuple<TSplitCase, bool>> {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(LoadEngineLibraries()); }
  // Encodes source into out, split or not, with that many encoder threads;
  // the chunk length in frames the engine chose (0 when not split).
  long Encode(const std::string& source, const std::string& out, bool split, int threads) {
    long frames = 0;
    EncodeInto(source, out, split, threads, frames);
    return frames;
  }
  void EncodeInto(const std::string& source, const std::string& out, bool split, int threads,
                  long& frames) {
    TCustomFFmpeg engine;
    engine.Reset();
    TLogCapture log;
    log.Attach(engine);
    engine.RunState.SplitEncoding = split;
    engine.RunState.EncoderThreads = threads;
    ASSERT_TRUE(engine.OpenInputFile(source)) << engine.LastError;
    engine.SetOption("acodec", std::get<0>(GetParam()).Encoder);
    engine.SetOption("ab", "128000");
    ASSERT_TRUE(engine.OpenOutputFile(out)) << engine.LastError;
    engine.Start(false);
    ASSERT_EQ(engine.Result.Outcome, joComplete) << engine.Result.Reason;
    for (const auto& line : log.Lines) {
      const size_t at = line.second.find("is encoded in chunks of ");
      if (at != std::string::npos) frames = std::atol(line.second.c_str() + at + 24);
    }
    EXPECT_EQ(frames > 0, split);
  }
  TTempDir Dir;
};

}  // namespace

TEST_P(SplitEncoding, JoinsAreAsGoodAsOneEncoder) {
  const TSplitCase& c = std::get<0>(GetParam());
  const std::string source = std::get<1>(GetParam()) ? Music() : Speech();
  const std::string serial = Dir.File(std::string("serial.") + c.Extension);
  const std::string split = Dir.File(std::string("split.") + c.Extension);
  Encode(source, serial, false, 1);
  const long chunk = Encode(source, split, true, 2) * c.FrameSize;
  ASSERT_GT(chunk, 0);
  // The whole stream decodes, strictly.
  EXPECT_TRUE(Shell("ffmpeg -nostdin -v error -xerror -i " + Quote(split) + " -f null -"));
  const std::vector<float> one = Decode(serial), many = Decode(split);
  ASSERT_GT(one.size(), 44100u * 170);
  EXPECT_EQ(many.size(), one.size());
  if (c.Lossless) {
    // Every frame's checksums hold (the frames were numbered again).
    EXPECT_TRUE(Shell("ffmpeg -nostdin -v error -err_detect crccheck+explode -xerror -i " +
                      Quote(split) + " -f null -"));
    EXPECT_EQ(Capture("ffmpeg -nostdin -v error -i " + Quote(split) + " -f md5 -"),
              Capture("ffmpeg -nostdin -v error -i " + Quote(serial) + " -f md5 -"));
    return;
  }
  const std::vector<float> original = Decode(source);
  const int lag = Lag(original, one);
  EXPECT_EQ(Lag(original, many), lag);
  // 20 ms windows: the error against the source in the windows around each
  // join, split against serial; and the largest difference sample at the
  // joins against elsewhere.
  const long window = 882;
  const long usable =
      static_cast<long>(std::min(original.size(), std::min(one.size(), many.size()))) - 8192;
  auto error = [&](const std::vector<float>& out, long from, long to, double& peak) {
    double sum = 0;
    for (long i = from; i < to; ++i) {
      const double d = out[static_cast<size_t>(i + lag)] - original[static_cast<size_t>(i)];
      sum += d * d;
      peak = std::max(peak, std::fabs(d));
    }
    return sum;
  };
  double peakAtJoins = 0, peakElsewhere = 0, ignored = 0, allOne = 0, allMany = 0;
  int joins = 0;
  for (long join = chunk; join + 3 * window < usable; join += chunk) {
    ++joins;
    const long from = (join / window - 2) * window, to = (join / window + 3) * window;
    const double errorOne = error(one, from, to, ignored);
    const double errorMany = error(many, from, to, peakAtJoins);
    allOne += errorOne;
    allMany += errorMany;
    EXPECT_LE(10 * std::log10((errorMany + 1e-12) / (errorOne + 1e-12)), c.Allowance)
        << "the join at " << join / 44100.0 << " s";
  }
  EXPECT_LE(10 * std::log10((allMany + 1e-12) / (allOne + 1e-12)), 1.0) << "all joins";
  for (long from = 8 * window; from + window < usable; from += window) {
    bool nearJoin = false;
    for (long join = chunk; join < usable; join += chunk)
      nearJoin = nearJoin || std::labs(from - join) < 4 * window;
    if (!nearJoin) error(many, from, from + window, peakElsewhere);
  }
  EXPECT_GE(joins, 1);
  EXPECT_LE(peakAtJoins, peakElsewhere) << "a click at a join";
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, SplitEncoding,
    ::testing::Combine(
        ::testing::Values(TSplitCase{"mp3", "mp3", "libmp3lame", 1152, false},
                          TSplitCase{"mp2", "mp2", "mp2", 1152, false},
                          TSplitCase{"aac", "m4a", "aac", 1024, false, 2.0},
                          TSplitCase{"wma", "wma", "wmav2", 2048, false},
                          TSplitCase{"flac", "ogg", "flac", 4608, true}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<TSplitCase, bool>>& param) {
      return std::string(std::get<0>(param.param).Name) +
             (std::get<1>(param.param) ? "Music" : "Speech");
    });

// The bytes depend on the input and the settings, not on the number of
// encoder threads or their timing.
TEST(SplitEncodingBytes, TheSameWhateverTheThreads) {
  ASSERT_TRUE(LoadEngineLibraries());
  TTempDir dir;
  const std::string source = Fixture(
      "split_40s.wav", "-f lavfi -i sine=frequency=500:duration=40 -f lavfi -i "
                       "anoisesrc=c=pink:a=0.1:d=40:seed=1 -filter_complex [0][1]amix=inputs=2 -ac 2");
  std::vector<std::string> outputs;
  for (int threads : {1, 2, 3}) {
    // (Ogg files differ from run to run: their stream serial is random.)
    for (const char* extension : {"mp3", "flac"}) {
      TCustomFFmpeg engine;
      engine.Reset();
      engine.RunState.SplitEncoding = true;
      engine.RunState.EncoderThreads = threads;
      ASSERT_TRUE(engine.OpenInputFile(source));
      const std::string out = dir.File(StrFormat("t%d.%s", threads, extension));
      ASSERT_TRUE(engine.OpenOutputFile(out));
      engine.Start(false);
      ASSERT_EQ(engine.Result.Outcome, joComplete) << engine.Result.Reason;
      std::ifstream in(out, std::ios::binary);
      outputs.emplace_back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
  }
  ASSERT_EQ(outputs.size(), 6u);
  EXPECT_EQ(outputs[0], outputs[2]);
  EXPECT_EQ(outputs[0], outputs[4]);
  EXPECT_EQ(outputs[1], outputs[3]);
  EXPECT_EQ(outputs[1], outputs[5]);
}

// Frames given to a split encoder whose buffers are still alive, and the most
// at any time.
std::atomic<int> FramesAlive{0}, MostFramesAlive{0};

// A long stream split over two workers keeps under a chunk of frames
// waiting for their encoder (what one worker needs while the other starts
// its next chunk), not every chunk it has started; a frame is freed once
// encoded.
TEST(SplitEncodingMemory, AboutOneChunkWaits) {
  ASSERT_TRUE(LoadEngineLibraries());
  const AVCodec* codec = av.avcodec_find_encoder(AV_CODEC_ID_MP2);
  ASSERT_NE(codec, nullptr);
  CodecContextPtr enc(av.avcodec_alloc_context3(codec));
  enc->sample_fmt = AV_SAMPLE_FMT_S16;
  enc->sample_rate = 44100;
  enc->time_base = {1, 44100};
  enc->bit_rate = 128000;
  av.av_channel_layout_default(&enc->ch_layout, 2);
  ASSERT_EQ(av.avcodec_open2(enc.get(), codec, nullptr), 0);
  const TSplitRule rule = SplitRuleOf(enc.get());
  ASSERT_TRUE(rule.Allowed);
  const int chunk = 40, frames = 600, samples = enc->frame_size;
  std::atomic<int> workers{2};
  int64_t written = 0;
  {
    TSplitEncoder split(enc.get(), rule, chunk, workers, [&](AVPacket* packet) {
      written += packet->duration;
      av.av_packet_unref(packet);
    });
    for (int i = 0; i < frames; ++i) {
      FramePtr frame(av.av_frame_alloc());
      frame->format = AV_SAMPLE_FMT_S16;
      frame->nb_samples = samples;
      frame->sample_rate = 44100;
      frame->pts = static_cast<int64_t>(i) * samples;
      av.av_channel_layout_default(&frame->ch_layout, 2);
      const int size = samples * 4;
      auto* data = new uint8_t[static_cast<size_t>(size)];
      for (int k = 0; k < samples * 2; ++k)
        reinterpret_cast<int16_t*>(data)[k] = static_cast<int16_t>(8000 * std::sin(0.05 * (i * samples + k / 2)));
      frame->buf[0] = av.av_buffer_create(
          data, static_cast<size_t>(size), [](void*, uint8_t* bytes) {
            delete[] bytes;
            --FramesAlive;
          }, nullptr, 0);
      ASSERT_NE(frame->buf[0], nullptr);
      frame->data[0] = data;
      frame->extended_data = frame->data;
      frame->linesize[0] = size;
      MostFramesAlive = std::max(MostFramesAlive.load(), ++FramesAlive);
      split.Add(frame.get());
    }
    split.Finish();
  }
  EXPECT_EQ(written, static_cast<int64_t>(frames) * samples);
  EXPECT_EQ(FramesAlive, 0);
  // Half a chunk and a quarter for chunks that encode late, two pre-rolls,
  // a post-roll, and the frame at hand.
  EXPECT_LE(MostFramesAlive, chunk * 3 / 4 + 2 * (rule.PreRoll + rule.PostRoll) + 2);
}

// At the low sample rates an MP3 frame holds 576 samples and the encoder holds
// back more frames: a split output is still exactly as long as one encoder's.
TEST(SplitEncodingBytes, LowRatesKeepEveryFrame) {
  ASSERT_TRUE(LoadEngineLibraries());
  TTempDir dir;
  const std::string source = Fixture(
      "split_40s.wav", "-f lavfi -i sine=frequency=500:duration=40 -f lavfi -i "
                       "anoisesrc=c=pink:a=0.1:d=40:seed=1 -filter_complex [0][1]amix=inputs=2 -ac 2");
  for (const char* rate : {"22050", "11025"}) {
    for (const char* codec : {"libmp3lame", "mp2"}) {
      const bool mp2 = std::string(codec) == "mp2";
      if (mp2 && std::string(rate) == "11025") continue;  // not a layer II rate
      std::string decoded[2];
      for (int split = 0; split < 2; ++split) {
        TCustomFFmpeg engine;
        engine.Reset();
        engine.RunState.SplitEncoding = split != 0;
        engine.RunState.EncoderThreads = 2;
        ASSERT_TRUE(engine.OpenInputFile(source));
        engine.SetOption("acodec", codec);
        engine.SetOption("ar", rate);
        engine.SetOption("ac", "1");
        const std::string out = dir.File(StrFormat("%s_%s_%d.%s", codec, rate, split, mp2 ? "mp2" : "mp3"));
        ASSERT_TRUE(engine.OpenOutputFile(out)) << engine.LastError;
        engine.Start(false);
        ASSERT_EQ(engine.Result.Outcome, joComplete) << engine.Result.Reason;
        decoded[split] = Capture("ffmpeg -nostdin -v error -xerror -i " + Quote(out) +
                                 " -f s16le - | wc -c");
      }
      EXPECT_EQ(decoded[1], decoded[0]) << codec << " at " << rate << " Hz";
    }
  }
}

// Chunk lengths: within the codec's longest chunk, nothing split under three
// shortest chunks, and a stream a whole number of chunks long (the first and
// the last chunk half as long), so that two encoders end together.
TEST(SplitEncodingChunks, WholeCountsWithinTheCodecsLimits) {
  TSplitRule aac;
  aac.Allowed = true;
  aac.PreRoll = 600;
  aac.ChunkSeconds = 60;
  aac.MaxChunkSeconds = 110;
  EXPECT_EQ(SplitChunkFrames(aac, 1024, 44100, 179000), 0);
  TSplitRule mp3;
  mp3.Allowed = true;
  mp3.PreRoll = 20;
  for (int64_t minutes : {1, 3, 10, 60, 90}) {
    for (const TSplitRule* rule : {&aac, &mp3}) {
      const int64_t ms = minutes * 60000;
      const int frameSize = rule == &aac ? 1024 : 1152;
      const int frames = SplitChunkFrames(*rule, frameSize, 44100, ms);
      if (ms < 3000 * rule->ChunkSeconds) {
        EXPECT_EQ(frames, 0);
        continue;
      }
      const double seconds = static_cast<double>(frames) * frameSize / 44100;
      const double chunks = static_cast<double>(ms) / 1000 / seconds;
      EXPECT_GE(chunks, 1.9) << minutes << " min";
      EXPECT_NEAR(chunks, std::round(chunks), 0.01 * chunks) << minutes << " min: " << seconds << " s";
      EXPECT_LE(seconds, rule->MaxChunkSeconds + 0.1) << minutes << " min";
    }
  }
  // Ten minutes to AAC: 50 s, five of 100 s, 50 s; six pre-rolls.
  EXPECT_NEAR(SplitChunkFrames(aac, 1024, 44100, 600000) * 1024.0 / 44100, 100.0, 0.1);
}

// A frame whose data cannot fit, even at 320 kbit/s with the reservoir, is
// counted (the join then fails the job) rather than written cut short.
TEST(Mp3Repack, DataThatCannotFitIsCountedNotPassedOffAsWhole) {
  const auto frame = [](int dataBytes) {
    TMp3Unit unit;
    // MPEG-1 layer III, no CRC, 128 kbit/s, 44.1 kHz, joint stereo; the
    // 32 bytes of side information say the data starts in this frame.
    unit.Bytes = {0xFF, 0xFB, 0x90, 0x64};
    unit.Bytes.resize(4 + 32 + static_cast<size_t>(dataBytes), 0x55);
    return unit;
  };
  const struct {
    int DataBytes;
    int Enlarged, Cut;
  } cases[] = {{300, 0, 0}, {900, 1, 0}, {1200, 1, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.DataBytes);
    TMp3Repacker repacker;
    repacker.Add(frame(c.DataBytes));
    repacker.Finish();
    EXPECT_EQ(repacker.Enlarged(), c.Enlarged);
    EXPECT_EQ(repacker.Cut(), c.Cut);
    TMp3Repacker::TFrame out;
    ASSERT_TRUE(repacker.Take(out));
  }
}
