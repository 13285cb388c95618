// Tags in legacy encodings through the engine: MP3s whose ID3v2 frames
// (encoding byte 0, "Latin-1") or ID3v1 tag hold GBK or Big5 bytes are
// converted, and ffprobe reads the outputs' title and artist as the Chinese
// they are; real Latin-1 accents come out as they went in.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>

#include "FFmpeg.h"
#include "TestSupport.h"

using namespace testing_support;

namespace {

// An ID3v2.3 tag of text frames, each with encoding byte 0 and the bytes given.
std::string Id3v23(const std::vector<std::pair<std::string, std::string>>& frames) {
  auto be32 = [](size_t v, int bits) {
    std::string b(4, '\0');
    for (int i = 0; i < 4; ++i)
      b[i] = static_cast<char>((v >> (bits * (3 - i))) & ((1u << bits) - 1));
    return b;
  };
  std::string body;
  for (const auto& frame : frames) {
    const std::string text = std::string(1, '\0') + frame.second;
    body += frame.first + be32(text.size(), 8) + std::string(2, '\0') + text;
  }
  return std::string("ID3\x03\0\0", 6) + be32(body.size(), 7) + body;
}

// An ID3v1 tag: "TAG", title, artist and album of 30 bytes, year, comment, genre.
std::string Id3v1(const std::string& title, const std::string& artist) {
  auto field = [](std::string s, size_t n) {
    s.resize(n, '\0');
    return s;
  };
  return "TAG" + field(title, 30) + field(artist, 30) + field("", 30) + "2001" + field("", 30) +
         std::string(1, '\xFF');
}

struct TCase {
  const char* Name;
  const char* Encoding;  // "tag_encoding" given to the engine; "" for none
  bool Version1;         // an ID3v1 tag at the end instead of ID3v2 in front
  const char* Charset;   // the tag's bytes
  const char* Title;
  const char* Artist;
  const char* Taken;     // the log names it; "" when the tags are left
};

const TCase Cases[] = {
    {"GBK in ID3v2", "", false, "GB18030", "爱你一万年", "伍佰", "GB18030"},
    {"GBK in ID3v1", "", true, "GB18030", "月亮代表我的心", "邓丽君", "GB18030"},
    // Too short for a guess: the option decides.
    {"Big5 chosen", "big5", false, "BIG5", "晴天", "周杰倫", "BIG5"},
    {"Latin-1 accents", "", false, "ISO-8859-1", "Café del Mar", "Beyoncé · Motörhead", ""},
};

void PrintTo(const TCase& c, std::ostream* os) { *os << c.Name; }

class LegacyTags : public EngineFixture, public ::testing::WithParamInterface<TCase> {};

}  // namespace

TEST_P(LegacyTags, ReadRightIntoEveryOutput) {
  const TCase& c = GetParam();
  // No tag of its own: the demuxer reads an ID3v1 tag only when it found no
  // other (bitexact leaves out the encoder's name).
  const std::string bare =
      Fixture("legacy_bare.mp3", "-f lavfi -i sine=duration=0.3 -c:a libmp3lame -write_id3v2 0 "
                                 "-write_xing 0 -fflags +bitexact");
  std::ifstream in(bare, std::ios::binary);
  const std::string audio((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string title = Encoded(c.Title, c.Charset), artist = Encoded(c.Artist, c.Charset);
  ASSERT_FALSE(audio.empty() || title.empty() || artist.empty());
  const std::string source = Dir.File("source.mp3");
  std::ofstream(source, std::ios::binary)
      << (c.Version1 ? audio + Id3v1(title, artist)
                     : Id3v23({{"TIT2", title}, {"TPE1", artist}, {"TCOM", artist}}) + audio);
  // What the libraries alone make of it: the bytes one by one, as Latin-1.
  if (*c.Taken) {
    ASSERT_NE(Probe(source, "", "format_tags=title"), c.Title);
  }

  for (const char* output : {"out.mp3", "out.flac"}) {
    SCOPED_TRACE(output);
    Engine.Reset();
    Log.Lines.clear();
    if (*c.Encoding) Engine.SetOption("tag_encoding", c.Encoding);
    ASSERT_TRUE(Convert(source, Dir.File(output),
                        {{"acodec", std::string(output) == "out.mp3" ? "libmp3lame" : "flac"}}))
        << Engine.LastError;
    ASSERT_EQ(Engine.Result.Outcome, joComplete) << Engine.Result.Reason;
    EXPECT_EQ(Probe(Dir.File(output), "", "format_tags=title"), c.Title);
    EXPECT_EQ(Probe(Dir.File(output), "", "format_tags=artist"), c.Artist);
    size_t told = 0;
    for (const auto& line : Log.Lines) told += line.second.find("Tags of") == 0;
    EXPECT_EQ(told, *c.Taken ? 1u : 0u);
    if (*c.Taken) {
      EXPECT_TRUE(Log.Contains("Tags of '" + source + "' read as " + c.Taken));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sources, LegacyTags, ::testing::ValuesIn(Cases),
                         [](const ::testing::TestParamInfo<TCase>& param) {
                           std::string name;
                           for (const char* p = param.param.Name; *p; ++p)
                             if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                           return name;
                         });
