// How a job ends: complete, partial (damaged source), failed or stopped, and
// what it leaves on disk. ffprobe and ffmpeg are the oracle.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "FFmpeg.h"
#include "TestSupport.h"

using namespace testing_support;

namespace {

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Every entry left in a folder, hidden ones included.
std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Replaces one entry of the bound table for the life of the object.
template <typename F>
class TStubEntry {
 public:
  TStubEntry(F& slot, F stub) : Slot(slot), Saved(slot) { Slot = stub; }
  ~TStubEntry() { Slot = Saved; }
  F Original() const { return Saved; }

 private:
  F& Slot;
  F Saved;
};

// State of the stubs below (one test at a time uses them).
std::atomic<int> ReadsBeforeError{0};
decltype(&::av_read_frame) RealReadFrame = nullptr;
decltype(&::avcodec_send_packet) RealSendPacket = nullptr;

int FailingReadFrame(AVFormatContext* ic, AVPacket* pkt) {
  if (ReadsBeforeError-- <= 0) return AVERROR(EIO);
  return RealReadFrame(ic, pkt);
}

// The decoder refuses to be drained.
int FailingDrain(AVCodecContext* dec, const AVPacket* pkt) {
  if (!pkt) return AVERROR_INVALIDDATA;
  return RealSendPacket(dec, pkt);
}

class Outcome : public EngineFixture {
 protected:
  // A 5 s stereo FLAC of a sine whose tone changes (no frame repeats another).
  static std::string Flac() {
    return Fixture("outcome5s.flac",
                   "-f lavfi -i aevalsrc=exprs='sin(2*PI*(300+40*t)*t)':d=5 -ac 2 -c:a flac");
  }
};

}  // namespace

TEST_F(Outcome, ACleanSourceIsCompleteAndItsOutputTakesItsName) {
  const std::string out = Dir.File("clean.mp3");
  ASSERT_TRUE(Convert(Flac(), out));
  EXPECT_EQ(Engine.Result.Outcome, joComplete);
  EXPECT_EQ(Engine.Result.Reason, "");
  EXPECT_TRUE(Engine.RunState.FinishedNormally);
  EXPECT_TRUE(DecodesCleanly(out));
  EXPECT_EQ(FolderEntries(Dir.Path()), std::vector<std::string>{"clean.mp3"});
}

TEST_F(Outcome, ASourceWithoutOneDecodableFrameFailsAndLeavesNothing) {
  // The stream header survives, the first frame is cut short.
  const std::string bytes = ReadBytes(Flac());
  const std::string source = Dir.File("head.flac");
  WriteBytes(source, bytes.substr(0, 8400));
  const std::string out = Dir.File("out.mp3");
  ASSERT_TRUE(Convert(source, out)) << Engine.LastError;
  EXPECT_EQ(Engine.Result.Outcome, joFailed);
  EXPECT_TRUE(Engine.RunState.ExceptionRaised);
  EXPECT_EQ(Engine.RunState.ExceptionMessage.rfind("no audio could be decoded from the source", 0),
            0u)
      << Engine.RunState.ExceptionMessage;
  EXPECT_EQ(FolderEntries(Dir.Path()), std::vector<std::string>{"head.flac"});
}

TEST_F(Outcome, DamagedSourcesArePartialAndKeepWhatWasReadable) {
  const std::string bytes = ReadBytes(Flac());
  const double full = ProbeDuration(Flac());
  struct TCase {
    const char* Name;
    std::string Bytes;
    TReasonCode Code;
    const char* Says;
  };
  std::string corrupt = bytes;
  for (size_t i = corrupt.size() * 2 / 5; i < corrupt.size() * 2 / 5 + 3000; ++i) corrupt[i] = 0x55;
  const TCase cases[] = {
      {"cut.flac", bytes.substr(0, bytes.size() * 3 / 5), rcSourceShort, "source ends at 0:"},
      {"corrupt.flac", corrupt, rcSourceDamaged, " s lost at 0:"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Engine.Reset();
    const std::string source = Dir.File(c.Name), out = Dir.File(std::string(c.Name) + ".wav");
    WriteBytes(source, c.Bytes);
    // What ffmpeg itself can read of the damaged file.
    const double readable = std::stod(Capture(
        "ffmpeg -nostdin -v quiet -i " + Quote(source) +
        " -f s16le - | wc -c | awk '{print $1/4/44100}'"));
    ASSERT_TRUE(Convert(source, out)) << Engine.LastError;
    EXPECT_EQ(Engine.Result.Outcome, joPartial) << Engine.Result.Reason;
    EXPECT_FALSE(Engine.RunState.ExceptionRaised);
    EXPECT_EQ(Engine.Result.Code, c.Code);
    EXPECT_NE(Engine.Result.Reason.find(c.Says), std::string::npos) << Engine.Result.Reason;
    EXPECT_TRUE(Log.Contains(Engine.Result.Reason));
    EXPECT_TRUE(DecodesCleanly(out));
    EXPECT_NEAR(ProbeDuration(out), readable, 0.05);
    EXPECT_LT(ProbeDuration(out), full - 0.05);
  }
}

TEST_F(Outcome, AReadErrorIsNeverReportedAsComplete) {
  RealReadFrame = av.av_read_frame;
  TStubEntry<decltype(av.av_read_frame)> stub(av.av_read_frame, FailingReadFrame);
  // Some packets, then an error: what came before is kept.
  ReadsBeforeError = 40;
  const std::string out = Dir.File("some.wav");
  ASSERT_TRUE(Convert(Flac(), out));
  EXPECT_EQ(Engine.Result.Outcome, joPartial);
  EXPECT_EQ(Engine.Result.ReadError, AVERROR(EIO));
  EXPECT_EQ(Engine.Result.Reason.rfind("source damaged at 0:", 0), 0u) << Engine.Result.Reason;
  bool logged = false;
  for (const auto& line : Log.Lines)
    logged = logged || line.second.find("read error at") != std::string::npos;
  EXPECT_TRUE(logged);
  EXPECT_TRUE(DecodesCleanly(out));
  EXPECT_GT(ProbeDuration(out), 0.5);
  EXPECT_LT(ProbeDuration(out), 4.5);
  // An error before the first packet: nothing usable.
  Engine.Reset();
  ReadsBeforeError = 0;
  const std::string none = Dir.File("none.wav");
  ASSERT_TRUE(Convert(Flac(), none));
  EXPECT_EQ(Engine.Result.Outcome, joFailed);
  EXPECT_FALSE(std::filesystem::exists(none));
}

TEST_F(Outcome, ADecoderThatFailsAtTheDrainStillHasTheEncodersFlushed) {
  const std::string serial = Dir.File("normal.mp3");
  ASSERT_TRUE(Convert(Flac(), serial));
  ASSERT_EQ(Engine.Result.Outcome, joComplete);
  Engine.Reset();
  RealSendPacket = av.avcodec_send_packet;
  TStubEntry<decltype(av.avcodec_send_packet)> stub(av.avcodec_send_packet, FailingDrain);
  const std::string out = Dir.File("drained.mp3");
  ASSERT_TRUE(Convert(Flac(), out));
  EXPECT_EQ(Engine.Result.Outcome, joPartial);
  EXPECT_EQ(Engine.Result.DamagedPackets, 1);
  // The encoder's delayed frames and the FIFO's short tail are all there.
  EXPECT_EQ(CountAudioPackets(out), CountAudioPackets(serial));
  EXPECT_NEAR(ProbeDuration(out), ProbeDuration(serial), 0.001);
}

TEST_F(Outcome, ManyChannelsConvertToWhatTheEncoderTakes) {
  struct TTarget {
    const char* Name;
    int Channels;  // 0: as many as the source
  };
  const TTarget targets[] = {{"wav", 0}, {"mp3", 2}, {"ogg", 8}, {"aac", 8}};
  for (const int channels : {9, 16, 24}) {
    std::string exprs;
    for (int c = 0; c < channels; ++c)
      exprs += StrFormat("%ssin(2*PI*%d*t)", c ? "|" : "", 200 + 50 * c);
    // Packed 16-bit (WAV) and planar float (Vorbis) decoders.
    for (const char* codec : {"pcm_s16le", "libvorbis"}) {
      const bool vorbis = std::string(codec) == "libvorbis";
      const std::string source =
          Fixture(StrFormat("ch%d.%s", channels, vorbis ? "ogg" : "wav"),
                  StrFormat("-f lavfi -i aevalsrc=exprs='%s':d=1 -c:a %s", exprs.c_str(), codec));
      for (const TTarget& target : targets) {
        SCOPED_TRACE(StrFormat("%d channels, %s to %s", channels, codec, target.Name));
        Engine.Reset();
        const std::string out = Dir.File(StrFormat("ch%d%s.%s", channels, codec, target.Name));
        std::vector<std::pair<std::string, std::string>> options;
        if (std::string(target.Name) == "ogg") options = {{"acodec", "flac"}};
        ASSERT_TRUE(Convert(source, out, options)) << Engine.LastError;
        EXPECT_EQ(Engine.Result.Outcome, joComplete) << Engine.Result.Reason;
        EXPECT_TRUE(DecodesCleanly(out));
        EXPECT_EQ(Probe(out, "a:0", "stream=channels"),
                  std::to_string(target.Channels ? target.Channels : channels));
        EXPECT_NEAR(ProbeDuration(out), 1.0, 0.1);
      }
    }
  }
}

TEST_F(Outcome, AnOutputNeverReplacesAFileUnasked) {
  const std::string out = Dir.File("song_(new).wav");
  WriteBytes(out, "someone else's file");
  ASSERT_TRUE(Convert(Flac(), out));
  EXPECT_EQ(Engine.Result.Outcome, joComplete);
  EXPECT_EQ(ReadBytes(out), "someone else's file");
  EXPECT_TRUE(DecodesCleanly(Dir.File("song_(new_1).wav")));
  EXPECT_TRUE(Log.Contains("'" + out + "' exists already; the output is written as '" +
                           Dir.File("song_(new_1).wav") + "'"));
  // Asked to overwrite, it replaces the file in one step.
  Engine.Reset();
  Engine.Output.Overwrite = true;
  ASSERT_TRUE(Convert(Flac(), out));
  EXPECT_TRUE(DecodesCleanly(out));
}

TEST_F(Outcome, AnOutputNeverGoesOverItsOwnSourceThroughALink) {
  const std::string source = Dir.File("x.flac");
  std::filesystem::copy_file(Flac(), source);
  const std::string before = ReadBytes(source);
  std::filesystem::create_hard_link(source, Dir.File("hard.flac"));
  std::filesystem::create_symlink(source, Dir.File("soft.flac"));
  for (const char* link : {"hard.flac", "soft.flac"}) {
    SCOPED_TRACE(link);
    Engine.Reset();
    Engine.Output.Overwrite = true;
    ASSERT_TRUE(Convert(source, Dir.File(link), {{"acodec", "flac"}}));
    EXPECT_EQ(Engine.Result.Outcome, joComplete);
    EXPECT_EQ(ReadBytes(source), before);
    EXPECT_EQ(Engine.Output.Targets.size(), 0u);  // released
    bool said = false;
    for (const auto& line : Log.Lines)
      said = said || line.second.find("is a source of this conversion") != std::string::npos;
    EXPECT_TRUE(said);
  }
}

TEST_F(Outcome, CheckingAnOutputCreatesNothing) {
  Engine.Output.CreateFiles = false;
  ASSERT_TRUE(Engine.OpenInputFile(Flac()));
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("checked.wav")));
  EXPECT_EQ(FolderEntries(Dir.Path()), std::vector<std::string>{});
  EXPECT_FALSE(Engine.OpenOutputFile("/nonexistent/dir/out.wav"));
  EXPECT_EQ(Engine.LastError, "Could not open '/nonexistent/dir/out.wav': No such file or directory");
}

TEST_F(Outcome, ReasonsAPersonCanActOn) {
  EXPECT_EQ(LibraryErrorText("a.wav", AVERROR(ENOSPC)), "a.wav: No space left on device");
  EXPECT_EQ(LibraryErrorText("a.wav", AVERROR(EACCES)), "a.wav: Permission denied");
  EXPECT_EQ(LibraryErrorText("a.wav", AVERROR(EMFILE)), "a.wav: Too many open files");
  EXPECT_EQ(LibraryErrorText("a.wav", AVERROR(ENOENT)), "a.wav: no such file or directory");
  EXPECT_EQ(SourceFileProblem(Dir.Path()), Dir.Path() + ": is a folder, not a media file");
  const std::string fifo = Dir.File("fifo.mp3");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_NE(SourceFileProblem(fifo).find("FIFO"), std::string::npos);
  EXPECT_NE(SourceFileProblem("/dev/zero").find("device"), std::string::npos);
  WriteBytes(Dir.File("empty.wav"), "");
  EXPECT_EQ(SourceFileProblem(Dir.File("empty.wav")), Dir.File("empty.wav") + ": the file is empty");
  EXPECT_EQ(SourceFileProblem(Flac()), "");
}

TEST_F(Outcome, ASourceWithoutSamplesFailsInEveryFormat) {
  const std::string source =
      Fixture("nosamples.wav", "-f lavfi -i sine=f=440,atrim=end_sample=0 -ac 2 -c:a pcm_s16le");
  struct TCase {
    const char* Extension;
    const char* Codec;  // "" for the format's default
  } const cases[] = {{"wav", ""}, {"flac", ""}, {"ogg", "flac"}, {"ogg", "libvorbis"},
                     {"mp3", ""}, {"mp2", ""},  {"m4a", ""}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(StrFormat("%s %s", c.Extension, c.Codec));
    if (*c.Codec && !av.avcodec_find_encoder_by_name(c.Codec)) continue;
    Engine.Reset();
    TTempDir dir;
    std::vector<std::pair<std::string, std::string>> options;
    if (*c.Codec) options = {{"acodec", c.Codec}};
    ASSERT_TRUE(Convert(source, dir.File(std::string("out.") + c.Extension), options))
        << Engine.LastError;
    EXPECT_EQ(Engine.Result.Outcome, joFailed);
    EXPECT_EQ(Engine.Result.Code, rcNoAudio) << ReasonCodeName(Engine.Result.Code);
    EXPECT_EQ(Engine.Result.Reason, "no audio could be decoded from the source");
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{});
  }
}

TEST_F(Outcome, AnMp2OfLessThanTwoFramesIsPaddedToBeReadable) {
  constexpr int FRAME = 1152;
  for (const int samples : {1, 500, FRAME, FRAME + 1, 5 * FRAME + 7}) {
    SCOPED_TRACE(samples);
    const std::string source = Fixture(
        StrFormat("short%d.wav", samples),
        StrFormat("-f lavfi -i sine=f=440,atrim=end_sample=%d -ac 2 -c:a pcm_s16le", samples));
    Engine.Reset();
    const std::string out = Dir.File(StrFormat("short%d.mp2", samples));
    ASSERT_TRUE(Convert(source, out)) << Engine.LastError;
    EXPECT_EQ(Engine.Result.Outcome, joComplete) << Engine.Result.Reason;
    EXPECT_TRUE(DecodesCleanly(out));
    EXPECT_EQ(Probe(out, "a:0", "stream=codec_name"), "mp2");
    const std::string bytes = Capture("ffmpeg -nostdin -v error -i " + Quote(out) +
                                      " -f s16le -ac 2 - | wc -c");
    ASSERT_FALSE(bytes.empty());
    const long decoded = std::stol(bytes) / 4;
    // Every sample is there; a stream of one frame gets a second of silence
    // (one frame alone is no stream the libraries read back).
    EXPECT_GE(decoded, samples);
    EXPECT_LT(decoded, samples <= FRAME ? 2 * FRAME + 1 : samples + FRAME);
    EXPECT_EQ(decoded % FRAME, 0);
  }
}
