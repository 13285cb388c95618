// quellon-cli in sync mode: a run killed outright (no orderly stop) and run
// again ends with every output complete and none twice.
#include <signal.h>
#include <sys/wait.h>

#include <set>

#include "CliTestSupport.h"

using namespace cli_testing;

TEST_F(Cli, ASyncRunKilledMidwayIsFinishedByTheNext) {
  std::filesystem::create_directories(Dir.File("in"));
  Source("in/a.wav", 1);
  // Long enough to be still converting when the kill comes.
  Source("in/b.wav", 300, 8000, 1);
  const pid_t pid = Spawn("--sync -j 1 --no-split -r -f mp3 -o OUT in");
  ASSERT_GT(pid, 0);
  // a is complete and recorded, b is being written under its hidden name.
  EXPECT_TRUE(WaitFor([&] {
    return ReadFile(Dir.File("OUT/.quellon-sync")).find("D\ta.mp3\t") != std::string::npos &&
           !PartFiles(Dir.File("OUT")).empty();
  }));
  kill(pid, SIGKILL);
  int raw = 0;
  ASSERT_EQ(waitpid(pid, &raw, 0), pid);
  EXPECT_FALSE(std::filesystem::exists(Dir.File("OUT/b.mp3")));

  const TResult r = Run("--sync -j 1 -r -f mp3 -o OUT in");
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find("in/a.wav: up to date"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("1 converted, 0 partial, 0 failed, 1 up to date"), std::string::npos)
      << r.Out;
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(Dir.File("OUT")))
    names.insert(entry.path().filename().string());
  // The killed run's hidden file is gone with the next run that writes b.
  EXPECT_EQ(names, (std::set<std::string>{".quellon-sync", "a.mp3", "b.mp3"}));
  EXPECT_NEAR(ProbeDuration(Dir.File("OUT/b.mp3")), 300.0, 0.2);
}
