// The music side of a job's outputs around the muxers: before the headers
// (loudness, ReplayGain tags, the cover, MP2's ID3 header), after the
// trailers (WAV's id3 chunk, WMA's picture, M4A's freeform tags) and after
// the outputs took their names (the source's modification time).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "FFmpeg.h"
#include "Id3Tag.h"
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

DictPtr Dictionary(const std::vector<std::pair<std::string, std::string>>& pairs) {
  AVDictionary* dict = nullptr;
  for (const auto& pair : pairs) av.av_dict_set(&dict, pair.first.c_str(), pair.second.c_str(), 0);
  return DictPtr(dict);
}

// The file an output is being written to, when it is a plain file.
std::string WrittenPath(const TOutputTarget& target) {
  return target.TempName.empty() ? LocalPath(target.FinalName) : target.TempName;
}

}  // namespace

void TCustomFFmpeg::PrepareMusicOutputs() {
  Music.Run = TMusicOptions::TRun();
  Music.Run.Tags.assign(static_cast<size_t>(Output.FileCount), {});
  if (Music.Normalize || Music.ReplayGain) MeasureJobLoudness();
  for (int i = 0; i < Output.FileCount; ++i) {
    AVFormatContext* oc = Output.Files[i].get();
    // The muxers may rename keys in place (RIFF INFO, ASF): our writers
    // take the tags as they were.
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
  const TCoverPicture* cover = Music.Run.Cover.Empty() ? nullptr : &Music.Run.Cover;
  for (int i = 0; i < Output.FileCount; ++i) {
    AVFormatContext* oc = Output.Files[i].get();
    // Raw MPEG audio gets its tags in front, as players expect them.
    if (Named(oc, {"mp2"}) && oc->pb) {
      const std::vector<uint8_t> tag = MakeId3v2Tag(oc->metadata, cover);
      if (!tag.empty()) av.avio_write(oc->pb, tag.data(), static_cast<int>(tag.size()));
    }
  }
}

void TCustomFFmpeg::FinishMusicOutputs() {
  const TCoverPicture& cover = Music.Run.Cover;
  for (int i = 0; i < Output.FileCount && i < static_cast<int>(Output.Targets.size()); ++i) {
    AVFormatContext* oc = Output.Files[i].get();
    if (!oc->pb || (oc->oformat->flags & AVFMT_NOFILE)) continue;
    if (Named(oc, {"wav"})) {
      // Through the byte stream, so that the job's size counts the chunk.
      std::vector<std::pair<std::string, std::string>> pairs;
      if (static_cast<size_t>(i) < Music.Run.Tags.size())
        for (const auto& pair : Music.Run.Tags[static_cast<size_t>(i)])
          if (!Incidental(pair.first)) pairs.push_back(pair);
      const bool picture = Music.KeepCover && !cover.Empty();
      if (pairs.empty() && !picture) continue;
      const DictPtr tags = Dictionary(pairs);
      const std::vector<uint8_t> tag = MakeId3v2Tag(tags.get(), picture ? &cover : nullptr);
      const int64_t end = av.avio_seek(oc->pb, 0, SEEK_CUR);
      const int64_t total = end + (end % 2) + 8 + static_cast<int64_t>(tag.size() + tag.size() % 2);
      if (end < 12 || total - 8 > 0xFFFFFFFFll) {
        Log(0, StrFormat("The ID3 chunk left out of '%s': the file would pass 4 GiB",
                         Output.Targets[static_cast<size_t>(i)].FinalName.c_str()));
        continue;
      }
      std::vector<uint8_t> chunk;
      if (end % 2) chunk.push_back(0);
      chunk.insert(chunk.end(), {'i', 'd', '3', ' '});
      for (int b = 0; b < 4; ++b) chunk.push_back(static_cast<uint8_t>(tag.size() >> (8 * b)));
      chunk.insert(chunk.end(), tag.begin(), tag.end());
      if (tag.size() % 2) chunk.push_back(0);
      uint8_t riff[4];
      for (int b = 0; b < 4; ++b) riff[b] = static_cast<uint8_t>((total - 8) >> (8 * b));
      av.avio_write(oc->pb, chunk.data(), static_cast<int>(chunk.size()));
      av.avio_seek(oc->pb, 4, SEEK_SET);
      av.avio_write(oc->pb, riff, 4);
      av.avio_seek(oc->pb, total, SEEK_SET);
      continue;
    }
    const bool wav = false;
    const bool asf = Named(oc, {"asf", "asf_stream"}) && !cover.Empty() && Music.KeepCover;
    std::vector<std::pair<std::string, std::string>> freeform;
    if (Named(oc, {"ipod", "mp4", "mov"}) && static_cast<size_t>(i) < Music.Run.Tags.size())
      for (const auto& pair : Music.Run.Tags[static_cast<size_t>(i)])
        if (!Mp4KnownKey(pair.first)) freeform.push_back(pair);
    if (!wav && !asf && freeform.empty()) continue;
    // What the muxer wrote goes to the file before we edit it.
    av.avio_flush(oc->pb);
    if (oc->pb->error < 0) continue;  // the close reports it
    const std::string path = WrittenPath(Output.Targets[static_cast<size_t>(i)]);
    const int fd = path.empty() ? -1 : open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      if (fd >= 0) close(fd);
      continue;
    }
    std::string error;
    bool done = true;
    const char* what = "";
    if (wav) {
      what = "the ID3 chunk";
      const DictPtr tags = Dictionary(static_cast<size_t>(i) < Music.Run.Tags.size()
                                          ? Music.Run.Tags[static_cast<size_t>(i)]
                                          : std::vector<std::pair<std::string, std::string>>());
      const std::vector<uint8_t> tag =
          MakeId3v2Tag(tags.get(), Music.KeepCover && !cover.Empty() ? &cover : nullptr);
      if (!tag.empty()) done = AppendWavId3Chunk(fd, tag, error);
    } else if (asf) {
      what = "the cover picture";
      done = InsertAsfPicture(fd, cover, error);
    } else {
      what = "the tags";
      done = AddMp4FreeformTags(fd, freeform, error);
    }
    const int closed = close(fd);
    if (closed != 0 && done) {
      done = false;
      error = SystemErrorText(errno);
    }
    if (!done) {
      if (error.find("cannot write") != std::string::npos || closed != 0)
        throw FFmpegException(StrFormat("Could not write %s into '%s': %s", what,
                                        Output.Targets[static_cast<size_t>(i)].FinalName.c_str(),
                                        error.c_str()));
      Log(0, StrFormat("%s left out of '%s': %s", what,
                       Output.Targets[static_cast<size_t>(i)].FinalName.c_str(), error.c_str()));
    }
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
