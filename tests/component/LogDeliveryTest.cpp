// Library log lines: assembly per thread, the prefix, levels, dispatch to
// every live component, clearing, the buffer limit.
#include <gtest/gtest.h>

#include <cstdarg>
#include <future>
#include <thread>

#include "ComponentTestSupport.h"
#include "FFmpegLoader.h"
#include "Text.h"

using namespace component_testing;

namespace {

const char* FakeItemName(void*) { return "fake"; }

// A library context: its first field points to its class descriptor.
struct TFakeContext {
  const AVClass* Class;
};

class LogDelivery : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeClass.class_name = "fake";
    FakeClass.item_name = FakeItemName;
    Context.Class = &FakeClass;
    Component.SetLogLevel(llAll);
    Events.Attach(Component);
    ClearLogBuffers();
  }
  void TearDown() override { ClearLogBuffers(); }

  static void Emit(void* context, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LibraryLogCallback(context, level, format, args);
    va_end(args);
  }
  std::string Prefix() const {
    return StrFormat("[fake @ %08X]",
                     static_cast<unsigned>(reinterpret_cast<uintptr_t>(&FakeClass)));
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const TLogLine& line : Events.Lines()) texts.push_back(line.Text);
    return texts;
  }

  AVClass FakeClass{};
  TFakeContext Context{};
  TRecorder Events;
  TREzuvuZUZ Component;
};

using TLines = std::vector<std::string>;

}  // namespace

TEST_F(LogDelivery, FragmentsOfOneThreadMakeOneLineWithThePrefix) {
  Emit(&Context, AV_LOG_ERROR, "abc");
  EXPECT_TRUE(Events.Lines().empty());
  Emit(&Context, AV_LOG_ERROR, "%s\n", "def");
  EXPECT_EQ(Texts(), TLines{Prefix() + "abcdef"});
  EXPECT_EQ(Prefix().size(), std::string("[fake @ ]").size() + 8);
  EXPECT_EQ(Events.Lines()[0].Index, -1);
}

TEST_F(LogDelivery, EachLineFeedEndsALineAndTheRestWaits) {
  Emit(nullptr, AV_LOG_ERROR, "x\ny\nz");
  EXPECT_EQ(Texts(), (TLines{"x", "y"}));
  Emit(nullptr, AV_LOG_ERROR, "\n");
  EXPECT_EQ(Texts(), (TLines{"x", "y", "z"}));
}

TEST_F(LogDelivery, InterleavedThreadsKeepTheirLinesApart) {
  std::promise<void> firstWritten, mainWritten;
  std::thread other([&] {
    Emit(&Context, AV_LOG_ERROR, "a1");
    firstWritten.set_value();
    mainWritten.get_future().wait();
    Emit(&Context, AV_LOG_ERROR, "a2\n");
  });
  firstWritten.get_future().wait();
  Emit(&Context, AV_LOG_ERROR, "b1");
  mainWritten.set_value();
  other.join();
  Emit(&Context, AV_LOG_ERROR, "b2\n");
  EXPECT_EQ(Texts(), (TLines{Prefix() + "a1a2", Prefix() + "b1b2"}));
}

TEST_F(LogDelivery, NoContextMeansNoPrefix) {
  Emit(nullptr, AV_LOG_ERROR, "plain %d\n", 7);
  EXPECT_EQ(Texts(), TLines{"plain 7"});
}

TEST_F(LogDelivery, StartDropsTheFragmentsOfTheLastRun) {
  Emit(nullptr, AV_LOG_ERROR, "left");
  ASSERT_TRUE(Component.LoadAVLib(DefaultLibraryDir()));
  Component.Start(0);  // no tasks: only the buffers are cleared
  Emit(nullptr, AV_LOG_ERROR, "over\n");
  EXPECT_EQ(Texts(), TLines{"over"});
}

TEST_F(LogDelivery, LibraryLevelsMapOntoLogLevelsAndTheComponentLevelFilters) {
  EXPECT_EQ(LibraryLogLevel(AV_LOG_PANIC), llError);
  EXPECT_EQ(LibraryLogLevel(AV_LOG_FATAL), llError);
  EXPECT_EQ(LibraryLogLevel(AV_LOG_ERROR), llError);
  EXPECT_EQ(LibraryLogLevel(AV_LOG_WARNING), llInfo);
  EXPECT_EQ(LibraryLogLevel(AV_LOG_INFO), llInfo);
  EXPECT_EQ(LibraryLogLevel(AV_LOG_VERBOSE), llDebug);
  EXPECT_EQ(LibraryLogLevel(AV_LOG_DEBUG), llDebug);
  EXPECT_EQ(LibraryLogLevel(AV_LOG_TRACE), llAll);

  Component.SetLogLevel(llError);
  Emit(nullptr, AV_LOG_ERROR, "error\n");
  Emit(nullptr, AV_LOG_WARNING, "warning\n");
  Component.SetLogLevel(llInfo);
  Emit(nullptr, AV_LOG_WARNING, "warning\n");
  Emit(nullptr, AV_LOG_DEBUG, "debug\n");
  Component.SetLogLevel(llAll);
  Emit(nullptr, AV_LOG_TRACE, "trace\n");
  Component.SetLogLevel(llQuiet);
  Emit(nullptr, AV_LOG_PANIC, "panic\n");
  const auto lines = Events.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].Text, "error");
  EXPECT_EQ(lines[0].Level, llError);
  EXPECT_EQ(lines[1].Text, "warning");
  EXPECT_EQ(lines[1].Level, llInfo);
  EXPECT_EQ(lines[2].Text, "trace");
  EXPECT_EQ(lines[2].Level, llAll);
}

TEST_F(LogDelivery, EveryLiveComponentGetsTheLineWithItsOwnTaskIndex) {
  ASSERT_TRUE(Component.LoadAVLib(DefaultLibraryDir()));
  TRecorder otherEvents;
  TREzuvuZUZ other;
  other.SetLogLevel(llAll);
  otherEvents.Attach(other);
  TREzuvuZUZ silent;  // no OnLog: ignores every line
  silent.SetLogLevel(llAll);
  const std::string source = SineWav(1);
  ASSERT_EQ(Component.AddTask(source, nullptr), 0);
  ASSERT_EQ(Component.AddTask(source, nullptr), 1);
  // As if task 1 ran in this thread.
  Component.Task(1)->ThreadID = CurrentThreadID();
  Emit(nullptr, AV_LOG_ERROR, "shared\n");
  EXPECT_TRUE(Events.HasLine(1, llError, "shared"));
  EXPECT_TRUE(otherEvents.HasLine(-1, llError, "shared"));
}

TEST_F(LogDelivery, ALongLineIsCutInsideTheBufferAndTheNextLineIsWhole) {
  const std::string longText(5000, 'x');
  Emit(&Context, AV_LOG_ERROR, "%s", longText.c_str());
  Emit(&Context, AV_LOG_ERROR, "%s", longText.c_str());
  Emit(&Context, AV_LOG_ERROR, "next\n");
  const auto texts = Texts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0].size(), static_cast<size_t>(LOG_LINE_BUFFER - 1));
  EXPECT_EQ(texts[0].compare(0, Prefix().size(), Prefix()), 0);
  EXPECT_EQ(texts[1].size(), static_cast<size_t>(LOG_LINE_BUFFER - 1));
  EXPECT_EQ(texts[2], Prefix() + "next");
}

TEST_F(LogDelivery, ManyThreadsAtOnceNeverMixTheirLines) {
  constexpr int THREADS = 4, LINES = 200;
  std::vector<std::thread> writers;
  for (int t = 0; t < THREADS; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < LINES; ++i) {
        Emit(nullptr, AV_LOG_ERROR, "t%d ", t);
        Emit(nullptr, AV_LOG_ERROR, "line %d", i);
        Emit(nullptr, AV_LOG_ERROR, " end\n");
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  const auto texts = Texts();
  ASSERT_EQ(texts.size(), static_cast<size_t>(THREADS * LINES));
  std::vector<int> next(THREADS, 0);
  for (const std::string& text : texts) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(text.c_str(), "t%d line %d end", &t, &i), 2) << text;
    ASSERT_GE(t, 0);
    ASSERT_LT(t, THREADS);
    EXPECT_EQ(text, StrFormat("t%d line %d end", t, i));
    EXPECT_EQ(i, next[t]++) << "lines of thread " << t << " out of order";
  }
}
