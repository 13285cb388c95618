// Shared helpers for the test suites.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "FFmpeg.h"

namespace testing_support {

// Loads the engine's libraries from LibAV beside the test executable.
bool LoadEngineLibraries();
// A fresh empty folder below the system's temporary folder, removed on exit.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  const std::string& Path() const { return Dir; }
  std::string File(const std::string& name) const { return Dir + "/" + name; }

 private:
  std::string Dir;
};
// Runs a shell command; true when it exits 0.
bool Shell(const std::string& command);
// Collects an engine's log lines (level, text).
struct TLogCapture {
  std::vector<std::pair<int, std::string>> Lines;
  void Attach(TCustomFFmpeg& engine);
  bool Contains(const std::string& text) const;
};

}  // namespace testing_support
