// Replays fuzz inputs without libFuzzer: every file named on the command
// line, and every file in a folder named there (in name order), goes once
// through the fuzz entry. A crash or sanitizer report ends the process with
// its own status; otherwise the closing line counts the inputs run. Each
// input's name is printed with the time it took, to spot slow ones.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzInput.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg(argv[i]);
    if (fs::is_directory(arg)) {
      std::vector<fs::path> folder;
      for (const auto& entry : fs::directory_iterator(arg))
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
          folder.push_back(entry.path());
      std::sort(folder.begin(), folder.end());
      inputs.insert(inputs.end(), folder.begin(), folder.end());
    } else if (fs::is_regular_file(arg)) {
      inputs.push_back(arg);
    } else {
      std::fprintf(stderr, "replay: '%s' is neither a file nor a folder\n", argv[i]);
      return 2;
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: no inputs\n");
    return 2;
  }
  for (const fs::path& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      std::fprintf(stderr, "replay: cannot read '%s'\n", path.c_str());
      return 2;
    }
    std::printf("%s", path.filename().c_str());
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::printf(" (%lld ms)\n", static_cast<long long>(elapsed.count()));
  }
  std::printf("replay: %zu passed, 0 failed\n", inputs.size());
  return 0;
}
