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

// Whether text is whole UTF-8 (no character cut).
bool WholeUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (n == 0 || i + n > text.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

std::string Repeat(const std::string& text, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += text;
  return out;
}

const char* const LibraryPattern = "{albumartist}/{year} - {album}/{disc}{track:02} - {title}";

TEST(NamePattern, ExpandsIntoSafeNamesBelowTheOutputFolder) {
  const std::string qixiang = "七里香";
  const struct {
    const char* Pattern;
    std::map<std::string, std::string> Tags;
    const char* Path;
    const char* SubPath;
    std::string Expected;
  } cases[] = {
      // Every tag field, padding, the year of a date, the number of "3/12".
      {LibraryPattern,
       {{"album_artist", "Band"},
        {"date", "2004-05-01"},
        {"album", "Best"},
        {"disc", "1/2"},
        {"track", "3/12"},
        {"title", "Song"}},
       "/m/a.flac",
       "",
       "Band/2004 - Best/103 - Song"},
      {"{genre} {composer} {artist}",
       {{"genre", "Jazz"}, {"composer", "C"}, {"artist", "A"}},
       "/m/a.flac",
       "",
       "Jazz C A"},
      {"{track:03}|{track:1}|{disc:02}",
       {{"track", "0012/20"}, {"disc", "A"}},
       "/m/a.flac",
       "",
       "012_12_A"},
      // Defaults; the title falls back on the source's name; missing numbers
      // are nothing (and the blanks they leave at the ends go).
      {"{artist}/{album}/{year}/{genre}/{composer}/{track:02} {title}",
       {{"title", "  "}},
       "/m/In/take 1.flac",
       "",
       "Unknown Artist/Unknown Album/Unknown Year/Unknown Genre/Unknown Composer/take 1"},
      // The artists fall back on each other.
      {"{albumartist} - {artist}", {{"artist", "Solo"}}, "/m/a.flac", "", "Solo - Solo"},
      {"{albumartist} - {artist}", {{"albumartist", "Group"}}, "/m/a.flac", "", "Group - Group"},
      // What a FAT file system refuses, from tags and from the pattern.
      {"{album}/{title}",
       {{"album", "AC/DC: Who?"}, {"title", "a\\b*c\"d<e>f|g"}},
       "/m/a.flac",
       "",
       "AC_DC_ Who_/a_b_c_d_e_f_g"},
      {"a:b?/{title}", {{"title", "x"}}, "/m/a.flac", "", "a_b_/x"},
      // Control characters (C0, DEL, C1) and bytes that are no UTF-8.
      {"{title}",
       {{"title",
         "a\tb\nc\x7f"
         "d\xc2\x85"
         "e\xff"
         "f"}},
       "/m/a.flac",
       "",
       "a_b_c_d_e_f"},
      // No way out of the output folder: ".." and absolute paths from tags.
      {"{album}/{artist}/{title}",
       {{"album", ".."}, {"artist", "."}, {"title", "/etc/passwd"}},
       "/m/a.flac",
       "",
       "_/_/_etc_passwd"},
      {"{subpath}/{title}", {{"title", "t"}}, "/m/In/a.flac", "../../x", "x/t"},
      // Blanks and dots at the ends go; a name left empty is "_".
      {"{album}/{title}",
       {{"album", " ...Justice. "}, {"title", "Vol. 2..."}},
       "/m/a.flac",
       "",
       "Justice/Vol. 2"},
      {"{album}{track}/{title}",
       {{"album", " "}, {"title", "x"}},
       "/m/a.flac",
       "",
       "Unknown Album/x"},
      {"{track}/{title}", {{"title", "x"}}, "/m/a.flac", "", "_/x"},
      // Device names of Windows.
      {"{title}", {{"title", "con"}}, "/m/a.flac", "", "con_"},
      // The source's own name, folder and sub-path; a top file has no sub-path.
      {"{subpath}/{folder} - {name}",
       {},
       "/m/In/Pop/Disc 1/song.x.flac",
       "Pop/Disc 1",
       "Pop/Disc 1/Disc 1 - song.x"},
      {"{subpath}/{folder} - {name}", {}, "/m/In/song.flac", "", "In - song"},
      {"{{{title}}}", {{"title", qixiang}}, "/m/a.flac", "", "{" + qixiang + "}"},
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

TEST(NamePattern, LongNamesAreCutAtACharacterWithRoomForTheSuffix) {
  TNamePattern pattern;
  std::string why;
  ASSERT_TRUE(pattern.Parse("{album}/{title}", why)) << why;
  for (const std::string unit : {"x", "七", "é"}) {
    SCOPED_TRACE(unit);
    TNameSource source;
    const std::string longText = Repeat(unit, 300 / static_cast<int>(unit.size()));
    ASSERT_EQ(longText.size(), 300u);
    source.Tags = {{"album", longText}, {"title", longText}};
    const std::string name = pattern.Expand(source, 255, 8);
    const size_t slash = name.find('/');
    ASSERT_NE(slash, std::string::npos);
    const std::string folder = name.substr(0, slash), file = name.substr(slash + 1);
    EXPECT_TRUE(WholeUtf8(folder) && WholeUtf8(file));
    EXPECT_LE(folder.size(), 255u);
    EXPECT_GT(folder.size(), 255u - unit.size());
    EXPECT_LE(file.size(), 247u);
    EXPECT_GT(file.size(), 247u - unit.size());
  }
}

TEST(NamePattern, BadPatternsAreRefusedWithTheirReason) {
  const struct {
    const char* Pattern;
    const char* Reason;  // a part of the reason
  } cases[] = {
      {"", "empty"},
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
      {"{track:}", "width"},
      {"{track:0}", "width"},
      {"{track:123}", "width"},
  };
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

// ---- Taken names -------------------------------------------------------------------

class PatternNaming : public ::testing::Test {
 protected:
  void SetUp() override {
    SelectFormat(State, "MP3");
    State.Output.Folder = Out.Path();
    State.Source.FileName = In.File("src.flac");
    State.Output.PatternName = "Artist/x";
  }
  std::string Name() {
    TOutputOptions o;
    ComposeOutput(State, o);
    EXPECT_TRUE(o.CreateFolder);
    return o.FileName;
  }
  void Touch(const std::string& path) {
    std::filesystem::create_directories(path.substr(0, path.rfind('/')));
    ASSERT_TRUE(testing_support::WriteJunk(path, 10));
  }
  TTempDir In, Out;
  TComposerState State;
};

TEST_F(PatternNaming, TakenNamesGetANumberNeverReplacingAFileUnasked) {
  const std::string x = Out.File("Artist/x.mp3");
  EXPECT_EQ(Name(), x);
  // Another file of the run holds it, then its " (2)" too.
  State.Output.Reserved = {x};
  EXPECT_EQ(Name(), Out.File("Artist/x (2).mp3"));
  State.Output.Reserved.insert(Out.File("Artist/x (2).mp3"));
  EXPECT_EQ(Name(), Out.File("Artist/x (3).mp3"));
  State.Output.Reserved.clear();
  // A file on disk: kept, unless overwriting is asked; a source never.
  Touch(x);
  EXPECT_EQ(Name(), Out.File("Artist/x (2).mp3"));
  State.Output.Overwrite = true;
  EXPECT_EQ(Name(), x);
  TFileIdentity source;
  ASSERT_TRUE(ReadFileIdentity(x, source));
  State.Output.Sources = {source};
  EXPECT_EQ(Name(), Out.File("Artist/x (2).mp3"));
  // Without an output folder the name lies below the source's folder.
  State.Output.Folder = SAME_AS_INPUT;
  EXPECT_EQ(Name(), In.File("Artist/x.mp3"));
}

TEST_F(PatternNaming, ACutNameAndItsCopiesShareTheirStem) {
  const std::string title = Repeat("七", 100);  // 300 bytes
  State.Output.PatternName = "Artist/" + title;
  const std::string first = Name();
  State.Output.Reserved = {first};
  const std::string second = Name();
  const std::string stem = first.substr(0, first.size() - 4);
  EXPECT_EQ(second, stem + " (2).mp3");
  const std::string file = second.substr(second.rfind('/') + 1);
  EXPECT_LE(file.size(), 255u);
  EXPECT_TRUE(WholeUtf8(file));
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
  const std::string longTitle = Repeat("七", 100);
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
      // The same tags twice: both survive.
      {"e.flac", {"artist=Twin", "album=Same", "title=x"}, "Twin/Unknown Year - Same/- x.wav"},
      {"f.flac", {"artist=Twin", "album=Same", "title=x"}, "Twin/Unknown Year - Same/- x (2).wav"},
      {"g.flac", {"artist=Long", "title=" + longTitle}, ""},
  };
  for (const auto& s : sources) {
    std::string args = "-f lavfi -i sine=duration=0.3:sample_rate=44100";
    if (std::string(s.File).find(".ogg") != std::string::npos) args += " -c:a flac";
    for (const std::string& tag : s.Tags) args += " -metadata " + Quote(tag);
    ASSERT_TRUE(MakeMedia(args, In.File(s.File))) << s.File;
    // Probed as the window's checker does, so that names can be shown.
    Batch->AddProbed(TConversionBatch::ProbeSource(*Component.AVProbe(), In.File(s.File)));
  }
  Batch->Choices.NamePattern = "{albumartist}/{year} - {album}/{track:02} - {title}";
  // The names shown before the run are the ones the run gives.
  std::map<uint64_t, std::string> shown = Batch->PreviewOutputNames();
  ASSERT_EQ(shown.size(), std::size(sources));

  ASSERT_TRUE(Batch->Start());
  ASSERT_TRUE(RunToEnd());
  std::set<std::string> expected;
  size_t i = 0;
  for (const TBatchFile& file : Batch->Files()) {
    const auto& s = sources[i++];
    SCOPED_TRACE(s.File);
    ASSERT_EQ(file.Outcome, foComplete) << file.Reason;
    EXPECT_EQ(file.Output, shown[file.Id]);
    const std::string relative = file.Output.substr(Out.Path().size() + 1);
    if (s.Expected.empty()) {
      // 300 bytes of title: cut whole characters to the folder's limit.
      const std::string name = relative.substr(relative.rfind('/') + 1);
      EXPECT_EQ(relative.substr(0, relative.rfind('/')), "Long/Unknown Year - Unknown Album");
      EXPECT_TRUE(WholeUtf8(name));
      EXPECT_LE(name.size(), 255u);
      EXPECT_EQ(name.compare(0, 2 + 3 * 80, "- " + Repeat("七", 80)), 0);
    } else {
      EXPECT_EQ(relative, s.Expected);
    }
    expected.insert(relative);
  }
  EXPECT_EQ(OnDisk(), expected);

  // Again: the outputs there are kept, the new ones take " (2)" and " (3)".
  Batch->Clear();
  ASSERT_TRUE(Batch->AddPath(In.File("e.flac"), false));
  ASSERT_TRUE(Batch->Start());
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(Batch->Files()[0].Output, Out.File("Twin/Unknown Year - Same/- x (3).wav"));
  EXPECT_EQ(OnDisk().size(), expected.size() + 1);

  // A bad pattern fails each file with its reason, and nothing is written.
  Batch->Clear();
  Batch->Choices.NamePattern = "{artist}/{titel}";
  ASSERT_TRUE(Batch->AddPath(In.File("d.flac"), false));
  Batch->Start();
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(Batch->Files()[0].Outcome, foFailed);
  EXPECT_EQ(Batch->Files()[0].Code, rcOption);
  EXPECT_NE(Batch->Files()[0].Reason.find("unknown field '{titel}'"), std::string::npos);
  EXPECT_EQ(OnDisk().size(), expected.size() + 1);
}

}  // namespace
