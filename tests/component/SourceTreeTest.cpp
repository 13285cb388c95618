// Files under a folder the user gives, and outputs that keep their place in
// its tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "OptionComposer.h"
#include "SourceTree.h"
#include "TestSupport.h"

using testing_support::TTempDir;

namespace {

void Touch(const std::string& path) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << "x";
}

// "relative folder|name" of each listed file, below root.
std::vector<std::string> Listed(const std::string& root, std::string* error = nullptr) {
  std::vector<TTreeFile> files;
  std::string why;
  EXPECT_TRUE(ListSourceTree(root, files, why)) << why;
  if (error) *error = why;
  std::vector<std::string> out;
  for (const TTreeFile& f : files) {
    const std::string expected =
        root + "/" + (f.RelativeFolder.empty() ? "" : f.RelativeFolder + "/");
    EXPECT_EQ(f.Path.compare(0, expected.size(), expected), 0) << f.Path;
    out.push_back(f.RelativeFolder + "|" + f.Path.substr(expected.size()));
  }
  return out;
}

TEST(SourceTree, FilesFirstThenSubFoldersInNaturalOrderWithoutHiddenEntries) {
  TTempDir dir;
  const std::string root = dir.File("music");
  for (const char* name :
       {"10 end.wav", "2 two.wav", "B.wav", "a.wav", ".hidden.wav", ".a.wav.quellon-1-1.part",
        "Disc 10/x.wav", "Disc 2/y.wav", "Disc 2/CD1/deep.flac", ".git/config",
        "empty/.keep"})
    Touch(root + "/" + name);
  EXPECT_EQ(Listed(root),
            (std::vector<std::string>{"|2 two.wav", "|10 end.wav", "|a.wav", "|B.wav",
                                      "Disc 2|y.wav", "Disc 2/CD1|deep.flac", "Disc 10|x.wav"}));
  // A trailing '/' on the folder given changes nothing.
  std::vector<TTreeFile> files;
  std::string error;
  ASSERT_TRUE(ListSourceTree(root + "/", files, error));
  EXPECT_EQ(files.front().Path, root + "/2 two.wav");
}

TEST(SourceTree, LinksToFilesCountLinksToFoldersAreNotFollowed) {
  TTempDir dir;
  const std::string root = dir.File("tree");
  Touch(root + "/sub/a.wav");
  ASSERT_EQ(symlink((root + "/sub/a.wav").c_str(), (root + "/link.wav").c_str()), 0);
  ASSERT_EQ(symlink(root.c_str(), (root + "/sub/loop").c_str()), 0);  // back up: a loop
  ASSERT_EQ(symlink((root + "/gone.wav").c_str(), (root + "/dangling.wav").c_str()), 0);
  EXPECT_EQ(Listed(root), (std::vector<std::string>{"|link.wav", "sub|a.wav"}));
}

TEST(SourceTree, AFolderThatCannotBeReadIsAnErrorASubFolderIsPassedOver) {
  TTempDir dir;
  std::vector<TTreeFile> files;
  std::string error;
  EXPECT_FALSE(ListSourceTree(dir.File("missing"), files, error));
  EXPECT_NE(error.find(dir.File("missing")), std::string::npos) << error;
  Touch(dir.File("plain.wav"));
  EXPECT_FALSE(ListSourceTree(dir.File("plain.wav"), files, error));

  if (geteuid() == 0) GTEST_SKIP() << "root reads every folder";
  const std::string root = dir.File("tree");
  Touch(root + "/a.wav");
  Touch(root + "/locked/b.wav");
  ASSERT_EQ(chmod((root + "/locked").c_str(), 0), 0);
  EXPECT_EQ(Listed(root), (std::vector<std::string>{"|a.wav"}));
  chmod((root + "/locked").c_str(), 0755);
}

TEST(SourceTree, AnAbortEndsTheListing) {
  TTempDir dir;
  Touch(dir.File("t/a.wav"));
  Touch(dir.File("t/sub/b.wav"));
  std::atomic<bool> abort{true};
  std::vector<TTreeFile> files;
  std::string error;
  EXPECT_TRUE(ListSourceTree(dir.File("t"), files, error, &abort));
  EXPECT_TRUE(files.empty());
}

TEST(SourceTree, EachFolderIsHandedOnBeforeTheNextIsRead) {
  TTempDir dir;
  const std::string root = dir.File("t");
  Touch(root + "/a.wav");
  Touch(root + "/b.wav");
  Touch(root + "/sub/c.wav");
  // A file made in a sub-folder when the first file is handed on is listed
  // too: the sub-folder had not been read yet.
  std::vector<std::string> listed;
  std::string error;
  ASSERT_TRUE(ListSourceTree(
      root,
      [&](TTreeFile file) {
        if (listed.empty()) Touch(root + "/sub/late.wav");
        listed.push_back(file.RelativeFolder + "|" + file.Path.substr(file.Path.rfind('/') + 1));
      },
      error));
  EXPECT_EQ(listed, (std::vector<std::string>{"|a.wav", "|b.wav", "sub|c.wav", "sub|late.wav"}));
}

TEST(SourceTree, NaturalOrderIsTotal) {
  // Equal but for leading zeros or case: byte order decides.
  const std::vector<std::string> sorted = {"01.wav", "1.wav", "2.wav", "10.wav", "A", "a", "a1",
                                           "a2", "a10", "b"};
  std::vector<std::string> names = sorted;
  std::reverse(names.begin(), names.end());
  std::sort(names.begin(), names.end(), NaturalLess);
  EXPECT_EQ(names, sorted);
  EXPECT_FALSE(NaturalLess("x", "x"));
  // Long digit runs do not overflow.
  EXPECT_TRUE(NaturalLess("track 99999999999999999999", "track 100000000000000000000"));
}

TEST(SourceTree, OnlyFilesWithSoundAreWantedForSoundFormats) {
  TSourceFacts song;
  song.HasAudio = true;
  TSourceFacts cover;
  cover.HasVideo = true;
  cover.FormatName = "image2";
  TSourceFacts png = cover;
  png.FormatName = "png_pipe";
  TSourceFacts silentFilm;
  silentFilm.HasVideo = true;
  silentFilm.FormatName = "matroska,webm";
  const TSourceFacts text;
  EXPECT_TRUE(WantedFromFolder(song, true));
  EXPECT_TRUE(WantedFromFolder(song, false));
  for (const TSourceFacts* still : std::vector<const TSourceFacts*>{&cover, &png, &text}) {
    EXPECT_FALSE(WantedFromFolder(*still, true));
    EXPECT_FALSE(WantedFromFolder(*still, false));
  }
  EXPECT_FALSE(WantedFromFolder(silentFilm, true));
  EXPECT_TRUE(WantedFromFolder(silentFilm, false));
}

// ---- Outputs keep their place in the tree -----------------------------------------------

class ComposerTree : public ::testing::Test {
 protected:
  void SetUp() override {
    SelectFormat(State, "MP3");
    State.Hooks.Folder = Dir.File("vhook");
    Source.FileName = "/music/Album/CD1/01 a.flac";
    Source.FormatName = "flac";
    Source.Duration = 1'000'000;
    Source.RelativeFolder = "Album/CD1";
  }
  TOutputOptions Output() {
    LoadSource(State, Source);
    TOutputOptions o;
    ComposeOutput(State, o);
    return o;
  }
  TTempDir Dir;
  TComposerState State;
  TSourceFacts Source;
};

TEST_F(ComposerTree, TheOutputKeepsItsSubFolderBelowTheOutputFolder) {
  State.Output.Folder = Dir.Path() + "/out/";
  TOutputOptions o = Output();
  EXPECT_EQ(o.FileName, Dir.Path() + "/out/Album/CD1/01 a_(new).mp3");
  EXPECT_TRUE(o.CreateFolder);
  State.Output.Folder = Dir.Path() + "/out";  // without the trailing delimiter
  EXPECT_EQ(Output().FileName, Dir.Path() + "/out/Album/CD1/01 a_(new).mp3");

  // Beside the source the tree is its own; no folder to make.
  State.Output.Folder = SAME_AS_INPUT;
  o = Output();
  EXPECT_EQ(o.FileName, "/music/Album/CD1/01 a_(new).mp3");
  EXPECT_FALSE(o.CreateFolder);

  // A file at the added folder's top, or added by itself.
  State.Output.Folder = Dir.Path() + "/out/";
  Source.RelativeFolder.clear();
  o = Output();
  EXPECT_EQ(o.FileName, Dir.Path() + "/out/01 a_(new).mp3");
  EXPECT_FALSE(o.CreateFolder);
}

TEST_F(ComposerTree, ARelativeFolderNeverLeadsOutOfTheOutputFolder) {
  State.Output.Folder = Dir.Path() + "/out/";
  for (const char* folder : {"../../etc", "/Album//./CD1/", "Album/../CD1"}) {
    Source.RelativeFolder = folder;
    const std::string name = Output().FileName;
    EXPECT_EQ(name.compare(0, Dir.Path().size() + 5, Dir.Path() + "/out/"), 0) << name;
    EXPECT_EQ(name.find(".."), std::string::npos) << name;
  }
  Source.RelativeFolder = "../..";
  EXPECT_EQ(Output().FileName, Dir.Path() + "/out/01 a_(new).mp3");
  EXPECT_FALSE(Output().CreateFolder);
}

TEST_F(ComposerTree, NamingRulesHoldInsideTheTree) {
  State.Output.Folder = Dir.Path() + "/out/";
  const std::string first = Dir.Path() + "/out/Album/CD1/01 a_(new).mp3";
  Touch(first);
  EXPECT_EQ(Output().FileName, Dir.Path() + "/out/Album/CD1/01 a_(new_1).mp3");
  State.Output.Reserved.insert(Dir.Path() + "/out/Album/CD1/01 a_(new_1).mp3");
  EXPECT_EQ(Output().FileName, Dir.Path() + "/out/Album/CD1/01 a_(new_2).mp3");
  // The same name in another sub-folder is another file.
  Source.RelativeFolder = "Album/CD2";
  EXPECT_EQ(Output().FileName, Dir.Path() + "/out/Album/CD2/01 a_(new).mp3");
}

}  // namespace
