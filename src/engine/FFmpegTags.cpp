// The music side of a job's outputs around the muxers: before the headers
// (loudness, ReplayGain tags, the cover), after the trailers (through
// TagLib, on the closed file still under its temporary name: WAV's and
// MP2's ID3 tag, WMA's picture, M4A's freeform tags) and after the outputs
// took their names (the source's modification time).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "FFmpeg.h"
#include "MusicTags.h"
#include "Transcode.h"

namespace {

bool Named(const AVFormatContext* oc, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (std::strcmp(oc->oformat->name, n) == 0) return true;
  return false;
}

// Formats whose files hold no tags at all.
bool HoldsNoTags(const AVFormatContext* oc) {
  return Named(oc, {"ac3", "eac3", "dts", "truehd", "amr", "s16le", "s16be", "s24le", "s32le",
                    "f32le", "f64le", "u8", "alaw", "mulaw", "gsm"});
}

// Tags that say nothing about the music: the muxer's own, or container facts.
bool Incidental(const std::string& key) {
  return key == "encoder" || key == "major_brand" || key == "minor_version" ||
         key == "compatible_brands" || key == "creation_time";
}

std::vector<std::pair<std::string, std::string>> Pairs(const AVDictionary* dict) {
  std::vector<std::pair<std::string, std::string>> pairs;
  const AVDictionaryEntry* tag = nullptr;
  while ((tag = av.av_dict_get(dict, "", tag, AV_DICT_IGNORE_SUFFIX)))
    if (tag->value && *tag->value) pairs.emplace_back(tag->key, tag->value);
  return pairs;
}

// The file an output is being written to, when it is a plain file.
std::string WrittenPath(const TOutputTarget& target) {
  return target.TempName.empty() ? LocalPath(target.FinalName) : target.TempName;
}

// What TagLib adds to an output once its muxer is done, and what that is
// called in the log; empty for formats whose muxers write everything.
TTagEdit FileTagEdit(const AVFormatContext* oc, const TMusicOptions::TRun& run, size_t file,
                     const char*& what) {
  TTagEdit edit;
  static const std::vector<std::pair<std::string, std::string>> None;
  const auto& tags = file < run.Tags.size() ? run.Tags[file] : None;
  const bool cover = file < run.CoverInFile.size() && run.CoverInFile[file] &&
                     !run.Cover.Empty();
  if (Named(oc, {"wav", "mp2"})) {
    // WAV's RIFF INFO holds a few keys only; raw MPEG audio holds none, and
    // players look for its tag in front.
    const bool wav = Named(oc, {"wav"});
    edit.Container = wav ? tcWav : tcMpeg;
    what = wav ? "the ID3 chunk" : "the ID3 tag";
    for (const auto& pair : tags)
      if (!Incidental(pair.first)) edit.Tags.push_back(pair);
    if (cover) edit.Cover = &run.Cover;
  } else if (Named(oc, {"asf", "asf_stream"})) {
    edit.Container = tcAsf;
    what = "the cover picture";
    if (cover) edit.Cover = &run.Cover;
  } else if (Named(oc, {"ipod", "mp4", "mov"})) {
    edit.Container = tcMp4;
    what = "the tags";
    for (const auto& pair : tags)
      if (!Mp4KnownKey(pair.first)) edit.Tags.push_back(pair);
  }
  return edit;
}

}  // namespace

void TCustomFFmpeg::PrepareMusicOutputs() {
  Music.Run = TMusicOptions::TRun();
  Music.Run.Tags.assign(static_cast<size_t>(Output.FileCount), {});
  if (Music.Normalize || Music.ReplayGain) MeasureJobLoudness();
  for (int i = 0; i < Output.FileCount; ++i) {
    AVFormatContext* oc = Output.Files[i].get();
    // The muxers may rename keys in place (RIFF INFO, ASF): the edits after
    // them take the tags as they were.
    Music.Run.Tags[static_cast<size_t>(i)] = Pairs(oc->metadata);
    if (HoldsNoTags(oc)) {
      std::string lost;
      for (const auto& pair : Music.Run.Tags[static_cast<size_t>(i)])
        if (!Incidental(pair.first)) lost += (lost.empty() ? "" : ", ") + pair.first;
      if (!lost.empty())
        Log(1, StrFormat("The %s format holds no tags; left out: %s", oc->oformat->name,
                         lost.c_str()));
    }
  }
  PrepareCovers();
}

void TCustomFFmpeg::FinishMusicOutputs() {
  Music.Run.ClosedSizes.assign(static_cast<size_t>(Output.FileCount), -1);
  for (int i = 0; i < Output.FileCount && i < static_cast<int>(Output.Targets.size()); ++i) {
    AVFormatContext* oc = Output.Files[i].get();
    if (!oc->pb || (oc->oformat->flags & AVFMT_NOFILE)) continue;
    const char* what = "";
    const TTagEdit edit = FileTagEdit(oc, Music.Run, static_cast<size_t>(i), what);
    if (edit.Empty()) continue;
    const TOutputTarget& target = Output.Targets[static_cast<size_t>(i)];
    std::string leftOut = StrFormat("%s left out of '%s'", what, target.FinalName.c_str());
    leftOut[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(leftOut[0])));
    const std::string path = WrittenPath(target);
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      Log(1, leftOut + ": it is no plain file");
      continue;
    }
    // avio_close writes what the context still holds (the trailer's sizes
    // among it): the muxer is done with the file before TagLib opens it.
    CloseOutputBytes(i);
    const TTagEditOutcome outcome = EditFileTags(path, edit);
    if (outcome.Result == teFailed)
      throw FFmpegException(ReasonOfWriteErrno(outcome.Error),
                            StrFormat("Could not write %s into '%s': %s", what,
                                      target.FinalName.c_str(), outcome.Text.c_str()));
    if (outcome.Result == teLeftOut) Log(0, leftOut + ": " + outcome.Text);
    if (stat(path.c_str(), &st) == 0) Music.Run.ClosedSizes[static_cast<size_t>(i)] = st.st_size;
  }
}

void TCustomFFmpeg::KeepSourceTime() {
  if (!Music.KeepTime || Input.FileCount == 0 || !Input.Files[0] || !Input.Files[0]->url) return;
  struct stat source;
  if (stat(LocalPath(Input.Files[0]->url).c_str(), &source) != 0) return;
  const struct timespec times[2] = {source.st_atim, source.st_mtim};
  for (const TOutputTarget& target : Output.Targets) {
    if (!target.Committed) continue;
    const std::string path = LocalPath(target.FinalName);
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
      Log(0, StrFormat("'%s' keeps its own time: %s", path.c_str(),
                       SystemErrorText(errno).c_str()));
  }
}
