// Tags and text files in legacy encodings: which encoding a file's bytes are
// taken in, and that real Latin-1 text is never taken for one. The bytes are
// made with glibc's iconv from the text each case expects back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LegacyText.h"
#include "TestSupport.h"

using testing_support::Encoded;

namespace {

// Bytes as the libraries hand a Latin-1 text on: each byte one character.
std::string AsLatin1(const std::string& bytes) {
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// One tag value: its text, the encoding its bytes are in (null: real UTF-8),
// read as Latin-1 (ID3) or raw (APE, RIFF INFO), and whether the repair is
// expected to give the text back (else the value stays as read).
struct TValue {
  std::string Text;
  const char* Charset;
  bool Raw;
  bool Fixed;
  std::string AsRead() const {
    if (!Charset) return Text;
    const std::string bytes = Encoded(Text, Charset);
    return Raw ? bytes : AsLatin1(bytes);
  }
};

const char* const Gb = "GB18030";
const char* const Big5 = "BIG5";
const char* const Sjis = "SHIFT_JIS";
const char* const Kr = "EUC-KR";
const char* const L1 = "ISO-8859-1";

TValue Id3(const std::string& text, const char* charset, bool fixed = true) {
  return {text, charset, false, fixed};
}
TValue Ape(const std::string& text, const char* charset, bool fixed = true) {
  return {text, charset, true, fixed};
}
TValue Utf8(const std::string& text) { return {text, nullptr, false, false}; }

struct TRepairCase {
  const char* Name;
  TTagEncoding Choice;
  const char* Taken;
  std::vector<TValue> Values;
};

}  // namespace

TEST(LegacyText, RepairTakesAFilesEncodingOnlyWhenItsTextReadsAsOne) {
  const TRepairCase cases[] = {
      {"GBK in ID3", teAuto, "GB18030",
       {Id3("爱你一万年", Gb), Id3("伍佰", Gb), Utf8("2001")}},
      // uchardet names no GB encoding for these: the strict GB2312 form does.
      {"short GBK", teAuto, "GB18030", {Id3("红豆", Gb)}},
      {"GBK beside ASCII", teAuto, "GB18030",
       {Id3("01 甜蜜蜜", Gb), Id3("邓丽君", Gb), Id3("Love Story 爱情故事", Gb)}},
      // 喆 is a GBK character beyond GB2312: uchardet's answer is what takes it.
      {"GBK beyond GB2312", teAuto, "GB18030", {Id3("陶喆", Gb), Id3("爱很简单", Gb)}},
      {"GBK punctuation", teAuto, "GB18030", {Id3("《东风破》", Gb), Id3("周杰伦·范特西", Gb)}},
      {"raw GBK in APE", teAuto, "GB18030", {Ape("孙燕姿", Gb), Ape("遇见", Gb)}},
      {"real UTF-8 stays beside GBK", teAuto, "GB18030", {Utf8("晴天"), Id3("周杰伦", Gb)}},
      {"Big5", teAuto, "BIG5", {Id3("後來", Big5), Id3("劉若英", Big5)}},
      {"Shift-JIS", teAuto, "SHIFT_JIS", {Id3("千本桜", Sjis), Id3("初音ミク", Sjis)}},
      {"EUC-KR", teAuto, "EUC-KR", {Id3("사랑해요", Kr), Id3("아이유", Kr)}},
      {"Latin-1 accents", teAuto, "",
       {Id3("Beyoncé", L1, false), Id3("Sigur Rós", L1, false), Id3("Motörhead", L1, false),
        Id3("Café del Mar", L1, false)}},
      {"more Latin-1 accents", teAuto, "",
       {Id3("Björk", L1, false), Id3("Homogénic", L1, false), Id3("Ágætis byrjun", L1, false),
        Id3("Les Misérables", L1, false), Id3("Édith Piaf", L1, false),
        Id3("Señor Coconut ¡Olé!", L1, false)}},
      // Cyrillic words of even length have the strict GB form, on rare rows.
      {"Windows-1251", teAuto, "",
       {Id3("Кино", "CP1251", false), Id3("Видели ночь", "CP1251", false),
        Id3("Сказка", "CP1251", false)}},
      // A character GBK leaves to its users is no text to take.
      {"GBK with a private character", teAuto, "",
       {Id3("月亮代表我的心", Gb, false), Id3("邓丽君", Gb, false),
        {"\xAA\xA1\xAA\xA2", nullptr, true, false}}},
      {"plain ASCII", teAuto, "", {Utf8("Yesterday"), Utf8("The Beatles")}},
      {"one character is too little", teAuto, "", {Id3("王", Gb, false)}},
      {"bytes of no encoding", teAuto, "", {{"\xFF\xFE\x80\x81 abc \xFF", nullptr, true, false}}},
      {"every value must decode", teAuto, "",
       {Id3("爱你一万年", Gb, false), Id3("Café", L1, false)}},
      // Too short for uchardet: Big5 this short takes a choice.
      {"Big5 auto leaves", teAuto, "", {Id3("周杰倫", Big5, false), Id3("晴天", Big5, false)}},
      {"Big5 chosen", teBig5, "BIG5", {Id3("周杰倫", Big5), Id3("晴天", Big5)}},
      {"Latin-1 chosen", teLatin1, "", {Id3("爱你一万年", Gb, false)}},
      {"GBK chosen skips what it cannot decode", teGbk, "GB18030",
       {Id3("伍佰", Gb), Id3("Beyoncé", L1, false), Utf8("Café")}},
  };
  for (const TRepairCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<std::pair<std::string, std::string>> tags;
    for (const TValue& v : c.Values) {
      ASSERT_FALSE(v.AsRead().empty());
      tags.emplace_back("key", v.AsRead());
    }
    EXPECT_EQ(RepairLegacyTags(tags, c.Choice), c.Taken);
    for (size_t i = 0; i < tags.size(); ++i)
      EXPECT_EQ(tags[i].second, c.Values[i].Fixed ? c.Values[i].Text : c.Values[i].AsRead())
          << "value " << i;
  }
}

TEST(LegacyText, TextFilesAreReadInTheirEncoding) {
  const std::string cue =
      "PERFORMER \"邓丽君\"\r\nTITLE \"月亮代表我的心\"\r\nFILE \"邓丽君.wav\" WAVE\r\n"
      "  TRACK 01 AUDIO\r\n    TITLE \"月亮代表我的心\"\r\n    INDEX 01 00:00:00\r\n"
      "  TRACK 02 AUDIO\r\n    TITLE \"甜蜜蜜\"\r\n    INDEX 01 03:29:00\r\n";
  const std::string big5Cue =
      "PERFORMER \"張學友\"\nTITLE \"吻別\"\nFILE \"吻別.flac\" WAVE\n  TRACK 01 AUDIO\n"
      "    TITLE \"吻別\"\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    TITLE \"一千個傷心的理由\"\n"
      "    INDEX 01 04:50:00\n";
  const std::string latin = "PERFORMER \"Beyoncé\"\nTITLE \"Déjà Vu\"\n";
  struct TCase {
    const char* Name;
    std::string Bytes;
    TTagEncoding Choice;
    bool Ok;
    std::string Text;   // the UTF-8 expected when Ok
    const char* Taken;  // or a word of the error
  } const cases[] = {
      {"UTF-8", cue, teAuto, true, cue, "UTF-8"},
      {"UTF-8 with a mark", "\xEF\xBB\xBF" + cue, teGbk, true, cue, "UTF-8"},
      {"UTF-16LE", "\xFF\xFE" + Encoded(cue, "UTF-16LE"), teAuto, true, cue, "UTF-16LE"},
      {"UTF-16BE", "\xFE\xFF" + Encoded(cue, "UTF-16BE"), teAuto, true, cue, "UTF-16BE"},
      {"GBK", Encoded(cue, Gb), teAuto, true, cue, "GB18030"},
      {"Big5", Encoded(big5Cue, Big5), teAuto, true, big5Cue, "BIG5"},
      {"Big5 chosen", Encoded(big5Cue, Big5), teBig5, true, big5Cue, "BIG5"},
      {"Latin-1", Encoded(latin, L1), teAuto, true, latin, "WINDOWS-1252"},
      {"binary", std::string("RIFF\0\0\0\0WAVEfmt ", 16), teAuto, false, "", "not a text file"},
      {"control bytes", "TITLE \x01\x02", teAuto, false, "", "not a text file"},
      {"broken UTF-8 after a mark", "\xEF\xBB\xBFTITLE \"\xE9\"", teAuto, false, "", "UTF-8"},
      {"not GBK", "TITLE \"\x81\"", teGbk, false, "", "GB18030"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string text, taken, error;
    ASSERT_EQ(TextToUtf8(c.Bytes, c.Choice, text, taken, error), c.Ok) << error;
    if (c.Ok) {
      EXPECT_EQ(text, c.Text);
      EXPECT_EQ(taken, c.Taken);
    } else {
      EXPECT_NE(error.find(c.Taken), std::string::npos) << error;
    }
  }
}
