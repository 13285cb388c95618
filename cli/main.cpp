// quellon-cli: the converter component driven from a terminal.
//
// Exit status: 0 when every file converted completely, 1 when any failed,
// converted only in part (a damaged source), could not be read under a
// folder, or a signal stopped the run; 2 on a usage error.
//
// A view of one conversion batch (Batch.h): the batch checks and queues the
// files a few at a time while the first ones already convert, so a long
// list starts at once and holds little memory.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "AVProbe.h"
#include "Batch.h"
#include "CliOptions.h"
#include "FFmpegLoader.h"
#include "OptionComposer.h"
#include "ProgressView.h"
#include "REzuvuZUZ.h"
#include "Text.h"

namespace {

std::atomic<bool> Interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "flag written by a signal handler");

void OnInterrupt(int) { Interrupted = true; }

// Ctrl-C, SIGTERM and SIGHUP (a closed terminal) ask for the same orderly
// stop: running files end, their unfinished outputs are removed, the summary
// is printed. The handler then goes, so a second signal ends the program at
// once (leaving only hidden ".part" files, which a later run removes).
void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

std::string LevelPrefix(TLogLevel level) {
  switch (level) {
    case llError:
      return "error";
    case llInfo:
      return "info";
    case llDebug:
      return "debug";
    default:
      return "trace";
  }
}

int ProbeFiles(TREzuvuZUZ& component, const TCliOptions& options) {
  int status = 0;
  bool first = true;
  for (const std::string& file : options.Files) {
    TAVProbe& probe = *component.AVProbe();
    probe.SetTagEncoding(options.TagEncoding);
    if (!probe.Open(file)) {
      std::fprintf(stderr, "quellon-cli: %s: %s\n", file.c_str(), probe.LastError().c_str());
      status = 1;
      continue;
    }
    if (!first) std::printf("\n");
    first = false;
    std::printf("%s\n", probe.GetInfoText().c_str());
    probe.Close();
  }
  return status;
}

// The batch's choices as the command line sets them.
void SetChoices(TConversionBatch& batch, const TCliOptions& options) {
  TBatchChoices& c = batch.Choices;
  std::string why;
  SetFormatList(c, options.Format, why);  // checked when the command line was read
  c.OutputFolder = options.OutputDir;
  c.KeepTree = options.KeepTree;
  c.Overwrite = options.Overwrite;
  c.Channels = options.Channels;
  c.SampleRate = options.SampleRate;
  c.BitRateKbps = options.BitRateKbps;
  c.Quality = options.Quality;
  c.Volume = options.Volume;
  c.Music.Normalize = options.Loudness < 0;
  if (c.Music.Normalize) c.Music.Target = StrFormat("%g", options.Loudness);
  c.Music.ReplayGain = options.ReplayGain;
  c.Music.KeepTime = options.KeepTime;
  c.Music.FolderCover = options.FolderCover;
  c.UseCue = !options.NoCue;
  c.GapsAtStart = options.GapsAtStart;
  c.AlbumGain = options.AlbumGain;
  c.TagEncoding = options.TagEncoding;
  c.ExtraOptions = options.Extra;
  c.NamePattern = options.NamePattern;
  c.Sync = options.Sync;
  c.DeleteOrphans = options.DeleteOrphans;
  c.DryRun = options.DryRun;
  batch.Jobs = options.Jobs;
  batch.KeepPartial = options.KeepPartial;
  batch.SplitEncoding = options.Split;
}

// Converts the files of the command line as one batch; the exit status.
int Convert(TREzuvuZUZ& component, const TCliOptions& options) {
  TConversionBatch batch(component);
  SetChoices(batch, options);
  // A quality the format's encoder cannot take fails before anything is made.
  std::string why;
  if (!batch.CheckChoices(why)) {
    std::fprintf(stderr, "quellon-cli: %s\n", why.c_str());
    return 2;
  }
  if (!options.OutputDir.empty() && !options.DryRun) {
    std::error_code error;
    std::filesystem::create_directories(options.OutputDir, error);
    if (!std::filesystem::is_directory(options.OutputDir)) {
      std::fprintf(stderr, "quellon-cli: cannot create the output folder '%s': %s\n",
                   options.OutputDir.c_str(), error.message().c_str());
      return 1;
    }
  }
  TProgressView view(batch, isatty(STDOUT_FILENO) != 0, options.Quiet);
  batch.OnFileProgress = [&](uint64_t) { view.Progress(); };
  batch.OnFileEnded = [&](const TBatchFile& file) { view.Ended(file); };
  batch.OnLog = [&](uint64_t id, TLogLevel level, const std::string& text) {
    // The error that ended a job (llQuiet) is in the summary already.
    if (level == llQuiet || level > options.LogLevel) return;
    const TBatchFile* file = id ? batch.File(id) : nullptr;
    view.Log(std::string("quellon-cli: ") + (file ? (file->Track ? file->Track->Label() : file->Source) + ": " : std::string()) +
             LevelPrefix(level) + ": " + text);
  };
  for (const std::string& path : options.Files) {
    std::string error;
    if (!batch.AddPath(path, options.Recursive, &error)) {
      std::fprintf(stderr, "quellon-cli: %s\n%s", error.c_str(), UsageText().c_str());
      return 2;
    }
  }
  if (options.Start >= 0 || options.End >= 0)
    for (const TBatchFile& file : batch.Files()) batch.SetClip(file.Id, options.Start, options.End);
  CatchInterrupts();
  batch.SetAbortFlag(&Interrupted);
  TEventLoop& loop = *component.EventLoop();
  bool stopSent = false;
  if (batch.Start()) {
    while (batch.Running()) {
      loop.RunUntil([&] { return !batch.Running() || (Interrupted && !stopSent); }, 100);
      if (Interrupted && !stopSent) {
        stopSent = true;
        batch.Stop();
      }
      view.Tick();
    }
  }
  view.Summary();
  const TBatchFigures figures = batch.Figures();
  bool unreadable = false;
  for (const TBatchFile& file : batch.Skipped()) unreadable = unreadable || file.Code == rcSourceDenied;
  return Interrupted || figures.Failed > 0 || figures.Partial > 0 || figures.Left > 0 || unreadable
             ? 1
             : 0;
}

}  // namespace

int main(int argc, char** argv) {
  TCliOptions options;
  std::string error;
  if (!ParseCommandLine(argc, argv, options, error)) {
    std::fprintf(stderr, "quellon-cli: %s\n%s", error.c_str(), UsageText().c_str());
    return 2;
  }
  if (options.Help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  TREzuvuZUZ component;
  if (options.Version) {
    std::printf("quellon-cli %s (converter component %s)\n", QUELLON_ENGINE_VERSION,
                component.Version().c_str());
    return 0;
  }
  component.SetLogLevel(options.LogLevel);
  component.SetProgressInterval(250);
  if (!component.LoadAVLib(DefaultLibraryDir())) {
    std::fprintf(stderr, "quellon-cli: %s\n", component.LastErrMsg().c_str());
    return 1;
  }
  if (options.Probe) return ProbeFiles(component, options);
  return Convert(component, options);
}
