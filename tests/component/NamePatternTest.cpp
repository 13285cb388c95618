// Output names from tags: patterns parsed and refused, expansion into safe
// names that stay below the output folder, " (2)" for names already taken,
// and a batch of tagged sources converted into the pattern's folders.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "Batch.h"
#include "ComponentTestSupport.h"
#include "FFmpegLoader.h"
#include "NamePattern.h"
#include "TestSupport.h"
#include "Text.h"

using namespace component_testing;
using testing_support::MakeMedia;
using testing_support::Quote;
using testing_support::TTempDir;

namespace {

std::string Repeat(const std::string& text, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += text;
  return out;
}

TEST(NamePattern, ExpandsIntoSafeNamesBelowTheOutputFolder) {
  using TTags = std::map<std::string, std::string>;
  const struct {
    const char* Pattern;
    TTags Tags;
    std::string Expected;
    const char* Path = "/m/a.flac";
    const char* SubPath = "";
  } cases[] = {
      // Every tag field, padding, the year of a date, the number of "3/12".
      {"{albumartist}/{year} - {album}/{disc}{track:02} - {title}",
       {{"album_artist", "Band"},
        {"date", "2004-05-01"},
        {"album", "Best"},
        {"disc", "1/2"},
        {"track", "3/12"},
        {"title", "Song"}},
       "Band/2004 - Best/103 - Song"},
      {"{genre} {composer} {artist}",
       {{"genre", "G"}, {"composer", "C"}, {"artist", "A"}},
       "G C A"},
      {"{track:03}|{track:1}|{disc:02}", {{"track", "0012/20"}, {"disc", "A"}}, "012_12_A"},
      // Defaults; the title falls back on the source's name; missing numbers
      // are nothing (and the blanks they leave at the ends go).
      {"{artist}/{album}/{year}/{genre}/{composer}/{track:02} {title}",
       {{"title", "  "}},
       "Unknown Artist/Unknown Album/Unknown Year/Unknown Genre/Unknown Composer/take 1",
       "/m/In/take 1.flac"},
      // The artists fall back on each other.
      {"{albumartist} - {artist}", {{"artist", "Solo"}}, "Solo - Solo"},
      {"{albumartist} - {artist}", {{"albumartist", "Group"}}, "Group - Group"},
      // What FAT refuses, from tags and from the pattern; control characters
      // (C0, DEL, C1) and bytes that are no UTF-8.
      {"{album}/{title}",
       {{"album", "AC/DC: Who?"}, {"title", "a\\b*c\"d<e>f|g"}},
       "AC_DC_ Who_/a_b_c_d_e_f_g"},
      {"a:b?/{title}", {{"title", "x"}}, "a_b_/x"},
      {"{title}",
       {{"title",
         "a\tb\nc\x7f"
         "d\xc2\x85"
         "e\xff"
         "f"}},
       "a_b_c_d_e_f"},
      // No way out of the output folder: ".." and absolute paths from tags.
      {"{album}/{artist}/{title}",
       {{"album", ".."}, {"artist", "."}, {"title", "/etc/passwd"}},
       "_/_/_etc_passwd"},
      {"{subpath}/{title}", {{"title", "t"}}, "x/t", "/m/In/a.flac", "../../x"},
      // Blanks and dots at the ends go; a name left empty is "_"; device names.
      {"{album}/{title}", {{"album", " ...Justice. "}, {"title", "Vol. 2..."}}, "Justice/Vol. 2"},
      {"{track}/{title}", {{"title", "con"}}, "_/con_"},
      // The source's own name, folder and sub-path; a top file has no sub-path.
      {"{subpath}/{folder} - {name}",
       {},
       "Pop/Disc 1/Disc 1 - song.x",
       "/m/In/Pop/Disc 1/song.x.flac",
       "Pop/Disc 1"},
      {"{subpath}/{folder} - {name}", {}, "In - song", "/m/In/song.flac"},
      {"{{{title}}}", {{"title", "七里香"}}, "{七里香}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Pattern);
    TNamePattern pattern;
    std::string why;
    ASSERT_TRUE(pattern.Parse(c.Pattern, why)) << why;
    TNameSource source;
    source.Path = c.Path;
    source.SubPath = c.SubPath;
    source.Tags = c.Tags;
    EXPECT_EQ(pattern.Expand(source), c.Expected);
  }
}

TEST(NamePattern, BadPatternsAreRefusedWithTheirReason) {
  const struct {
    const char* Pattern;
    const char* Reason;  // a part of the reason
  } cases[] = {{"", "empty"},
               {"   ", "empty"},
               {"{artist}/{titel}", "unknown field '{titel}'"},
               {"{title", "'{' without its '}'"},
               {"{ti{tle}", "'{' without its '}'"},
               {"title}", "'}' without its '{'"},
               {"/{title}", "starts with '/'"},
               {"{album}/", "ends with '/'"},
               {"{album}//{title}", "empty folder"},
               {"../{title}", "'..' folder"},
               {"{album}/./{title}", "'.' folder"},
               {"{track:x}", "width"},
               {"{track:0}", "width"},
               {"{track:123}", "width"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Pattern);
    TNamePattern pattern;
    std::string unused;
    ASSERT_TRUE(pattern.Parse("{title}", unused));
    std::string why;
    EXPECT_FALSE(pattern.Parse(c.Pattern, why));
    EXPECT_NE(why.find(c.Reason), std::string::npos) << why;
    EXPECT_EQ(pattern.Text(), "{title}");  // the pattern held before stays
  }
  std::string why;
  TNamePattern pattern;
  EXPECT_FALSE(pattern.Parse("{bogus}", why));
  EXPECT_NE(why.find(NameFieldsText()), std::string::npos) << why;  // the fields are listed
}

// ---- A batch under a pattern ---------------------------------------------------------

class PatternBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Component.LoadAVLib(DefaultLibraryDir())) << Component.LastErrMsg();
    Batch = std::make_unique<TConversionBatch>(Component);
    Batch->Choices.OutputFolder = Out.Path();
    Batch->Choices.Format = "WAV";
    Batch->Jobs = 2;
  }
  void TearDown() override { Batch.reset(); }
  bool RunToEnd() {
    return Component.EventLoop()->RunUntil([this] { return !Batch->Running(); }, 60000);
  }
  // Every file below the output folder, relative to it.
  std::set<std::string> OnDisk() {
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Out.Path()))
      if (entry.is_regular_file())
        files.insert(entry.path().string().substr(Out.Path().size() + 1));
    return files;
  }
  TTempDir In, Out;
  TREzuvuZUZ Component;
  std::unique_ptr<TConversionBatch> Batch;
};

TEST_F(PatternBatch, TaggedSourcesLandInThePatternsFoldersAndNoneIsLost) {
  const std::string longText = Repeat("七", 100);
  const std::string longName = "Long/Unknown Year - " + Repeat("七", 80) + "/- " + Repeat("七", 81);
  const struct {
    const char* File;
    std::vector<std::string> Tags;  // -metadata arguments
    std::string Expected;           // below the output folder
  } sources[] = {
      {"a.flac",
       {"album_artist=AC/DC", "date=1991-05-01", "album=Live: Vol?", "track=3/12",
        "title=Thunder*struck"},
       "AC_DC/1991 - Live_ Vol_/03 - Thunder_struck.wav"},
      // Ogg keeps its tags on the stream.
      {"b.ogg",
       {"artist=周杰伦", "album=七里香", "date=2004", "track=1", "title=我的地盘"},
       "周杰伦/2004 - 七里香/01 - 我的地盘.wav"},
      {"c.mp3", {"artist=..", "album=/etc", "title=a\tb"}, "_/Unknown Year - _etc/- a_b.wav"},
      {"d.flac", {}, "Unknown Artist/Unknown Year - Unknown Album/- d.wav"},
      // The same tags twice, and a file of the user's under that name: all survive.
      {"e.flac", {"artist=Twin", "album=Same", "title=x"}, "Twin/Unknown Year - Same/- x (2).wav"},
      {"f.flac", {"artist=Twin", "album=Same", "title=x"}, "Twin/Unknown Year - Same/- x (3).wav"},
      // 300 bytes of album and title: cut at a character to the limit of
      // 255 bytes, the file's name with room for " (2)"; both survive.
      {"g.flac", {"artist=Long", "album=" + longText, "title=" + longText}, longName + ".wav"},
      {"h.flac", {"artist=Long", "album=" + longText, "title=" + longText}, longName + " (2).wav"},
  };
  for (const auto& s : sources) {
    std::string args = "-f lavfi -i sine=duration=0.3:sample_rate=44100";
    if (std::string(s.File).find(".ogg") != std::string::npos) args += " -c:a flac";
    for (const std::string& tag : s.Tags) args += " -metadata " + Quote(tag);
    ASSERT_TRUE(MakeMedia(args, In.File(s.File))) << s.File;
    // Probed as the window's checker does, so that names can be shown.
    Batch->AddProbed(TConversionBatch::ProbeSource(*Component.AVProbe(), In.File(s.File)));
  }
  const std::string users = "Twin/Unknown Year - Same/- x.wav";
  std::filesystem::create_directories(Out.File("Twin/Unknown Year - Same"));
  ASSERT_TRUE(testing_support::WriteJunk(Out.File(users), 100));
  Batch->Choices.NamePattern = "{albumartist}/{year} - {album}/{track:02} - {title}";
  // The names shown before the run are the ones the run gives.
  std::map<uint64_t, std::string> shown = Batch->PreviewOutputNames();
  ASSERT_EQ(shown.size(), std::size(sources));

  ASSERT_TRUE(Batch->Start());
  ASSERT_TRUE(RunToEnd());
  std::set<std::string> expected = {users};
  size_t i = 0;
  for (const TBatchFile& file : Batch->Files()) {
    const auto& s = sources[i++];
    SCOPED_TRACE(s.File);
    ASSERT_EQ(file.Outcome, foComplete) << file.Reason;
    EXPECT_EQ(file.Output, shown[file.Id]);
    const std::string relative = file.Output.substr(Out.Path().size() + 1);
    EXPECT_EQ(relative, s.Expected);
    expected.insert(relative);
  }
  EXPECT_EQ(OnDisk(), expected);
  EXPECT_EQ(std::filesystem::file_size(Out.File(users)), 100u);

  // A bad pattern fails each file with its reason, and nothing is written.
  Batch->Clear();
  Batch->Choices.NamePattern = "{artist}/{titel}";
  ASSERT_TRUE(Batch->AddPath(In.File("d.flac"), false));
  Batch->Start();
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(Batch->Files()[0].Outcome, foFailed);
  EXPECT_EQ(Batch->Files()[0].Code, rcOption);
  EXPECT_NE(Batch->Files()[0].Reason.find("unknown field '{titel}'"), std::string::npos);
  EXPECT_EQ(OnDisk(), expected);
}

}  // namespace
