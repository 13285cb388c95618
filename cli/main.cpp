// quellon-cli: the converter component driven from a terminal.
//
// Exit status: 0 when every file converted completely, 1 when any failed or
// converted only in part (a damaged source), or a signal stopped the run; 2
// on a usage error.
//
// Files are checked and queued a few at a time while the first ones already
// convert, so a long list starts at once and holds little memory.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <unordered_map>
#include <memory>

#include "AVProbe.h"
#include "AlbumGain.h"
#include "CliOptions.h"
#include "FFmpegLoader.h"
#include "OptionComposer.h"
#include "ProgressView.h"
#include "REzuvuZUZ.h"
#include "SourceList.h"
#include "SourceTree.h"
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

// The composer's controls as the command line sets them.
TComposerState BaseState(const TCliOptions& options) {
  TComposerState state;
  SelectFormat(state, options.Format);
  state.Output.Folder = options.OutputDir.empty() ? SAME_AS_INPUT : options.OutputDir;
  state.Output.Overwrite = options.Overwrite;
  state.Audio.Channels = options.Channels;
  state.Audio.SampleRate = options.SampleRate;
  if (options.BitRateKbps > 0) state.Audio.BitRate = {true, std::to_string(options.BitRateKbps)};
  if (options.Volume >= 0) state.Audio.Volume = {true, std::to_string(options.Volume)};
  state.Music.Normalize = options.Loudness < 0;
  if (state.Music.Normalize) state.Music.Target = StrFormat("%g", options.Loudness);
  state.Music.ReplayGain = options.ReplayGain;
  state.Music.KeepTime = options.KeepTime;
  state.Music.FolderCover = options.FolderCover;
  return state;
}

class TCliRun {
 public:
  TCliRun(TREzuvuZUZ& component, const TCliOptions& options, std::vector<TFileJob> jobs)
      : Component(component),
        Options(options),
        Jobs(std::move(jobs)),
        View(Jobs, isatty(STDOUT_FILENO) != 0, options.Quiet) {}

  int Run() {
    if (!Options.OutputDir.empty()) {
      std::error_code error;
      std::filesystem::create_directories(Options.OutputDir, error);
      if (!std::filesystem::is_directory(Options.OutputDir)) {
        std::fprintf(stderr, "quellon-cli: cannot create the output folder '%s': %s\n",
                     Options.OutputDir.c_str(), error.message().c_str());
        return 1;
      }
    }
    TComposerState state = BaseState(Options);
    for (const TFileJob& job : Jobs) {
      // No output may be, or lead to, a file of this run.
      TFileIdentity source;
      if (ReadFileIdentity(job.Source, source)) state.Output.Sources.push_back(source);
    }
    // Album gain: the files of each folder are one album, named per run.
    // (The files found in folders given with -r count as the folder's files.)
    std::vector<std::string> sources;
    for (const TFileJob& job : Jobs) sources.push_back(job.Source);
    if (Options.AlbumGain)
      for (const std::vector<std::string>& album : AlbumsByFolder(sources)) {
        const std::string name = StrFormat("cli-%d:", static_cast<int>(getpid())) + album.front();
        DefineAlbum(name, album);
        for (const std::string& file : album) AlbumOf[file] = name;
      }
    Connect();
    CatchInterrupts();
    Component.SetAbortFlag(&Interrupted);
    Component.KeepPartial = Options.KeepPartial;
    Component.SplitEncoding = Options.Split;
    TEventLoop& loop = *Component.EventLoop();
    size_t next = 0;
    for (;;) {
      // Check and queue files while few wait, a slice of time at most, so
      // that the event loop (and the first conversions) go on meanwhile. The
      // first run starts with one file more than it runs at once (when there
      // are): the component tells a lone file, which may take every core, from
      // the first of a batch by the files it sees waiting.
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(40);
      const size_t first = std::min(Jobs.size(), static_cast<size_t>(std::max(Options.Jobs, 1)) + 1);
      int added = 0;
      while (next < Jobs.size() && !Interrupted && Waiting() < Lookahead() &&
             (std::chrono::steady_clock::now() < until || next < first))
        added += Prepare(static_cast<int>(next++), state) ? 1 : 0;
      // A new run, or more tasks for the running one. Tasks are joined to the
      // run before a stop: the component's Stop leaves tasks that are not in
      // the run waiting, and a signal may come while a file is prepared.
      if (added > 0) {
        Component.Start(Options.Jobs);
        if (StopSent) Component.Stop();
      }
      if (Interrupted) RequestStop();
      const bool allQueued = next >= Jobs.size() || Interrupted;
      if (allQueued && Waiting() <= 0) break;
      loop.RunUntil(
          [&] {
            return Waiting() <= 0 || (Interrupted && !StopSent) ||
                   (!allQueued && Waiting() < Lookahead());
          },
          100);
      FreeEndedTasks();
      View.Tick();
    }
    for (TFileJob& job : Jobs) {
      if (job.Ended) continue;
      // Never became a task because a signal came first.
      job.Ended = job.Failed = true;
      job.Message = "stopped";
    }
    View.Summary();
    bool failed = Interrupted;
    for (const TFileJob& job : Jobs) failed = failed || job.Failed || job.Partial;
    return failed ? 1 : 0;
  }

 private:
  // Tasks made and not ended; at most Lookahead are kept.
  int Waiting() const { return Queued - EndedCount.load(); }
  int Lookahead() const { return 2 * std::max(Options.Jobs, 1) + 2; }

  void RequestStop() {
    if (StopSent.exchange(true)) return;
    Component.Stop();
  }

  void Connect() {
    Component.OnLog = [this](int index, TLogLevel level, const std::string& msg) {
      // The error that ended a job (llQuiet) is in the summary already.
      if (level == llQuiet || level > Options.LogLevel) return;
      std::string text = msg;
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      const int job = JobOf(index);
      View.Log(std::string("quellon-cli: ") +
               (job >= 0 ? Jobs[static_cast<size_t>(job)].Source + ": " : std::string()) +
               LevelPrefix(level) + ": " + text);
    };
    Component.OnProgress = [this](int index, int, int, int currentDuration, float, float,
                                  int64_t currentSize, int) {
      // In main-thread mode the job runs inside the loop: a signal is seen here.
      if (Interrupted) RequestStop();
      const int job = JobOf(index);
      if (job >= 0) View.Progress(job, currentDuration, currentSize);
    };
    Component.OnTerminate = [this](int index, bool finished, bool exception,
                                   const std::string& message) {
      if (index < 0) return;  // the run's end: the loop counts the files instead
      // Counted last, when the file's end is recorded: the main loop may
      // finish (and take the view away) as soon as the count says all ended.
      struct TCountOnLeave {
        std::atomic<int>& Count;
        ~TCountOnLeave() { ++Count; }
      } countOnLeave{EndedCount};
      const int job = JobOf(index);
      if (job < 0) return;
      double seconds = 0;
      bool partial = false;
      std::string reason, output;
      if (TFFmpeg* task = Component.Task(index)) {
        if (task->RunStartedAt != std::chrono::steady_clock::time_point{})
          seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                  task->RunStartedAt)
                        .count();
        partial = task->Result.Outcome == joPartial;
        if (partial) reason = task->Result.Reason;
        if (!task->Result.Outputs.empty()) output = task->Result.Outputs.front();
      }
      const bool failed = !finished || exception;
      if (exception)
        reason = message.empty() ? "unknown error" : message;
      else if (!finished)
        reason = "stopped";
      View.Ended(job, failed, partial, reason, output, seconds);
      std::lock_guard<std::mutex> lock(JobsLock);
      Ended.push_back(Component.Task(index));
    };
  }

  // Called by the handlers, under the component's lock (its task list holds still).
  int JobOf(int taskIndex) {
    const TFFmpeg* task = Component.Task(taskIndex);
    std::lock_guard<std::mutex> lock(JobsLock);
    const auto found = JobOfTask.find(task);
    return found == JobOfTask.end() ? -1 : found->second;
  }

  // Tasks that reported their end are freed, so that a long list holds only
  // the tasks that wait or run. On this thread only: the task list changes
  // nowhere else.
  void FreeEndedTasks() {
    std::vector<const TFFmpeg*> ended;
    {
      std::lock_guard<std::mutex> lock(JobsLock);
      ended.swap(Ended);
    }
    for (const TFFmpeg* task : ended) {
      for (int i = 0; i < Component.TaskCount(); ++i) {
        if (Component.Task(i) != task) continue;
        Component.RemoveTask(i);
        break;
      }
      std::lock_guard<std::mutex> lock(JobsLock);
      JobOfTask.erase(task);
    }
  }

  // Probes the file, composes its records and makes its task; true when a
  // task was queued.
  bool Prepare(int job, TComposerState& state) {
    TFileJob& j = Jobs[static_cast<size_t>(job)];
    TAVProbe& probe = *Component.AVProbe();
    if (!probe.Open(j.Source)) {
      std::string why = probe.LastError();
      if (j.FromFolder && !Interrupted) {
        Skip(job, why);
        return false;
      }
      if (!Options.Recursive && IsFolder(j.Source)) why += "; give -r to convert the files under it";
      Refuse(job, why);
      return false;
    }
    TSourceFacts facts;
    facts.FileName = j.Source;
    facts.RelativeFolder = j.RelativeFolder;
    facts.HasAudio = probe.AudioStreamCount() > 0;
    AVFormatContext* context = probe.FormatContext();
    facts.FormatName = context && context->iformat ? context->iformat->name : "";
    facts.Duration = context ? context->duration : 0;
    facts.HasVideo = probe.VideoStreamCount() > 0;
    if (facts.HasVideo) {
      const TVideoStreamInfo video = probe.GetVideoStreamInfo();
      facts.VideoWidth = video.Width;
      facts.VideoHeight = video.Height;
    }
    probe.Close();
    if (j.FromFolder && !WantedFromFolder(facts, AudioOutputFormat(Options.Format))) {
      Skip(job, facts.HasVideo ? "a still picture" : "no sound in it");
      return false;
    }
    LoadSource(state, facts);
    const auto album = AlbumOf.find(j.Source);
    state.Music.Album = album == AlbumOf.end() ? "" : album->second;
    j.ExpectedMs = facts.Duration > 0 ? facts.Duration / 1000 : 0;
    if (Options.Start >= 0 || Options.End >= 0) {
      std::string why;
      if (!MarkClip(state, why)) {
        Refuse(job, why);
        return false;
      }
    }
    TInputOptions input;
    TOutputOptions output;
    ComposeInput(state, input);
    ComposeOutput(state, output);
    TClipRange clip;
    if (ClipRange(state, clip)) j.ExpectedMs = clip.End - clip.Start;
    for (const std::string& line : Options.Extra)
      output.ExtOptions += (output.ExtOptions.empty() ? "" : "\r\n") + line;
    const int index = Component.AddTask(j.Source, &input);
    if (index < 0) {
      Refuse(job, Component.LastErrMsg());
      return false;
    }
    if (!Component.SetOutputFile(index, output.FileName, &output)) {
      const std::string why = Component.LastErrMsg();
      Component.RemoveTask(index);
      Refuse(job, why);
      return false;
    }
    j.Output = output.FileName;
    state.Output.Reserved.insert(output.FileName);
    {
      std::lock_guard<std::mutex> lock(JobsLock);
      JobOfTask[Component.Task(index)] = job;
    }
    ++Queued;
    return true;
  }

  // A file that cannot become a task; one whose check a signal broke off
  // stays to be reported as stopped.
  void Refuse(int job, const std::string& why) {
    if (!Interrupted) View.Refused(job, why);
  }

  // A file under a folder that is not worth converting; named at log level info.
  void Skip(int job, const std::string& why) { View.Skipped(job, why, Options.LogLevel >= llInfo); }

  // The --start/--end clip on the composer's time bar.
  bool MarkClip(TComposerState& state, std::string& why) const {
    const double duration = static_cast<double>(state.Source.Duration) / 1e6;
    if (state.Source.Duration <= 0 || !state.Clip.Bar.HasSlider) {
      why = "cannot cut a clip: the file's duration is unknown";
      return false;
    }
    const double start = Options.Start >= 0 ? Options.Start : 0;
    const double end = Options.End >= 0 ? std::min(Options.End, duration) : duration;
    if (start >= duration) {
      why = StrFormat("cannot cut a clip: --start %.3f lies at or after the end (%.3f s)", start,
                      duration);
      return false;
    }
    TClipControls& clip = state.Clip;
    SetTimeBarPosition(clip, TimeBarPositionAt(clip.Bar, start));
    SetClipStart(clip);
    SetTimeBarPosition(clip, TimeBarPositionAt(clip.Bar, end));
    SetClipEnd(clip);
    clip.Checked = true;
    TClipRange range;
    if (!ClipRange(state, range)) {
      why = "cannot cut a clip: it is shorter than the time bar's step";
      return false;
    }
    return true;
  }

  TREzuvuZUZ& Component;
  const TCliOptions& Options;
  std::vector<TFileJob> Jobs;
  // The job of each task not yet freed, and the tasks that ended since the
  // last look; read by the handlers on the workers' threads.
  std::mutex JobsLock;
  std::unordered_map<const TFFmpeg*, int> JobOfTask;
  std::vector<const TFFmpeg*> Ended;
  std::map<std::string, std::string> AlbumOf;  // source -> its album's name
  TProgressView View;
  int Queued = 0;                  // tasks made
  std::atomic<int> EndedCount{0};  // tasks that reported their end
  std::atomic<bool> StopSent{false};
};

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
  std::vector<TFileJob> jobs;
  if (!ListSources(options, jobs, error)) {
    std::fprintf(stderr, "quellon-cli: %s\n%s", error.c_str(), UsageText().c_str());
    return 2;
  }
  TCliRun run(component, options, std::move(jobs));
  return run.Run();
}
