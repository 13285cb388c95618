// quellon-cli end to end: the program as a user runs it, its outputs checked
// with ffprobe.
#include <sys/stat.h>
#include <unistd.h>

#include "CliTestSupport.h"

using namespace cli_testing;


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
               {"-f ape a.wav", "unknown format 'ape'"},
               {"-j -1 a.wav", "--jobs"},
               {"-j two a.wav", "--jobs"},
               {"--rate 48000 a.wav", "--rate"},
               {"--channels 3 a.wav", "--channels"},
               {"--bitrate 0 a.wav", "--bitrate"},
               {"--quality V10 a.wav", "--quality: quality 'V10'"},
               {"--bitrate 128 --quality V2 a.wav", "either --bitrate or --quality"},
               {"--start 2 --end 1 a.wav", "--end must lie after --start"},
               {"-x novalue a.wav", "-x needs NAME=VALUE"},
               {"--log-level loud a.wav", "--log-level"},
               {"--tag-encoding utf8 a.wav", "--tag-encoding needs auto, gbk, big5"},
               {"--name '{artist}/{titel}' a.wav", "--name: unknown field '{titel}'"},
               {"--name '{title' a.wav", "--name: the name pattern '{title' has a '{'"},
               {"--delete-orphans a.wav", "give --sync too"},
               {"--sync --overwrite a.wav", "--overwrite cannot go with it"},
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

// The end of a file is recorded before the run may finish: a file that ends
// just as the main loop looks is never summed up as "stopped" (nor its record
// used after the run let go of it). The window for that is small: many short runs.
TEST_F(Cli, EveryShortRunReportsItsFileAsConverted) {
  Source("a.wav", 1);
  for (int i = 0; i < 20; ++i) {
    const TResult r = Run("-q --overwrite -f mp3 a.wav");
    ASSERT_EQ(r.Status, 0) << "run " << i << ": " << r.Out << r.Err;
    ASSERT_NE(r.Out.find("1 converted"), std::string::npos) << r.Out;
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

// A signal while the tasks convert: the run stops in order, nothing
// unfinished is left under a final name or hidden, and the exit is 1.
struct TSignalCase {
  const char* Name;
  const char* Mode;
  int Signal;
};

void PrintTo(const TSignalCase& c, std::ostream* os) { *os << c.Name; }

class CliInterrupt : public Cli, public ::testing::WithParamInterface<TSignalCase> {};

TEST_P(CliInterrupt, StopsCleanlyAndExitsOne) {
  // Long enough that it is still converting when the signal comes; more
  // files than run at once, so that some still wait.
  Source("long.wav", 900, 8000, 1);
  for (const char* name : {"b.wav", "c.wav", "d.wav"}) Source(name, 900, 8000, 1);
  const pid_t pid =
      Spawn(std::string(GetParam().Mode) + " -f mp3 -o OUT long.wav b.wav c.wav d.wav");
  ASSERT_GT(pid, 0);
  // Something is being written (under its temporary name).
  EXPECT_TRUE(WaitFor([&] { return !PartFiles(Dir.File("OUT")).empty(); }));
  kill(pid, GetParam().Signal);
  int raw = 0;
  ASSERT_EQ(waitpid(pid, &raw, 0), pid);
  ASSERT_TRUE(WIFEXITED(raw)) << "ended by a signal";
  EXPECT_EQ(WEXITSTATUS(raw), 1);
  const std::string text = ReadFile(Dir.File(".stdout"));
  EXPECT_NE(text.find("Summary:"), std::string::npos) << text;
  for (const char* name : {"long.wav", "b.wav", "c.wav", "d.wav"})
    EXPECT_NE(text.find(std::string("  ") + name + ": stopped"), std::string::npos) << text;
  // Stopped files are counted apart from failed ones.
  EXPECT_NE(text.find("0 converted, 0 partial, 0 failed, 4 stopped"), std::string::npos) << text;
  EXPECT_TRUE(PartFiles(Dir.Path()).empty());
  EXPECT_TRUE(std::filesystem::is_empty(Dir.File("OUT")));
}

INSTANTIATE_TEST_SUITE_P(Signals, CliInterrupt,
                         ::testing::Values(TSignalCase{"IntThreads", "-j 2", SIGINT},
                                           TSignalCase{"IntMainThread", "-j 0", SIGINT},
                                           TSignalCase{"Term", "-j 2", SIGTERM},
                                           TSignalCase{"Hangup", "-j 2", SIGHUP}),
                         [](const ::testing::TestParamInfo<TSignalCase>& param) {
                           return std::string(param.param.Name);
                         });

// ---- Folders -------------------------------------------------------------------------

TEST_F(Cli, FoldersWithRecursiveConvertEveryFileWithSoundAndCountTheRest) {
  std::filesystem::create_directories(Dir.File("src/x/y"));
  Source("src/a.wav", 1);
  Source("src/x/b.wav", 1);
  Source("src/x/y/c.wav", 1);
  Source("src/x/y/.hidden.wav", 1);
  std::ofstream(Dir.File("src/x/y/cover.txt")) << "no sound";
  ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -f lavfi -i color=red:size=32x32 -frames:v 1 " +
                         Quote(Dir.File("src/x/y/cover.png")))
                            .c_str()),
            0);

  // Flat: every output in the output folder.
  TResult r = Run("-r -f mp3 -o OUT src");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  for (const char* name : {"OUT/a_(new).mp3", "OUT/b_(new).mp3", "OUT/c_(new).mp3"})
    EXPECT_TRUE(DecodesCleanly(Dir.File(name))) << name;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir.File("OUT")), {}), 3);
  // The summary lists the files in name order, files before sub-folders.
  const size_t a = r.Out.find("  src/a.wav: ok"), b = r.Out.find("  src/x/b.wav: ok");
  const size_t c = r.Out.find("  src/x/y/c.wav: ok");
  ASSERT_NE(c, std::string::npos) << r.Out;
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_EQ(r.Out.find("cover"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("3 converted, 0 partial, 0 failed\n"
                       "2 files under the folders skipped: nothing the libraries can convert\n"),
            std::string::npos)
      << r.Out;

  // --keep-tree: the same tree below the output folder; the skipped files
  // named at log level info.
  r = Run("-r --keep-tree --log-level info -f mp3 -o TREE src/");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  for (const char* name : {"TREE/a_(new).mp3", "TREE/x/b_(new).mp3", "TREE/x/y/c_(new).mp3"})
    EXPECT_TRUE(DecodesCleanly(Dir.File(name))) << name;
  EXPECT_NE(r.Err.find("src/x/y/cover.txt: skipped: "), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("src/x/y/cover.png: skipped: a still picture"), std::string::npos) << r.Err;

  // Without an output folder the outputs go beside their sources.
  r = Run("-q -r src/x/y");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_TRUE(DecodesCleanly(Dir.File("src/x/y/c_(new).wav")));
}

// Whatever a folder holds that is not converted is named once, with why.
TEST_F(Cli, EverySkippedFileOfAFolderHasOneLineNamingIt) {
  std::filesystem::create_directories(Dir.File("src"));
  Source("src/a.wav", 1);
  std::ofstream(Dir.File("src/empty.wav")).close();
  std::ofstream(Dir.File("src/notes.txt")) << "no sound";
  ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -f lavfi -i color=red:size=32x32 -frames:v 1 " +
                         Quote(Dir.File("src/cover.png")))
                            .c_str()),
            0);
  ASSERT_EQ(mkfifo(Dir.File("src/pipe.wav").c_str(), 0644), 0);
  ASSERT_EQ(symlink(Dir.File("src/nowhere.wav").c_str(), Dir.File("src/gone.wav").c_str()), 0);
  const TResult r = Run("-r -f mp3 -o OUT src", 120);
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  const struct {
    const char* Name;
    const char* Reason;
  } skipped[] = {
      {"empty.wav", "the file is empty"},
      {"notes.txt", ""},
      {"cover.png", "a still picture"},
      {"pipe.wav", "not a regular file"},
      {"gone.wav", "a link whose target is missing"},
  };
  for (const auto& file : skipped) {
    SCOPED_TRACE(file.Name);
    const std::string line = std::string("quellon-cli: src/") + file.Name + ": skipped: ";
    int lines = 0;
    size_t at = 0;
    for (size_t found; (found = r.Err.find(line, at)) != std::string::npos; at = found + 1) ++lines;
    EXPECT_EQ(lines, 1) << r.Err;
    EXPECT_NE(r.Err.find(line + file.Reason), std::string::npos) << r.Err;
  }
  EXPECT_NE(r.Out.find("5 files under the folders skipped"), std::string::npos) << r.Out;
}

TEST_F(Cli, FilesOfTheSameNameInAFlatOutputFolderGetTheirOwnNames) {
  std::filesystem::create_directories(Dir.File("src/1"));
  std::filesystem::create_directories(Dir.File("src/2"));
  Source("src/1/t.wav", 1);
  Source("src/2/t.wav", 2);
  const TResult r = Run("-q -r -o OUT src");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_NEAR(ProbeDuration(Dir.File("OUT/t_(new).wav")), 1.0, 0.05);
  EXPECT_NEAR(ProbeDuration(Dir.File("OUT/t_(new_1).wav")), 2.0, 0.05);
}

TEST_F(Cli, AFolderNeedsRecursiveAndTheTreeNeedsFolders) {
  std::filesystem::create_directories(Dir.File("src"));
  Source("src/a.wav", 1);
  Source("b.wav", 1);
  // Without -r the folder fails alone, with the hint; the other file converts.
  TResult r = Run("-o OUT src b.wav");
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Out.find("  src: failed: is a folder, not a media file; give -r to convert the "
                       "files under it"),
            std::string::npos)
      << r.Out;
  EXPECT_TRUE(DecodesCleanly(Dir.File("OUT/b_(new).wav")));
  EXPECT_FALSE(std::filesystem::exists(Dir.File("OUT/a_(new).wav")));
  r = Run("--keep-tree -o TREE b.wav");
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("--keep-tree"), std::string::npos) << r.Err;
  EXPECT_FALSE(std::filesystem::exists(Dir.File("TREE")));
  // An empty folder converts nothing and says so.
  std::filesystem::create_directories(Dir.File("empty"));
  r = Run("-r empty");
  EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_NE(r.Out.find("0 converted, 0 partial, 0 failed"), std::string::npos) << r.Out;
}
