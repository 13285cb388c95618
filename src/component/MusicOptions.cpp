#include "MusicOptions.h"

#include <cmath>

#include "AlbumGain.h"

void ApplyMusicOptions(TCustomFFmpeg& task, const std::string& source, const TOutputOptions& o) {
  TMusicOptions& m = task.Music;
  m = TMusicOptions();
  m.KeepCover = o.KeepCover;
  m.FolderCover = o.FolderCover;
  m.KeepTime = o.KeepTime;
  m.Normalize = o.Normalize;
  if (std::isfinite(o.LoudnessTarget) && o.LoudnessTarget < 0 && o.LoudnessTarget >= -70)
    m.TargetLufs = o.LoudnessTarget;
  m.ReplayGain = o.ReplayGain;
  if (o.AlbumGroup) {
    const std::shared_ptr<TAlbumGroup> album = o.AlbumGroup;
    const std::atomic<bool>* stop = &task.RunState.StopRequested;
    const TMusicOptions options = m;
    m.AlbumLoudness = [album, source, stop, options](const TLoudnessMeasure& track,
                                                      TLoudnessMeasure& result,
                                                      const TMeasureLog& log) {
      return AlbumGroupLoudness(*album, source, track, options, result, stop, log);
    };
  } else if (!o.GainAlbum.empty()) {
    const std::string album = o.GainAlbum;
    const std::atomic<bool>* stop = &task.RunState.StopRequested;
    const TMusicOptions options = m;
    m.AlbumLoudness = [album, source, stop, options](const TLoudnessMeasure& track,
                                                      TLoudnessMeasure& result,
                                                      const TMeasureLog& log) {
      return AlbumLoudness(album, source, track, options, result, stop, log);
    };
  }
}
