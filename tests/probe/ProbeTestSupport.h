// Helpers of the probe tests: a capture of what the probe writes to the
// library logger and pixel checks. Media files are made and checked with the
// shared helpers (MakeMedia, Probe).
#pragma once
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "AVProbe.h"
#include "TestSupport.h"

namespace probe_test {

using testing_support::MakeMedia;
using testing_support::Probe;

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
