// Placeholder: valid UTF-8 passes, everything else is refused; the detection
// comes with uchardet.
#include "LegacyText.h"

#include <strings.h>

namespace {
bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
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

const char* TagEncodingName(TTagEncoding encoding) { return Names[encoding]; }

bool TextToUtf8(const std::string& bytes, TTagEncoding, std::string& utf8,
                std::string& encodingTaken, std::string& error) {
  std::string text = bytes;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  if (text.find('\0') != std::string::npos || !ValidUtf8(text)) {
    error = "not a text file";
    return false;
  }
  utf8 = text;
  encodingTaken = "UTF-8";
  return true;
}

std::string RepairLegacyTags(std::vector<std::pair<std::string, std::string>>&, TTagEncoding) {
  return "";
}
