// Shared by the component suites: a component with recording handlers and
// generated sources.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "LogDelivery.h"
#include "REzuvuZUZ.h"
#include "TestSupport.h"

namespace component_testing {

// A short stereo sine (seconds long) at 44.1 kHz.
std::string SineWav(int seconds);

struct TTermination {
  int Index;
  bool Finished, Exception;
  std::string Message;
  int ThreadID;
};

struct TLogLine {
  int Index;
  TLogLevel Level;
  std::string Text;
};

// What a component fired, in order. Handlers run inside EventLock, the
// recorder's own lock guards reads from the test thread.
class TRecorder {
 public:
  void Attach(TCustomREzuvuZUZ& component);
  std::vector<TTermination> Terminations();
  std::vector<TLogLine> Lines();
  int ProgressCount();
  bool Final();  // OnTerminate(-1) seen
  bool HasLine(int index, TLogLevel level, const std::string& text);

  std::mutex Lock;
  std::vector<TTermination> Ends;
  std::vector<TLogLine> Logs;
  std::vector<int> ProgressIndexes;
  std::atomic<bool> FinalSeen{false};
};

class ComponentFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  // A task converting source into Dir/<name>; its index (checked).
  int AddConversion(const std::string& source, const std::string& name,
                    const std::string& inputExt = "", TOutputOptions* output = nullptr);
  // Runs the component's loop until the final OnTerminate (or 60 s).
  bool WaitForFinal();

  testing_support::TTempDir Dir;
  TRecorder Events;  // outlives the component whose handlers write into it
  TREzuvuZUZ Component;
};

}  // namespace component_testing
