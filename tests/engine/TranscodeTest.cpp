// End-to-end conversions checked with ffprobe, and the run control of a job.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "FFmpeg.h"
#include "TestSupport.h"

using namespace testing_support;

namespace {

std::string Mp3Source() {
  return Fixture("sine20.mp3",
                 "-f lavfi -i sine=frequency=440:duration=20:sample_rate=44100 -ac 2 "
                 "-c:a libmp3lame -b:a 128k");
}
std::string WavSource() {
  return Fixture("sine20.wav",
                 "-f lavfi -i sine=frequency=440:duration=20:sample_rate=44100 -ac 2");
}

class Transcode : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(LoadEngineLibraries()); }
  void SetUp() override {
    Engine.Reset();
    Log.Attach(Engine);
    Engine.OnTerminate = [this](TCustomFFmpeg*) { Terminations++; };
  }
  // Opens source and output with the options given before each.
  void Prepare(const std::string& source, const std::string& output,
               const std::vector<std::pair<std::string, std::string>>& outputOptions = {}) {
    ASSERT_TRUE(Engine.OpenInputFile(source)) << Engine.LastError;
    for (const auto& option : outputOptions) Engine.SetOption(option.first, option.second);
    ASSERT_TRUE(Engine.OpenOutputFile(output)) << Engine.LastError;
  }
  std::string ErrorLines() const {
    std::string text;
    for (const auto& line : Log.Lines)
      if (line.first < 1) text += line.second + "\n";
    return text;
  }
  TTempDir Dir;
  TCustomFFmpeg Engine;
  TLogCapture Log;
  std::atomic<int> Terminations{0};
};

}  // namespace

TEST_F(Transcode, Mp3StreamCopyKeepsEveryPacket) {
  const std::string source = Mp3Source();
  ASSERT_FALSE(source.empty());
  for (const char* name : {"copy.mp3", "copy.mka"}) {
    Engine.Reset();
    Log.Attach(Engine);
    const std::string out = Dir.File(name);
    Prepare(source, out, {{"acodec", "copy"}});
    EXPECT_EQ(Engine.Start(false), nullptr);
    EXPECT_TRUE(Engine.RunState.FinishedNormally) << ErrorLines();
    EXPECT_FALSE(Engine.RunState.ExceptionRaised) << Engine.RunState.ExceptionMessage;
    EXPECT_TRUE(DecodesCleanly(out)) << name;
    EXPECT_EQ(Probe(out, "a:0", "stream=codec_name"), "mp3") << name;
    EXPECT_EQ(CountAudioPackets(out), CountAudioPackets(source)) << name;
    EXPECT_NEAR(ProbeDuration(out), ProbeDuration(source), 0.03) << name;
  }
  EXPECT_TRUE(Log.Contains("Stream mapping:"));
  EXPECT_TRUE(Log.Contains("  Stream #0.0 -> #0.0"));
}

TEST_F(Transcode, CopiedPacketsPassEveryFilterOfTheBitstreamChain) {
  const std::string source = Mp3Source();
  const std::string out = Dir.File("chained.mka");
  Prepare(source, out, {{"acodec", "copy"}, {"absf", "null"}, {"absf", "null"}});
  EXPECT_EQ(Engine.Start(false), nullptr);
  EXPECT_TRUE(Engine.RunState.FinishedNormally) << ErrorLines();
  EXPECT_TRUE(DecodesCleanly(out));
  EXPECT_EQ(CountAudioPackets(out), CountAudioPackets(source));
}

TEST_F(Transcode, RecordingTimeStopsTheCopyAtTenSeconds) {
  const std::string out = Dir.File("ten.mp3");
  Engine.SetOption("t", "10");
  Prepare(Mp3Source(), out, {{"acodec", "copy"}});
  Engine.Start(false);
  EXPECT_TRUE(Engine.RunState.FinishedNormally);
  EXPECT_TRUE(DecodesCleanly(out));
  // The audible part: the container's duration less the encoder's priming.
  const double start = std::stod(Probe(out, "a:0", "stream=start_time"));
  EXPECT_NEAR(ProbeDuration(out) - start, 10.0, 0.03);
}

TEST_F(Transcode, FileSizeLimitStopsOnceTheOutputPassesIt) {
  const std::string out = Dir.File("limited.mp3");
  Prepare(Mp3Source(), out, {{"acodec", "copy"}, {"fs", "100000"}});
  Engine.Start(false);
  EXPECT_TRUE(Engine.RunState.FinishedNormally);
  EXPECT_TRUE(DecodesCleanly(out));
  const auto size = std::filesystem::file_size(out);
  EXPECT_GT(size, 100000u);
  EXPECT_LT(size, 110000u);
}

TEST_F(Transcode, WavToWavEncodesEverySample) {
  const std::string out = Dir.File("copy.wav");
  Prepare(WavSource(), out);
  Engine.Start(false);
  EXPECT_TRUE(Engine.RunState.FinishedNormally) << ErrorLines();
  EXPECT_EQ(Probe(out, "a:0", "stream=codec_name"), "pcm_s16le");
  EXPECT_EQ(Probe(out, "a:0", "stream=duration_ts"), "882000");
  EXPECT_EQ(Capture("ffmpeg -v error -i '" + out + "' -f md5 -"),
            Capture("ffmpeg -v error -i '" + WavSource() + "' -f md5 -"));
}

TEST_F(Transcode, SetUpFailuresNameTheProblem) {
  const std::string source = WavSource();
  ASSERT_TRUE(Engine.OpenInputFile(source));
  Engine.SetOption("map", "0.3");
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("bad.wav")));
  Engine.Start(false);
  EXPECT_TRUE(Engine.RunState.ExceptionRaised);
  EXPECT_EQ(Engine.RunState.ExceptionMessage, "Could not find input stream #0.3");
  EXPECT_FALSE(std::filesystem::exists(Dir.File("bad.wav")));  // empty output removed
  EXPECT_EQ(Terminations, 1);
}

TEST_F(Transcode, OutputOpenRefusals) {
  ASSERT_TRUE(Engine.OpenInputFile(WavSource()));
  Engine.SetOption("acodec", "nosuchencoder");
  EXPECT_FALSE(Engine.OpenOutputFile(Dir.File("a.mp3")));
  EXPECT_EQ(Engine.LastError, "new_audio_stream fail: Unknown encoder 'nosuchencoder'");
  Engine.SetOption("acodec", "mpeg4");
  EXPECT_FALSE(Engine.OpenOutputFile(Dir.File("a.mp3")));
  EXPECT_EQ(Engine.LastError, "new_audio_stream fail: Invalid encoder type 'mpeg4'");
  Engine.SetOption("acodec", "pcm_s16le");  // a refused open consumes no per-file option
  EXPECT_FALSE(Engine.OpenOutputFile(Dir.File("a.unknownext")));
  EXPECT_EQ(Engine.LastError,
            "Unable to find a suitable output format for '" + Dir.File("a.unknownext") + "'");
  EXPECT_FALSE(Engine.OpenOutputFile("/nonexistent/dir/out.wav"));
  EXPECT_EQ(Engine.LastError,
            "Could not open '/nonexistent/dir/out.wav': No such file or directory");
  Engine.SetOption("vn", "1");
  Engine.SetOption("an", "1");
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("nothing.mp3")));
  EXPECT_EQ(Engine.Output.Files[Engine.Output.FileCount - 1]->nb_streams, 0u);
}

TEST_F(Transcode, InputOpenRefusalsAndWhatAnInputTells) {
  EXPECT_FALSE(Engine.OpenInputFile(Dir.File("missing.wav")));
  EXPECT_EQ(Engine.LastError, Dir.File("missing.wav") + ": no such file or directory");
  const std::string junk = Dir.File("junk.wav");
  ASSERT_TRUE(WriteJunk(junk, 5000));
  EXPECT_FALSE(Engine.OpenInputFile(junk));
  EXPECT_EQ(Engine.LastError.rfind(junk + ": ", 0), 0u);

  const std::string mono =
      Fixture("mono22050.wav", "-f lavfi -i sine=duration=2:sample_rate=22050 -ac 1");
  Engine.SetOption("s", "320x240");
  ASSERT_TRUE(Engine.OpenInputFile(mono));
  EXPECT_EQ(Engine.Audio.Channels, 1);
  EXPECT_EQ(Engine.Audio.SampleRate, 22050);
  EXPECT_EQ(Engine.Audio.SampleFmt, AV_SAMPLE_FMT_S16);
  EXPECT_EQ(Engine.Video.FrameWidth, 320);  // audio only: the video options stay
  EXPECT_EQ(Engine.Video.FrameRate.den, 0);
  EXPECT_EQ(Engine.RunState.TotalDuration, 2000);
  ASSERT_TRUE(Engine.OpenInputFile(WavSource()));
  EXPECT_EQ(Engine.RunState.TotalDuration, 20000);
}

TEST_F(Transcode, AnAudioOnlyInputGivesNoVideoStream) {
  // The default video codec of the container is not used without video input.
  ASSERT_TRUE(Engine.OpenInputFile(WavSource()));
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("out.mkv")));
  AVFormatContext* oc = Engine.Output.Files[0].get();
  ASSERT_EQ(oc->nb_streams, 1u);
  EXPECT_EQ(oc->streams[0]->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(oc->streams[0]->codecpar->sample_rate, 44100);
}

TEST_F(Transcode, CropWithFiltersIsRefused) {
  Engine.SetOption("s", "320x240");
  Engine.SetOption("vfilters", "hflip");
  Engine.SetOption("croptop", "2");
  EXPECT_FALSE(Engine.OpenOutputFile(Dir.File("x.mkv")));
  EXPECT_EQ(Engine.LastError, "Cannot enable crop options and filters at the same time.");
}

// ---- Run control --------------------------------------------------------------

class RunControl : public Transcode {
 protected:
  // A job that takes about its media time: rate emulation of a 20 s input.
  void PrepareSlowJob(const std::string& out) {
    Engine.SetOption("re", "1");
    Prepare(WavSource(), out);
  }
  void WaitUntil(const std::function<bool()>& condition) {
    for (int i = 0; i < 600 && !condition(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
};

TEST_F(RunControl, ThreadedAndCallerThreadJobsFinishNormally) {
  Prepare(WavSource(), Dir.File("a.wav"));
  EXPECT_EQ(Engine.Start(false), nullptr);
  EXPECT_TRUE(Engine.RunState.FinishedNormally);
  EXPECT_EQ(Terminations, 1);
  EXPECT_EQ(Engine.Start(false), nullptr);  // done: no second start
  EXPECT_EQ(Terminations, 1);

  Engine.Reset();
  Prepare(WavSource(), Dir.File("b.wav"));
  std::thread::id terminatedOn;
  Engine.OnTerminate = [&](TCustomFFmpeg*) {
    terminatedOn = std::this_thread::get_id();
    Terminations++;
  };
  TFFmpegThread* worker = Engine.Start(true, TThreadPriority::Lower);
  ASSERT_NE(worker, nullptr);
  EXPECT_EQ(Engine.Start(true), nullptr);  // running: refused
  worker->Start();
  worker->WaitFor();
  EXPECT_TRUE(Engine.RunState.FinishedNormally);
  EXPECT_TRUE(Engine.RunState.Done);
  EXPECT_EQ(Terminations, 2);
  EXPECT_NE(terminatedOn, std::this_thread::get_id());
  EXPECT_TRUE(DecodesCleanly(Dir.File("b.wav")));
}

// The size of the file the running job writes (under its temporary name).
int64_t WrittenSize(const TCustomFFmpeg& engine) {
  if (engine.Output.Targets.empty()) return -1;
  std::error_code error;
  const auto size = std::filesystem::file_size(engine.Output.Targets[0].TempName, error);
  return error ? -1 : static_cast<int64_t>(size);
}

TEST_F(RunControl, StopRemovesTheOutputUnlessPartialOutputsAreKept) {
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "kept" : "removed");
    Engine.Reset();
    Terminations = 0;
    const std::string out = Dir.File(keep ? "kept.wav" : "stopped.wav");
    PrepareSlowJob(out);
    Engine.Output.KeepPartial = keep;
    const std::string temp = Engine.Output.Targets[0].TempName;
    EXPECT_FALSE(std::filesystem::exists(out));  // nothing under the final name while it runs
    TFFmpegThread* worker = Engine.Start(true);
    worker->Start();
    WaitUntil([&] { return WrittenSize(Engine) > 50000; });
    EXPECT_FALSE(std::filesystem::exists(out));
    Engine.Stop();
    worker->WaitFor();
    EXPECT_FALSE(Engine.RunState.FinishedNormally);
    EXPECT_FALSE(Engine.RunState.ExceptionRaised);
    EXPECT_EQ(Engine.Result.Outcome, joStopped);
    EXPECT_EQ(Terminations, 1);
    EXPECT_FALSE(std::filesystem::exists(temp));
    EXPECT_EQ(std::filesystem::exists(out), keep);
    if (keep) {
      EXPECT_TRUE(DecodesCleanly(out));
      const double duration = ProbeDuration(out);
      EXPECT_GT(duration, 0.2);
      EXPECT_LT(duration, 19.0);
    }
  }
}

TEST_F(RunControl, PauseResumeAndStopWhilePaused) {
  const std::string out = Dir.File("paused.wav");
  PrepareSlowJob(out);
  Engine.Output.KeepPartial = true;
  TFFmpegThread* worker = Engine.Start(true);
  worker->Start();
  WaitUntil([&] { return WrittenSize(Engine) > 20000; });
  Engine.Pause();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto sizeWhilePaused = WrittenSize(Engine);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(WrittenSize(Engine), sizeWhilePaused);
  Engine.Resume();
  WaitUntil([&] { return WrittenSize(Engine) > sizeWhilePaused; });
  EXPECT_GT(WrittenSize(Engine), sizeWhilePaused);
  Engine.Pause();
  Engine.Stop();  // opens the gate: the job ends
  worker->WaitFor();
  EXPECT_EQ(Terminations, 1);
  EXPECT_FALSE(Engine.RunState.FinishedNormally);
  EXPECT_TRUE(DecodesCleanly(out));
}

TEST_F(RunControl, TerminateOfAJobThatNeverRanNotifiesOnceFromAnotherThread) {
  std::thread::id notifiedOn;
  Engine.OnTerminate = [&](TCustomFFmpeg*) {
    notifiedOn = std::this_thread::get_id();
    Terminations++;
  };
  Engine.Terminate();
  Engine.Terminate();
  WaitUntil([&] { return Terminations > 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Terminations, 1);
  EXPECT_NE(notifiedOn, std::this_thread::get_id());
  EXPECT_TRUE(Engine.RunState.Done);
}

TEST_F(RunControl, StartWithoutFilesIsRefused) {
  EXPECT_EQ(Engine.Start(true), nullptr);
  ASSERT_FALSE(Log.Lines.empty());
  EXPECT_EQ(Log.Lines.back().first, -1);
  EXPECT_EQ(Log.Lines.back().second, "At least one output file must be specified");
  EXPECT_TRUE(Engine.RunState.ExceptionRaised);
  EXPECT_EQ(Terminations, 1);
  EXPECT_EQ(Engine.Start(true), nullptr);
  EXPECT_EQ(Terminations, 1);

  Engine.Reset();
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("x.wav")));
  Engine.Start(false);
  EXPECT_EQ(Engine.RunState.ExceptionMessage, "At least one input file must be specified");
}

TEST_F(RunControl, DestroyingARunningEngineStopsWaitsForItsJobAndLeavesNoFile) {
  const std::string out = Dir.File("destroyed.wav");
  {
    TCustomFFmpeg engine;
    engine.Reset();
    engine.SetOption("re", "1");
    ASSERT_TRUE(engine.OpenInputFile(WavSource()));
    ASSERT_TRUE(engine.OpenOutputFile(out));
    TFFmpegThread* worker = engine.Start(true);
    worker->Start();
    WaitUntil([&] { return WrittenSize(engine) > 20000; });
    EXPECT_GT(WrittenSize(engine), 20000);
  }
  EXPECT_TRUE(std::filesystem::is_empty(Dir.Path()));
}

TEST_F(RunControl, AnExceptionInsideTheJobBecomesItsError) {
  Prepare(WavSource(), Dir.File("hooked.wav"));
  Engine.OnProgress = [](TCustomFFmpeg*, int32_t, int32_t, int32_t, float, float, int64_t,
                         int32_t) { throw 42; };
  Engine.RunState.ReportInterval = 0;
  TFFmpegThread* worker = Engine.Start(true);
  worker->Start();
  worker->WaitFor();
  EXPECT_TRUE(Engine.RunState.ExceptionRaised);
  EXPECT_EQ(Engine.RunState.ExceptionMessage, "Unknown error during the conversion");
  EXPECT_EQ(Terminations, 1);
}

// ---- Video ------------------------------------------------------------------

namespace {
std::string VideoSource() { return VideoClip(); }
}  // namespace

TEST_F(Transcode, VideoIsCroppedPaddedScaledAndEncoded) {
  const std::string out = Dir.File("video.mkv");
  Prepare(VideoSource(), out,
          {{"croptop", "20"},
           {"cropbottom", "20"},
           {"s", "160x100"},
           {"padtop", "10"},
           {"padbottom", "10"},
           {"vcodec", "mpeg4"},
           {"acodec", "pcm_s16le"}});
  Engine.Start(false);
  ASSERT_FALSE(Engine.RunState.ExceptionRaised) << Engine.RunState.ExceptionMessage;
  EXPECT_TRUE(DecodesCleanly(out));
  EXPECT_EQ(Probe(out, "v:0", "stream=codec_name"), "mpeg4");
  EXPECT_EQ(Probe(out, "v:0", "stream=width"), "160");
  EXPECT_EQ(Probe(out, "v:0", "stream=height"), "120");
  const std::string frames = Capture(
      "ffprobe -v error -count_frames -select_streams v:0 "
      "-show_entries stream=nb_read_frames -of default=nw=1:nk=1 '" +
      out + "'");
  EXPECT_NEAR(std::stoi(frames), 50, 1);
  // The pad rows are black (Y 16): the top row's mean luma is low.
  const std::string luma = Capture("ffmpeg -v error -i '" + out +
                                   "' -vf crop=160:4:0:0,signalstats,metadata=print:key=lavfi."
                                   "signalstats.YAVG:file=- -frames:v 1 -f null - | grep -o "
                                   "'YAVG=[0-9.]*'");
  ASSERT_FALSE(luma.empty());
  EXPECT_LT(std::stod(luma.substr(5)), 30);
}

TEST_F(Transcode, TwoPassEncodingWritesAndReadsItsStatistics) {
  const std::string prefix = Dir.File("job");
  for (const char* pass : {"1", "2"}) {
    Engine.Reset();
    Prepare(VideoSource(), Dir.File(std::string("pass") + pass + ".mkv"),
            {{"vcodec", "mpeg4"}, {"an", "1"}, {"pass", pass}, {"passlogfile", prefix}});
    Engine.Start(false);
    ASSERT_FALSE(Engine.RunState.ExceptionRaised) << Engine.RunState.ExceptionMessage;
    ASSERT_TRUE(std::filesystem::exists(prefix + "-0.log"));
    EXPECT_GT(std::filesystem::file_size(prefix + "-0.log"), 0u);
  }
  EXPECT_TRUE(DecodesCleanly(Dir.File("pass2.mkv")));

  Engine.Reset();
  Prepare(VideoSource(), Dir.File("nolog.mkv"),
          {{"vcodec", "mpeg4"}, {"pass", "2"}, {"passlogfile", Dir.File("missing")}});
  Engine.Start(false);
  EXPECT_EQ(Engine.RunState.ExceptionMessage,
            "Cannot read log file " + Dir.File("missing") + "-0.log for pass-2 encoding");
}

TEST_F(Transcode, CopyingVideoWhileHookedIsRefused) {
  Engine.OnCustomHook = [](TCustomFFmpeg*, TBitmap*, int32_t, int64_t, bool&, bool&) {};
  Prepare(VideoSource(), Dir.File("hooked.mkv"), {{"vcodec", "copy"}});
  Engine.Start(false);
  EXPECT_EQ(Engine.RunState.ExceptionMessage,
            "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
}

TEST_F(Transcode, FilterChainsDecideTheEncodedSize) {
  // A resizing chain wins over "s".
  std::string out = Dir.File("scaled.mkv");
  Prepare(
      VideoSource(), out,
      {{"s", "640x480"}, {"vfilters", "scale=160:120,hflip"}, {"vcodec", "mpeg4"}, {"an", "1"}});
  Engine.Start(false);
  ASSERT_FALSE(Engine.RunState.ExceptionRaised) << Engine.RunState.ExceptionMessage;
  EXPECT_EQ(Probe(out, "v:0", "stream=width"), "160");
  EXPECT_EQ(Probe(out, "v:0", "stream=height"), "120");
  EXPECT_TRUE(DecodesCleanly(out));

  // A chain that keeps the size takes padding.
  Engine.Reset();
  out = Dir.File("padded.mkv");
  Prepare(VideoSource(), out,
          {{"vfilters", "negate"}, {"padtop", "8"}, {"vcodec", "mpeg4"}, {"an", "1"}});
  Engine.Start(false);
  ASSERT_FALSE(Engine.RunState.ExceptionRaised) << Engine.RunState.ExceptionMessage;
  EXPECT_EQ(Probe(out, "v:0", "stream=height"), "248");

  // A resizing chain with padding is refused when the output is opened.
  Engine.Reset();
  ASSERT_TRUE(Engine.OpenInputFile(VideoSource()));
  Engine.SetOption("vfilters", "null,Transpose");  // names are matched in any case
  Engine.SetOption("padtop", "8");
  EXPECT_FALSE(Engine.OpenOutputFile(Dir.File("refused.mkv")));
  EXPECT_EQ(Engine.LastError,
            "Cannot enable pad options and the filters which resize frame at the same time. "
            "(crop, rotate, scale, transpose, etc.)");

  // A chain the filter library cannot parse fails the job, not the process.
  Engine.Reset();
  Prepare(VideoSource(), Dir.File("bad.mkv"), {{"vfilters", "nosuchfilter"}, {"vcodec", "mpeg4"}});
  Engine.Start(false);
  EXPECT_EQ(Engine.RunState.ExceptionMessage, "Error opening filters!");
}
