// Tags in legacy encodings through the engine: MP3s whose ID3v2 frames
// (encoding byte 0, "Latin-1") or ID3v1 tag hold GBK or Big5 bytes are
// converted, and ffprobe reads the outputs' title and artist as the Chinese
// they are; real Latin-1 accents come out as they went in.
#include <gtest/gtest.h>

#include <cctype>

#include "FFmpeg.h"
#include "TestSupport.h"

using namespace testing_support;

namespace {

struct TCase {
  const char* Name;
  const char* Encoding;  // "tag_encoding" given to the engine; "" for none
  bool Version1;         // an ID3v1 tag at the end instead of ID3v2 in front
  const char* Charset;   // the tag's bytes
  const char* Title;
  const char* Artist;
  const char* Taken;  // the log names it; "" when the tags are left
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
  const std::string source = Dir.File("source.mp3");
  ASSERT_TRUE(MakeTaggedMp3(source, Encoded(c.Title, c.Charset), Encoded(c.Artist, c.Charset),
                            c.Version1));
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
