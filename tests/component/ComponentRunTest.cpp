// Running tasks: main-thread and thread mode, stop, pause, removal, tear-down.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>

#include "ComponentTestSupport.h"
#include "FFmpegLoader.h"
#include "OptionComposer.h"
#include "Text.h"

using namespace component_testing;
using testing_support::Capture;
using testing_support::DecodesCleanly;
using testing_support::ProbeDuration;

namespace {

// Tasks started and not yet reported. Call under the component's EventLock.
int RunningTasks(TREzuvuZUZ& component) {
  int n = 0;
  for (int i = 0; i < component.TaskCount(); ++i)
    if (component.Task(i)->State == tsRunning) ++n;
  return n;
}

class ComponentRun : public ComponentFixture {};
class ComponentStop : public ComponentFixture {};
class ComponentTasks : public ComponentFixture {};

}  // namespace

TEST_F(ComponentRun, StartWithNoTasksFiresNothing) {
  Component.Start(0);
  Component.Start(3);
  Component.EventLoop()->RunUntil([] { return false; }, 300);
  EXPECT_TRUE(Events.Terminations().empty());
  EXPECT_EQ(Events.ProgressCount(), 0);
}

TEST_F(ComponentRun, MainThreadModeRunsTheTasksOneAfterAnother) {
  const std::string source = SineWav(2);
  for (int i = 0; i < 3; ++i) AddConversion(source, StrFormat("out%d.wav", i));
  int mostRunning = 0;
  auto record = Component.OnTerminate;
  Component.OnTerminate = [&](int index, bool finished, bool exception, const std::string& text) {
    mostRunning = std::max(mostRunning, RunningTasks(Component));
    record(index, finished, exception, text);
  };
  Component.OnProgress = [&](int, int, int, int, float, float, int64_t, int) {
    mostRunning = std::max(mostRunning, RunningTasks(Component));
  };
  Component.Start(0);
  // The first task waits for its timer: nothing has run inside Start.
  EXPECT_EQ(RunningTasks(Component), 0);
  EXPECT_TRUE(Events.Terminations().empty());
  ASSERT_TRUE(WaitForFinal());

  const auto ends = Events.Terminations();
  ASSERT_EQ(ends.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ends[i].Index, i);
    EXPECT_TRUE(ends[i].Finished);
    EXPECT_FALSE(ends[i].Exception) << ends[i].Message;
    EXPECT_EQ(ends[i].ThreadID, CurrentThreadID()) << "task " << i << " left the main thread";
    EXPECT_EQ(Component.Task(i)->ThreadID, CurrentThreadID());
    EXPECT_NEAR(ProbeDuration(Dir.File(StrFormat("out%d.wav", i))), 2.0, 0.01);
  }
  EXPECT_EQ(ends[3].Index, -1);
  EXPECT_TRUE(ends[3].Finished);
  EXPECT_FALSE(ends[3].Exception);
  EXPECT_EQ(ends[3].Message, "");
  EXPECT_EQ(mostRunning, 1);
}

TEST_F(ComponentRun, ThreadModeNeverRunsMoreThanItsSlots) {
  const std::string source = SineWav(2);
  for (int i = 0; i < 5; ++i) AddConversion(source, StrFormat("out%d.mp3", i));
  std::atomic<int> mostRunning{0};
  auto note = [&] {
    const int n = RunningTasks(Component);
    if (n > mostRunning) mostRunning = n;
  };
  auto record = Component.OnTerminate;
  Component.OnTerminate = [&](int index, bool finished, bool exception, const std::string& text) {
    note();
    record(index, finished, exception, text);
  };
  Component.OnProgress = [&](int, int, int, int, float, float, int64_t, int) { note(); };
  Component.Start(2);
  // Polled from this thread as well, between the events.
  Component.EventLoop()->RunUntil(
      [&] {
        std::lock_guard<std::recursive_mutex> lock(Component.EventLock);
        note();
        return Events.Final();
      },
      60000);
  ASSERT_TRUE(Events.Final());
  const auto ends = Events.Terminations();
  ASSERT_EQ(ends.size(), 6u);
  std::set<int> indexes;
  for (int i = 0; i < 5; ++i) {
    indexes.insert(ends[i].Index);
    EXPECT_TRUE(ends[i].Finished) << ends[i].Message;
    EXPECT_NE(ends[i].ThreadID, CurrentThreadID());
  }
  EXPECT_EQ(indexes, (std::set<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(ends[5].Index, -1);
  EXPECT_LE(mostRunning, 2);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(DecodesCleanly(Dir.File(StrFormat("out%d.mp3", i))));
}

TEST_F(ComponentRun, MoreSlotsThanTasksStartsEveryTaskAtOnce) {
  const std::string source = SineWav(1);
  for (int i = 0; i < 3; ++i) AddConversion(source, StrFormat("out%d.wav", i));
  Component.Start(10);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(Component.Task(i)->ThreadID, 0) << "task " << i << " has no worker";
    EXPECT_NE(Component.Task(i)->ThreadID, CurrentThreadID());
  }
  ASSERT_TRUE(WaitForFinal());
  EXPECT_EQ(Events.Terminations().size(), 4u);
}

TEST_F(ComponentRun, TaskWithoutOutputFailsAndTheRunGoesOn) {
  const std::string source = SineWav(1);
  ASSERT_EQ(Component.AddTask(source, nullptr), 0);
  AddConversion(source, "b.wav");
  Component.Start(1);
  ASSERT_TRUE(WaitForFinal());
  const auto ends = Events.Terminations();
  ASSERT_EQ(ends.size(), 3u);
  EXPECT_EQ(ends[0].Index, 0);
  EXPECT_FALSE(ends[0].Finished);
  EXPECT_TRUE(ends[0].Exception);
  EXPECT_EQ(ends[0].Message, "At least one output file must be specified");
  EXPECT_TRUE(Events.HasLine(0, llQuiet, "At least one output file must be specified"));
  EXPECT_EQ(ends[1].Index, 1);
  EXPECT_TRUE(ends[1].Finished);
  EXPECT_EQ(ends[2].Index, -1);

  // The tasks have run: a second Start has nothing to do and fires nothing.
  Component.Start(0);
  Component.EventLoop()->RunUntil([] { return false; }, 300);
  EXPECT_EQ(Events.Terminations().size(), 3u);
}

TEST_F(ComponentStop, BeforeAnyTaskRanEveryTaskReportsThenTheRunEnds) {
  const std::string source = SineWav(1);
  for (int i = 0; i < 3; ++i) AddConversion(source, StrFormat("out%d.wav", i));
  Component.Start(0);
  Component.Stop();
  ASSERT_TRUE(WaitForFinal());
  // The timer of the first task would have fired by now: it must not run.
  Component.EventLoop()->RunUntil([] { return false; }, 300);
  const auto ends = Events.Terminations();
  ASSERT_EQ(ends.size(), 4u);
  std::set<int> indexes;
  for (int i = 0; i < 3; ++i) {
    indexes.insert(ends[i].Index);
    EXPECT_FALSE(ends[i].Finished);
    EXPECT_FALSE(ends[i].Exception);
    EXPECT_EQ(ends[i].Message, "");
    EXPECT_NE(ends[i].ThreadID, CurrentThreadID()) << "not from a termination thread";
  }
  EXPECT_EQ(indexes, (std::set<int>{0, 1, 2}));
  EXPECT_EQ(ends[3].Index, -1);
  EXPECT_TRUE(ends[3].Finished);
  EXPECT_EQ(Events.ProgressCount(), 0);
}

TEST_F(ComponentStop, WithoutStartEveryTaskReportsThenTheRunEnds) {
  const std::string source = SineWav(1);
  for (int i = 0; i < 2; ++i) AddConversion(source, StrFormat("out%d.wav", i));
  Component.Stop();
  ASSERT_TRUE(WaitForFinal());
  const auto ends = Events.Terminations();
  ASSERT_EQ(ends.size(), 3u);
  EXPECT_FALSE(ends[0].Finished);
  EXPECT_FALSE(ends[1].Finished);
  EXPECT_EQ(ends[2].Index, -1);
}

TEST_F(ComponentStop, StopWhilePausedEndsTheWorkersAndLeavesNoFile) {
  // Read at the source's own pace ("re"), so the jobs are still running
  // when the first progress arrives.
  const std::string source = SineWav(3);
  AddConversion(source, "a.wav", "re=1");
  AddConversion(source, "b.mp3", "re=1");
  Component.SetProgressInterval(100);
  std::atomic<bool> paused{false};
  Component.OnProgress = [&](int, int, int, int, float, float, int64_t, int) {
    if (!paused.exchange(true)) Component.Pause();
  };
  Component.Start(2);
  ASSERT_TRUE(Component.EventLoop()->RunUntil([&] { return paused.load(); }, 20000));
  {
    std::lock_guard<std::recursive_mutex> lock(Component.EventLock);
    EXPECT_TRUE(Component.Task(0)->Paused());
    EXPECT_TRUE(Component.Task(1)->Paused());
  }
  Component.Stop();
  ASSERT_TRUE(WaitForFinal());
  const auto ends = Events.Terminations();
  ASSERT_EQ(ends.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(ends[i].Finished) << "task " << ends[i].Index << " ran to its end";
    EXPECT_FALSE(ends[i].Exception) << ends[i].Message;
    EXPECT_EQ(Component.Task(i)->State, tsStopped);
  }
  // A stopped job's output is not finished: nothing is left, not even hidden.
  EXPECT_TRUE(std::filesystem::is_empty(Dir.Path()));
}

TEST_F(ComponentTasks, RemoveTaskRenumbersAndLaterEventsCarryTheNewIndex) {
  AddConversion(SineWav(1), "t0.wav");
  AddConversion(SineWav(2), "t1.wav");
  AddConversion(SineWav(3), "t2.wav");
  Component.RemoveTask(0);
  ASSERT_EQ(Component.TaskCount(), 2);
  EXPECT_EQ(Component.Task(0)->Index, 0);
  EXPECT_EQ(Component.Task(1)->Index, 1);
  EXPECT_EQ(Component.Task(1)->OutputOptions.FileName, Dir.File("t2.wav"));
  Component.RemoveTask(5);
  EXPECT_EQ(Component.LastErrMsg(), "List index out of bounds (5)");

  Component.Start(0);
  ASSERT_TRUE(WaitForFinal());
  const auto ends = Events.Terminations();
  ASSERT_EQ(ends.size(), 3u);
  EXPECT_EQ(ends[0].Index, 0);
  EXPECT_EQ(ends[1].Index, 1);
  EXPECT_EQ(ends[2].Index, -1);
  EXPECT_NEAR(ProbeDuration(Dir.File("t1.wav")), 2.0, 0.01);
  EXPECT_NEAR(ProbeDuration(Dir.File("t2.wav")), 3.0, 0.01);
  EXPECT_FALSE(std::filesystem::exists(Dir.File("t0.wav"))) << "the removed task's empty file";
}

TEST_F(ComponentTasks, AddTaskStoresTheFileNameAndRefusesWhatItCannotOpen) {
  const std::string source = SineWav(1);
  TInputOptions empty;
  const int index = Component.AddTask(source, &empty);
  ASSERT_EQ(index, 0);
  EXPECT_EQ(empty.FileName, source);
  EXPECT_EQ(Component.Task(0)->InputOptions.FileName, source);
  TInputOptions named;
  named.FileName = "kept";
  ASSERT_EQ(Component.AddTask(source, &named), 1);
  EXPECT_EQ(named.FileName, "kept");

  EXPECT_EQ(Component.AddTask(Dir.File("missing.wav"), nullptr), -1);
  EXPECT_NE(Component.LastErrMsg().find("missing.wav"), std::string::npos)
      << Component.LastErrMsg();
  TInputOptions badFormat;
  badFormat.FileFormat = "nosuchformat";
  EXPECT_EQ(Component.AddTask(source, &badFormat), -1);
  EXPECT_EQ(Component.LastErrMsg(), "Unknown input format: nosuchformat");
  EXPECT_EQ(Component.TaskCount(), 2);
}

TEST_F(ComponentTasks, FailingSetOutputFileLeavesTheReasonAndTheTask) {
  const int index = Component.AddTask(SineWav(1), nullptr);
  ASSERT_EQ(index, 0);
  TOutputOptions options;
  options.FileFormat = "nosuchformat";
  EXPECT_FALSE(Component.SetOutputFile(index, Dir.File("a.wav"), &options));
  EXPECT_EQ(Component.LastErrMsg(), "Unknown output format: nosuchformat");
  EXPECT_FALSE(Component.SetOutputFile(7, Dir.File("a.wav"), nullptr));
  EXPECT_EQ(Component.LastErrMsg(), "List index out of bounds (7)");
  TOutputOptions badValue;
  badValue.ExtOptions = "ar=abc";
  EXPECT_FALSE(Component.SetOutputFile(index, Dir.File("a.wav"), &badValue));
  EXPECT_NE(Component.LastErrMsg().find("abc"), std::string::npos) << Component.LastErrMsg();
  EXPECT_FALSE(Component.SetOutputFile(index, "/nonexistent/dir/a.wav", nullptr));
  EXPECT_EQ(Component.LastErrMsg(), "Could not open '/nonexistent/dir/a.wav': No such file or directory");
  EXPECT_EQ(Component.TaskCount(), 1);
}

// The composer's range line reaches the engine as an input option: the
// output holds the range's samples; a malformed line is an option error.
TEST_F(ComponentTasks, SampleRangeLineCutsTheSource) {
  TInputOptions input;
  AddSampleRange(input, 4410, 4410 + 11025);
  EXPECT_EQ(input.ExtOptions, "sample_range=4410:15435");
  AddConversion(SineWav(1), "range.wav", input.ExtOptions);
  Component.Start(0);
  ASSERT_TRUE(WaitForFinal());
  EXPECT_EQ(Capture("ffmpeg -nostdin -v error -i '" + Dir.File("range.wav") +
                    "' -ac 1 -f s16le - | wc -c"),
            "22050");
  TInputOptions bad;
  bad.ExtOptions = "sample_range=20:10";
  EXPECT_EQ(Component.AddTask(SineWav(1), &bad), -1);
  EXPECT_EQ(Component.LastErrCode(), rcOption) << Component.LastErrMsg();
}

TEST_F(ComponentTasks, ClearTasksDuringARunStopsItWithoutFurtherEvents) {
  const std::string source = SineWav(3);
  AddConversion(source, "a.wav", "re=1");
  AddConversion(source, "b.wav", "re=1");
  Component.SetProgressInterval(100);
  Component.Start(2);
  ASSERT_TRUE(Component.EventLoop()->RunUntil([&] { return Events.ProgressCount() > 0; }, 20000));
  Component.ClearTasks();
  EXPECT_EQ(Component.TaskCount(), 0);
  const size_t seen = Events.Terminations().size();
  Component.EventLoop()->RunUntil([] { return false; }, 300);
  EXPECT_EQ(Events.Terminations().size(), seen);
  EXPECT_FALSE(Events.Final());
  EXPECT_TRUE(std::filesystem::is_empty(Dir.Path()));

  // The component takes a new list as usual.
  AddConversion(SineWav(1), "c.wav");
  Component.Start(0);
  ASSERT_TRUE(WaitForFinal());
  EXPECT_EQ(Events.Terminations().back().Index, -1);
}

TEST(ComponentLifetime, DestroyingAComponentMidRunJoinsItsWorkers) {
  testing_support::TTempDir dir;
  auto component = std::make_unique<TREzuvuZUZ>();
  ASSERT_TRUE(component->LoadAVLib(DefaultLibraryDir()));
  std::atomic<int> progress{0};
  component->OnProgress = [&](int, int, int, int, float, float, int64_t, int) { ++progress; };
  component->SetProgressInterval(100);
  for (const char* name : {"a.wav", "b.wav"}) {
    TInputOptions input;
    input.ExtOptions = "re=1";
    const int index = component->AddTask(SineWav(3), &input);
    ASSERT_GE(index, 0);
    ASSERT_TRUE(component->SetOutputFile(index, dir.File(name), nullptr));
  }
  component->Start(2);
  ASSERT_TRUE(component->EventLoop()->RunUntil([&] { return progress > 0; }, 20000));
  component.reset();
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST(ComponentLifetime, NothingFiresWhileTheComponentIsFreed) {
  auto component = std::make_unique<TREzuvuZUZ>();
  ASSERT_TRUE(component->LoadAVLib(DefaultLibraryDir()));
  // Closing a file makes the libraries log (at the verbose level).
  component->SetLogLevel(llAll);
  ASSERT_GE(component->AddTask(SineWav(1), nullptr), 0);
  ASSERT_GE(component->AddTask(SineWav(2), nullptr), 0);
  std::atomic<bool> freeing{false};
  std::atomic<int> late{0};
  component->OnLog = [&](int, TLogLevel, const std::string&) {
    if (freeing) ++late;
  };
  component->OnTerminate = [&](int, bool, bool, const std::string&) {
    if (freeing) ++late;
  };
  freeing = true;
  component.reset();
  EXPECT_EQ(late, 0);
}
