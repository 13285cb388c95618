#include "ProbeTestSupport.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "LibAV.h"
#include "Text.h"

namespace probe_test {

namespace {
std::mutex LogLock;
std::vector<std::pair<int, std::string>> LogLines;
}  // namespace

bool MakeMedia(const std::string& args, const std::string& path) {
  return testing_support::Shell("ffmpeg -nostdin -loglevel error -y " + args + " '" + path + "'");
}

std::string Output(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, n);
    pclose(pipe);
  }
  return Trim(text);
}

std::string FFprobe(const std::string& entries, const std::string& file) {
  return Output("ffprobe -v error " + entries + " -of default=noprint_wrappers=1:nokey=1 '" + file +
                "'");
}

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
