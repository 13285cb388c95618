// Several formats in one batch: the list of formats the user gives, and
// what may be written together.
#include <algorithm>
#include <array>
#include <cctype>

#include "Batch.h"
#include "Text.h"

bool AudioOnlyFormat(const std::string& format) {
  static constexpr std::array<const char*, 11> audio = {
      "wav", "mp3", "mp2", "aac", "wma", "ogg", "ac3", "opus", "vorbis", "flac", "m4a"};
  return ItemIndex(audio, format) >= 0;
}

std::vector<std::string> FormatsOf(const TBatchChoices& choices) {
  std::vector<std::string> formats = {choices.Format};
  formats.insert(formats.end(), choices.MoreFormats.begin(), choices.MoreFormats.end());
  return formats;
}

std::string FormatFolder(const std::string& format) {
  std::string folder = Trim(format);
  for (char& c : folder) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folder;
}

bool CheckFormats(const std::vector<std::string>& formats, std::string& why) {
  if (formats.empty()) {
    why = "no output format given";
    return false;
  }
  std::vector<std::string> seen;
  for (const std::string& format : formats) {
    if (Trim(format).empty()) {
      why = "an empty item in the list of formats";
      return false;
    }
    if (ItemIndex(FormatItems, Trim(format)) < 0) {
      why = "unknown format '" + Trim(format) + "'";
      return false;
    }
    const std::string folder = FormatFolder(format);
    if (std::find(seen.begin(), seen.end(), folder) != seen.end()) {
      why = "the format '" + Trim(format) + "' is given twice";
      return false;
    }
    seen.push_back(folder);
  }
  if (formats.size() > 1)
    for (const std::string& format : formats)
      if (!AudioOnlyFormat(Trim(format))) {
        why = "'" + Trim(format) +
              "' holds pictures: several formats at once are for the sound formats (" +
              "AAC, AC3, FLAC, M4A, MP2, MP3, OGG, OPUS, VORBIS, WAV, WMA)";
        return false;
      }
  return true;
}

bool SetFormatList(TBatchChoices& choices, const std::string& list, std::string& why) {
  std::vector<std::string> formats;
  size_t at = 0;
  for (;;) {
    const size_t comma = list.find(',', at);
    formats.push_back(Trim(list.substr(at, comma == std::string::npos ? std::string::npos
                                                                       : comma - at)));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  if (!CheckFormats(formats, why)) return false;
  choices.Format = formats.front();
  choices.MoreFormats.assign(formats.begin() + 1, formats.end());
  return true;
}
