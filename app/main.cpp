#include <cstdio>

#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "LibAV.h"
#include "Text.h"

int main() {
  TFFmpegLoader& loader = FFmpegLoader();
  loader.SetLibraryPath(ExecutableDir() + "LibAV");
  if (!loader.LoadLibraries(ENGINE_LIBRARIES)) {
    std::fprintf(stderr, "%s\n", loader.LastError().c_str());
    return 1;
  }
  std::printf("Quellon engine %s, media libraries %s\n", QUELLON_ENGINE_VERSION,
              av.av_version_info());
  for (int i = 0; i < LIBRARY_COUNT; ++i)
    if (loader.LibraryLoaded(i))
      std::printf("  %-22s %s\n", TFFmpegLoader::LibraryFileName(i).c_str(),
                  loader.LoadedPath(i).c_str());
  TCustomFFmpeg engine;
  engine.Reset();
  std::printf("engine ready: %d Hz, %d channels by default\n", engine.Audio.SampleRate,
              engine.Audio.Channels);
  return 0;
}
