// Helpers of the probe tests: fixtures made with the ffmpeg tool, answers
// from ffprobe, and a capture of what the probe writes to the library logger.
#pragma once
#include <gtest/gtest.h>

#include <cstdarg>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "AVProbe.h"
#include "TestSupport.h"

namespace probe_test {

// Runs "ffmpeg -nostdin -loglevel error -y <args> '<path>'"; true on success.
bool MakeMedia(const std::string& args, const std::string& path);
// The standard output of a shell command, trailing blanks removed.
std::string Output(const std::string& command);
// The values ffprobe prints, one a line: FFprobe("-show_entries format=duration", file).
std::string FFprobe(const std::string& entries, const std::string& file);

// Collects the library log lines (level, text) while it exists.
class TLibraryLog {
 public:
  TLibraryLog();
  ~TLibraryLog();
  bool Contains(int level, const std::string& text) const;
  bool Contains(const std::string& text) const;
  void Clear();

 private:
  static void Callback(void* context, int level, const char* format, va_list args);
};

// Loads the media libraries once per suite; a fresh temporary folder per test.
class ProbeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(testing_support::LoadEngineLibraries()); }
  testing_support::TTempDir Temp;
  TLibraryLog LibraryLog;
};

// B, G, R of the pixel at (x, y).
struct TBGR {
  int B, G, R;
};
TBGR PixelAt(const TBitmap& bitmap, int x, int y);
::testing::AssertionResult Near(TBGR actual, TBGR expected, int tolerance = 16);

}  // namespace probe_test
