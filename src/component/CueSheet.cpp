// Cue sheets read with libcue, checked line by line (see CueSheet.h).
#include "CueSheet.h"

#include <FLAC/metadata.h>
#include <libcue.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cctype>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>

#include "SourceFile.h"
#include "Text.h"

namespace {

// libcue's parser and scanner keep global state.
std::mutex CueLock;

struct TCdDeleter {
  void operator()(Cd* cd) const { cd_delete(cd); }
};
using CdPtr = std::unique_ptr<Cd, TCdDeleter>;

// libcue recovers from a syntax error by dropping the line, and tells only
// stderr. Its messages are taken (the stdio stream swapped for a buffer while
// the lock is held) to learn whether the text parsed cleanly, and so that
// they do not reach the terminal.
CdPtr ParseLocked(const std::string& text, bool* clean = nullptr) {
  std::lock_guard<std::mutex> lock(CueLock);
  char* said = nullptr;
  size_t saidSize = 0;
  FILE* buffer = open_memstream(&said, &saidSize);
  FILE* const terminal = stderr;
  if (buffer) stderr = buffer;
  CdPtr cd(cue_parse_string(text.c_str()));
  if (buffer) {
    stderr = terminal;
    std::fclose(buffer);
  }
  if (clean) *clean = cd && !(said && std::strstr(said, "syntax error"));
  std::free(said);
  return cd;
}



std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string LineError(int line, const std::string& text) {
  return StrFormat("cue sheet line %d: %s", line, text.c_str());
}

std::string FrameTime(int64_t frames) {
  return StrFormat("%02lld:%02lld:%02lld", static_cast<long long>(frames / 75 / 60),
                   static_cast<long long>(frames / 75 % 60), static_cast<long long>(frames % 75));
}

// libcue keeps a quoted string's escapes.
std::string Unescape(const char* text) {
  std::string out;
  if (!text) return out;
  for (const char* p = text; *p; ++p) {
    if (*p == '\\' && (p[1] == '"' || p[1] == '\\')) ++p;
    out += *p;
  }
  return Trim(out);
}

// The rest of a line after its command: a quoted string, or the words.
std::string Argument(const std::string& rest) {
  const std::string t = Trim(rest);
  if (t.size() >= 2 && t.front() == '"') {
    const size_t close = t.find('"', 1);
    return close == std::string::npos ? t.substr(1) : t.substr(1, close - 1);
  }
  return t;
}

// A FILE line's name: quoted, or everything before the last word (the type).
std::string FileArgument(const std::string& rest) {
  const std::string t = Trim(rest);
  if (!t.empty() && t.front() == '"') return Argument(t);
  const size_t space = t.find_last_of(" \t");
  return space == std::string::npos ? t : Trim(t.substr(0, space));
}

// What the line scan learns of one track.
struct TScanTrack {
  int Line = 0;
  int Number = 0;
  int File = -1;        // index of the FILE active at its INDEX 01
  int File0 = -1;       // ... at its INDEX 00
  bool HasIndex1 = false;
};

struct TScan {
  std::vector<std::string> Lines;
  std::vector<std::string> Files;  // as written
  std::vector<int> FileLines;
  std::vector<TScanTrack> Tracks;
  std::string Catalog, Genre, DiscId, Comment, DiscNumber, TotalDiscs;
};

bool ParseTime(const std::string& text, int64_t& frames) {
  static const std::regex time(R"(^([0-9]{1,4}):([0-9]{1,2}):([0-9]{1,2})$)");
  std::smatch m;
  if (!std::regex_match(text, m, time)) return false;
  const int64_t seconds = std::stoll(m[2]), frame = std::stoll(m[3]);
  if (seconds >= 60 || frame >= 75) return false;
  frames = (std::stoll(m[1]) * 60 + seconds) * 75 + frame;
  return true;
}

// The scan of the lines: what libcue leaves out, and the checks libcue
// would pass over silently (it skips characters it does not know).
bool ScanLines(TScan& scan, std::string& error) {
  int current = -1;
  for (size_t i = 0; i < scan.Lines.size(); ++i) {
    const int line = static_cast<int>(i) + 1;
    std::istringstream words(scan.Lines[i]);
    std::string command;
    words >> command;
    command = Upper(command);
    std::string rest;
    std::getline(words, rest);
    if (command == "FILE") {
      scan.Files.push_back(FileArgument(rest));
      scan.FileLines.push_back(line);
      current = static_cast<int>(scan.Files.size()) - 1;
    } else if (command == "TRACK") {
      if (current < 0) return error = LineError(line, "TRACK before any FILE"), false;
      if (static_cast<int>(scan.Tracks.size()) >= MAX_CUE_TRACKS)
        return error = LineError(line, StrFormat("more than %d tracks", MAX_CUE_TRACKS)), false;
      TScanTrack track;
      track.Line = line;
      track.Number = std::atoi(Trim(rest).c_str());
      if (track.Number < 1 || track.Number > MAX_CUE_TRACKS)
        return error = LineError(line, "track number '" + Trim(rest) + "' is not 1 to 99"), false;
      scan.Tracks.push_back(track);
    } else if (command == "INDEX") {
      if (scan.Tracks.empty()) return error = LineError(line, "INDEX before any TRACK"), false;
      std::string number, time;
      std::istringstream parts(rest);
      parts >> number >> time;
      int64_t frames = 0;
      if (number.empty() || number.size() > 2 ||
          number.find_first_not_of("0123456789") != std::string::npos)
        return error = LineError(line, "index number '" + number + "' is not 0 to 99"), false;
      if (!ParseTime(time, frames))
        return error = LineError(line, "INDEX time '" + time + "' is not mm:ss:ff"), false;
      const int n = std::atoi(number.c_str());
      if (n == 0) scan.Tracks.back().File0 = current;
      if (n == 1) {
        scan.Tracks.back().File = current;
        scan.Tracks.back().HasIndex1 = true;
      }
    } else if (command == "CATALOG" && scan.Tracks.empty()) {
      scan.Catalog = Argument(rest);
    } else if (command == "REM" && scan.Tracks.empty()) {
      std::istringstream remWords(rest);
      std::string key, value;
      remWords >> key;
      std::getline(remWords, value);
      key = Upper(key);
      value = Argument(value);
      if (key == "GENRE") scan.Genre = value;
      if (key == "DISCID") scan.DiscId = value;
      if (key == "COMMENT") scan.Comment = value;
      if (key == "DISCNUMBER") scan.DiscNumber = value;
      if (key == "TOTALDISCS") scan.TotalDiscs = value;
    }
  }
  if (scan.Tracks.empty()) return error = "cue sheet holds no tracks", false;
  for (const TScanTrack& track : scan.Tracks)
    if (!track.HasIndex1)
      return error = LineError(track.Line, StrFormat("track %02d has no INDEX 01", track.Number)),
             false;
  return true;
}

std::string Joined(const std::vector<std::string>& lines, size_t count) {
  std::string text;
  for (size_t i = 0; i < count && i < lines.size(); ++i) text += lines[i] + "\n";
  return text;
}

// The first line libcue cannot take: the shortest prefix of whole lines
// that no ending completes into a sheet it parses. A prefix is "alive"
// while some ending makes it parse (it may end inside the header or a track).
int FailingLine(const std::vector<std::string>& lines) {
  static const char* const endings[] = {"", "    INDEX 01 00:00:00\n",
                                        "  TRACK 99 AUDIO\n    INDEX 01 00:00:00\n",
                                        "FILE \"x.wav\" WAVE\n  TRACK 99 AUDIO\n"
                                        "    INDEX 01 00:00:00\n"};
  const auto alive = [&lines](size_t count) {
    const std::string prefix = Joined(lines, count);
    for (const char* ending : endings) {
      bool clean = false;
      ParseLocked(prefix + ending, &clean);
      if (clean) return true;
    }
    return false;
  };
  size_t low = 0, high = lines.size();  // alive(low); the answer lies in (low, high]
  while (high - low > 1) {
    const size_t middle = low + (high - low) / 2;
    if (alive(middle))
      low = middle;
    else
      high = middle;
  }
  return static_cast<int>(high);
}

bool InsideFolder(const std::string& name) {
  if (name.empty() || name.front() == '/') return false;
  if (name.size() >= 2 && name[1] == ':') return false;  // "C:\..."
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    start = end + 1;
  }
  return true;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A sheet often names the image it was ripped to ("x.wav") while the file
// beside it was compressed since ("x.flac").
std::string FindAudio(const std::string& path) {
  if (Exists(path)) return path;
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const std::string base =
      dot == std::string::npos || (slash != std::string::npos && dot < slash) ? path
                                                                              : path.substr(0, dot);
  for (const char* ext : {".flac", ".ape", ".wv", ".wav", ".tta", ".tak", ".m4a", ".ogg", ".opus",
                          ".mp3", ".FLAC", ".APE", ".WV", ".WAV"})
    if (Exists(base + ext)) return base + ext;
  return "";
}

}  // namespace

std::string CueAudioPath(const std::string& cuePath, const std::string& name) {
  std::string relative = name;
  std::replace(relative.begin(), relative.end(), '\\', '/');
  if (!InsideFolder(relative)) return "";
  return FindAudio(FolderOf(cuePath) + "/" + relative);
}

namespace {

bool CheckFiles(TCueSheet& sheet, const TScan& scan, std::string& error) {
  const std::string folder = FolderOf(sheet.Path);
  TFileIdentity cue;
  const bool cueKnown = ReadFileIdentity(sheet.Path, cue);
  for (size_t i = 0; i < scan.Files.size(); ++i) {
    std::string name = scan.Files[i];
    std::replace(name.begin(), name.end(), '\\', '/');  // written on Windows
    const int line = scan.FileLines[i];
    if (!InsideFolder(name))
      return error = LineError(line, "FILE '" + scan.Files[i] + "' lies outside the cue's folder"),
             false;
    const std::string found = FindAudio(folder + "/" + name);
    if (found.empty())
      return error = LineError(line, "FILE '" + scan.Files[i] + "' is missing"), false;
    TFileIdentity audio;
    if (cueKnown && ReadFileIdentity(found, audio) && audio.SameFile(cue))
      return error = LineError(line, "FILE names the cue sheet itself"), false;
    sheet.Files[i] = found;
  }
  return true;
}

// Tracks of one file must follow each other: INDEX 01 after the previous
// track's, INDEX 00 between the two.
bool CheckOrder(const TCueSheet& sheet, std::string& error) {
  for (size_t i = 0; i < sheet.Tracks.size(); ++i) {
    const TCueTrack& track = sheet.Tracks[i];
    const int line = track.Line;
    if (track.Index0 >= 0 && track.Index0 > track.Index1)
      return error = LineError(line, StrFormat("track %02d: INDEX 00 (%s) after INDEX 01 (%s)",
                                               track.Number, FrameTime(track.Index0).c_str(),
                                               FrameTime(track.Index1).c_str())),
             false;
    for (size_t j = i; j-- > 0;) {
      const TCueTrack& before = sheet.Tracks[j];
      if (before.File != track.File) continue;
      if (track.Index1 <= before.Index1 || (track.Index0 >= 0 && track.Index0 <= before.Index1))
        return error = LineError(
                   line, StrFormat("track %02d starts at %s, before track %02d (%s) ends",
                                   track.Number,
                                   FrameTime(track.Index0 >= 0 ? track.Index0 : track.Index1).c_str(),
                                   before.Number, FrameTime(before.Index1).c_str())),
               false;
      break;
    }
  }
  return true;
}

std::string CdText(const Cdtext* text, Pti pti) {
  return text ? Unescape(cdtext_get(pti, text)) : std::string();
}

}  // namespace

bool IsCuePath(const std::string& path) {
  return path.size() > 4 && strcasecmp(path.c_str() + path.size() - 4, ".cue") == 0;
}

bool ParseCueText(const std::string& input, const std::string& cuePath, bool checkFiles,
                  TCueSheet& sheet, std::string& error) {
  sheet = TCueSheet();
  sheet.Path = cuePath;
  if (input.find('\0') != std::string::npos) return error = "cue sheet is not text", false;
  // One line ending, a last line ending (libcue needs both), no byte order mark.
  std::string text = input.compare(0, 3, "\xEF\xBB\xBF") == 0 ? input.substr(3) : input;
  TScan scan;
  {
    std::string line;
    for (size_t i = 0; i <= text.size(); ++i) {
      if (i == text.size() || text[i] == '\n' || text[i] == '\r') {
        if (i < text.size() && text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        if (i < text.size() || !line.empty()) scan.Lines.push_back(line);
        line.clear();
      } else {
        line += text[i];
      }
    }
  }
  const bool linesRead = ScanLines(scan, error);
  sheet.Files = scan.Files;  // as written: a caller that lists images whole after a failure
  if (!linesRead) return false;
  const std::string normal = Joined(scan.Lines, scan.Lines.size());
  bool clean = false;
  CdPtr cd = ParseLocked(normal, &clean);
  if (!clean) {
    const int line = FailingLine(scan.Lines);
    const std::string& what = scan.Lines[static_cast<size_t>(line) - 1];
    return error = LineError(line, "cannot be parsed: '" + Trim(what) + "'"), false;
  }
  const int count = [&cd] {
    std::lock_guard<std::mutex> lock(CueLock);
    return cd_get_ntrack(cd.get());
  }();
  if (count != static_cast<int>(scan.Tracks.size()))
    return error = LineError(scan.Tracks.back().Line, "the tracks cannot be told apart"), false;

  sheet.Files = scan.Files;
  sheet.FileLines = scan.FileLines;
  if (checkFiles && !CheckFiles(sheet, scan, error)) return false;
  {
    std::lock_guard<std::mutex> lock(CueLock);
    const Cdtext* album = cd_get_cdtext(cd.get());
    sheet.Title = CdText(album, PTI_TITLE);
    sheet.Performer = CdText(album, PTI_PERFORMER);
    sheet.Songwriter = CdText(album, PTI_SONGWRITER);
    sheet.Genre = CdText(album, PTI_GENRE);
    if (Rem* rem = cd_get_rem(cd.get())) sheet.Date = Unescape(rem_get(REM_DATE, rem));
    for (int i = 0; i < count; ++i) {
      const Track* t = cd_get_track(cd.get(), i + 1);
      const TScanTrack& scanned = scan.Tracks[static_cast<size_t>(i)];
      TCueTrack track;
      track.Number = scanned.Number;
      track.Line = scanned.Line;
      track.File = sheet.Files[static_cast<size_t>(scanned.File)];
      track.Index1 = track_get_index(t, 1);
      // A pregap written in the file before (one file per track, gaps
      // appended) is part of that file's last track.
      if (scanned.File0 == scanned.File) track.Index0 = track_get_index(t, 0);
      const Cdtext* trackText = track_get_cdtext(t);
      track.Title = CdText(trackText, PTI_TITLE);
      track.Performer = CdText(trackText, PTI_PERFORMER);
      track.Songwriter = CdText(trackText, PTI_SONGWRITER);
      track.Isrc = Unescape(track_get_isrc(t));
      sheet.Tracks.push_back(track);
    }
  }
  sheet.Catalog = scan.Catalog;
  if (sheet.Genre.empty()) sheet.Genre = scan.Genre;
  sheet.DiscId = scan.DiscId;
  sheet.Comment = scan.Comment;
  sheet.DiscNumber = std::max(0, std::atoi(scan.DiscNumber.c_str()));
  sheet.TotalDiscs = std::max(0, std::atoi(scan.TotalDiscs.c_str()));
  if (!CheckOrder(sheet, error)) return false;
  if (sheet.DiscNumber == 0) sheet.DiscNumber = CueDiscNumber(sheet);
  return true;
}

bool ReadCueFile(const std::string& path, TTagEncoding encoding, TCueSheet& sheet,
                 std::string& error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return error = "cue sheet '" + path + "' cannot be read", false;
  if (st.st_size > MAX_CUE_BYTES)
    return error = StrFormat("cue sheet '%s' is too large (%lld bytes; at most 1 MiB)",
                             path.c_str(), static_cast<long long>(st.st_size)),
           false;
  std::ifstream file(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (!file.good() && !file.eof()) return error = "cue sheet '" + path + "' cannot be read", false;
  std::string utf8, taken, why;
  if (!TextToUtf8(bytes, encoding, utf8, taken, why))
    return error = "cue sheet '" + path + "' is not text: " + why, false;
  if (!ParseCueText(utf8, path, true, sheet, error)) {
    error = "'" + path + "': " + error;
    return false;
  }
  sheet.Encoding = taken;
  return true;
}

bool ReadEmbeddedCue(const std::string& flacPath, const std::string& tagText, TCueSheet& sheet,
                     bool& found, std::string& error) {
  found = false;
  std::string text = tagText;
  if (text.empty()) {
    FLAC__StreamMetadata* tags = nullptr;
    if (FLAC__metadata_get_tags(flacPath.c_str(), &tags) && tags) {
      const FLAC__StreamMetadata_VorbisComment& vc = tags->data.vorbis_comment;
      for (FLAC__uint32 i = 0; i < vc.num_comments && text.empty(); ++i) {
        const std::string entry(reinterpret_cast<const char*>(vc.comments[i].entry),
                                vc.comments[i].length);
        if (entry.size() > 9 && strncasecmp(entry.c_str(), "CUESHEET=", 9) == 0)
          text = entry.substr(9);
      }
      FLAC__metadata_object_delete(tags);
    }
  }
  if (!text.empty()) {
    found = true;
    std::string utf8, taken, why;
    if (!TextToUtf8(text, teAuto, utf8, taken, why))
      return error = "the cuesheet tag of '" + flacPath + "' is not text: " + why, false;
    if (!ParseCueText(utf8, flacPath, false, sheet, error)) {
      error = "the cuesheet tag of '" + flacPath + "': " + error;
      return false;
    }
    if (sheet.Files.size() > 1)
      return error = StrFormat("the cuesheet tag of '%s' names %zu files", flacPath.c_str(),
                               sheet.Files.size()),
             false;
    for (TCueTrack& track : sheet.Tracks) track.File = flacPath;
    sheet.Files = {flacPath};
    sheet.Embedded = true;
    sheet.Encoding = taken;
    return true;
  }

  FLAC__StreamMetadata* block = nullptr;
  if (!FLAC__metadata_get_cuesheet(flacPath.c_str(), &block) || !block) return false;
  std::unique_ptr<FLAC__StreamMetadata, void (*)(FLAC__StreamMetadata*)> owner(
      block, FLAC__metadata_object_delete);
  FLAC__StreamMetadata info;
  if (!FLAC__metadata_get_streaminfo(flacPath.c_str(), &info) ||
      info.data.stream_info.sample_rate == 0)
    return false;
  const uint64_t rate = info.data.stream_info.sample_rate;
  const FLAC__StreamMetadata_CueSheet& cue = block->data.cue_sheet;
  sheet = TCueSheet();
  sheet.Path = flacPath;
  sheet.Embedded = true;
  sheet.Files = {flacPath};
  sheet.FileLines = {0};
  sheet.Catalog = Trim(std::string(cue.media_catalog_number,
                                   strnlen(cue.media_catalog_number, sizeof(cue.media_catalog_number))));
  for (FLAC__uint32 i = 0; i < cue.num_tracks; ++i) {
    const FLAC__StreamMetadata_CueSheet_Track& t = cue.tracks[i];
    if (t.number == 170 || t.number == 255 || t.number == 0) continue;  // the lead-out
    if (t.type != 0) continue;                                          // a data track
    TCueTrack track;
    track.Number = t.number;
    track.File = flacPath;
    track.Isrc = Trim(std::string(t.isrc, strnlen(t.isrc, sizeof(t.isrc))));
    bool hasIndex1 = false;
    for (FLAC__byte k = 0; k < t.num_indices; ++k) {
      const uint64_t sample = t.offset + t.indices[k].offset;
      // Frames as a sheet would have them; the exact samples stay.
      const auto frames = static_cast<int64_t>(sample * 75 / rate);
      if (t.indices[k].number == 0) {
        track.Index0 = frames;
        track.Sample0 = static_cast<int64_t>(sample);
      } else if (t.indices[k].number == 1) {
        track.Index1 = frames;
        track.Sample1 = static_cast<int64_t>(sample);
        hasIndex1 = true;
      }
    }
    if (hasIndex1) sheet.Tracks.push_back(track);
  }
  if (sheet.Tracks.empty()) return false;
  found = true;
  if (sheet.Tracks.size() > static_cast<size_t>(MAX_CUE_TRACKS))
    return error = "the CUESHEET block of '" + flacPath + "' holds more than 99 tracks", false;
  if (!CheckOrder(sheet, error)) {
    error = "the CUESHEET block of '" + flacPath + "': " + error;
    return false;
  }
  sheet.DiscNumber = CueDiscNumber(sheet);
  return true;
}

int DiscNumberFromName(const std::string& folderName) {
  static const std::regex disc(R"((?:^|[^a-z0-9])(?:cd|disc|disk)[ _.\-]*([0-9]{1,3})$)",
                               std::regex::icase);
  std::smatch m;
  const std::string name = Trim(folderName);
  if (!std::regex_search(name, m, disc)) return 0;
  return std::atoi(m[1].str().c_str());
}

int CueDiscNumber(const TCueSheet& sheet) {
  if (sheet.DiscNumber > 0) return sheet.DiscNumber;
  const int fromCue = DiscNumberFromName(NameOf(FolderOf(sheet.Path)));
  if (fromCue > 0 || sheet.Files.empty()) return fromCue;
  return DiscNumberFromName(NameOf(FolderOf(sheet.Files.front())));
}

bool TrackRanges(const TCueSheet& sheet, const std::map<std::string, TCueAudio>& audio,
                 bool gapsAtStart, std::vector<TTrackRange>& ranges, std::string& error) {
  ranges.assign(sheet.Tracks.size(), TTrackRange());
  const auto where = [&sheet](const TCueTrack& t) {
    return t.Line > 0 ? StrFormat("cue sheet line %d: ", t.Line)
                      : std::string("'" + sheet.Path + "': ");
  };
  for (size_t i = 0; i < sheet.Tracks.size(); ++i) {
    const TCueTrack& track = sheet.Tracks[i];
    const auto found = audio.find(track.File);
    if (found == audio.end() || found->second.SampleRate <= 0)
      return error = where(track) + "the sample rate of '" + track.File + "' is unknown", false;
    const TCueAudio& file = found->second;
    // INDEX × rate / 75: exact for the rates that are multiples of 75 (44.1, 48, 96 kHz).
    const auto at = [&file](int64_t frames, int64_t samples) {
      return samples >= 0 ? samples : frames * file.SampleRate / 75;
    };
    const auto start = [&](const TCueTrack& t) {
      return gapsAtStart && t.Index0 >= 0 ? at(t.Index0, t.Sample0) : at(t.Index1, t.Sample1);
    };
    TTrackRange& range = ranges[i];
    range.First = start(track);
    const int64_t index1 = at(track.Index1, track.Sample1);
    if (file.Samples >= 0 && index1 >= file.Samples)
      return error = where(track) +
                     StrFormat("track %02d starts at %s, past the end of '%s' (%s)", track.Number,
                               FrameTime(track.Index1).c_str(), track.File.c_str(),
                               FrameTime(file.Samples * 75 / file.SampleRate).c_str()),
             false;
    range.ToFileEnd = true;
    range.End = file.Samples;
    for (size_t j = i + 1; j < sheet.Tracks.size(); ++j) {
      if (sheet.Tracks[j].File != track.File) continue;
      range.End = start(sheet.Tracks[j]);
      range.ToFileEnd = false;
      break;
    }
  }
  return true;
}
