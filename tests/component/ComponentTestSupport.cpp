#include "ComponentTestSupport.h"

#include "FFmpegLoader.h"
#include "Text.h"

namespace component_testing {

std::string SineWav(int seconds) {
  return testing_support::Fixture(
      StrFormat("component_sine%d.wav", seconds),
      StrFormat("-f lavfi -i sine=frequency=440:duration=%d:sample_rate=44100 -ac 2", seconds));
}

void TRecorder::Attach(TCustomREzuvuZUZ& component) {
  component.OnTerminate = [this](int index, bool finished, bool exception,
                                 const std::string& message) {
    std::lock_guard<std::mutex> lock(Lock);
    Ends.push_back({index, finished, exception, message, CurrentThreadID()});
    if (index == -1) FinalSeen = true;
  };
  component.OnLog = [this](int index, TLogLevel level, const std::string& text) {
    std::lock_guard<std::mutex> lock(Lock);
    Logs.push_back({index, level, text});
  };
  component.OnProgress = [this](int index, int, int, int, float, float, int64_t, int) {
    std::lock_guard<std::mutex> lock(Lock);
    ProgressIndexes.push_back(index);
  };
}

std::vector<TTermination> TRecorder::Terminations() {
  std::lock_guard<std::mutex> lock(Lock);
  return Ends;
}

std::vector<TLogLine> TRecorder::Lines() {
  std::lock_guard<std::mutex> lock(Lock);
  return Logs;
}

int TRecorder::ProgressCount() {
  std::lock_guard<std::mutex> lock(Lock);
  return static_cast<int>(ProgressIndexes.size());
}

bool TRecorder::Final() { return FinalSeen; }

bool TRecorder::HasLine(int index, TLogLevel level, const std::string& text) {
  std::lock_guard<std::mutex> lock(Lock);
  for (const TLogLine& line : Logs)
    if (line.Index == index && line.Level == level && line.Text == text) return true;
  return false;
}

void ComponentFixture::SetUp() {
  ASSERT_TRUE(Component.LoadAVLib(DefaultLibraryDir())) << Component.LastErrMsg();
  Events.Attach(Component);
}

int ComponentFixture::AddConversion(const std::string& source, const std::string& name,
                                    const std::string& inputExt, TOutputOptions* output) {
  TInputOptions input;
  input.ExtOptions = inputExt;
  const int index = Component.AddTask(source, &input);
  EXPECT_GE(index, 0) << Component.LastErrMsg();
  if (index < 0) return index;
  TOutputOptions defaults;
  EXPECT_TRUE(Component.SetOutputFile(index, Dir.File(name), output ? output : &defaults))
      << Component.LastErrMsg();
  return index;
}

bool ComponentFixture::WaitForFinal() {
  return Component.EventLoop()->RunUntil([this] { return Events.Final(); }, 60000);
}

}  // namespace component_testing
