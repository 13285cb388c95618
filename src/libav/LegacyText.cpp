// Legacy encodings of tags and text files: uchardet names the encoding of a
// file's legacy bytes, iconv (glibc) decodes them, and the result is taken
// only when it reads as East Asian text.
#include "LegacyText.h"

#include <iconv.h>
#include <strings.h>
#include <uchardet.h>

#include <cerrno>
#include <memory>

namespace {

// Fewer non-ASCII bytes than this over a whole file (two double-byte
// characters) are too little to tell an encoding from: a short Latin-1
// name with one or two accents ("Motörhead", "Sigur Rós") also decodes as
// a GBK or Big5 pair when the accent is followed by a letter.
constexpr size_t MIN_LEGACY_BYTES = 4;

// uchardet's confidence needs more bytes than a tag holds: it names nothing,
// or a single-byte encoding, for "爱你一万年". The same text repeated keeps
// its statistics and gives it enough to decide.
constexpr size_t DETECTION_BYTES = 1024;

struct TLegacyEncoding {
  TTagEncoding Choice;
  const char* Name;   // what RepairLegacyTags and TextToUtf8 report
  const char* Iconv;  // the converter: each vendor's superset of the standard
};

const TLegacyEncoding Encodings[] = {{teGbk, "GB18030", "GB18030"},
                                     {teBig5, "BIG5", "CP950"},
                                     {teShiftJis, "SHIFT_JIS", "CP932"},
                                     {teEucKr, "EUC-KR", "CP949"}};

const TLegacyEncoding* EncodingOf(TTagEncoding choice) {
  for (const TLegacyEncoding& e : Encodings)
    if (e.Choice == choice) return &e;
  return nullptr;
}

// uchardet's name of an East Asian double-byte encoding that we decode. Its
// EUC-TW and EUC-JP answers are left out: they come for short GB text
// (CNS 11643 and EUC-JP tags are next to unknown), which the strict GB2312
// form below then takes.
const TLegacyEncoding* DetectedEncoding(const std::string& name) {
  static const std::pair<const char*, TTagEncoding> Names[] = {
      {"GB18030", teGbk},        {"GB2312", teGbk},     {"GBK", teGbk},
      {"CP936", teGbk},          {"BIG5", teBig5},      {"BIG5-HKSCS", teBig5},
      {"CP950", teBig5},         {"SHIFT_JIS", teShiftJis},
      {"SJIS", teShiftJis},      {"CP932", teShiftJis}, {"WINDOWS-31J", teShiftJis},
      {"EUC-KR", teEucKr},       {"UHC", teEucKr},      {"CP949", teEucKr}};
  for (const auto& n : Names)
    if (strcasecmp(name.c_str(), n.first) == 0) return EncodingOf(n.second);
  return nullptr;
}

// The code points of valid UTF-8 (no overlong forms, surrogates or values
// past U+10FFFF); false for anything else.
bool DecodeUtf8(const std::string& s, std::u32string* out) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n;
    char32_t cp, least;
    if (c < 0x80) {
      n = 1, cp = c, least = 0;
    } else if ((c & 0xE0) == 0xC0) {
      n = 2, cp = c & 0x1F, least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      n = 3, cp = c & 0x0F, least = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      n = 4, cp = c & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (out) out->push_back(cp);
    i += n;
  }
  return true;
}

bool HasHighByte(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  return false;
}

// Characters of East Asian text: ASCII, CJK ideographs, kana, hangul, the
// punctuation, symbols, pinyin letters and full-width forms of the CJK
// character sets (no Greek or Cyrillic: those rows are where misread
// single-byte text lands).
bool ScriptCharacter(char32_t c) {
  if (c < 0x80) return c >= 0x20 || c == '\t' || c == '\n' || c == '\r';
  static const char32_t Ranges[][2] = {
      {0x00A4, 0x00A4}, {0x00A7, 0x00A8}, {0x00B0, 0x00B1}, {0x00B7, 0x00B7},
      {0x00D7, 0x00D7}, {0x00E0, 0x00FC},  // pinyin letters with tone marks, ÷
      {0x0101, 0x016B}, {0x01CE, 0x01DC}, {0x1100, 0x11FF},  // hangul jamo
      {0x2010, 0x205F},                                      // general punctuation
      {0x2100, 0x23FF},    // letterlike, number forms, arrows, maths, technical
      {0x2460, 0x27BF},    // enclosed numbers, box drawing, shapes, symbols
      {0x2E80, 0x2FDF},    // CJK radicals
      {0x3000, 0x33FF},    // CJK punctuation, kana, bopomofo, compatibility jamo, enclosed CJK
      {0x3400, 0x4DBF},    // ideographs, extension A
      {0x4E00, 0x9FFF},    // ideographs
      {0xAC00, 0xD7AF},    // hangul syllables
      {0xF900, 0xFAFF},    // compatibility ideographs
      {0xFE30, 0xFE4F},    // CJK compatibility forms
      {0xFF00, 0xFFEF},    // half-width and full-width forms
      {0x20000, 0x3134F}};  // ideographs, extensions B and later
  for (const auto& r : Ranges)
    if (c >= r[0] && c <= r[1]) return true;
  return false;
}

// bytes in the encoding named, as UTF-8; false at any byte it cannot decode
// (an invalid or cut sequence).
bool Convert(const std::string& bytes, const char* from, std::string& utf8) {
  iconv_t cd = iconv_open("UTF-8", from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::unique_ptr<void, int (*)(iconv_t)> owner(cd, iconv_close);
  std::string out(bytes.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char* to = &out[0];
  size_t toLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &to, &toLeft) != static_cast<size_t>(-1)) continue;
    if (errno != E2BIG) return false;
    const size_t used = out.size() - toLeft;
    out.resize(out.size() * 2);
    to = &out[used];
    toLeft = out.size() - used;
  }
  // Flush a stateful converter; a cut sequence fails here.
  if (iconv(cd, nullptr, nullptr, &to, &toLeft) == static_cast<size_t>(-1)) return false;
  out.resize(out.size() - toLeft);
  utf8 = std::move(out);
  return true;
}

// Every candidate decodes in the encoding and reads as East Asian text.
bool DecodesAsScript(const std::vector<std::string>& candidates, const TLegacyEncoding& e,
                     std::vector<std::string>* decoded) {
  std::vector<std::string> texts;
  for (const std::string& bytes : candidates) {
    std::string utf8;
    std::u32string cps;
    if (!Convert(bytes, e.Iconv, utf8) || !DecodeUtf8(utf8, &cps)) return false;
    for (char32_t c : cps)
      if (!ScriptCharacter(c)) return false;
    texts.push_back(std::move(utf8));
  }
  if (decoded) *decoded = std::move(texts);
  return true;
}

// The strict form of GB2312, taken when uchardet names no East Asian
// encoding (it names none, or a single-byte one, for much short GBK text):
// every character is made of two bytes from 0xA1 up, in the symbol rows
// A1-A3 or the hanzi rows B0-F7, so no accent followed by an ASCII letter
// can pass as one. More than half of them must be common (the symbols and
// the first level, rows B0-D7): words of a single-byte Cyrillic or Greek
// text fall on the rare rows. Big5 has no such fallback: its strict form
// takes GB2312 text as well, so it is left to uchardet or the user's choice.
bool StrictGb2312(const std::vector<std::string>& candidates) {
  size_t characters = 0, common = 0;
  for (const std::string& bytes : candidates)
    for (size_t i = 0; i < bytes.size(); ++i) {
      const auto lead = static_cast<unsigned char>(bytes[i]);
      if (lead < 0x80) continue;
      if (i + 1 >= bytes.size()) return false;
      const auto trail = static_cast<unsigned char>(bytes[++i]);
      if (trail < 0xA1 || trail > 0xFE) return false;
      const bool symbol = lead >= 0xA1 && lead <= 0xA3;
      if (!symbol && (lead < 0xB0 || lead > 0xF7)) return false;
      ++characters;
      if (symbol || lead <= 0xD7) ++common;
    }
  return common * 2 > characters;
}

std::string Detect(const std::vector<std::string>& candidates) {
  std::string joined;
  for (const std::string& bytes : candidates) joined += bytes + '\n';
  std::string fed = joined;
  while (fed.size() < DETECTION_BYTES) fed += joined;
  std::unique_ptr<uchardet, void (*)(uchardet_t)> detector(uchardet_new(), uchardet_delete);
  if (!detector || uchardet_handle_data(detector.get(), fed.data(), fed.size()) != 0) return "";
  uchardet_data_end(detector.get());
  const char* name = uchardet_get_charset(detector.get());
  return name ? name : "";
}

// The East Asian encoding the candidates' bytes are in, guessed over all of
// them at once; null when they are not (or too few to tell).
const TLegacyEncoding* Guess(const std::vector<std::string>& candidates,
                             std::vector<std::string>& decoded) {
  size_t high = 0;
  for (const std::string& bytes : candidates)
    for (char c : bytes) high += static_cast<unsigned char>(c) >= 0x80;
  if (high < MIN_LEGACY_BYTES) return nullptr;
  const TLegacyEncoding* named = DetectedEncoding(Detect(candidates));
  if (named && DecodesAsScript(candidates, *named, &decoded)) return named;
  const TLegacyEncoding* gb = EncodingOf(teGbk);
  if (StrictGb2312(candidates) && DecodesAsScript(candidates, *gb, &decoded)) return gb;
  return nullptr;
}

const char* const Names[] = {"auto", "latin1", "gbk", "big5", "shift-jis", "euc-kr"};

}  // namespace

bool ParseTagEncoding(const std::string& name, TTagEncoding& encoding) {
  for (int i = 0; i < 6; ++i)
    if (strcasecmp(name.c_str(), Names[i]) == 0) {
      encoding = static_cast<TTagEncoding>(i);
      return true;
    }
  return false;
}

const char* TagEncodingName(TTagEncoding encoding) {
  return encoding >= teAuto && encoding <= teEucKr ? Names[encoding] : "auto";
}

bool TextToUtf8(const std::string& bytes, TTagEncoding choice, std::string& utf8,
                std::string& encodingTaken, std::string& error) {
  const auto starts = [&bytes](const char* bom, size_t n) {
    return bytes.size() >= n && bytes.compare(0, n, bom, n) == 0;
  };
  if (starts("\xFF\xFE", 2) || starts("\xFE\xFF", 2)) {
    const bool little = bytes[0] == '\xFF';
    if (!Convert(bytes.substr(2), little ? "UTF-16LE" : "UTF-16BE", utf8)) {
      error = "not a text file: invalid UTF-16";
      return false;
    }
    encodingTaken = little ? "UTF-16LE" : "UTF-16BE";
    return true;
  }
  const bool bom = starts("\xEF\xBB\xBF", 3);
  const std::string text = bom ? bytes.substr(3) : bytes;
  // Control bytes other than tab, line and page breaks (and a DOS end of
  // file mark) do not occur in text.
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != 0x1A) {
      error = c == 0 ? "not a text file: it holds NUL bytes" : "not a text file: control bytes";
      return false;
    }
  }
  if (DecodeUtf8(text, nullptr)) {
    utf8 = text;
    encodingTaken = "UTF-8";
    return true;
  }
  if (bom) {
    error = "not a text file: invalid UTF-8 after a UTF-8 byte order mark";
    return false;
  }
  if (choice == teAuto) {
    std::vector<std::string> decoded;
    if (const TLegacyEncoding* e = Guess({text}, decoded)) {
      utf8 = decoded[0];
      encodingTaken = e->Name;
      return true;
    }
  } else if (const TLegacyEncoding* e = EncodingOf(choice)) {
    if (!Convert(text, e->Iconv, utf8)) {
      error = std::string("not a text file in ") + e->Name + ": undecodable bytes";
      return false;
    }
    encodingTaken = e->Name;
    return true;
  }
  // Latin-1 is what is left (auto found no East Asian encoding, or it was
  // chosen); Windows-1252 where it defines the byte.
  if (Convert(text, "CP1252", utf8)) {
    encodingTaken = "WINDOWS-1252";
  } else {
    Convert(text, "ISO-8859-1", utf8);
    encodingTaken = "ISO-8859-1";
  }
  return true;
}

std::string RepairLegacyTags(std::vector<std::pair<std::string, std::string>>& tags,
                             TTagEncoding choice) {
  if (choice == teLatin1) return "";
  // A candidate's bytes: Latin-1 read as such (each code point ≤ U+00FF is
  // one byte again), or raw bytes that are no UTF-8.
  std::vector<size_t> which;
  std::vector<std::string> candidates;
  for (size_t i = 0; i < tags.size(); ++i) {
    const std::string& value = tags[i].second;
    if (!HasHighByte(value)) continue;
    std::u32string cps;
    std::string bytes;
    if (DecodeUtf8(value, &cps)) {
      bool latin1 = true;
      for (char32_t c : cps) {
        if (c > 0xFF) latin1 = false;
        bytes += static_cast<char>(c);
      }
      if (!latin1) continue;
    } else {
      bytes = value;
    }
    which.push_back(i);
    candidates.push_back(std::move(bytes));
  }
  if (candidates.empty()) return "";
  if (choice == teAuto) {
    std::vector<std::string> decoded;
    const TLegacyEncoding* e = Guess(candidates, decoded);
    if (!e) return "";
    for (size_t k = 0; k < which.size(); ++k) tags[which[k]].second = decoded[k];
    return e->Name;
  }
  // A chosen encoding: each value that decodes in it is taken; one that
  // does not stays as it was.
  const TLegacyEncoding* e = EncodingOf(choice);
  if (!e) return "";
  bool changed = false;
  for (size_t k = 0; k < which.size(); ++k) {
    std::string utf8;
    if (!Convert(candidates[k], e->Iconv, utf8) || !DecodeUtf8(utf8, nullptr)) continue;
    tags[which[k]].second = utf8;
    changed = true;
  }
  return changed ? e->Name : "";
}
