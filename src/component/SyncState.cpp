// The state file of sync mode (see SyncState.h).
#include "SyncState.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "SourceFile.h"
#include "Text.h"

namespace {

constexpr const char* HEADER = "quellon-sync 1";

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\t') {
      fields.emplace_back();
    } else if (c == '\\' && i + 1 < line.size()) {
      const char n = line[++i];
      fields.back() += n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n;
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

bool ReadNumber(const std::string& text, int64_t& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  value = v;
  return true;
}

std::string Line(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) line += (i ? "\t" : "") + Escape(fields[i]);
  return line + "\n";
}

std::string Number(int64_t value) { return std::to_string(value); }

std::vector<std::string> DoneFields(const TSyncEntry& e) {
  return {"D", e.Output, e.Source.Root, e.Source.Path, Number(e.Source.Part), e.Source.Format,
          Number(e.SourceSize), Number(e.SourceModifiedNs), Number(e.OutputSize),
          Number(e.OutputModifiedNs), e.Digest};
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// FNV-1a, 64 bits, from two offsets: a digest that stays the same across
// builds and machines (std::hash does not promise that).
uint64_t Fnv(const std::string& text, uint64_t hash) {
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

std::string TSyncSource::Key() const {
  return Root + "\n" + Path + "\n" + std::to_string(Part) + "\n" + Format;
}

TSyncState::TSyncState(std::string folder) : FFolder(std::move(folder)) {
  while (FFolder.size() > 1 && FFolder.back() == '/') FFolder.pop_back();
  if (FFolder.empty()) FFolder = ".";
}

std::string TSyncState::Relative(const std::string& output) const {
  const std::string normal = std::filesystem::path(output).lexically_normal().string();
  const std::string folder = std::filesystem::path(FFolder).lexically_normal().string();
  const std::string prefix = folder == "." ? "" : (folder.back() == '/' ? folder : folder + "/");
  if (prefix.empty()) return normal;
  if (normal.compare(0, prefix.size(), prefix) == 0) return normal.substr(prefix.size());
  return normal;  // outside the folder: kept whole
}

std::string TSyncState::FullPath(const TSyncEntry& entry) const {
  if (!entry.Output.empty() && entry.Output[0] == '/') return entry.Output;
  return FFolder + "/" + entry.Output;
}

bool TSyncState::Load(std::string& why) {
  FByOutput.clear();
  FBySource.clear();
  FEndsTorn = FStale = false;
  const std::string path = FFolder + "/" + SYNC_STATE_NAME;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 && errno == ENOENT) return true;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = StrFormat("cannot read '%s': %s", path.c_str(), SystemErrorText(errno).c_str());
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    why = StrFormat("cannot read '%s'", path.c_str());
    return false;
  }
  FEndsTorn = !text.empty() && text.back() != '\n';
  size_t start = 0, lines = 0;
  bool first = true;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    // The last line without its line break was torn by a crash: ignored.
    if (end == std::string::npos) break;
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (first) {
      first = false;
      if (line != HEADER) {
        why = StrFormat("'%s' is not a state file of this version", path.c_str());
        FByOutput.clear();
        return false;
      }
      continue;
    }
    Apply(SplitFields(line));
    ++lines;
  }
  // Superseded or pending lines, or a torn one: the next Compact rewrites.
  FStale = FEndsTorn || lines != FByOutput.size();
  for (const auto& [name, entry] : FByOutput) FStale = FStale || entry.Pending || !entry.Done;
  return true;
}

void TSyncState::SetSource(TSyncEntry& entry, const TSyncSource& source) {
  const auto old = FBySource.find(entry.Source.Key());
  if (old != FBySource.end() && old->second == entry.Output) FBySource.erase(old);
  entry.Source = source;
}

void TSyncState::Drop(const std::string& relative) {
  const auto found = FByOutput.find(relative);
  if (found == FByOutput.end()) return;
  const auto bySource = FBySource.find(found->second.Source.Key());
  if (bySource != FBySource.end() && bySource->second == relative) FBySource.erase(bySource);
  FByOutput.erase(found);
}

void TSyncState::Apply(const std::vector<std::string>& f) {
  if (f.empty() || f[0].size() != 1) return;
  int64_t part = 0;
  switch (f[0][0]) {
    case 'D': {
      TSyncEntry e;
      if (f.size() != 11 || f[1].empty() || !ReadNumber(f[4], part) ||
          !ReadNumber(f[6], e.SourceSize) || !ReadNumber(f[7], e.SourceModifiedNs) ||
          !ReadNumber(f[8], e.OutputSize) || !ReadNumber(f[9], e.OutputModifiedNs))
        return;
      e.Output = f[1];
      e.Done = true;
      e.Digest = f[10];
      Drop(e.Output);
      e.Source = {f[2], f[3], static_cast<int>(part), f[5]};
      // A source has one output: an older one it had is no longer its own.
      const auto other = FBySource.find(e.Source.Key());
      if (other != FBySource.end()) FBySource.erase(other);
      FBySource[e.Source.Key()] = e.Output;
      FByOutput[e.Output] = e;
      break;
    }
    case 'P': {
      if (f.size() != 7 || f[1].empty() || !ReadNumber(f[4], part)) return;
      const TSyncSource source{f[2], f[3], static_cast<int>(part), f[5]};
      TSyncEntry& e = FByOutput[f[1]];
      if (e.Output.empty()) {
        e.Output = f[1];
        e.Source = source;
        e.Digest = f[6];
      }
      e.Pending = true;
      e.PendingFor = source;
      break;
    }
    case 'F':
      if (f.size() == 2) Drop(f[1]);
      break;
  }
}

const TSyncEntry* TSyncState::ByOutput(const std::string& output) const {
  const auto found = FByOutput.find(Relative(output));
  return found == FByOutput.end() ? nullptr : &found->second;
}

const TSyncEntry* TSyncState::BySource(const TSyncSource& source) const {
  const auto found = FBySource.find(source.Key());
  if (found == FBySource.end()) return nullptr;
  const auto entry = FByOutput.find(found->second);
  return entry == FByOutput.end() ? nullptr : &entry->second;
}

std::vector<const TSyncEntry*> TSyncState::Entries() const {
  std::vector<const TSyncEntry*> entries;
  for (const auto& [name, entry] : FByOutput) entries.push_back(&entry);
  return entries;
}

bool TSyncState::Append(const std::string& line, std::string& why) {
  FStale = true;
  const std::string path = FFolder + "/" + SYNC_STATE_NAME;
  std::error_code error;
  std::filesystem::create_directories(FFolder, error);
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    why = StrFormat("cannot write '%s': %s", path.c_str(), SystemErrorText(errno).c_str());
    return false;
  }
  struct stat st;
  std::string text;
  if (fstat(fd, &st) == 0 && st.st_size == 0) text = std::string(HEADER) + "\n";
  // A torn last line of a crashed run ends before this one starts.
  if (FEndsTorn) text += "\n";
  text += line;
  const bool written = WriteAll(fd, text);
  const int error2 = errno;
  if (close(fd) != 0 || !written) {
    why = StrFormat("cannot write '%s': %s", path.c_str(),
                    SystemErrorText(written ? errno : error2).c_str());
    return false;
  }
  FEndsTorn = false;
  return true;
}

bool TSyncState::NotePending(const std::string& output, const TSyncSource& source,
                             const std::string& digest, std::string& why) {
  const std::vector<std::string> fields = {"P", Relative(output), source.Root, source.Path,
                                           Number(source.Part), source.Format, digest};
  Apply(fields);
  return Append(Line(fields), why);
}

bool TSyncState::NoteDone(const TSyncEntry& entry, std::string& why) {
  TSyncEntry e = entry;
  e.Output = Relative(entry.Output);
  const std::vector<std::string> fields = DoneFields(e);
  Apply(fields);
  return Append(Line(fields), why);
}

bool TSyncState::Forget(const std::string& output, std::string& why) {
  const std::vector<std::string> fields = {"F", Relative(output)};
  Apply(fields);
  return Append(Line(fields), why);
}

bool TSyncState::Compact(std::string& why) {
  if (!FStale) return true;
  std::string text = std::string(HEADER) + "\n";
  std::vector<std::string> gone;
  // Outputs that are their source's current one go last: read back, the
  // later line of a source wins.
  std::string current;
  for (auto& [name, e] : FByOutput) {
    struct stat st;
    const std::string full = FullPath(e);
    if (lstat(full.c_str(), &st) != 0 && errno == ENOENT) {
      gone.push_back(name);
      continue;
    }
    // A pending output that is still the complete one recorded: settled.
    if (e.Pending && e.Done && OutputUnchanged(e, full)) e.Pending = false;
    const auto bySource = FBySource.find(e.Source.Key());
    std::string& lines = bySource != FBySource.end() && bySource->second == name ? current : text;
    if (e.Done) lines += Line(DoneFields(e));
    if (e.Pending)
      lines += Line({"P", e.Output, e.PendingFor.Root, e.PendingFor.Path,
                     Number(e.PendingFor.Part), e.PendingFor.Format, e.Digest});
  }
  text += current;
  for (const std::string& name : gone) Drop(name);
  const std::string path = FFolder + "/" + SYNC_STATE_NAME;
  const std::string temp = StrFormat("%s/.quellon-sync.%d.tmp", FFolder.c_str(), getpid());
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    why = StrFormat("cannot write '%s': %s", temp.c_str(), SystemErrorText(errno).c_str());
    return false;
  }
  const bool written = WriteAll(fd, text) && fsync(fd) == 0;
  const int error = errno;
  if (close(fd) != 0 || !written || rename(temp.c_str(), path.c_str()) != 0) {
    why = StrFormat("cannot write '%s': %s", path.c_str(),
                    SystemErrorText(written ? errno : error).c_str());
    unlink(temp.c_str());
    return false;
  }
  FEndsTorn = FStale = false;
  return true;
}

bool OutputUnchanged(const TSyncEntry& entry, const std::string& fullPath) {
  struct stat st;
  if (!entry.Done || lstat(fullPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const int64_t modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return st.st_size == entry.OutputSize && modified == entry.OutputModifiedNs;
}

// Every field of the records that decides the output's bytes. A field added
// to the records must be added here when it does: the sizes below fail the
// build until it is looked at.
#if defined(__x86_64__) && defined(__GLIBCXX__)
static_assert(sizeof(TOutputOptions) == 928 && sizeof(TInputOptions) == 120,
              "the option records changed: add what decides the output to SettingsDigest");
#endif

std::string SettingsDigest(const TInputOptions& i, const TOutputOptions& o,
                           const std::string& extra) {
  std::string t;
  const auto add = [&t](const char* name, const std::string& value) {
    t += name;
    t += '=';
    t += Escape(value);
    t += '\n';
  };
  const auto num = [&add](const char* name, double value) { add(name, StrFormat("%.17g", value)); };
  add("in.format", i.FileFormat);
  num("in.start", i.StartTime);
  num("in.program", i.ProgramID);
  add("in.ext", i.ExtOptions);
  add("format", o.FileFormat);
  add("ext", o.FileExt);
  num("packetsize", o.PacketSize);
  num("muxrate", o.MuxRate);
  num("muxdelay", o.MuxDelay);
  num("muxpreload", o.MuxPreload);
  add("acodec", o.AudioCodec);
  num("an", o.DisableAudio);
  num("vol", o.AudioVolume);
  num("ac", o.AudioChannels);
  num("ar", o.AudioSampleRate);
  num("ab", o.AudioBitrate);
  num("abt", o.AudioBitrateTolerance);
  add("alang", o.AudioLanguage);
  num("async", o.AudioSync);
  add("atag", o.AudioTag);
  add("vcodec", o.VideoCodec);
  num("vn", o.DisableVideo);
  add("r", o.FrameRate);
  add("s", o.FrameSize);
  add("aspect", o.FrameAspectRatio);
  for (int edge : {o.CropTop, o.CropBottom, o.CropLeft, o.CropRight, o.PadTop, o.PadBottom,
                   o.PadLeft, o.PadRight, o.PadColor})
    num("edge", edge);
  num("gop", o.GOPSize);
  num("vb", o.VideoBitrate);
  num("maxrate", o.VideoMaxRate);
  num("minrate", o.VideoMinRate);
  num("bt", o.VideoBitrateTolerance);
  num("bufsize", o.VideoBufSize);
  num("vsync", o.VideoSync);
  add("vtag", o.VideoTag);
  add("vfilters", o.VideoFilters);
  num("sn", o.DisableSubtitle);
  add("slang", o.SubtitleLanguage);
  num("copyts", o.CopyTimestamp);
  num("ss", o.StartTime);
  num("t", o.RecordingTime);
  num("timestamp", o.Timestamp);
  num("year", o.Year);
  num("track", o.Track);
  for (const std::string* tag : {&o.Title, &o.Author, &o.Copyright, &o.Comment, &o.Album, &o.Genre})
    add("tag", *tag);
  num("target", o.Target);
  num("norm", o.Norm);
  num("defaultnorm", o.DefaultNorm);
  num("customhook", o.CustomHook);
  num("beforehook", o.BeforeHook);
  add("ptss", o.PTSs);
  add("out.ext", o.ExtOptions);
  num("keepcover", o.KeepCover);
  num("foldercover", o.FolderCover);
  num("keeptime", o.KeepTime);
  num("normalize", o.Normalize);
  num("loudness", o.Normalize ? o.LoudnessTarget : 0);
  num("replaygain", o.ReplayGain);
  num("albumgain", !o.GainAlbum.empty() || o.AlbumGroup != nullptr);
  add("extra", extra);
  return StrFormat("%016" PRIx64 "%016" PRIx64, Fnv(t, 14695981039346656037ull),
                   Fnv(t, 0x6c62272e07bb0142ull));
}
