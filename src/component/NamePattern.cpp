// Name patterns: parsing once, expanding per source into safe names.
#include "NamePattern.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cctype>

#include "Text.h"

namespace {

enum TField : int {
  nfTitle,
  nfArtist,
  nfAlbum,
  nfAlbumArtist,
  nfTrack,
  nfDisc,
  nfYear,
  nfGenre,
  nfComposer,
  nfName,
  nfFolder,
  nfSubPath
};
constexpr std::array<const char*, 12> FieldNames = {"title",    "artist", "album",  "albumartist",
                                                    "track",    "disc",   "year",   "genre",
                                                    "composer", "name",   "folder", "subpath"};

// The tag keys each field reads, first found first (the probe's keys for
// ID3, Vorbis comments, MP4 and APE, and the cue tracks' own).
const char* const TitleKeys[] = {"title", nullptr};
const char* const ArtistKeys[] = {"artist", "performer", nullptr};
const char* const AlbumKeys[] = {"album", nullptr};
const char* const AlbumArtistKeys[] = {"album_artist", "albumartist", "album artist", nullptr};
const char* const TrackKeys[] = {"track", "tracknumber", nullptr};
const char* const DiscKeys[] = {"disc", "discnumber", nullptr};
const char* const YearKeys[] = {"date", "year", "originaldate", nullptr};
const char* const GenreKeys[] = {"genre", nullptr};
const char* const ComposerKeys[] = {"composer", nullptr};
const char* const* const AllKeys[] = {TitleKeys, ArtistKeys, AlbumKeys, AlbumArtistKeys, TrackKeys,
                                      DiscKeys,  YearKeys,   GenreKeys, ComposerKeys};

// Separates the sub-path's folders inside one expanded component until the
// component is split; control characters never survive in values, so this
// one cannot come from a tag.
constexpr char FolderMark = '\x01';

std::string TagOf(const TNameSource& source, const char* const* keys) {
  for (; *keys; ++keys) {
    const auto found = source.Tags.find(*keys);
    if (found != source.Tags.end()) {
      const std::string value = Trim(found->second);
      if (!value.empty()) return value;
    }
  }
  return "";
}



std::string FolderNameOf(const std::string& path) {
  std::string folder;
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos) folder = path.substr(0, slash);
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  return NameOf(folder);
}

// "3" of "3/12" and of " 03 "; the text itself when it starts with no digit.
std::string NumberPart(const std::string& value) {
  size_t end = 0;
  while (end < value.size() && std::isdigit(static_cast<unsigned char>(value[end]))) ++end;
  if (end == 0) return value;
  std::string number = value.substr(0, end);
  const size_t nonZero = number.find_first_not_of('0');
  return nonZero == std::string::npos ? "0" : number.substr(nonZero);
}

std::string YearPart(const std::string& value) {
  if (value.size() >= 4 &&
      std::all_of(value.begin(), value.begin() + 4, [](char c) { return c >= '0' && c <= '9'; }))
    return value.substr(0, 4);
  return value;
}

std::string FieldValue(int field, const TNameSource& source) {
  std::string value;
  switch (field) {
    case nfTitle:
      value = TagOf(source, TitleKeys);
      if (value.empty()) value = FieldValue(nfName, source);
      return value;
    case nfArtist:
      value = TagOf(source, ArtistKeys);
      if (value.empty()) value = TagOf(source, AlbumArtistKeys);
      return value.empty() ? "Unknown Artist" : value;
    case nfAlbumArtist:
      value = TagOf(source, AlbumArtistKeys);
      if (value.empty()) value = TagOf(source, ArtistKeys);
      return value.empty() ? "Unknown Artist" : value;
    case nfAlbum:
      value = TagOf(source, AlbumKeys);
      return value.empty() ? "Unknown Album" : value;
    case nfTrack:
      return NumberPart(TagOf(source, TrackKeys));
    case nfDisc:
      return NumberPart(TagOf(source, DiscKeys));
    case nfYear:
      value = YearPart(TagOf(source, YearKeys));
      return value.empty() ? "Unknown Year" : value;
    case nfGenre:
      value = TagOf(source, GenreKeys);
      return value.empty() ? "Unknown Genre" : value;
    case nfComposer:
      value = TagOf(source, ComposerKeys);
      return value.empty() ? "Unknown Composer" : value;
    case nfName:
      return source.Name.empty() ? WithoutExtension(NameOf(source.Path)) : source.Name;
    case nfFolder:
      return FolderNameOf(source.Path);
    default:
      return "";
  }
}

// The byte length of the UTF-8 character at text[i]; 0 for a byte that
// starts none (a stray continuation, an overlong or cut sequence).
size_t Utf8Length(const std::string& text, size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  size_t length = lead < 0x80                   ? 1
                  : lead >= 0xC2 && lead < 0xE0 ? 2
                  : lead >= 0xE0 && lead < 0xF0 ? 3
                  : lead >= 0xF0 && lead < 0xF5 ? 4
                                                : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k)
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  const auto second = static_cast<unsigned char>(text[i + 1 < text.size() ? i + 1 : i]);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xF0 && second < 0x90) ||
      (lead == 0xF4 && second >= 0x90) || (lead == 0xED && second >= 0xA0))
    return 0;  // overlong, past U+10FFFF, or a surrogate
  return length;
}

// A value's characters that no file system of a player takes become "_":
// the ones Windows and FAT refuse, control characters (C0, DEL, C1) and
// bytes that are not UTF-8. keepMark keeps the sub-path's folder marks.
std::string ReplaceRefused(const std::string& text, bool keepMark = false) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t length = Utf8Length(text, i);
    const auto c = static_cast<unsigned char>(text[i]);
    if (length == 0) {
      out += '_';
      ++i;
      continue;
    }
    if (length == 1) {
      const bool refused =
          (c < 0x20 && !(keepMark && c == FolderMark)) || c == 0x7F ||
          std::string("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string::npos;
      out += refused ? '_' : static_cast<char>(c);
    } else if (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      out += '_';  // U+0080..U+009F
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  return out;
}

bool IsTrimmed(char c) { return c == ' ' || c == '.'; }

std::string TrimEnds(const std::string& text) {
  size_t first = 0, last = text.size();
  while (first < last && IsTrimmed(text[first])) ++first;
  while (last > first && IsTrimmed(text[last - 1])) --last;
  return text.substr(first, last - first);
}

// Names Windows keeps for devices, whatever their extension.
bool IsDeviceName(const std::string& name) {
  const std::string stem = LowerCase(name.substr(0, name.find('.')));
  for (const char* device : {"con", "prn", "aux", "nul"})
    if (Trim(stem) == device) return true;
  return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
         stem[3] >= '1' && stem[3] <= '9';
}

}  // namespace

std::string SafeNameComponent(const std::string& text, size_t limit) {
  std::string name = TrimEnds(ReplaceRefused(text));
  if (IsDeviceName(name)) name.insert(std::min(name.find('.'), name.size()), "_");
  name = TrimEnds(CutUtf8(name, std::max<size_t>(limit, 1)));
  return name.empty() ? "_" : name;
}

std::string NameFieldsText() {
  std::string text;
  for (const char* name : FieldNames) text += (text.empty() ? "" : ", ") + std::string(name);
  return text;
}

bool IsNameTag(const std::string& key) {
  for (const char* const* keys : AllKeys)
    for (const char* const* k = keys; *k; ++k)
      if (key == *k) return true;
  return false;
}

bool TNamePattern::Parse(const std::string& text, std::string& why) {
  if (Trim(text).empty()) {
    why = "the name pattern is empty";
    return false;
  }
  if (text.front() == '/') {
    why = "the name pattern '" + text + "' starts with '/': it is a name below the output folder";
    return false;
  }
  std::vector<std::vector<TPiece>> parts(1);
  std::string literal;  // of the current component
  const auto endLiteral = [&] {
    if (!literal.empty()) parts.back().push_back({-1, literal, 0});
    literal.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '{' && i + 1 < text.size() && text[i + 1] == '{') {
      literal += '{';
      ++i;
    } else if (c == '}' && i + 1 < text.size() && text[i + 1] == '}') {
      literal += '}';
      ++i;
    } else if (c == '}') {
      why = "the name pattern '" + text + "' has a '}' without its '{' (write '}}' for a brace)";
      return false;
    } else if (c == '{') {
      const size_t close = text.find_first_of("{}", i + 1);
      if (close == std::string::npos || text[close] != '}') {
        why = "the name pattern '" + text + "' has a '{' without its '}' (write '{{' for a brace)";
        return false;
      }
      const std::string inside = text.substr(i + 1, close - i - 1);
      const size_t colon = inside.find(':');
      const std::string name = LowerCase(Trim(inside.substr(0, colon)));
      const auto field = std::find_if(FieldNames.begin(), FieldNames.end(),
                                      [&name](const char* f) { return name == f; });
      if (field == FieldNames.end()) {
        why = "unknown field '{" + inside + "}' in the name pattern; the fields are " +
              NameFieldsText();
        return false;
      }
      int width = 0;
      if (colon != std::string::npos) {
        const std::string spec = Trim(inside.substr(colon + 1));
        if (spec.empty() || spec.size() > 2 ||
            !std::all_of(spec.begin(), spec.end(), [](char d) { return d >= '0' && d <= '9'; }) ||
            std::stoi(spec) == 0) {
          why =
              "the field '{" + inside +
              "}' of the name pattern needs a width of 1 to 99 digits after ':', as in {track:02}";
          return false;
        }
        width = std::stoi(spec);
      }
      endLiteral();
      parts.back().push_back({static_cast<int>(field - FieldNames.begin()), "", width});
      i = close;
    } else if (c == '/') {
      endLiteral();
      parts.emplace_back();
    } else {
      literal += c;
    }
  }
  endLiteral();
  for (size_t k = 0; k < parts.size(); ++k) {
    const std::vector<TPiece>& part = parts[k];
    const bool last = k + 1 == parts.size();
    if (part.empty()) {
      why = last ? "the name pattern '" + text + "' ends with '/': it names no file"
                 : "the name pattern '" + text + "' has an empty folder name ('//')";
      return false;
    }
    if (part.size() == 1 && part[0].Field < 0 &&
        (Trim(part[0].Text) == "." || Trim(part[0].Text) == "..")) {
      why = "the name pattern '" + text + "' has a '" + Trim(part[0].Text) +
            "' folder: names stay below the output folder";
      return false;
    }
  }
  Parts = std::move(parts);
  FText = text;
  return true;
}

std::string TNamePattern::Expand(const TNameSource& source, size_t componentLimit) const {
  std::vector<std::string> components;
  for (size_t k = 0; k < Parts.size(); ++k) {
    const std::vector<TPiece>& part = Parts[k];
    std::string text;
    bool onlySubPath = true;
    for (const TPiece& piece : part) {
      if (piece.Field < 0) {
        text += ReplaceRefused(piece.Text);
        onlySubPath = false;
        continue;
      }
      if (piece.Field != nfSubPath) onlySubPath = false;
      if (piece.Field == nfSubPath) {
        // Its own folders are kept: each safe, "", "." and ".." dropped.
        std::string folders;
        size_t start = 0;
        while (start <= source.SubPath.size()) {
          size_t end = source.SubPath.find('/', start);
          if (end == std::string::npos) end = source.SubPath.size();
          const std::string folder = source.SubPath.substr(start, end - start);
          if (!TrimEnds(folder).empty())
            folders += (folders.empty() ? "" : std::string(1, FolderMark)) + ReplaceRefused(folder);
          start = end + 1;
        }
        text += folders;
        continue;
      }
      std::string value = ReplaceRefused(FieldValue(piece.Field, source));
      const bool number = !value.empty() && std::all_of(value.begin(), value.end(), [](char d) {
        return d >= '0' && d <= '9';
      });
      if (number && value.size() < static_cast<size_t>(piece.Width))
        value.insert(0, static_cast<size_t>(piece.Width) - value.size(), '0');
      text += value;
    }
    // A "{subpath}" folder of a file at the top of the folder given vanishes.
    if (onlySubPath && text.empty() && k + 1 < Parts.size()) continue;
    size_t start = 0;
    while (true) {
      const size_t mark = text.find(FolderMark, start);
      components.push_back(text.substr(start, mark == std::string::npos ? mark : mark - start));
      if (mark == std::string::npos) break;
      start = mark + 1;
    }
  }
  std::string path;
  for (size_t k = 0; k < components.size(); ++k)
    path += (k == 0 ? "" : "/") + SafeNameComponent(components[k], componentLimit);
  return path;
}
