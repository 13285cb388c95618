#include "AlbumGain.h"

#include <map>
#include <memory>
#include <mutex>

#include "Text.h"

struct TAlbumGroup {
  std::vector<std::string> Sources;
  std::mutex Measuring;  // held while the album's sources are measured
  std::map<std::string, TLoudnessMeasure> Measures;  // by source, as levelled
  bool Measured = false;
};

namespace {

using TAlbum = TAlbumGroup;

std::mutex& RegistryLock() {
  static std::mutex lock;
  return lock;
}
std::map<std::string, std::shared_ptr<TAlbum>>& Registry() {
  static std::map<std::string, std::shared_ptr<TAlbum>> albums;
  return albums;
}

}  // namespace

void DefineAlbum(const std::string& name, const std::vector<std::string>& sources) {
  auto album = MakeAlbum(sources);
  std::lock_guard<std::mutex> lock(RegistryLock());
  Registry()[name] = std::move(album);
}

void ForgetAlbum(const std::string& name) {
  std::lock_guard<std::mutex> lock(RegistryLock());
  Registry().erase(name);
}

std::shared_ptr<TAlbumGroup> MakeAlbum(const std::vector<std::string>& sources) {
  auto album = std::make_shared<TAlbumGroup>();
  album->Sources = sources;
  return album;
}

bool AddToAlbum(TAlbumGroup& album, const std::string& source) {
  std::lock_guard<std::mutex> measuring(album.Measuring);
  if (album.Measured) return false;
  for (const std::string& s : album.Sources)
    if (s == source) return true;
  album.Sources.push_back(source);
  return true;
}

bool AlbumLoudness(const std::string& name, const std::string& source,
                   const TLoudnessMeasure& track, const TMusicOptions& options,
                   TLoudnessMeasure& result, const std::atomic<bool>* stop,
                   const TMeasureLog& log) {
  std::shared_ptr<TAlbum> album;
  {
    std::lock_guard<std::mutex> lock(RegistryLock());
    auto found = Registry().find(name);
    if (found == Registry().end()) return false;
    album = found->second;
  }
  return AlbumGroupLoudness(*album, source, track, options, result, stop, log);
}

bool AlbumGroupLoudness(TAlbumGroup& group, const std::string& source,
                        const TLoudnessMeasure& track, const TMusicOptions& options,
                        TLoudnessMeasure& result, const std::atomic<bool>* stop,
                        const TMeasureLog& log) {
  TAlbumGroup* album = &group;
  std::lock_guard<std::mutex> measuring(album->Measuring);
  bool member = false;
  for (const std::string& s : album->Sources) member = member || s == source;
  if (!member) return false;
  album->Measures[source] = track;
  if (!album->Measured) {
    for (const std::string& s : album->Sources) {
      if (album->Measures.count(s)) continue;
      TLoudnessMeasure measure;
      std::string error;
      if (MeasureFileLoudness(s, measure, error, stop, log)) {
        album->Measures[s] = LevelledMeasure(measure, options);
      } else if (stop && *stop) {
        return false;
      } else {
        album->Measures[s] = TLoudnessMeasure();  // left out of the album's level
        if (log)
          log(0, StrFormat("'%s' is left out of the album's loudness: %s", s.c_str(),
                           error.c_str()));
      }
    }
    album->Measured = true;
  }
  std::vector<TLoudnessMeasure> tracks;
  for (const auto& entry : album->Measures) tracks.push_back(entry.second);
  result = CombineLoudness(tracks);
  return result.Valid;
}
