// The batch's cue sheets: a sheet, or an image with one, listed as its
// tracks; each track composed as a range of its image with its own tags and
// name (see Batch.h).
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "AlbumGain.h"
#include "AVProbe.h"
#include "Batch.h"
#include "CueSheet.h"
#include "Text.h"

namespace {




bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsFlacPath(const std::string& path) {
  return path.size() > 5 && strcasecmp(path.c_str() + path.size() - 5, ".flac") == 0;
}

// A name a file system takes, that stays in its folder: the characters some
// refuse (/ \ : * ? " < > | and control characters) become "_", and it does
// not start with a dot (hidden, or "..").
std::string SafeName(const std::string& text) {
  std::string name;
  for (char c : Trim(text)) {
    const auto u = static_cast<unsigned char>(c);
    name += u < 0x20 || u == 0x7F || std::string("/\\:*?\"<>|").find(c) != std::string::npos ? '_'
                                                                                            : c;
  }
  if (!name.empty() && name.front() == '.') name.front() = '_';
  return name;
}

// A tag value on one option line.
std::string OneLine(const std::string& text) {
  std::string value = text;
  for (char& c : value)
    if (c == '\r' || c == '\n') c = ' ';
  return Trim(value);
}

// Tags of an image that describe the whole image, never one of its tracks.
const char* const ImageOnlyTags[] = {"cuesheet", "title", "track", "tracktotal", "totaltracks",
                                     "isrc", "replaygain_track_gain", "replaygain_track_peak",
                                     "lyrics", "log", "itunsmpb", "cdtoc", "accurateripresult",
                                     "accurateripdiscid", "musicbrainz_trackid",
                                     "musicbrainz_releasetrackid", "acoustid_id"};

std::vector<std::pair<std::string, std::string>> TrackTags(const TCueSheet& sheet, size_t index) {
  const TCueTrack& track = sheet.Tracks[index];
  std::vector<std::pair<std::string, std::string>> tags;
  const auto set = [&tags](const std::string& key, const std::string& value) {
    if (!OneLine(value).empty()) tags.emplace_back(key, OneLine(value));
  };
  set("title", track.Title);
  set("artist", track.Performer.empty() ? sheet.Performer : track.Performer);
  set("album", sheet.Title);
  set("album_artist", sheet.Performer);
  set("track", std::to_string(track.Number) + "/" + std::to_string(sheet.Tracks.size()));
  set("date", sheet.Date);
  set("genre", sheet.Genre);
  if (sheet.DiscNumber > 0)
    set("disc", std::to_string(sheet.DiscNumber) +
                    (sheet.TotalDiscs > 0 ? "/" + std::to_string(sheet.TotalDiscs) : ""));
  set("ISRC", track.Isrc);
  set("composer", track.Songwriter.empty() ? sheet.Songwriter : track.Songwriter);
  set("comment", sheet.Comment);
  // What the sheet leaves out the image's tags fill, except what is the
  // image's own: an empty value keeps that key out.
  for (const char* key : ImageOnlyTags) {
    const bool given = std::any_of(tags.begin(), tags.end(), [key](const auto& tag) {
      return strcasecmp(tag.first.c_str(), key) == 0;
    });
    if (!given) tags.emplace_back(key, "");
  }
  return tags;
}

}  // namespace

std::string TBatchTrack::Label() const {
  return StrFormat("%02d - %s", Number,
                   Title.empty() ? StrFormat("Track %02d", Number).c_str() : Title.c_str());
}

std::string TConversionBatch::CueBeside(const std::string& audio) {
  const std::string folder = FolderOf(audio);
  const std::string base = folder + "/" + WithoutExtension(NameOf(audio));
  for (const std::string& cue : {base + ".cue", base + ".CUE", audio + ".cue"})
    if (IsFile(cue)) return cue;
  // A sheet of another name that names it: each folder's sheets read once.
  auto found = CueOfImageIn.find(folder);
  if (found == CueOfImageIn.end()) {
    std::map<std::string, std::string>& images = CueOfImageIn[folder];
    if (DIR* dir = opendir(folder.c_str())) {
      std::vector<std::string> cues;
      while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.' && IsCuePath(entry->d_name))
          cues.push_back(folder + "/" + entry->d_name);
      closedir(dir);
      std::sort(cues.begin(), cues.end());
      for (const std::string& cue : cues) {
        TCueSheet sheet;
        std::string error;
        ReadCueFile(cue, Choices.TagEncoding, sheet, error);
        for (const std::string& name : sheet.Files) {
          const std::string image = name.find('/') == 0 ? name : CueAudioPath(cue, name);
          if (!image.empty()) images.emplace(image, cue);
        }
      }
    }
    found = CueOfImageIn.find(folder);
  }
  const auto image = found->second.find(audio);
  return image == found->second.end() ? "" : image->second;
}

uint64_t TConversionBatch::ListWhole(const std::string& path, const std::string& folder,
                                     const std::string& relativeFolder,
                                     const TProbedSource* probed) {
  TBatchFile file;
  file.Id = NextId++;
  file.Source = path;
  file.Folder = folder;
  file.RelativeFolder = relativeFolder;
  if (probed && probed->Path == path && probed->Code == rcNone && probed->Error.empty()) {
    file.Probed = true;
    file.Facts = probed->Facts;
    file.Facts.RelativeFolder = relativeFolder;
    file.SizeBytes = probed->SizeBytes;
    file.InfoText = probed->InfoText;
    file.ExpectedMs = file.Facts.Duration > 0 ? file.Facts.Duration / 1000 : 0;
  }
  file.InRun = FRunning;
  FFiles.push_back(std::move(file));
  if (FRunning) NoteSource(FFiles.back());
  return FFiles.back().Id;
}

bool TConversionBatch::AddAsTracks(const std::string& path, const std::string& folder,
                                   const std::string& relativeFolder, const TProbedSource* probed,
                                   uint64_t* firstId) {
  const bool isCue = IsCuePath(path);
  if (!Choices.UseCue) {
    if (!isCue) return false;
    AddSkipped(path, rcNotConvertible, "a cue sheet (cue sheets are not used)");
    if (firstId) *firstId = FSkipped.back().Id;
    return true;
  }
  // Listed already (its sheet's tracks, or its image whole after the sheet failed).
  const auto listed = CueListed.find(path);
  if (listed != CueListed.end() && IndexOf(listed->second) < FFiles.size()) {
    if (firstId) *firstId = listed->second;
    return true;
  }

  TCueSheet sheet;
  std::string error;
  bool usable = false;
  std::string cuePath = isCue ? path : CueBeside(path);
  if (!cuePath.empty()) {
    usable = ReadCueFile(cuePath, Choices.TagEncoding, sheet, error);
  } else {
    bool found = false;
    if (!IsFlacPath(path)) return false;
    usable = ReadEmbeddedCue(path, probed ? probed->CueSheetTag : "", sheet, found, error);
    if (!found) return false;
    cuePath = path;
  }

  // Each image probed once: its rate and length.
  std::map<std::string, TCueAudio> audio;
  std::map<std::string, TProbedSource> probes;
  if (usable) {
    for (size_t i = 0; i < sheet.Files.size() && usable; ++i) {
      const std::string& image = sheet.Files[i];
      TProbedSource probe = probed && probed->Path == image
                                ? *probed
                                : ProbeSource(*Component.AVProbe(), image, Choices.TagEncoding);
      if (probe.Code != rcNone || !probe.Error.empty() || probe.SampleRate <= 0) {
        error = (sheet.FileLines[i] > 0 ? StrFormat("cue sheet line %d: ", sheet.FileLines[i])
                                        : std::string()) +
                "'" + image + "' cannot be read: " +
                (probe.Error.empty() ? std::string("no sound in it") : probe.Error);
        usable = false;
        break;
      }
      audio[image] = {probe.SampleRate, probe.Samples};
      probes[image] = std::move(probe);
    }
  }
  std::vector<TTrackRange> ranges;
  if (usable) usable = TrackRanges(sheet, audio, Choices.GapsAtStart, ranges, error);

  if (!usable) {
    // The sheet fails with its reason; its images stay convertible whole.
    FEnded = false;
    const uint64_t id = ListWhole(cuePath, folder, relativeFolder, nullptr);
    TBatchFile& failed = *Find(id);
    failed.Probed = true;
    failed.CueFailure = error;
    EndWithoutTask(failed, foFailed, rcCueSheet, error);
    CueListed[cuePath] = id;
    if (firstId) *firstId = id;
    std::vector<std::string> images;
    for (const std::string& name : sheet.Files) {
      const std::string image = sheet.Embedded ? name : CueAudioPath(cuePath, name);
      if (!image.empty() && std::find(images.begin(), images.end(), image) == images.end())
        images.push_back(image);
    }
    if (images.empty() && isCue) {
      const std::string guess = CueAudioPath(cuePath, WithoutExtension(NameOf(cuePath)) + ".wav");
      if (!guess.empty()) images.push_back(guess);
    }
    if (!isCue && std::find(images.begin(), images.end(), path) == images.end())
      images.push_back(path);
    for (const std::string& image : images) {
      const auto before = CueListed.find(image);
      if (before != CueListed.end() && IndexOf(before->second) < FFiles.size()) continue;
      CueListed[image] = ListWhole(image, folder, relativeFolder, probed);
    }
    if (FRunning) PostFeed();
    return true;
  }

  FEnded = false;
  uint64_t first = 0;
  for (size_t i = 0; i < sheet.Tracks.size(); ++i) {
    const TCueTrack& cueTrack = sheet.Tracks[i];
    const TProbedSource& image = probes[cueTrack.File];
    const TTrackRange& range = ranges[i];
    auto track = std::make_shared<TBatchTrack>();
    track->CuePath = cuePath;
    track->Number = cueTrack.Number;
    track->Title = cueTrack.Title;
    track->Performer = cueTrack.Performer.empty() ? sheet.Performer : cueTrack.Performer;
    track->First = range.First;
    track->End = range.ToFileEnd ? -1 : range.End;
    track->Tags = TrackTags(sheet, i);
    track->AlbumKey = "cue:" + cuePath;
    track->ImageName = WithoutExtension(NameOf(cueTrack.File));
    TBatchFile file = NewProbedFile(image, folder, relativeFolder);
    file.Source = cueTrack.File;
    // Its length: to the next track, or to the image's end.
    int64_t samples = range.End - range.First;
    if (range.End < 0) {
      samples = image.Facts.Duration > 0
                    ? image.Facts.Duration * image.SampleRate / 1000000 - range.First
                    : 0;
    }
    file.Facts.Duration = std::max<int64_t>(0, samples) * 1000000 / image.SampleRate;
    file.ExpectedMs = file.Facts.Duration / 1000;
    file.Track = std::move(track);
    file.InRun = FRunning;
    FFiles.push_back(std::move(file));
    if (FRunning) NoteSource(FFiles.back());
    if (first == 0) first = FFiles.back().Id;
  }
  CueListed[cuePath] = first;
  for (const std::string& image : sheet.Files) CueListed[image] = first;
  if (firstId) *firstId = first;
  if (FRunning) PostFeed();
  return true;
}

void TConversionBatch::ComposeTrack(const TBatchFile& file, const TComposerState& state,
                                    TInputOptions& input, TOutputOptions& output) {
  const TBatchTrack& track = *file.Track;
  AddSampleRange(input, track.First, track.End);
  // Named "NN - Title" in a folder named after the image: beside the image,
  // or below the output folder (in the image's own sub-folder when the tree
  // is kept).
  std::string folderName = SafeName(track.ImageName);
  if (folderName.empty()) folderName = "image";
  const std::string stem = SafeName(track.Label());
  TComposerState named = state;
  if (!state.Output.PatternName.empty()) {
    // Named by the pattern (from the track's tags).
  } else if (state.Output.Folder == SAME_AS_INPUT) {
    named.Source.FileName = FolderOf(file.Source) + "/" + folderName + "/" + stem + ".track";
  } else {
    named.Source.FileName = "/" + stem + ".track";
    named.Source.RelativeFolder =
        (Choices.KeepTree && !file.RelativeFolder.empty() ? file.RelativeFolder + "/" : "") +
        folderName;
  }
  named.Output.PlainName = true;
  ComposeOutput(named, output);
  output.CreateFolder = true;
  for (const auto& tag : track.Tags)
    output.ExtOptions += (output.ExtOptions.empty() ? "" : "\r\n") + std::string("metadata=") +
                         tag.first + "=" + tag.second;
}
