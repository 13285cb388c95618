// The quellon-cli test fixture: runs the program as a user does, in a
// temporary folder, and reads what it printed.
#pragma once
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "TestSupport.h"
#include "Text.h"

extern char** environ;

namespace cli_testing {

using namespace testing_support;

struct TResult {
  int Status = -1;
  std::string Out, Err;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

inline std::string CliPath() { return ExecutableDir() + "quellon-cli"; }

class Cli : public ::testing::Test {
 protected:
  // Runs quellon-cli with args (already quoted as needed) in Dir; killed
  // after limitSeconds when given (status 137 then); prefix goes before the
  // command (another user, say).
  TResult Run(const std::string& args, int limitSeconds = 0, const std::string& prefix = "") {
    const std::string out = Dir.File(".stdout"), err = Dir.File(".stderr");
    const std::string limit =
        limitSeconds > 0 ? "timeout -s KILL " + std::to_string(limitSeconds) + " " : "";
    const int raw = std::system(("cd " + Quote(Dir.Path()) + " && " + prefix + limit + Quote(CliPath()) +
                                 " " + args + " >" + Quote(out) + " 2>" + Quote(err))
                                    .c_str());
    TResult result;
    result.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.Out = ReadFile(out);
    result.Err = ReadFile(err);
    return result;
  }
  // Starts quellon-cli with args in Dir, its output into Dir/.stdout; the pid.
  pid_t Spawn(const std::string& args) {
    const std::string command = "cd " + Quote(Dir.Path()) + " && exec " + Quote(CliPath()) + " " +
                                args + " >" + Quote(Dir.File(".stdout")) + " 2>&1";
    pid_t pid = 0;
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
      return -1;
    return pid;
  }
  // A sine of that length in Dir under name.
  std::string Source(const std::string& name, int seconds, int rate = 44100, int channels = 2) {
    const std::string fixture =
        Fixture(StrFormat("cli_sine_%d_%d_%d.wav", seconds, rate, channels),
                StrFormat("-f lavfi -i sine=frequency=440:duration=%d:sample_rate=%d -ac %d",
                          seconds, rate, channels));
    std::filesystem::copy_file(fixture, Dir.File(name),
                               std::filesystem::copy_options::overwrite_existing);
    return Dir.File(name);
  }
  std::string DecodedHash(const std::string& path) {
    return Capture("ffmpeg -nostdin -v error -i " + Quote(path) + " -f md5 -");
  }
  TTempDir Dir;
};

// The files of a folder (and below it) whose names start with a dot and end
// in ".part": what a conversion writes before its output is finished.
inline std::vector<std::string> PartFiles(const std::string& folder) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 5 && name[0] == '.' && name.compare(name.size() - 5, 5, ".part") == 0)
      found.push_back(entry.path().string());
  }
  return found;
}

// Waits up to about 20 s for condition.
inline bool WaitFor(const std::function<bool()>& condition) {
  for (int i = 0; i < 4000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

}  // namespace cli_testing
