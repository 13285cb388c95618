// Outputs on disk and the outcome of a job: a plain output file is written
// under a hidden temporary name beside its final name, and takes the final
// name only when the job ends complete or partial (damaged source). A failed
// or stopped job leaves nothing under a final name; a killed process leaves
// only a hidden ".part" file, which a later run writing the same output
// removes.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

#include "FFmpeg.h"
#include "Transcode.h"

namespace {

constexpr const char* TEMP_MARK = ".quellon-";
constexpr const char* TEMP_SUFFIX = ".part";
// The most a temporary name takes of the final name.
constexpr size_t TEMP_BASE_BYTES = 200;
// Room a temporary name needs beside the final name's bytes: the dot, the
// mark, two numbers of up to ten digits, the dash and the suffix.
constexpr size_t TEMP_EXTRA_BYTES = 1 + 9 + 10 + 1 + 10 + 5;

std::atomic<unsigned> TempSerial{0};


std::string BaseOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// ".<name>.quellon-": how every temporary name of an output begins. The
// final name is cut at a character, so that the whole fits the folder.
std::string TempPrefix(const std::string& local) {
  const size_t limit = FileNameLimit(FolderOf(local));
  const size_t room = limit > TEMP_EXTRA_BYTES ? limit - TEMP_EXTRA_BYTES : 1;
  return "." + CutUtf8(BaseOf(local), std::min(room, TEMP_BASE_BYTES)) + TEMP_MARK;
}

// ".<name>.quellon-<pid>-<serial>.part" beside the final name.
std::string TempOutputName(const std::string& local) {
  const std::string prefix = local.find('/') == std::string::npos ? "" : FolderOf(local) + "/";
  return prefix + TempPrefix(local) + std::to_string(getpid()) + "-" +
         std::to_string(++TempSerial) + TEMP_SUFFIX;
}

// Whether text is "<digits>-<digits>.part", the end of a temporary name.
bool TempTail(const std::string& text) {
  if (!EndsWith(text, TEMP_SUFFIX)) return false;
  const std::string numbers = text.substr(0, text.size() - std::string(TEMP_SUFFIX).size());
  const size_t dash = numbers.find('-');
  if (dash == 0 || dash == std::string::npos || dash + 1 == numbers.size()) return false;
  for (size_t i = 0; i < numbers.size(); ++i)
    if (i != dash && (numbers[i] < '0' || numbers[i] > '9')) return false;
  return true;
}

// Removes the file at path when it is a regular file that nobody holds: a
// writer holds its temporary file locked from its creation until it takes
// its final name or goes, so a lock refused is a live output (of any
// process, in any PID namespace), and a lock taken is a leftover.
void RemoveUnheld(const std::string& path) {
  struct stat named, opened;
  if (lstat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return;
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  if (fstat(fd, &opened) == 0 && SameFile(named, opened) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
      lstat(path.c_str(), &named) == 0 && SameFile(named, opened))
    unlink(path.c_str());
  close(fd);
}

// Removes the leftovers of the output local from earlier runs that were
// killed: the temporary files of exactly that name (".<name>.quellon-<pid>-
// <serial>.part") that are regular files and that no writer holds. Nothing
// else in the folder is touched: a file of any other name may be a user's.
// A folder is listed once per process; the names that look like temporary
// files wait there for the output they belong to.
void RemoveLeftovers(const std::string& local) {
  static std::mutex lock;
  static std::map<std::string, std::vector<std::string>> folders;
  const std::string folder = FolderOf(local);
  const std::string prefix = TempPrefix(local);
  std::vector<std::string> mine;
  {
    std::lock_guard<std::mutex> guard(lock);
    auto found = folders.find(folder);
    if (found == folders.end()) {
      std::vector<std::string> names;
      if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
          const std::string name = entry->d_name;
          if (name[0] == '.' && name.find(TEMP_MARK) != std::string::npos &&
              EndsWith(name, TEMP_SUFFIX))
            names.push_back(name);
        }
        closedir(dir);
      }
      found = folders.emplace(folder, std::move(names)).first;
    }
    std::vector<std::string>& names = found->second;
    for (auto name = names.begin(); name != names.end();) {
      if (name->compare(0, prefix.size(), prefix) == 0 && TempTail(name->substr(prefix.size()))) {
        mine.push_back(*name);
        name = names.erase(name);
      } else {
        ++name;
      }
    }
  }
  for (const std::string& name : mine) RemoveUnheld(folder + "/" + name);
}

// Creates the temporary file of the output local under a new name and locks
// it; the descriptor holds the lock until it is closed. -1 with errno set.
int CreateHeldTemporary(const std::string& local, std::string& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = TempOutputName(local);
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return -1;
    }
    // A clean-up elsewhere may take the new empty file for a leftover in the
    // moment before it is locked: then it is gone or going, and another name
    // is taken.
    struct stat opened, named;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &opened) == 0 &&
        lstat(name.c_str(), &named) == 0 && SameFile(opened, named))
      return fd;
    close(fd);
  }
  errno = EEXIST;
  return -1;
}

bool NameTaken(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The next name after path in the "_(new)", "_(new_1)", ... series; a name
// outside the series gets "_(1)", "_(2)", ... before its extension.
std::string NextOutputName(const std::string& path) {
  const std::string folder = path.find('/') == std::string::npos ? "" : FolderOf(path) + "/";
  const std::string base = BaseOf(path);
  const size_t dot = base.rfind('.');
  const std::string ext = dot == std::string::npos || dot == 0 ? "" : base.substr(dot);
  std::string stem = base.substr(0, base.size() - ext.size());
  std::string head;
  long n = 1;
  bool series = false;
  if (EndsWith(stem, "_(new)")) {
    head = stem.substr(0, stem.size() - 6);
    series = true;
  } else {
    const size_t open = stem.rfind("_(new_");
    char* end = nullptr;
    if (open != std::string::npos && EndsWith(stem, ")")) {
      const long k = std::strtol(stem.c_str() + open + 6, &end, 10);
      if (k > 0 && end == stem.c_str() + stem.size() - 1) {
        head = stem.substr(0, open);
        n = k + 1;
        series = true;
      }
    }
  }
  // The name is cut at a character where the number would make it too long.
  const size_t limit = FileNameLimit(FolderOf(path));
  for (;; ++n) {
    const std::string tag = series ? "_(new_" + std::to_string(n) + ")" : "_(" + std::to_string(n) + ")";
    const size_t fixed = tag.size() + ext.size();
    const std::string name =
        CutUtf8(series ? head : stem, limit > fixed ? limit - fixed : 0) + tag + ext;
    if (!NameTaken(folder + name) || n > 100000) return folder + name;
  }
}

// Renames from to to unless to exists (overwrite: replaces it). False with
// errno set; EEXIST when the name is taken.
bool RenameOutput(const std::string& from, const std::string& to, bool overwrite) {
  if (overwrite) return rename(from.c_str(), to.c_str()) == 0;
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without an atomic no-replace rename: a hard link refuses an
  // existing name as well; where links are not possible either, a check.
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return true;
  }
  if (errno == EEXIST) return false;
  if (NameTaken(to)) {
    errno = EEXIST;
    return false;
  }
  return rename(from.c_str(), to.c_str()) == 0;
}

// "m:ss", or "h:mm:ss" from an hour on, of microseconds.
std::string ClockText(int64_t us) {
  const int64_t s = us > 0 ? us / 1000000 : 0;
  if (s >= 3600)
    return StrFormat("%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                     static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
  return StrFormat("%lld:%02lld", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
}

}  // namespace

TSourceDamage SourceDamageOf(const TJobResult& r) {
  auto time = [](int64_t us) { return us == AV_NOPTS_VALUE ? -1 : std::max<int64_t>(us, 0); };
  TSourceDamage d;
  if (r.ReadError) d.ReadErrorAt = std::max<int64_t>(time(r.ReadErrorAt), 0);
  d.Lost = std::max<int64_t>(r.Lost, 0);
  if (d.Lost > 0) d.FirstLoss = std::max<int64_t>(time(r.FirstLoss), 0);
  if (d.Lost == 0) d.SkippedPackets = std::max<int64_t>(r.DamagedPackets - r.CutPackets, 0);
  if (r.SourceEnd != AV_NOPTS_VALUE) {
    d.SourceEnd = time(r.SourceEnd);
    d.StatedLength = time(r.StatedLength);
  }
  return d;
}

namespace {

// What was lost of a damaged source and its code; "" (rcNone) when nothing was.
std::string DamageText(const TJobResult& result, TReasonCode& code) {
  const TSourceDamage r = SourceDamageOf(result);
  std::string text;
  code = rcNone;
  auto add = [&text, &code](const std::string& part, TReasonCode partCode) {
    text += (text.empty() ? "" : "; ") + part;
    if (code == rcNone) code = partCode;
  };
  // To the nearest second: a stated length of 24.99 s is "0:25".
  auto clock = [](int64_t us) { return ClockText(us + 500000); };
  if (r.ReadErrorAt >= 0)
    add("source damaged at " + ClockText(r.ReadErrorAt) + ": converted up to there",
        rcSourceDamaged);
  const int64_t uncounted = r.SkippedPackets;
  if (r.Lost > 0) {
    const double seconds = static_cast<double>(r.Lost) / 1000000.0;
    add(StrFormat(seconds < 0.095 ? "%.2f s lost at %s" : "%.1f s lost at %s", seconds,
                  clock(r.FirstLoss).c_str()),
        rcSourceDamaged);
  } else if (uncounted > 0) {
    // Refused packets without a place in the source (a decoder that fails
    // at its drain): their number is all there is to tell.
    add(uncounted == 1 ? std::string("1 damaged packet skipped")
                       : StrFormat("%lld damaged packets skipped", static_cast<long long>(uncounted)),
        rcSourceDamaged);
  }
  if (r.SourceEnd >= 0)
    add("source ends at " + clock(r.SourceEnd) + " of " + clock(r.StatedLength), rcSourceShort);
  return text;
}

// Lengths a source's end may fall short of its stated length by without
// being cut: packets without a duration, and rounding of the stated length.
constexpr int64_t SHORT_TOLERANCE = 250000;  // µs

// The size a RIFF/WAVE file's "data" chunk states; -1 when it states none
// (an unset or streamed size, RF64, no data chunk near the start).
int64_t WavDataSize(const std::string& path) {
  FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
  if (!file) return -1;
  int64_t size = -1;
  unsigned char head[12];
  if (std::fread(head, 1, 12, file) == 12 && std::memcmp(head, "RIFF", 4) == 0 &&
      std::memcmp(head + 8, "WAVE", 4) == 0) {
    unsigned char chunk[8];
    for (int n = 0; n < 64 && std::fread(chunk, 1, 8, file) == 8; ++n) {
      const uint32_t length = static_cast<uint32_t>(chunk[4]) | (chunk[5] << 8) |
                              (chunk[6] << 16) | (static_cast<uint32_t>(chunk[7]) << 24);
      if (std::memcmp(chunk, "data", 4) == 0) {
        if (length != 0 && length != 0xFFFFFFFFu) size = length;
        break;
      }
      if (std::fseek(file, static_cast<long>(length) + (length & 1), SEEK_CUR) != 0) break;
    }
  }
  std::fclose(file);
  return size;
}

// The length a source states exactly for that stream, µs; AV_NOPTS_VALUE
// when it states none, or only the libraries' estimate from the bit rate
// (an MP3 without a Xing or Info frame, a WAV whose data size is unset).
int64_t StatedLength(const AVFormatContext* ic, const AVStream* st) {
  const AVCodecParameters* par = st->codecpar;
  if (std::strcmp(ic->iformat->name, "wav") == 0 && ic->url && par->block_align > 0 &&
      par->sample_rate > 0) {
    // The WAV reader takes its length from the bit rate; the data chunk's
    // size is the length the file states.
    const int64_t size = WavDataSize(LocalPath(ic->url));
    if (size > 0)
      return av.av_rescale(size / par->block_align, 1000000, par->sample_rate);
  }
  if (ic->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE ||
      st->duration == AV_NOPTS_VALUE || st->duration <= 0)
    return AV_NOPTS_VALUE;
  return av.av_rescale_q(st->duration, st->time_base, AVRational{1, 1000000});
}

// µs of source time from the stream's start.
int64_t SourceTime(const AVStream* st, int64_t ts) {
  const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  return av.av_rescale_q(ts - start, st->time_base, AVRational{1, 1000000});
}

void AddLoss(TJobResult& r, int64_t from, int64_t length) {
  if (length <= 0) return;
  r.Lost += length;
  if (r.FirstLoss == AV_NOPTS_VALUE || from < r.FirstLoss) r.FirstLoss = from;
}

}  // namespace

bool TCustomFFmpeg::OpenOutputTarget(AVFormatContext* oc, const std::string& filename) {
  TOutputTarget& target = Output.Targets.back();
  const std::string local = LocalPath(filename);
  const auto failed = [&](int error, const std::string& text) {
    LastError = text;
    LastErrorCode = ReasonOfWriteErrno(error, rcOutputOpen);
    return false;
  };
  struct stat st;
  // Devices and protocols are written in place. A FIFO, socket or folder
  // under the name is no place to write: the output takes the next free name
  // when it is done (CommitOutputs), and the job never blocks opening it.
  const bool exists = !local.empty() && stat(local.c_str(), &st) == 0;
  const bool inPlace = local.empty() || (exists && (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)));
  if (!inPlace && BaseOf(local).size() > FileNameLimit(FolderOf(local)))
    return failed(ENAMETOOLONG, StrFormat("Could not open '%s': %s", filename.c_str(),
                                          SystemErrorText(ENAMETOOLONG).c_str()));
  if (!inPlace && Output.CreateFolders) {
    // A folder still to be made: its nearest existing parent must take it.
    std::string folder = FolderOf(local);
    struct stat dir;
    while (stat(folder.c_str(), &dir) != 0 && errno == ENOENT && folder != FolderOf(folder))
      folder = FolderOf(folder);
    if (folder != FolderOf(local)) {
      if (access(folder.c_str(), W_OK | X_OK) != 0)
        return failed(errno, StrFormat("Could not open '%s': %s", filename.c_str(),
                                       SystemErrorText(errno).c_str()));
      std::error_code error;
      if (Output.CreateFiles && !std::filesystem::create_directories(FolderOf(local), error) &&
          error)
        return failed(error.value(), StrFormat("Could not make the folder of '%s': %s",
                                               filename.c_str(), error.message().c_str()));
      if (!Output.CreateFiles) return true;
    }
  }
  if (!Output.CreateFiles) {
    if (!inPlace && access(FolderOf(local).c_str(), W_OK | X_OK) != 0)
      return failed(errno, StrFormat("Could not open '%s': %s", filename.c_str(),
                                     SystemErrorText(errno).c_str()));
    return true;
  }
  if (inPlace && !local.empty()) {
    // A device that would block its opener (a terminal line waiting for a
    // carrier) is refused instead of holding the job where no stop reaches.
    const int fd = open(local.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
      return failed(errno, StrFormat("Could not open '%s': %s", filename.c_str(),
                                     SystemErrorText(errno).c_str()));
    close(fd);
  }
  if (!inPlace) {
    RemoveLeftovers(local);
    const int fd = CreateHeldTemporary(local, target.TempName);
    if (fd < 0) {
      const int error = errno;
      target.TempName.clear();
      return failed(error, StrFormat("Could not open '%s': %s", filename.c_str(),
                                     SystemErrorText(error).c_str()));
    }
    Output.TempLocks[Output.Targets.size() - 1].Reset(fd);
  }
  const std::string& path = inPlace ? filename : target.TempName;
  const int result = av.avio_open2(&oc->pb, path.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr);
  if (result < 0) {
    if (!inPlace) unlink(target.TempName.c_str());
    target.TempName.clear();
    Output.TempLocks[Output.Targets.size() - 1].Reset();
    return failed(AVUNERROR(result), StrFormat("Could not open '%s': %s", filename.c_str(),
                                               AVErrorText(result).c_str()));
  }
  target.Committed = inPlace;
  return true;
}

bool TCustomFFmpeg::CommitOutputs() {
  for (int i = 0; i < Output.FileCount && i < static_cast<int>(Output.Targets.size()); ++i) {
    TOutputTarget& target = Output.Targets[static_cast<size_t>(i)];
    if (target.Committed || target.TempName.empty()) continue;
    AVFormatContext* oc = Output.Files[i].get();
    if (oc && oc->pb && !(oc->oformat->flags & AVFMT_NOFILE)) av.avio_closep(&oc->pb);
    std::string name = LocalPath(target.FinalName);
    for (int attempt = 0;; ++attempt) {
      // Never over a file this job reads, whatever name or link leads to it.
      TFileIdentity existing;
      bool source = false;
      if (ReadFileIdentity(name, existing))
        for (const TFileIdentity& input : Input.Identities) source = source || input.SameFile(existing);
      if (source) {
        const std::string next = NextOutputName(name);
        Log(0, StrFormat("'%s' is a source of this conversion; the output is written as '%s'",
                         name.c_str(), next.c_str()));
        name = next;
        continue;
      }
      // A FIFO, socket, device or folder under the name is never replaced
      // nor written through, overwrite or not.
      struct stat st;
      if (stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        const std::string next = NextOutputName(name);
        Log(0, StrFormat("'%s' is not a regular file; the output is written as '%s'", name.c_str(),
                         next.c_str()));
        name = next;
        continue;
      }
      if (RenameOutput(target.TempName, name, Output.Overwrite)) break;
      if (errno == EEXIST && attempt < 1000) {
        const std::string next = NextOutputName(name);
        Log(0, StrFormat("'%s' exists already; the output is written as '%s'", name.c_str(),
                         next.c_str()));
        name = next;
        continue;
      }
      Result.Code = ReasonOfWriteErrno(errno);
      Result.Reason = StrFormat("Could not write '%s': %s", name.c_str(),
                                SystemErrorText(errno).c_str());
      // A job is converted with all its outputs or not at all: those that
      // took their names before this one go again (they are this job's own
      // new files), unless a failed job keeps what it wrote.
      for (int j = 0; j < i && !Output.KeepPartial; ++j) {
        TOutputTarget& done = Output.Targets[static_cast<size_t>(j)];
        if (!done.Committed || done.TempName.empty()) continue;
        unlink(LocalPath(done.FinalName).c_str());
        done.Committed = false;
      }
      return false;
    }
    target.FinalName = name;
    target.Committed = true;
    Output.TempLocks[static_cast<size_t>(i)].Reset();
  }
  return true;
}

void TCustomFFmpeg::NoteDamagedPacket(TInputStreamEntry& ist, int64_t pts, int64_t duration) {
  ++Result.DamagedPackets;
  if (Result.FirstDamage == AV_NOPTS_VALUE) Result.FirstDamage = ist.Pts;
  if (ist.DamagedRun++ == 0) ist.DamagedFrom = ist.DamagedEnd = ist.GoodEnd;
  if (pts != AV_NOPTS_VALUE)
    ist.DamagedEnd = std::max(ist.DamagedEnd,
                              SourceTime(ist.St, pts + std::max<int64_t>(duration, 0)));
}

void TCustomFFmpeg::NoteGoodPacket(TInputStreamEntry& ist, int64_t pts, int64_t duration) {
  if (pts == AV_NOPTS_VALUE) return;
  const int64_t at = SourceTime(ist.St, pts);
  if (ist.DamagedRun > 0) {
    // The stretch ends here: from the end of the last good packet to this one.
    AddLoss(Result, ist.DamagedFrom, at - ist.DamagedFrom);
    ist.DamagedRun = 0;
  }
  ist.GoodEnd = std::max(ist.GoodEnd, SourceTime(ist.St, pts + std::max<int64_t>(duration, 0)));
}

void TCustomFFmpeg::NoteSourceEnds() {
  TTranscodeTables& T = *Tables;
  for (TInputStreamEntry& ist : T.InStreams) {
    // Only sources read to their end: a clip ends where it was asked to.
    const TInputFileEntry& file = T.Files[static_cast<size_t>(ist.FileIndex)];
    if (ist.Discard || !ist.DecodingNeeded || !file.Eof || file.RangeEnded) continue;
    const AVFormatContext* ic = Input.Files[ist.FileIndex].get();
    const int64_t stated = StatedLength(ic, ist.St);
    const bool cut = ist.St->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && !Result.ReadError &&
                     stated != AV_NOPTS_VALUE && stated - ist.GoodEnd > SHORT_TOLERANCE;
    if (cut && Result.SourceEnd == AV_NOPTS_VALUE) {
      Result.SourceEnd = ist.GoodEnd;
      Result.StatedLength = stated;
    }
    if (ist.DamagedRun == 0) continue;
    // A stretch that runs to the end: the incomplete last packet of a cut
    // file (its shortness, or the read error, tells of it), or a damaged tail.
    if (cut || Result.ReadError || ist.DamagedRun == 1)
      Result.CutPackets += ist.DamagedRun;
    else
      AddLoss(Result, ist.DamagedFrom, ist.DamagedEnd - ist.DamagedFrom);
    ist.DamagedRun = 0;
  }
}

void TCustomFFmpeg::NoteReadError(int file, int code) {
  int64_t at = 0;
  if (Tables)
    for (const TInputStreamEntry& ist : Tables->InStreams)
      if (ist.FileIndex == file && !ist.Discard && ist.Pts > at) at = ist.Pts;
  if (!Result.ReadError) {
    Result.ReadError = code;
    Result.ReadErrorAt = at;
  }
  const AVFormatContext* ic = Input.Files[file].get();
  Log(0, StrFormat("%s: read error at %s: %s", ic && ic->url ? ic->url : "input",
                   ClockText(at).c_str(), AVErrorText(code).c_str()));
}

void TCustomFFmpeg::SettleOutcome() {
  bool keep = false;
  if (RunState.ExceptionRaised) {
    Result.Outcome = joFailed;
    Result.Reason = RunState.ExceptionMessage;
    Result.Code = RunState.ExceptionCode;
    keep = Output.KeepPartial && Result.Received;
  } else if (RunState.StopRequested) {
    Result.Outcome = joStopped;
    Result.Reason = "stopped";
    Result.Code = rcStopped;
    keep = Output.KeepPartial;
  } else if (!Result.Received) {
    // Nothing decoded: an output without audio or pictures is no conversion.
    Result.Outcome = joFailed;
    Result.Code = rcNoAudio;
    bool video = false;
    for (int i = 0; i < Output.FileCount; ++i)
      for (unsigned s = 0; s < Output.Files[i]->nb_streams; ++s)
        video = video || Output.Files[i]->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    Result.Reason = video ? "no audio or picture could be decoded from the source"
                          : "no audio could be decoded from the source";
    TReasonCode damageCode;
    const std::string damage = DamageText(Result, damageCode);
    if (!damage.empty()) Result.Reason += " (" + damage + ")";
  } else {
    TReasonCode code;
    Result.Reason = DamageText(Result, code);
    Result.Outcome = Result.Reason.empty() ? joComplete : joPartial;
    Result.Code = code;
    keep = true;
  }
  if (keep && !CommitOutputs()) Result.Outcome = joFailed;
  if (keep) KeepSourceTime();
  for (const TOutputTarget& target : Output.Targets)
    if (target.Committed) Result.Outputs.push_back(target.FinalName);
  if (Result.Outcome == joPartial) Log(0, Result.Reason);
  if (Result.Outcome == joFailed && !RunState.ExceptionRaised) {
    // Owners that know only the exception flag see the failure too.
    Log(-1, Result.Reason);
    RunState.ExceptionRaised = true;
    RunState.ExceptionMessage = Result.Reason;
    RunState.ExceptionCode = Result.Code;
  }
}
