#include "ProbeTestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include "LibAV.h"

namespace probe_test {

namespace {
std::mutex LogLock;
std::vector<std::pair<int, std::string>> LogLines;
}  // namespace

TLibraryLog::TLibraryLog() {
  Clear();
  av.av_log_set_callback(&TLibraryLog::Callback);
}

TLibraryLog::~TLibraryLog() {
  if (av.av_log_set_callback) av.av_log_set_callback(av.av_log_default_callback);
}

void TLibraryLog::Callback(void*, int level, const char* format, va_list args) {
  char text[2048];
  vsnprintf(text, sizeof(text), format, args);
  std::lock_guard<std::mutex> lock(LogLock);
  LogLines.emplace_back(level, text);
}

bool TLibraryLog::Contains(int level, const std::string& text) const {
  std::lock_guard<std::mutex> lock(LogLock);
  for (const auto& line : LogLines)
    if (line.first == level && line.second == text) return true;
  return false;
}

bool TLibraryLog::Contains(const std::string& text) const {
  std::lock_guard<std::mutex> lock(LogLock);
  for (const auto& line : LogLines)
    if (line.second == text) return true;
  return false;
}

void TLibraryLog::Clear() {
  std::lock_guard<std::mutex> lock(LogLock);
  LogLines.clear();
}

TBGR PixelAt(const TBitmap& bitmap, int x, int y) {
  const uint8_t* p = bitmap.Scanline(y) + x * 3;
  return {p[0], p[1], p[2]};
}

::testing::AssertionResult Near(TBGR actual, TBGR expected, int tolerance) {
  if (std::abs(actual.B - expected.B) <= tolerance &&
      std::abs(actual.G - expected.G) <= tolerance && std::abs(actual.R - expected.R) <= tolerance)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "BGR " << actual.B << "," << actual.G << "," << actual.R << " is not near "
         << expected.B << "," << expected.G << "," << expected.R;
}

}  // namespace probe_test
