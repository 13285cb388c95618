#include "TestSupport.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "FFmpegLoader.h"

namespace testing_support {

bool LoadEngineLibraries() {
  FFmpegLoader().SetLibraryPath(ExecutableDir() + "LibAV");
  return FFmpegLoader().LoadLibraries(ENGINE_LIBRARIES);
}

TTempDir::TTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quellon-test-XXXXXX").string();
  if (mkdtemp(pattern.data())) Dir = pattern;
}

TTempDir::~TTempDir() {
  std::error_code ignored;
  if (!Dir.empty()) std::filesystem::remove_all(Dir, ignored);
}

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

void TLogCapture::Attach(TCustomFFmpeg& engine) {
  engine.OnLog = [this](TCustomFFmpeg*, int level, const std::string& text) {
    Lines.emplace_back(level, text);
  };
}

bool TLogCapture::Contains(const std::string& text) const {
  for (const auto& line : Lines)
    if (line.second == text) return true;
  return false;
}

}  // namespace testing_support
