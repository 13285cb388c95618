// Queued tasks hold no file and little else; they open their files when they
// run, and each ends in one of the four outcomes. Handlers the owner clears
// are not called afterwards.
#include <sys/resource.h>

#include <condition_variable>
#include <thread>
#include <filesystem>
#include <fstream>

#include "ComponentTestSupport.h"
#include "Text.h"

using namespace component_testing;

namespace {

class ComponentQueue : public ComponentFixture {};

int OpenDescriptors() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

// Copies a fixture into the test's folder under name.
std::string Copy(const std::string& fixture, const std::string& folder, const std::string& name) {
  const std::string path = folder + "/" + name;
  std::filesystem::copy_file(fixture, path, std::filesystem::copy_options::overwrite_existing);
  return path;
}

}  // namespace

// Queued tasks hold no file but the sources of the next few to run
// (SetInputsKept), which their jobs take; every task converts.
TEST_F(ComponentQueue, AddingCreatesNothingAndHoldsNoFileButTheSourcesKept) {
  const std::string source = SineWav(1);
  for (const int kept : {0, 3}) {
    SCOPED_TRACE(kept);
    Component.ClearTasks();
    Component.SetInputsKept(kept);
    const std::string out = Dir.File("out" + std::to_string(kept));
    std::filesystem::create_directory(out);
    const int before = OpenDescriptors();
    for (int i = 0; i < 40; ++i) {
      TInputOptions input;
      const int index = Component.AddTask(source, &input);
      ASSERT_EQ(index, i) << Component.LastErrMsg();
      TOutputOptions output;
      ASSERT_TRUE(Component.SetOutputFile(index, out + StrFormat("/t%02d.mp3", i), &output));
    }
    EXPECT_EQ(OpenDescriptors(), before + kept);
    for (int i = 0; i < 40; ++i)
      EXPECT_EQ(static_cast<bool>(Component.Task(i)->KeptInput), i < kept);
    EXPECT_TRUE(std::filesystem::is_empty(out));
    Events.FinalSeen = false;  // the run before ended
    Component.Start(2);
    ASSERT_TRUE(WaitForFinal());
    for (int i = 0; i < 40; ++i) EXPECT_EQ(Component.Task(i)->State, tsComplete) << i;
    EXPECT_EQ(static_cast<int>(std::distance(std::filesystem::directory_iterator(out),
                                             std::filesystem::directory_iterator())),
              40);
  }
}

TEST_F(ComponentQueue, ASourceThatVanishedOrChangedFailsItsTaskTheOthersGoOn) {
  const std::string kept = Copy(SineWav(1), Dir.Path(), "kept.wav");
  const std::string gone = Copy(SineWav(1), Dir.Path(), "gone.wav");
  const std::string changed = Copy(SineWav(1), Dir.Path(), "changed.wav");
  // Their sources as the check opened them are kept: never taken for a
  // source that changed since.
  Component.SetInputsKept(3);
  AddConversion(kept, "kept_out.wav");
  AddConversion(gone, "gone_out.wav");
  AddConversion(changed, "changed_out.wav");
  std::filesystem::remove(gone);
  std::ofstream(changed, std::ios::app) << "more";
  Component.Start(1);
  ASSERT_TRUE(WaitForFinal());
  EXPECT_EQ(Component.Task(0)->State, tsComplete);
  EXPECT_EQ(Component.Task(1)->State, tsFailed);
  EXPECT_EQ(Component.Task(1)->Result.Reason, gone + ": no such file or directory");
  EXPECT_EQ(Component.Task(2)->State, tsFailed);
  EXPECT_EQ(Component.Task(2)->Result.Reason,
            changed + ": the file changed after it was added to the list; add it again");
  const auto ends = Events.Terminations();
  ASSERT_EQ(ends.size(), 4u);
  EXPECT_TRUE(ends[1].Exception);
  EXPECT_EQ(ends[1].Message, Component.Task(1)->Result.Reason);
  EXPECT_TRUE(std::filesystem::exists(Dir.File("kept_out.wav")));
  EXPECT_FALSE(std::filesystem::exists(Dir.File("gone_out.wav")));
  EXPECT_FALSE(std::filesystem::exists(Dir.File("changed_out.wav")));
}

TEST_F(ComponentQueue, StartDuringARunTakesTheTasksAddedSince) {
  AddConversion(SineWav(3), "first.wav", "re=1");
  Component.Start(1);
  AddConversion(SineWav(1), "second.wav");
  AddConversion(SineWav(1), "third.wav");
  Component.Start(1);  // the run takes them; nothing else changes
  ASSERT_TRUE(WaitForFinal());
  const auto ends = Events.Terminations();
  ASSERT_EQ(ends.size(), 4u);
  EXPECT_EQ(ends.back().Index, -1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Component.Task(i)->State, tsComplete) << i;
}

TEST_F(ComponentQueue, HundredsOfTasksRunUnderALowOpenFileLimit) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 64);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  const std::string source = testing_support::Fixture(
      "component_short.wav", "-f lavfi -i sine=duration=0.2:sample_rate=8000 -ac 1");
  const int count = 300;
  for (int i = 0; i < count; ++i) AddConversion(source, StrFormat("s%03d.wav", i));
  Component.Start(2);
  const bool ended = WaitForFinal();
  setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(ended);
  int complete = 0;
  for (int i = 0; i < count; ++i) complete += Component.Task(i)->State == tsComplete;
  EXPECT_EQ(complete, count);
}

TEST_F(ComponentQueue, AHookHandlerClearedUnderTheLockIsNotCalledAgain) {
  TOutputOptions output;
  output.CustomHook = true;
  AddConversion(testing_support::VideoClip(), "hooked.mkv", "", &output);
  std::mutex lock;
  std::condition_variable wake;
  bool inside = false, go = false;
  std::atomic<bool> cleared{false};
  std::atomic<int> calls{0}, callsAfterClear{0};
  Component.OnCustomHook = [&](int, TBitmap*, int, int64_t, bool&, bool&) {
    if (cleared) ++callsAfterClear;
    if (++calls != 5) return;
    // The fifth call waits for the owner to clear the handler.
    std::unique_lock<std::mutex> guard(lock);
    inside = true;
    wake.notify_all();
    wake.wait(guard, [&] { return go; });
  };
  Component.Start(1);
  {
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(wake.wait_for(guard, std::chrono::seconds(60), [&] { return inside; }));
  }
  {
    std::lock_guard<std::recursive_mutex> events(Component.EventLock);
    Component.OnCustomHook = nullptr;
    cleared = true;
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    go = true;
  }
  wake.notify_all();
  ASSERT_TRUE(WaitForFinal());
  EXPECT_EQ(calls.load(), 5);
  EXPECT_EQ(callsAfterClear.load(), 0);
  EXPECT_EQ(Component.Task(0)->State, tsComplete);
}

TEST_F(ComponentQueue, StopRunningEndsTheRunningTasksAndKeepsTheRestQueued) {
  AddConversion(SineWav(3), "a.wav", "re=1");
  AddConversion(SineWav(1), "b.wav");
  AddConversion(SineWav(1), "c.wav");
  Component.SetProgressInterval(100);
  Component.Start(1);
  ASSERT_TRUE(Component.EventLoop()->RunUntil([&] { return Events.ProgressCount() > 0; }, 20000));
  Component.StopRunning();
  ASSERT_TRUE(WaitForFinal());
  EXPECT_EQ(Component.Task(0)->State, tsStopped);
  EXPECT_EQ(Component.Task(1)->State, tsQueued);
  EXPECT_EQ(Component.Task(2)->State, tsQueued);
  EXPECT_EQ(Events.Terminations().size(), 2u);  // the stopped task and the run's end
  EXPECT_FALSE(std::filesystem::exists(Dir.File("a.wav")));
  // A later Start runs what waited.
  Component.Start(2);
  ASSERT_TRUE(Component.EventLoop()->RunUntil([&] { return Events.Terminations().size() == 5; },
                                               60000));
  EXPECT_EQ(Component.Task(1)->State, tsComplete);
  EXPECT_EQ(Component.Task(2)->State, tsComplete);
}

TEST_F(ComponentQueue, AnOutputFolderIsMadeWhenTheTaskRunsIfAsked) {
  TOutputOptions output;
  output.CreateFolder = true;
  const int index = Component.AddTask(SineWav(1), nullptr);
  ASSERT_GE(index, 0);
  ASSERT_TRUE(Component.SetOutputFile(index, Dir.File("x/y/z.wav"), &output))
      << Component.LastErrMsg();
  EXPECT_FALSE(std::filesystem::exists(Dir.File("x")));  // nothing made when it is added
  TOutputOptions plain;
  EXPECT_FALSE(Component.SetOutputFile(index, Dir.File("p/q.wav"), &plain));
  ASSERT_TRUE(Component.SetOutputFile(index, Dir.File("x/y/z.wav"), &output));
  Component.Start(1);
  ASSERT_TRUE(WaitForFinal());
  EXPECT_EQ(Component.Task(0)->State, tsComplete);
  EXPECT_TRUE(std::filesystem::exists(Dir.File("x/y/z.wav")));
}

TEST_F(ComponentQueue, EncoderThreadsNeverOutnumberTheCoresAndChunksUseIdleOnes) {
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  for (int i = 0; i < 3; ++i) AddConversion(SineWav(3), StrFormat("c%d.mp3", i), "re=1");
  Component.SplitEncoding = true;
  Component.SetProgressInterval(100);
  int most = 0, alone = 0;
  Component.OnProgress = [&](int, int, int, int, float, float, int64_t, int) {
    int running = 0, threads = 0;
    for (int i = 0; i < Component.TaskCount(); ++i) {
      TFFmpeg* task = Component.Task(i);
      if (task->State != tsRunning) continue;
      ++running;
      threads += task->RunState.EncoderThreads;
    }
    most = std::max(most, threads);
    if (running == 1) alone = threads;
  };
  Component.Start(2);
  ASSERT_TRUE(WaitForFinal());
  EXPECT_LE(most, std::max(cores, 2));  // one each at least
  EXPECT_EQ(alone, cores);              // the last one alone has them all
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Component.Task(i)->State, tsComplete);
  // Chunks only where cores would idle: the two started together share the
  // cores; the last starts at the tail and gets theirs as they end.
  EXPECT_EQ(Component.Task(0)->SplitEncoding, cores / 2 >= 2);
  EXPECT_EQ(Component.Task(1)->SplitEncoding, cores / 2 >= 2);
  EXPECT_TRUE(Component.Task(2)->SplitEncoding);
  // One task alone has the cores; switched off, nothing is split.
  for (const bool split : {true, false}) {
    Component.ClearTasks();
    {
      std::lock_guard<std::mutex> lock(Events.Lock);
      Events.Ends.clear();
    }
    AddConversion(SineWav(3), split ? "alone.mp3" : "off.mp3");
    Component.SplitEncoding = split;
    Component.Start(2);
    ASSERT_TRUE(WaitForFinal());
    EXPECT_EQ(Component.Task(0)->SplitEncoding, split && cores >= 2);
  }
}
