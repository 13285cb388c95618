// Properties, the option records as the engine receives them, and the events'
// index and level rules.
#include <ctime>
#include <filesystem>
#include <thread>

#include "ComponentTestSupport.h"
#include "Text.h"

using namespace component_testing;
using testing_support::Probe;
using testing_support::ProbeDuration;

namespace {

class ComponentProperties : public ComponentFixture {};
class ComponentOptions : public ComponentFixture {};
class ComponentEvents : public ComponentFixture {};

int64_t OptionInt(void* context, const char* name) {
  int64_t value = -1;
  av.av_opt_get_int(context, name, 0, &value);
  return value;
}

}  // namespace

TEST_F(ComponentProperties, DefaultsAndTheProgressIntervalFloor) {
  EXPECT_EQ(Component.Version(), "2.3");
  EXPECT_EQ(Component.LogLevel(), llInfo);
  EXPECT_EQ(Component.ProgressInterval(), 500);
  EXPECT_EQ(Component.ThreadPriority, tpNormal);
  EXPECT_FALSE(Component.Preview());
  EXPECT_FALSE(Component.PreviewBitmap());
  Component.SetProgressInterval(250);
  EXPECT_EQ(Component.ProgressInterval(), 250);
  Component.SetProgressInterval(50);
  EXPECT_EQ(Component.ProgressInterval(), 100);

  AddConversion(SineWav(1), "a.wav");
  Component.Start(1);
  {
    std::lock_guard<std::recursive_mutex> lock(Component.EventLock);
    EXPECT_EQ(Component.Task(0)->RunState.ReportInterval, 100000);
  }
  ASSERT_TRUE(WaitForFinal());
}

TEST_F(ComponentProperties, LogLevelSetsTheLibraryLevelAndTheTasksVerbosity) {
  Component.SetLogLevel(llDebug);
  EXPECT_EQ(av.av_log_get_level(), 2);
  EXPECT_EQ(LibraryLogThreshold.load(), 2);
  const int index = Component.AddTask(SineWav(1), nullptr);
  ASSERT_GE(index, 0);
  EXPECT_EQ(Component.Task(index)->Counters.Verbose, 2);
  Component.SetLogLevel(llQuiet);
  EXPECT_EQ(av.av_log_get_level(), -1);
}

TEST_F(ComponentProperties, PreviewFlagsReachEveryTaskAndNewOnes) {
  const std::string source = SineWav(1);
  ASSERT_EQ(Component.AddTask(source, nullptr), 0);
  ASSERT_EQ(Component.AddTask(source, nullptr), 1);
  Component.SetPreview(true);
  Component.SetPreviewBitmap(true);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Component.Task(i)->RunState.PreviewFlags, 3);
  Component.SetPreview(false);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Component.Task(i)->RunState.PreviewFlags, 2);
  ASSERT_EQ(Component.AddTask(source, nullptr), 2);
  EXPECT_EQ(Component.Task(2)->RunState.PreviewFlags, 2);
}

TEST_F(ComponentOptions, NewStreamLinesWaitForTheSecondPassOrdinaryLinesRunInBoth) {
  const int index = Component.AddTask(SineWav(1), nullptr);
  ASSERT_EQ(index, 0);
  TOutputOptions options;
  options.AudioCodec = "mp2";
  options.AudioBitrate = 192000;  // applied after the first pass's "ab"
  options.ExtOptions = "ab=64000\r\nnewaudio";
  // "newaudio" before the output exists would fail the call.
  ASSERT_TRUE(Component.SetOutputFile(index, Dir.File("two.mka"), &options))
      << Component.LastErrMsg();
  ASSERT_TRUE(Component.InspectTask(index)) << Component.LastErrMsg();
  EXPECT_FALSE(std::filesystem::exists(Dir.File("two.mka")));
  TFFmpeg& task = *Component.Task(index);
  ASSERT_EQ(task.Output.Codecs[0].size(), 2u);
  EXPECT_EQ(task.Output.Codecs[0][0]->bit_rate, 192000);
  // The second pass set "ab" again before it added the stream.
  EXPECT_EQ(task.Output.Codecs[0][1]->bit_rate, 64000);

  Component.Start(1);
  ASSERT_TRUE(WaitForFinal());
  EXPECT_EQ(Probe(Dir.File("two.mka"), "", "format=nb_streams"), "2");
}

TEST(ComponentHookPeriods, PairsInMillisecondsBecomeMicrosecondPeriods) {
  using TPeriods = std::vector<std::pair<int64_t, int64_t>>;
  EXPECT_EQ(ParseHookPeriods("0-5000,10000-15000"),
            (TPeriods{{0, 5000000}, {10000000, 15000000}}));
  // In the text's order: the engine sorts them (by end).
  EXPECT_EQ(ParseHookPeriods(" 10000 - 15000 , 0-5000 "),
            (TPeriods{{10000000, 15000000}, {0, 5000000}}));
  EXPECT_EQ(ParseHookPeriods("5000-1000"), TPeriods{});
  EXPECT_EQ(ParseHookPeriods(""), TPeriods{});
  EXPECT_EQ(ParseHookPeriods("abc,7-"), TPeriods{});
  // Unreadable text counts as -1 ms.
  EXPECT_EQ(ParseHookPeriods("x-500"), (TPeriods{{-1000, 500000}}));
}

TEST_F(ComponentOptions, HookPeriodsOnlyWithoutHookEvents) {
  const std::string source = SineWav(1);
  TOutputOptions periods;
  periods.PTSs = "0-20000,10000-15000";
  AddConversion(source, "a.wav", "", &periods);
  ASSERT_TRUE(Component.InspectTask(0));
  // Sorted by end, as the engine scans them.
  EXPECT_EQ(Component.Task(0)->RunState.HookPeriods,
            (std::vector<std::pair<int64_t, int64_t>>{{10000000, 15000000}, {0, 20000000}}));
  EXPECT_EQ(Component.Task(0)->RunState.HookPeriodIndex, 0);
  EXPECT_FALSE(Component.Task(0)->OnBeforeHook);

  TOutputOptions before = periods;
  before.FileName.clear();
  before.BeforeHook = true;
  AddConversion(source, "b.wav", "", &before);
  ASSERT_TRUE(Component.InspectTask(1));
  EXPECT_TRUE(Component.Task(1)->RunState.HookPeriods.empty());
  EXPECT_TRUE(Component.Task(1)->OnBeforeHook);
  EXPECT_FALSE(Component.Task(1)->OnCustomHook);

  TOutputOptions custom = before;
  custom.FileName.clear();
  custom.CustomHook = true;
  AddConversion(source, "c.wav", "", &custom);
  ASSERT_TRUE(Component.InspectTask(2));
  EXPECT_TRUE(Component.Task(2)->OnCustomHook);
  EXPECT_FALSE(Component.Task(2)->OnBeforeHook);
}

TEST_F(ComponentOptions, TimestampZeroIsNowMinusOneIsUnsetAndADateIsLocalTime) {
  const std::string source = SineWav(1);
  TOutputOptions now;
  now.Timestamp = 0;
  const int64_t before = std::time(nullptr);
  AddConversion(source, "now.wav", "", &now);
  ASSERT_TRUE(Component.InspectTask(0));
  const int64_t after = std::time(nullptr);
  EXPECT_GE(Component.Task(0)->MuxTime.RecordingTimestamp, before);
  EXPECT_LE(Component.Task(0)->MuxTime.RecordingTimestamp, after);

  TOutputOptions unset;
  AddConversion(source, "unset.wav", "", &unset);
  ASSERT_TRUE(Component.InspectTask(1));
  EXPECT_EQ(Component.Task(1)->MuxTime.RecordingTimestamp, 0);

  TOutputOptions date;
  date.Timestamp = 45292.5;  // 2024-01-01 12:00 local time
  AddConversion(source, "date.wav", "", &date);
  ASSERT_TRUE(Component.InspectTask(2));
  std::tm local{};
  local.tm_year = 124;
  local.tm_mday = 1;
  local.tm_hour = 12;
  local.tm_isdst = -1;
  EXPECT_EQ(Component.Task(2)->MuxTime.RecordingTimestamp, std::mktime(&local));
}

TEST_F(ComponentOptions, RecordFieldsReachTheConvertedFile) {
  TInputOptions input;
  input.StartTime = 1000;
  const int index = Component.AddTask(SineWav(3), &input);
  ASSERT_EQ(index, 0);
  TOutputOptions o;
  o.AudioChannels = 1;
  o.AudioSampleRate = 22050;
  o.AudioBitrate = 64000;
  o.RecordingTime = 1500;
  o.Title = "A title";
  o.Author = "An author";
  o.Album = "An album";
  o.Comment = "A comment";
  o.Genre = "Speech";
  o.Year = 2009;
  o.Track = 7;
  ASSERT_TRUE(Component.SetOutputFile(index, Dir.File("tagged.mp3"), &o)) << Component.LastErrMsg();
  EXPECT_EQ(o.FileName, Dir.File("tagged.mp3"));
  Component.Start(1);
  ASSERT_TRUE(WaitForFinal());
  const std::string out = Dir.File("tagged.mp3");
  EXPECT_EQ(Probe(out, "a:0", "stream=channels"), "1");
  EXPECT_EQ(Probe(out, "a:0", "stream=sample_rate"), "22050");
  EXPECT_EQ(Probe(out, "a:0", "stream=bit_rate"), "64000");
  // Cut at 1.5 s of the 2 s left after the start; the engine stops on the
  // muxed time, so the encoder's delay may add a few frames.
  EXPECT_GT(ProbeDuration(out), 1.45);
  EXPECT_LT(ProbeDuration(out), 1.8);
  EXPECT_EQ(Probe(out, "", "format_tags=title"), "A title");
  EXPECT_EQ(Probe(out, "", "format_tags=artist"), "An author");
  EXPECT_EQ(Probe(out, "", "format_tags=album"), "An album");
  EXPECT_EQ(Probe(out, "", "format_tags=comment"), "A comment");
  EXPECT_EQ(Probe(out, "", "format_tags=genre"), "Speech");
  EXPECT_EQ(Probe(out, "", "format_tags=date"), "2009");
  EXPECT_EQ(Probe(out, "", "format_tags=track"), "7");
}

TEST_F(ComponentOptions, GenericVideoSettingsReachTheOptionContexts) {
  const int index = Component.AddTask(SineWav(1), nullptr);
  ASSERT_EQ(index, 0);
  TOutputOptions o;
  o.GOPSize = 12;
  o.VideoBitrate = 300000;
  o.VideoMaxRate = 400000;
  o.VideoBufSize = 800000;
  ASSERT_TRUE(Component.SetOutputFile(index, Dir.File("a.wav"), &o)) << Component.LastErrMsg();
  ASSERT_TRUE(Component.InspectTask(index)) << Component.LastErrMsg();
  AVCodecContext* video = Component.Task(index)->OptionContexts.Codec[AVMEDIA_TYPE_VIDEO].get();
  EXPECT_EQ(OptionInt(video, "g"), 12);
  EXPECT_EQ(OptionInt(video, "b"), 300000);
  EXPECT_EQ(OptionInt(video, "maxrate"), 400000);
  EXPECT_EQ(OptionInt(video, "bufsize"), 800000);
}

TEST_F(ComponentEvents, EngineLevelsMapOntoLogLevelsAndNoSenderIsIndexMinusOne) {
  Component.DoLog(nullptr, -1, "failed");
  Component.DoLog(nullptr, 0, "error");
  Component.DoLog(nullptr, 1, "note");
  Component.DoLog(nullptr, 3, "detail");
  Component.DoLog(nullptr, 7, "more");
  EXPECT_TRUE(Events.HasLine(-1, llQuiet, "failed"));
  EXPECT_TRUE(Events.HasLine(-1, llError, "error"));
  EXPECT_TRUE(Events.HasLine(-1, llInfo, "note"));
  EXPECT_TRUE(Events.HasLine(-1, llAll, "detail"));
  EXPECT_TRUE(Events.HasLine(-1, llAll, "more"));
  ASSERT_EQ(Component.AddTask(SineWav(1), nullptr), 0);
  ASSERT_EQ(Component.AddTask(SineWav(1), nullptr), 1);
  Component.DoLog(Component.Task(1), 0, "of task 1");
  EXPECT_TRUE(Events.HasLine(1, llError, "of task 1"));
}

TEST_F(ComponentEvents, HandlersOfOneComponentNeverOverlap) {
  Component.SetLogLevel(llAll);
  Component.SetProgressInterval(100);
  const std::string source = SineWav(2);
  for (int i = 0; i < 4; ++i) AddConversion(source, StrFormat("out%d.mp3", i));
  std::atomic<bool> inside{false};
  std::atomic<int> overlaps{0}, calls{0};
  auto enter = [&] {
    ++calls;
    if (inside.exchange(true)) ++overlaps;
    std::this_thread::yield();
    inside = false;
  };
  std::atomic<bool> final{false};
  Component.OnLog = [&](int, TLogLevel, const std::string&) { enter(); };
  Component.OnProgress = [&](int, int, int, int, float, float, int64_t, int) { enter(); };
  Component.OnTerminate = [&](int index, bool, bool, const std::string&) {
    enter();
    if (index == -1) final = true;
  };
  Component.Start(4);
  ASSERT_TRUE(Component.EventLoop()->RunUntil([&] { return final.load(); }, 60000));
  EXPECT_GT(calls, 20);
  EXPECT_EQ(overlaps, 0);
}
