// Cue sheets: the fields read, the bad sheets refused with their line, the
// tracks' sample ranges under both pregap rules, disc numbers from names.
#include <gtest/gtest.h>

#include <fstream>

#include "CueSheet.h"
#include "TestSupport.h"

using testing_support::TTempDir;

namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

const char* const AlbumSheet =
    "REM GENRE \"Rock Pop\"\n"
    "REM DATE 1999\n"
    "REM DISCID 0A0B0C0D\n"
    "REM COMMENT \"ripped\"\n"
    "CATALOG 1234567890123\n"
    "PERFORMER \"Album Artist\"\n"
    "TITLE \"Album \\\"Title\\\"\"\n"
    "SONGWRITER \"Writer\"\n"
    "FILE \"image.wav\" WAVE\n"
    "  TRACK 01 AUDIO\n"
    "    TITLE \"One\"\n"
    "    PERFORMER \"P1\"\n"
    "    SONGWRITER \"S1\"\n"
    "    ISRC USABC1234567\n"
    "    INDEX 01 00:00:00\n"
    "  TRACK 02 AUDIO\n"
    "    TITLE \"Two\"\n"
    "    INDEX 00 00:03:00\n"
    "    INDEX 01 00:04:00\n"
    "FILE \"side2.wav\" WAVE\n"
    "  TRACK 03 AUDIO\n"
    "    TITLE \"Three\"\n"
    "    INDEX 01 00:00:00\n"
    "  TRACK 04 AUDIO\n"
    "    INDEX 00 00:02:00\n"
    "    INDEX 01 00:03:00\n";

class CueSheetRead : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(Dir.Path() + "/image.wav", "x");
    WriteFile(Dir.Path() + "/side2.wav", "x");
  }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = Dir.Path() + "/" + name;
    WriteFile(path, text);
    return path;
  }
  TTempDir Dir;
};

TEST_F(CueSheetRead, AlbumAndTrackFieldsOfAMultiFileSheet) {
  // CRLF line ends and no last line end, as Windows tools write them.
  std::string text = AlbumSheet;
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  crlf.resize(crlf.size() - 2);
  TCueSheet sheet;
  std::string error;
  ASSERT_TRUE(ReadCueFile(Write("album.cue", crlf), teAuto, sheet, error)) << error;
  EXPECT_EQ(sheet.Performer, "Album Artist");
  EXPECT_EQ(sheet.Title, "Album \"Title\"");
  EXPECT_EQ(sheet.Songwriter, "Writer");
  EXPECT_EQ(sheet.Catalog, "1234567890123");
  EXPECT_EQ(sheet.Genre, "Rock Pop");
  EXPECT_EQ(sheet.Date, "1999");
  EXPECT_EQ(sheet.DiscId, "0A0B0C0D");
  EXPECT_EQ(sheet.Comment, "ripped");
  ASSERT_EQ(sheet.Files.size(), 2u);
  EXPECT_EQ(sheet.Files[1], Dir.Path() + "/side2.wav");
  ASSERT_EQ(sheet.Tracks.size(), 4u);
  const TCueTrack& one = sheet.Tracks[0];
  EXPECT_EQ(one.Number, 1);
  EXPECT_EQ(one.Line, 10);
  EXPECT_EQ(one.Title, "One");
  EXPECT_EQ(one.Performer, "P1");
  EXPECT_EQ(one.Songwriter, "S1");
  EXPECT_EQ(one.Isrc, "USABC1234567");
  EXPECT_EQ(one.File, Dir.Path() + "/image.wav");
  EXPECT_EQ(sheet.Tracks[1].Index0, 3 * 75);
  EXPECT_EQ(sheet.Tracks[1].Index1, 4 * 75);
  EXPECT_EQ(sheet.Tracks[2].File, Dir.Path() + "/side2.wav");
  EXPECT_EQ(sheet.Tracks[3].Line, 24);
  EXPECT_EQ(sheet.Tracks[3].Title, "");
}

TEST_F(CueSheetRead, RefusedWithTheirReason) {
  std::string big(2 << 20, ' ');
  std::string many = "FILE \"image.wav\" WAVE\n";
  for (int i = 1; i <= 200; ++i)
    many += "TRACK " + std::to_string(i) + " AUDIO\nINDEX 01 00:" + std::to_string(i % 60) +
            ":00\n";
  const std::string head = "FILE \"image.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
  const struct {
    const char* Name;
    std::string Text;
    const char* Reason;  // a part of the reason
  } cases[] = {
      {"binary.cue", std::string("FILE \"image.wav\" WAVE\n\0\1\2", 25), "is not text"},
      {"big.cue", big, "too large"},
      {"many.cue", many, "line 200: more than 99 tracks"},
      {"none.cue", "REM only\nTITLE \"x\"\n", "holds no tracks"},
      {"overlap.cue", head + "  TRACK 02 AUDIO\n    INDEX 00 00:00:00\n    INDEX 01 00:05:00\n",
       "line 4: track 02 starts at 00:00:00, before track 01"},
      {"backwards.cue",
       "FILE \"image.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:09:00\n"
       "  TRACK 02 AUDIO\n    INDEX 01 00:05:00\n",
       "line 4: track 02 starts"},
      {"gap.cue", head + "  TRACK 02 AUDIO\n    INDEX 00 00:07:00\n    INDEX 01 00:06:00\n",
       "line 4: track 02: INDEX 00 (00:07:00) after INDEX 01"},
      {"up.cue", "FILE \"../x.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n",
       "line 1: FILE '../x.wav' lies outside"},
      {"abs.cue", "FILE \"/etc/passwd\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n",
       "line 1: FILE '/etc/passwd' lies outside"},
      {"self.cue", "FILE \"self.cue\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n",
       "line 1: FILE names the cue sheet itself"},
      {"missing.cue", head + "FILE \"gone.wav\" WAVE\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n",
       "line 4: FILE 'gone.wav' is missing"},
      {"badtime.cue", head + "  TRACK 02 AUDIO\n    INDEX 01 00:0x:00\n",
       "line 5: INDEX time '00:0x:00' is not mm:ss:ff"},
      {"noindex.cue", head + "  TRACK 02 AUDIO\n    TITLE \"t\"\n", "line 4: track 02 has no INDEX 01"},
      {"unparsable.cue",
       head + "  TRACK 02 AUDIO\n    TITLE \"t\"\n    TITLE \"x\" \"y\"\n    INDEX 01 00:05:00\n",
       "line 6: cannot be parsed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TCueSheet sheet;
    std::string error;
    EXPECT_FALSE(ReadCueFile(Write(c.Name, c.Text), teAuto, sheet, error));
    EXPECT_NE(error.find(c.Reason), std::string::npos) << error;
  }
}

TEST(CueSheetRanges, PregapsBothWaysAndFileEnds) {
  TCueSheet sheet;
  std::string error;
  ASSERT_TRUE(ParseCueText(AlbumSheet, "/music/album.cue", false, sheet, error)) << error;
  const std::map<std::string, TCueAudio> audio = {{"image.wav", {44100, 10 * 44100}},
                                                  {"side2.wav", {48000, 5 * 48000}}};
  const struct {
    bool GapsAtStart;
    std::vector<TTrackRange> Ranges;
  } cases[] = {
      // The pregap of track 02 (3 s to 4 s) ends track 01; side 2's the same.
      {false, {{0, 4 * 44100, false}, {4 * 44100, 10 * 44100, true},
               {0, 3 * 48000, false}, {3 * 48000, 5 * 48000, true}}},
      {true, {{0, 3 * 44100, false}, {3 * 44100, 10 * 44100, true},
              {0, 2 * 48000, false}, {2 * 48000, 5 * 48000, true}}},
  };
  for (const auto& c : cases) {
    std::vector<TTrackRange> ranges;
    ASSERT_TRUE(TrackRanges(sheet, audio, c.GapsAtStart, ranges, error)) << error;
    ASSERT_EQ(ranges.size(), c.Ranges.size());
    for (size_t i = 0; i < ranges.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(ranges[i].First, c.Ranges[i].First);
      EXPECT_EQ(ranges[i].End, c.Ranges[i].End);
      EXPECT_EQ(ranges[i].ToFileEnd, c.Ranges[i].ToFileEnd);
    }
  }
  // A frame is 588 samples at 44.1 kHz: 00:04:37 is sample 4 × 44100 + 37 × 588.
  ASSERT_TRUE(ParseCueText("FILE \"a.wav\" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:04:37\n", "/a.cue",
                           false, sheet, error));
  std::vector<TTrackRange> one;
  ASSERT_TRUE(TrackRanges(sheet, {{"a.wav", {44100, -1}}}, false, one, error)) << error;
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].First, 4 * 44100 + 37 * 588);
  EXPECT_TRUE(one[0].ToFileEnd);
  // A track that starts past the end of its file names its line.
  ParseCueText(AlbumSheet, "/music/album.cue", false, sheet, error);
  std::vector<TTrackRange> ranges;
  EXPECT_FALSE(TrackRanges(sheet, {{"image.wav", {44100, 3 * 44100}}, {"side2.wav", {48000, -1}}},
                           false, ranges, error));
  EXPECT_NE(error.find("cue sheet line 16: track 02 starts at 00:04:00, past the end"),
            std::string::npos)
      << error;
}

TEST(CueSheetDisc, NumberFromFolderNames) {
  const std::pair<const char*, int> cases[] = {
      {"CD1", 1}, {"CD 2", 2}, {"Disc 2", 2}, {"disc2", 2}, {"Album (Disk-3)", 0},
      {"Album - CD3", 3}, {"ABCD1", 0}, {"Album", 0}, {"cd", 0}};
  for (const auto& c : cases) EXPECT_EQ(DiscNumberFromName(c.first), c.second) << c.first;
  TCueSheet sheet;
  std::string error;
  ASSERT_TRUE(ParseCueText("REM DISCNUMBER 4\nFILE \"a.wav\" WAVE\nTRACK 01 AUDIO\n"
                           "INDEX 01 00:00:00\n",
                           "/x/CD1/a.cue", false, sheet, error));
  EXPECT_EQ(sheet.DiscNumber, 4);
  ASSERT_TRUE(ParseCueText("FILE \"a.wav\" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n",
                           "/x/Disc 2/a.cue", false, sheet, error));
  EXPECT_EQ(sheet.DiscNumber, 2);
}

}  // namespace
