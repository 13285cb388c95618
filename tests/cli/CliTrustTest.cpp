// quellon-cli on what goes wrong: damaged and special sources, files of the
// run that must not be written over, signals, a full disk, many files.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CliTestSupport.h"

using namespace cli_testing;

namespace {

// The files of a folder that are not hidden, sorted.
std::vector<std::string> VisibleFiles(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name[0] != '.') names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Bytes(const std::string& path) { return ReadFile(path); }

}  // namespace

TEST_F(Cli, DamagedEmptyAndSpecialSourcesAreToldApart) {
  const std::string flac = Fixture("cli_tone5s.flac", "-f lavfi -i sine=duration=5 -ac 2 -c:a flac");
  const std::string bytes = ReadFile(flac);
  std::ofstream(Dir.File("cut.flac"), std::ios::binary) << bytes.substr(0, bytes.size() / 2);
  std::ofstream(Dir.File("head.flac"), std::ios::binary) << bytes.substr(0, 8400);
  std::ofstream(Dir.File("empty.wav"));
  ASSERT_EQ(mkfifo(Dir.File("fifo.mp3").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", Dir.File("zero.mp3"));
  std::filesystem::create_directory(Dir.File("folder.wav"));
  Source("good.wav", 1);
  // A hang would end in the kill after a minute.
  const TResult r = Run("-j 2 -f mp3 -o OUT cut.flac head.flac empty.wav fifo.mp3 zero.mp3 "
                        "folder.wav good.wav",
                        60);
  EXPECT_EQ(r.Status, 1) << r.Out << r.Err;
  const std::string& out = r.Out;
  EXPECT_NE(out.find("  cut.flac: partial: source ends at 0:02 of 0:05, OUT/cut_(new).mp3"),
            std::string::npos) << out;
  EXPECT_NE(out.find("  head.flac: failed: no audio could be decoded from the source"),
            std::string::npos) << out;
  EXPECT_NE(out.find("  empty.wav: failed: the file is empty"), std::string::npos) << out;
  EXPECT_NE(out.find("  fifo.mp3: failed: is a FIFO"), std::string::npos) << out;
  EXPECT_NE(out.find("  zero.mp3: failed: is a device"), std::string::npos) << out;
  EXPECT_NE(out.find("  folder.wav: failed: is a folder"), std::string::npos) << out;
  EXPECT_NE(out.find("  good.wav: ok, OUT/good_(new).mp3"), std::string::npos) << out;
  EXPECT_NE(out.find("1 converted, 1 partial, 5 failed"), std::string::npos) << out;
  EXPECT_TRUE(DecodesCleanly(Dir.File("OUT/cut_(new).mp3")));
  EXPECT_EQ(VisibleFiles(Dir.File("OUT")),
            (std::vector<std::string>{"cut_(new).mp3", "good_(new).mp3"}));
  EXPECT_TRUE(PartFiles(Dir.Path()).empty());
}

TEST_F(Cli, AnOutputNeverGoesOverAFileOfTheRun) {
  std::filesystem::create_directory(Dir.File("d"));
  Source("d/x.wav", 2);
  Source("d/x_(new).wav", 5);
  const std::string x = Bytes(Dir.File("d/x.wav")), xNew = Bytes(Dir.File("d/x_(new).wav"));
  // Both orders: the output of x.wav is named like the other input.
  for (const char* order : {"'d/x_(new).wav' d/x.wav", "d/x.wav 'd/x_(new).wav'"}) {
    SCOPED_TRACE(order);
    const TResult r = Run(std::string("--overwrite -f wav ") + order);
    EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
    EXPECT_EQ(Bytes(Dir.File("d/x.wav")), x);
    EXPECT_EQ(Bytes(Dir.File("d/x_(new).wav")), xNew);
  }
  // A link named like the output leads to the source itself.
  std::filesystem::create_directory(Dir.File("l"));
  Source("l/s.wav", 2);
  Source("l/h.wav", 2);
  const std::string s = Bytes(Dir.File("l/s.wav")), h = Bytes(Dir.File("l/h.wav"));
  std::filesystem::create_symlink("s.wav", Dir.File("l/s_(new).mp3"));
  std::filesystem::create_hard_link(Dir.File("l/h.wav"), Dir.File("l/h_(new).mp3"));
  const TResult r = Run("--overwrite -f mp3 l/s.wav l/h.wav");
  EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_EQ(Bytes(Dir.File("l/s.wav")), s);
  EXPECT_EQ(Bytes(Dir.File("l/h.wav")), h);
  EXPECT_TRUE(DecodesCleanly(Dir.File("l/s_(new_1).mp3")));
  EXPECT_TRUE(DecodesCleanly(Dir.File("l/h_(new_1).mp3")));
}

TEST_F(Cli, UnreadableFilesAndFoldersUnderAFolderAreNamedAndFailTheRun) {
  // Rights mean nothing to root: the program runs as an ordinary user then.
  const std::string user = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  if (!user.empty() && !Shell(user + "test -x " + Quote(CliPath())))
    GTEST_SKIP() << "the build folder is closed to other users";
  std::filesystem::create_directories(Dir.File("src/private"));
  Source("src/a.wav", 1);
  Source("src/locked.wav", 1);
  Source("src/private/b.wav", 1);
  std::filesystem::create_directories(Dir.File("OUT"));
  chmod(Dir.Path().c_str(), 0777);
  chmod(Dir.File("src").c_str(), 0777);
  chmod(Dir.File("OUT").c_str(), 0777);
  chmod(Dir.File("src/locked.wav").c_str(), 0);
  chmod(Dir.File("src/private").c_str(), 0);
  const TResult r = Run("-r -o OUT src", 60, user);
  chmod(Dir.File("src/private").c_str(), 0755);
  EXPECT_EQ(r.Status, 1) << r.Out << r.Err;
  EXPECT_NE(r.Err.find("src/locked.wav: skipped: "), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("src/private: skipped: cannot read the folder: Permission denied"),
            std::string::npos) << r.Err;
  EXPECT_NE(r.Out.find("  src/a.wav: ok"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("2 files under the folders skipped (2 unreadable)"), std::string::npos)
      << r.Out;
}

TEST_F(Cli, AKilledRunLeavesNoUnfinishedFileUnderAFinalName) {
  Source("a.wav", 1);
  for (const char* name : {"b.wav", "c.wav", "d.wav"}) Source(name, 900, 8000, 1);
  const pid_t pid = Spawn("-j 2 -f mp3 -o OUT a.wav b.wav c.wav d.wav");
  ASSERT_GT(pid, 0);
  // One file is done and others are being written.
  EXPECT_TRUE(WaitFor([&] {
    return std::filesystem::exists(Dir.File("OUT/a_(new).mp3")) &&
           !PartFiles(Dir.File("OUT")).empty();
  }));
  kill(pid, SIGKILL);
  int raw = 0;
  ASSERT_EQ(waitpid(pid, &raw, 0), pid);
  // Whatever has a final name is whole.
  for (const std::string& name : VisibleFiles(Dir.File("OUT"))) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(DecodesCleanly(Dir.File("OUT/" + name)));
    EXPECT_NEAR(ProbeDuration(Dir.File("OUT/" + name)), name[0] == 'a' ? 1.0 : 900.0, 0.1);
  }
  const std::vector<std::string> leftovers = PartFiles(Dir.File("OUT"));
  EXPECT_FALSE(leftovers.empty());
  // A run writing another output leaves them (they might be another run's);
  // the next run writing the same outputs removes them.
  TResult r = Run("-f mp3 -o OUT a.wav");
  EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_EQ(PartFiles(Dir.File("OUT")), leftovers);
  r = Run("-f mp3 --end 1 -o OUT b.wav c.wav d.wav");
  EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_TRUE(PartFiles(Dir.File("OUT")).empty());
}

TEST_F(Cli, ManyFilesConvertUnderASmallOpenFileLimit) {
  const int count = 300;
  std::string names;
  for (int i = 0; i < count; ++i) {
    const std::string name = StrFormat("f%03d.wav", i);
    Source(name, 1, 8000, 1);
    names += " " + name;
  }
  // Far fewer descriptors than files: tasks hold none while they wait.
  const std::string command = "cd " + Quote(Dir.Path()) + " && ulimit -n 48 && " +
                              Quote(CliPath()) + " -q -j 2 -f wav -o LOW" + names + " >.low 2>&1";
  const int raw = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), 0) << ReadFile(Dir.File(".low"));
  EXPECT_EQ(VisibleFiles(Dir.File("LOW")).size(), static_cast<size_t>(count));
}

TEST_F(Cli, AFullDiskFailsTheFileAndLeavesNothingTruncated) {
  std::filesystem::create_directory(Dir.File("small"));
  if (mount("tmpfs", Dir.File("small").c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "no tmpfs can be mounted here (needs root): " << SystemErrorText(errno);
  Source("big.wav", 10);
  Source("tiny.wav", 1, 8000, 1);
  const TResult r = Run("-j 1 -f wav -o small big.wav tiny.wav");
  const std::vector<std::string> left = VisibleFiles(Dir.File("small"));
  const std::vector<std::string> parts = PartFiles(Dir.File("small"));
  umount(Dir.File("small").c_str());
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Out.find("  big.wav: failed: "), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("No space left on device"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("  tiny.wav: ok"), std::string::npos) << r.Out;
  EXPECT_EQ(left, std::vector<std::string>{"tiny_(new).wav"});
  EXPECT_TRUE(parts.empty());
}
