// quellon-cli end to end: the program as a user runs it, its outputs checked
// with ffprobe.
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

using namespace testing_support;

namespace {

struct TResult {
  int Status = -1;
  std::string Out, Err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string CliPath() { return ExecutableDir() + "quellon-cli"; }

class Cli : public ::testing::Test {
 protected:
  // Runs quellon-cli with args (already quoted as needed) in Dir.
  TResult Run(const std::string& args) {
    const std::string out = Dir.File(".stdout"), err = Dir.File(".stderr");
    const int raw = std::system(("cd " + Quote(Dir.Path()) + " && " + Quote(CliPath()) + " " + args +
                                 " >" + Quote(out) + " 2>" + Quote(err))
                                    .c_str());
    TResult result;
    result.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.Out = ReadFile(out);
    result.Err = ReadFile(err);
    return result;
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

}  // namespace

TEST_F(Cli, ConvertsEachFileIntoTheOutputFolderAndNeverOverwritesUnasked) {
  Source("a.wav", 2);
  Source("b.wav", 1);
  TResult r = Run("-f mp3 -o OUT a.wav b.wav");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  const std::string a = Dir.File("OUT/a_(new).mp3"), b = Dir.File("OUT/b_(new).mp3");
  EXPECT_EQ(Probe(a, "a:0", "stream=codec_name"), "mp3");
  EXPECT_EQ(Probe(b, "a:0", "stream=codec_name"), "mp3");
  EXPECT_NEAR(ProbeDuration(a), 2.0, 0.1);
  EXPECT_NEAR(ProbeDuration(b), 1.0, 0.1);
  // Not a terminal: one line per file as it ends, then the summary.
  EXPECT_NE(r.Out.find("a.wav: ok, OUT/a_(new).mp3, "), std::string::npos) << r.Out;
  const size_t summary = r.Out.find("Summary:\n");
  ASSERT_NE(summary, std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("  b.wav: ok, OUT/b_(new).mp3, ", summary), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("x\n", summary), std::string::npos) << "no speed: " << r.Out;

  r = Run("-f mp3 -o OUT a.wav");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_TRUE(DecodesCleanly(Dir.File("OUT/a_(new_1).mp3")));

  // --overwrite replaces the "_(new)" file, here first spoiled.
  std::ofstream(a, std::ios::trunc) << "not audio";
  r = Run("--overwrite -f mp3 -o OUT a.wav");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_TRUE(DecodesCleanly(a));
  EXPECT_FALSE(std::filesystem::exists(Dir.File("OUT/a_(new_2).mp3")));
}

TEST_F(Cli, WithoutAnOutputFolderTheFilesGoBesideTheirSources) {
  std::filesystem::create_directories(Dir.File("in"));
  Source("in/c.wav", 1);
  const TResult r = Run("-q in/c.wav");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_EQ(Probe(Dir.File("in/c_(new).wav"), "a:0", "stream=codec_name"), "pcm_s16le");
}

TEST_F(Cli, AFileThatCannotBeOpenedFailsAndTheOthersConvert) {
  Source("a.wav", 1);
  std::ofstream(Dir.File("junk.wav")) << "not audio at all";
  const TResult r = Run("-f mp3 -o OUT missing.wav a.wav junk.wav");
  EXPECT_EQ(r.Status, 1) << r.Out << r.Err;
  EXPECT_TRUE(DecodesCleanly(Dir.File("OUT/a_(new).mp3")));
  EXPECT_NE(r.Out.find("  missing.wav: failed: "), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("  junk.wav: failed: "), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("  a.wav: ok, "), std::string::npos) << r.Out;
  EXPECT_NE(r.Err.find("missing.wav"), std::string::npos) << r.Err;
}

TEST_F(Cli, UsageErrorsExitTwoWithTheReasonAndTheUsage) {
  Source("a.wav", 1);
  const struct {
    const char* args;
    const char* reason;
  } cases[] = {{"--bogus a.wav", "unknown option --bogus"},
               {"", "no input file given"},
               {"-f flac a.wav", "unknown format 'flac'"},
               {"-j -1 a.wav", "--jobs"},
               {"-j two a.wav", "--jobs"},
               {"--rate 48000 a.wav", "--rate"},
               {"--channels 3 a.wav", "--channels"},
               {"--bitrate 0 a.wav", "--bitrate"},
               {"--start 2 --end 1 a.wav", "--end must lie after --start"},
               {"-x novalue a.wav", "-x needs NAME=VALUE"},
               {"--log-level loud a.wav", "--log-level"},
               {"a.wav -o", "option -o needs a value"}};
  for (const auto& c : cases) {
    const TResult r = Run(c.args);
    EXPECT_EQ(r.Status, 2) << c.args;
    EXPECT_EQ(r.Err.rfind("quellon-cli: ", 0), 0u) << c.args << ": " << r.Err;
    EXPECT_NE(r.Err.find(c.reason), std::string::npos) << c.args << ": " << r.Err;
    EXPECT_NE(r.Err.find("usage: quellon-cli"), std::string::npos) << c.args;
  }
  EXPECT_FALSE(std::filesystem::exists(Dir.File("a_(new).wav")));
  const TResult help = Run("--help");
  EXPECT_EQ(help.Status, 0);
  EXPECT_EQ(help.Out.rfind("usage: quellon-cli", 0), 0u);
}

TEST_F(Cli, MainThreadModeAndThreadModeGiveIdenticalOutputs) {
  Source("a.wav", 2);
  Source("b.wav", 1, 22050, 1);
  Source("c.wav", 3);
  TResult r = Run("-j 0 -f mp3 -o one a.wav b.wav c.wav");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  r = Run("-j 2 -f mp3 -o two a.wav b.wav c.wav");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  for (const char* name : {"a_(new).mp3", "b_(new).mp3", "c_(new).mp3"}) {
    const std::string one = Dir.File(std::string("one/") + name);
    const std::string two = Dir.File(std::string("two/") + name);
    EXPECT_FALSE(DecodedHash(one).empty()) << name;
    EXPECT_EQ(DecodedHash(one), DecodedHash(two)) << name;
    EXPECT_EQ(std::filesystem::file_size(one), std::filesystem::file_size(two)) << name;
  }
}

TEST_F(Cli, AudioSettingsClipAndExtraLinesShapeTheOutput) {
  Source("a.wav", 3);
  TResult r = Run("-q -f mp3 --start 0.5 --end 2 --rate 22050 --channels mono --bitrate 32 a.wav");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  const std::string mp3 = Dir.File("a_(new).mp3");
  EXPECT_EQ(Probe(mp3, "a:0", "stream=sample_rate"), "22050");
  EXPECT_EQ(Probe(mp3, "a:0", "stream=channels"), "1");
  EXPECT_EQ(Probe(mp3, "a:0", "stream=bit_rate"), "32000");
  EXPECT_GT(ProbeDuration(mp3), 1.45);
  EXPECT_LT(ProbeDuration(mp3), 1.8);

  r = Run("-q -x ar=8000 -f wav a.wav");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_EQ(Probe(Dir.File("a_(new).wav"), "a:0", "stream=sample_rate"), "8000");
}

TEST_F(Cli, ProbePrintsEachFilesInfoText) {
  Source("a.wav", 1);
  TResult r = Run("--probe a.wav");
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find("a.wav"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("00:00:01.000"), std::string::npos) << r.Out;
  EXPECT_FALSE(std::filesystem::exists(Dir.File("a_(new).wav")));
  r = Run("--probe missing.wav");
  EXPECT_EQ(r.Status, 1);
}

// Ctrl-C while the tasks convert: every output is complete and the exit is 1.
class CliInterrupt : public Cli, public ::testing::WithParamInterface<const char*> {};

TEST_P(CliInterrupt, StopsCleanlyAndExitsOne) {
  // Long enough that it is still converting when the signal comes.
  Source("long.wav", 900, 8000, 1);
  const std::string out = Dir.File("OUT/long_(new).mp3");
  const std::string command = "cd " + Quote(Dir.Path()) + " && exec " + Quote(CliPath()) + " " +
                              GetParam() + " -f mp3 -o OUT long.wav >" +
                              Quote(Dir.File(".stdout")) + " 2>&1";
  pid_t pid = 0;
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  ASSERT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
  // The header is written when the job starts.
  for (int i = 0; i < 4000; ++i) {
    std::error_code ignored;
    if (std::filesystem::exists(out) && std::filesystem::file_size(out, ignored) > 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGINT);
  int raw = 0;
  ASSERT_EQ(waitpid(pid, &raw, 0), pid);
  ASSERT_TRUE(WIFEXITED(raw)) << "ended by a signal";
  EXPECT_EQ(WEXITSTATUS(raw), 1);
  const std::string text = ReadFile(Dir.File(".stdout"));
  EXPECT_NE(text.find("long.wav: failed: stopped"), std::string::npos) << text;
  EXPECT_TRUE(DecodesCleanly(out));
  EXPECT_LT(ProbeDuration(out), 900.0);
}

INSTANTIATE_TEST_SUITE_P(Modes, CliInterrupt, ::testing::Values("-j 2", "-j 0"));
