// One fuzz input: written to a file with a chosen extension, described by the
// probe (file info, info text, a picture as the main window shows it), then
// its first two seconds converted by an engine on this thread.
#include "FuzzInput.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>

#include "AVProbe.h"
#include "FFmpeg.h"
#include "FFmpegLoader.h"

namespace {

// The input formats a user adds; some demuxers take the extension as a hint.
const char* const INPUT_EXTENSIONS[] = {".wav", ".mp3", ".mp2", ".flac", ".ogg",
                                        ".opus", ".m4a", ".aac", ".wma", ".ac3",
                                        ".mkv", ".mp4", ".avi", ".ts"};
constexpr size_t INPUT_EXTENSION_COUNT = sizeof(INPUT_EXTENSIONS) / sizeof(INPUT_EXTENSIONS[0]);

// Byte 1: bits 0-1 the output, bit 2 the probe's picture.
enum TOutputKind { okWav = 0, okMp3 = 1, okFlac = 2, okNull = 3 };
constexpr uint8_t READ_PICTURE = 0x04;

struct TFuzzEnvironment {
  std::string Dir;  // private temporary folder
  bool Ready = false;
  bool Verbose = false;  // QUELLON_FUZZ_VERBOSE set: one line per step on stderr
};

void RemoveFolder(const std::string& dir) {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

TFuzzEnvironment& Environment() {
  static TFuzzEnvironment env = [] {
    TFuzzEnvironment made;
    FFmpegLoader().SetLibraryPath(DefaultLibraryDir());
    if (!FFmpegLoader().LoadLibraries(ENGINE_LIBRARIES)) {
      std::fprintf(stderr, "fuzz: %s\n", FFmpegLoader().LastError().c_str());
      return made;
    }
    // Corrupt input makes the libraries talk a lot; none of it is a finding.
    av.av_log_set_level(AV_LOG_QUIET);
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quellon-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      std::perror("fuzz: mkdtemp");
      return made;
    }
    made.Dir = pattern;
    made.Ready = true;
    made.Verbose = std::getenv("QUELLON_FUZZ_VERBOSE") != nullptr;
    static std::string removeAtExit = made.Dir;
    std::atexit([] { RemoveFolder(removeAtExit); });
    return made;
  }();
  return env;
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

// What a step came to, for triage; silent unless asked for.
void Note(const char* step, const std::string& text) {
  if (Environment().Verbose) std::fprintf(stderr, "  %s: %s\n", step, text.c_str());
}

void Describe(const std::string& path, bool readPicture) {
  TAVProbe probe;
  if (!probe.Open(path)) {
    Note("probe", probe.LastError());
    return;
  }
  const TFileInfo info = probe.GetFileInfo();
  Note("probe", StrFormat("%d streams, %lld us", probe.StreamCount(),
                          static_cast<long long>(info.Duration)));
  (void)TCustomAVProbe::FormatDuration(info.Duration > 0 ? info.Duration : 0);
  (void)probe.GetInfoText();
  (void)probe.GetVideoStreamInfo();
  if (readPicture && probe.FirstVideoStreamIndex() >= 0) {
    probe.Seek(-1, 0);
    const TBitmap& picture = probe.ReadVideoFrame();
    Note("picture", StrFormat("%dx%d", picture.GetWidth(), picture.GetHeight()));
  }
  probe.Close();
}

void Convert(const std::string& input, const std::string& dir, TOutputKind kind) {
  TCustomFFmpeg engine;
  engine.Reset();
  engine.SetOption("t", "2");
  if (!engine.OpenInputFile(input)) {
    Note("input", engine.LastError);
    return;
  }
  std::string output;
  switch (kind) {
    case okWav: output = dir + "/output.wav"; break;
    case okMp3:
      engine.SetOption("vn", "1");
      output = dir + "/output.mp3";
      break;
    case okFlac:
      engine.SetOption("vn", "1");
      output = dir + "/output.flac";
      break;
    case okNull:
      // Audio and video through the whole decode and encode path, written
      // nowhere: raw PCM and wrapped frames.
      engine.SetOption("f", "null");
      output = dir + "/output.null";
      break;
  }
  if (!engine.OpenOutputFile(output)) {
    Note("output", engine.LastError);
    return;
  }
  engine.Start(false);
  Note("job", engine.RunState.FinishedNormally ? std::string("finished")
                                               : "failed: " + engine.RunState.ExceptionMessage);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  TFuzzEnvironment& env = Environment();
  if (!env.Ready) std::abort();
  const std::string input = env.Dir + "/input" + INPUT_EXTENSIONS[data[0] % INPUT_EXTENSION_COUNT];
  const auto kind = static_cast<TOutputKind>(data[1] & 3);
  const bool readPicture = (data[1] & READ_PICTURE) != 0;
  if (!WriteFile(input, data + 2, size - 2)) std::abort();
  // What the component and the application do with a failed open or job:
  // the text becomes the task's error. It is not a finding.
  try {
    Describe(input, readPicture);
  } catch (const std::exception& e) {
    Note("probe raised", e.what());
  }
  try {
    Convert(input, env.Dir, kind);
  } catch (const std::exception& e) {
    Note("engine raised", e.what());
  }
  for (const auto& entry : std::filesystem::directory_iterator(env.Dir))
    std::filesystem::remove(entry.path());
  return 0;
}
