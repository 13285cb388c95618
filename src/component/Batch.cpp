// One run of many files: the list, composition, names, albums, feeding,
// run control and figures (see Batch.h).
#include "Batch.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "AlbumGain.h"
#include "AVProbe.h"
#include "CueSheet.h"
#include "LibAV.h"
#include "Quality.h"
#include "SourceTree.h"
#include "Text.h"

namespace {

using TClock = std::chrono::steady_clock;


bool IsFolderPath(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Sync mode records one output per source and folder: several formats at
// once are refused rather than half recorded.
constexpr const char* SYNC_ONE_FORMAT =
    "sync mode converts to one format at a time; run it once for each format";

// The quality of the choices for one of their formats, as the engine's options.
bool ChosenQuality(const TBatchChoices& c, const std::string& format, TQualitySettings& settings,
                   std::string& why) {
  const int rateIndex = c.SampleRate > 0 && c.SampleRate < static_cast<int>(SampleRateItems.size())
                            ? c.SampleRate
                            : 0;
  const int rate = rateIndex > 0 ? std::atoi(SampleRateItems[static_cast<size_t>(rateIndex)]) : 0;
  const int channels = c.Channels == 1 || c.Channels == 2 ? c.Channels : 0;
  return ComposeQuality(c.Quality, format, rate, channels, settings, why);
}

TFileOutcome OutcomeOf(TJobOutcome outcome) {
  switch (outcome) {
    case joComplete: return foComplete;
    case joPartial: return foPartial;
    case joStopped: return foStopped;
    default: return foFailed;
  }
}

}  // namespace

TConversionBatch::TConversionBatch(TREzuvuZUZ& component)
    : Component(component), Alive(std::make_shared<TConversionBatch*>(this)) {
  Connect();
}

TConversionBatch::~TConversionBatch() {
  {
    std::lock_guard<std::recursive_mutex> lock(Component.EventLock);
    Component.OnProgress = nullptr;
    Component.OnTerminate = nullptr;
    Component.OnLog = nullptr;
  }
  Alive.reset();  // posted calls do nothing from here on
  Component.ClearTasks();
  Component.TasksToCome = 0;
}

void TConversionBatch::SetAbortFlag(const std::atomic<bool>* flag) {
  Abort = flag;
  Component.SetAbortFlag(flag);
}

// ---- Events of the component ---------------------------------------------------

void TConversionBatch::Connect() {
  std::weak_ptr<TConversionBatch*> alive = Alive;
  TMainThread& main = Component.MainThread();
  // Each handler runs under the component's EventLock, where the task list
  // holds still; what it learned is posted to the main thread.
  Component.OnProgress = [this, alive, &main](int index, int, int, int currentDuration, float,
                                              float, int64_t currentSize, int) {
    // A signal's abort flag stops the run at once, also a job that runs on
    // the main thread and keeps its loop busy.
    if (Abort && *Abort) Component.Stop();
    const TFFmpeg* task = Component.Task(index);
    if (!task || !task->OwnerTag) return;
    const uint64_t id = task->OwnerTag;
    auto show = [this, alive, id, currentDuration, currentSize] {
      if (!alive.lock()) return;
      TBatchFile* file = Find(id);
      if (!file || !file->Queued) return;
      file->DoneMs = std::clamp<int64_t>(currentDuration, 0,
                                         file->ExpectedMs > 0 ? file->ExpectedMs : INT64_MAX);
      file->OutputSize = currentSize;
      if (!file->Running) {
        file->Running = true;
        if (OnFileStarted) OnFileStarted(id);
      }
      if (OnFileProgress) OnFileProgress(id);
    };
    // In main-thread mode the job holds the loop: shown at once.
    if (main.IsMainThread())
      show();
    else
      main.Post(0, show);
  };
  Component.OnTerminate = [this, alive, &main](int index, bool, bool exception,
                                               const std::string& message) {
    if (index < 0) {
      main.Post(0, [this, alive] {
        if (alive.lock()) CheckRunEnd();
      });
      return;
    }
    const TFFmpeg* task = Component.Task(index);
    if (!task || !task->OwnerTag) return;
    TEnd end{
        task->OwnerTag, task->Result.Outcome, task->Result.Code, task->Result.Reason, {}, 0, {}};
    if (end.Outcome == joNone) {
      // The job never ran (refused, or stopped before it started).
      end.Outcome = exception ? joFailed : joStopped;
      end.Code = exception ? task->RunState.ExceptionCode : rcStopped;
      end.Reason = exception ? message : "stopped";
    }
    if (end.Outcome == joFailed && end.Reason.empty()) end.Reason = message;
    end.Outputs = task->Result.Outputs;
    end.Damage = SourceDamageOf(task->Result);
    if (task->RunStartedAt != TClock::time_point{})
      end.Seconds = std::chrono::duration<double>(TClock::now() - task->RunStartedAt).count();
    main.Post(0, [this, alive, end] {
      if (alive.lock()) Ended(end);
    });
  };
  Component.OnLog = [this, alive, &main](int index, TLogLevel level, const std::string& msg) {
    const TFFmpeg* task = Component.Task(index);
    const uint64_t id = task ? task->OwnerTag : 0;
    std::string text = msg;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    main.Post(0, [this, alive, id, level, text] {
      if (alive.lock() && OnLog) OnLog(id, level, text);
    });
  };
}

// ---- The list --------------------------------------------------------------------

TBatchFile* TConversionBatch::Find(uint64_t id) {
  const size_t index = IndexOf(id);
  return index < FFiles.size() ? &FFiles[index] : nullptr;
}

const TBatchFile* TConversionBatch::File(uint64_t id) const {
  const size_t index = IndexOf(id);
  return index < FFiles.size() ? &FFiles[index] : nullptr;
}

size_t TConversionBatch::IndexOf(uint64_t id) const {
  // Ids grow with the list's order except where files were moved: a binary
  // search finds most, a scan the rest.
  auto found = std::lower_bound(FFiles.begin(), FFiles.end(), id,
                                [](const TBatchFile& f, uint64_t v) { return f.Id < v; });
  if (found != FFiles.end() && found->Id == id) return static_cast<size_t>(found - FFiles.begin());
  for (size_t i = 0; i < FFiles.size(); ++i)
    if (FFiles[i].Id == id) return i;
  return FFiles.size();
}

bool TConversionBatch::AddPath(const std::string& path, bool recursive, std::string* error) {
  FEnded = false;
  if (!recursive || !IsFolderPath(path)) {
    if (AddAsTracks(path, "", "", nullptr)) return true;
    TBatchFile file;
    file.Id = NextId++;
    file.Source = path;
    FFiles.push_back(std::move(file));
    if (FRunning) {
      FFiles.back().InRun = true;
      NoteSource(FFiles.back());
      PostFeed();
    }
    return true;
  }
  std::vector<TTreeFile> found;
  std::vector<TTreeProblem> problems;
  std::string why;
  if (!ListSourceTree(path, found, why, Abort, &problems)) {
    if (error) *error = why;
    return false;
  }
  for (const TTreeFile& entry : found) {
    if (AddAsTracks(entry.Path, path, entry.RelativeFolder, nullptr)) continue;
    TBatchFile file;
    file.Id = NextId++;
    file.Source = entry.Path;
    file.Folder = path;
    file.RelativeFolder = entry.RelativeFolder;
    file.InRun = FRunning;
    FFiles.push_back(std::move(file));
    if (FRunning) NoteSource(FFiles.back());
  }
  FolderRoots.insert(path);
  for (const TTreeProblem& problem : problems)
    AddSkipped(problem.Path, problem.Code, TreeProblemText(problem));
  if (FRunning) PostFeed();
  return true;
}

TBatchFile TConversionBatch::NewProbedFile(const TProbedSource& source, const std::string& folder,
                                           const std::string& relativeFolder) {
  TBatchFile file;
  file.Id = NextId++;
  file.Source = source.Path;
  file.Folder = folder;
  file.RelativeFolder = relativeFolder;
  file.Probed = true;
  file.Facts = source.Facts;
  file.Facts.RelativeFolder = relativeFolder;
  file.SizeBytes = source.SizeBytes;
  file.InfoText = source.InfoText;
  return file;
}

uint64_t TConversionBatch::AddProbed(const TProbedSource& source, const std::string& folder,
                                     const std::string& relativeFolder) {
  FEnded = false;
  uint64_t first = 0;
  if (AddAsTracks(source.Path, folder, relativeFolder, &source, &first)) return first;
  TBatchFile file = NewProbedFile(source, folder, relativeFolder);
  const uint64_t id = file.Id;
  FFiles.push_back(std::move(file));
  TBatchFile& listed = FFiles.back();
  if (source.Code != rcNone || !source.Error.empty()) {
    if (!folder.empty()) {
      Skip(FFiles.size() - 1, source.Code == rcNone ? rcSourceFormat : source.Code, source.Error);
      return id;
    }
    EndWithoutTask(listed, foFailed, source.Code == rcNone ? rcSourceFormat : source.Code,
                   source.Error);
    return id;
  }
  if (!folder.empty() && !Wanted(listed.Facts)) {
    Skip(FFiles.size() - 1, rcNotConvertible, NotWantedText(listed.Facts));
    return id;
  }
  listed.ExpectedMs = listed.Facts.Duration > 0 ? listed.Facts.Duration / 1000 : 0;
  if (FRunning) {
    listed.InRun = true;
    NoteSource(listed);
    PostFeed();
  }
  return id;
}

void TConversionBatch::AddSkipped(const std::string& path, TReasonCode code,
                                  const std::string& reason) {
  TBatchFile file;
  file.Id = NextId++;
  file.Source = path;
  PushSkipped(std::move(file), code, reason);
}

void TConversionBatch::Skip(size_t index, TReasonCode code, const std::string& reason) {
  TBatchFile file = std::move(FFiles[index]);
  FFiles.erase(FFiles.begin() + static_cast<std::ptrdiff_t>(index));
  if (FeedFrom > index) --FeedFrom;
  PushSkipped(std::move(file), code, reason);
}

void TConversionBatch::PushSkipped(TBatchFile file, TReasonCode code, const std::string& reason) {
  file.Outcome = foSkipped;
  file.Code = code;
  file.Reason = reason;
  file.InRun = false;
  FSkipped.push_back(std::move(file));
  if (OnFileEnded) OnFileEnded(FSkipped.back());
}

void TConversionBatch::Remove(uint64_t id) {
  const size_t index = IndexOf(id);
  if (index >= FFiles.size()) return;
  if (FFiles[index].Queued) {
    FreeTask(id);
    --Outstanding;
  }
  Release(FFiles[index]);
  FFiles.erase(FFiles.begin() + static_cast<std::ptrdiff_t>(index));
  if (FeedFrom > index) --FeedFrom;
  CheckRunEnd();
}

void TConversionBatch::Clear() {
  Component.ClearTasks();
  FFiles.clear();
  FSkipped.clear();
  Reserved.clear();
  Albums.clear();
  CueListed.clear();
  CueOfImageIn.clear();
  FolderRoots.clear();
  SyncStates.clear();
  SyncJobs.clear();
  FRemovals.clear();
  Outstanding = 0;
  FeedFrom = 0;
  Component.TasksToCome = 0;
  FRunning = FPaused = FStopped = FEnded = false;
}

void TConversionBatch::Move(uint64_t id, size_t position) {
  const size_t index = IndexOf(id);
  if (index >= FFiles.size()) return;
  position = std::min(position, FFiles.size() - 1);
  TBatchFile file = std::move(FFiles[index]);
  FFiles.erase(FFiles.begin() + static_cast<std::ptrdiff_t>(index));
  FFiles.insert(FFiles.begin() + static_cast<std::ptrdiff_t>(position), std::move(file));
  FeedFrom = 0;  // a waiting file may now stand before it
}

void TConversionBatch::SetClip(uint64_t id, double startSeconds, double endSeconds) {
  if (TBatchFile* file = Find(id)) {
    file->ClipStart = startSeconds;
    file->ClipEnd = endSeconds;
  }
}

TProbedSource TConversionBatch::ProbeSource(TAVProbe& probe, const std::string& path,
                                            TTagEncoding tagEncoding, TOpenedInput* opened) {
  TProbedSource result;
  result.Path = path;
  try {
    probe.SetTagEncoding(tagEncoding);
    if (!probe.Open(path)) {
      result.Error = probe.LastError();
      result.Code = SourceFileReason(path);
      return result;
    }
    TSourceFacts& facts = result.Facts;
    facts.FileName = path;
    const AVFormatContext* context = probe.FormatContext();
    if (context && context->iformat && context->iformat->name)
      facts.FormatName = context->iformat->name;
    facts.Duration = probe.GetFileInfo().Duration;
    facts.HasAudio = probe.AudioStreamCount() > 0;
    if (context && probe.FirstAudioStreamIndex() >= 0) {
      const AVStream* audio = context->streams[probe.FirstAudioStreamIndex()];
      result.SampleRate = audio->codecpar->sample_rate;
      // The stream's length in samples: exact where the container states it
      // in samples (WAV, FLAC), else from the file's duration.
      if (result.SampleRate > 0 && audio->duration > 0 && audio->time_base.den > 0)
        result.Samples = static_cast<int64_t>(
            static_cast<long double>(audio->duration) * audio->time_base.num * result.SampleRate /
                audio->time_base.den +
            0.5L);
      else if (result.SampleRate > 0 && facts.Duration > 0)
        result.Samples = facts.Duration * result.SampleRate / 1000000;
      if (const AVDictionaryEntry* cue = av.av_dict_get(context->metadata, "cuesheet", nullptr, 0))
        result.CueSheetTag = cue->value;
    }
    // The tags names are made of: Ogg keeps its comments on the stream.
    if (context) {
      const auto readTags = [&facts](const AVDictionary* metadata) {
        const AVDictionaryEntry* entry = nullptr;
        while ((entry = av.av_dict_get(metadata, "", entry, AV_DICT_IGNORE_SUFFIX))) {
          const std::string key = LowerCase(entry->key);
          if (IsNameTag(key) && entry->value) facts.Tags.emplace(key, entry->value);
        }
      };
      readTags(context->metadata);
      if (probe.FirstAudioStreamIndex() >= 0)
        readTags(context->streams[probe.FirstAudioStreamIndex()]->metadata);
    }
    if (probe.FirstVideoStreamIndex() >= 0) {
      const TVideoStreamInfo video = probe.GetVideoStreamInfo();
      facts.HasVideo = true;
      facts.VideoWidth = video.Width;
      facts.VideoHeight = video.Height;
    }
    result.SizeBytes = probe.GetFileSize();
    result.InfoText = probe.GetInfoText();
    if (opened)
      *opened = probe.HandOver();
    else
      probe.Close();
  } catch (const std::exception& e) {
    result.Error = e.what();
    result.Code = rcInternal;
  }
  return result;
}

bool TConversionBatch::Wanted(const TSourceFacts& facts) const {
  return WantedFromFolder(facts, AudioOnlyFormat(Choices.Format));
}

std::string TConversionBatch::NotWantedText(const TSourceFacts& facts) const {
  return facts.HasVideo ? "a still picture" : "no sound in it";
}

// ---- Run control -------------------------------------------------------------------

bool TConversionBatch::Start() { return BeginRun(false); }

bool TConversionBatch::StartAll() { return BeginRun(true); }

bool TConversionBatch::BeginRun(bool everything) {
  if (FRunning) return false;
  bool any = false;
  for (const TBatchFile& file : FFiles) any = any || everything || !file.Finished();
  if (!any) return false;
  // A new run: what the files before held of it goes.
  DoneAtStartMs = 0;
  for (TBatchFile& file : FFiles) {
    file.InRun = everything || !file.Finished();
    if (!file.InRun) {
      DoneAtStartMs += file.ExpectedMs;
      continue;
    }
    Release(file);
    file.Outcome = foNone;
    file.Code = rcNone;
    file.Reason.clear();
    file.DoneMs = file.OutputSize = 0;
    file.Seconds = 0;
    file.Running = file.Queued = false;
  }
  SourceIds.clear();
  for (const TBatchFile& file : FFiles)
    if (file.InRun) NoteSource(file);
  // Sync mode reads its state files afresh for each run.
  SyncStates.clear();
  SyncJobs.clear();
  FRemovals.clear();
  FRunning = true;
  FPaused = FStopped = FEnded = false;
  RunStart = TClock::now();
  PausedFor = {};
  FeedFrom = 0;
  Component.KeepPartial = KeepPartial;
  Component.SplitEncoding = SplitEncoding;
  // The files fed ahead keep their sources open from check to job.
  Component.SetInputsKept(Lookahead());
  Feed();
  return true;
}

void TConversionBatch::Pause() {
  if (!FRunning || FPaused) return;
  FPaused = true;
  PausedAt = TClock::now();
  Component.Pause();
}

void TConversionBatch::Resume() {
  if (!FPaused) return;
  FPaused = false;
  PausedFor += TClock::now() - PausedAt;
  Component.Resume();
  // Tasks queued while paused join the run now.
  if (Outstanding > 0) Component.Start(Jobs);
  PostFeed();
}

void TConversionBatch::Stop() {
  if (!FRunning) return;
  if (FPaused) {
    FPaused = false;
    PausedFor += TClock::now() - PausedAt;
  }
  FStopped = true;
  Component.TasksToCome = 0;
  // Files made into tasks but not started go back to waiting; the running
  // ones end as stopped and report.
  std::vector<uint64_t> waiting;
  for (int i = 0; i < Component.TaskCount(); ++i) {
    const TFFmpeg* task = Component.Task(i);
    if (task->State == tsQueued || task->State == tsScheduled) waiting.push_back(task->OwnerTag);
  }
  Component.StopRunning();
  for (uint64_t id : waiting) {
    FreeTask(id);
    --Outstanding;
    if (TBatchFile* file = Find(id)) {
      Release(*file);
      file->Queued = false;
    }
  }
  CheckRunEnd();
}

// ---- Feeding -------------------------------------------------------------------------

int TConversionBatch::ToCome() const {
  int count = 0;
  for (size_t i = FeedFrom; i < FFiles.size(); ++i)
    count += FFiles[i].InRun && !FFiles[i].Queued && FFiles[i].Outcome == foNone ? 1 : 0;
  return count;
}

void TConversionBatch::PostFeed() {
  if (FeedPosted) return;
  FeedPosted = true;
  std::weak_ptr<TConversionBatch*> alive = Alive;
  Component.MainThread().Post(0, [this, alive] {
    if (!alive.lock()) return;
    FeedPosted = false;
    Feed();
  });
}

void TConversionBatch::Feed() {
  if (!FRunning || FStopped) return;
  const auto until = TClock::now() + std::chrono::milliseconds(40);
  int added = 0, handled = 0;
  while (FeedFrom < FFiles.size() && Outstanding < Lookahead() && !(Abort && *Abort)) {
    TBatchFile& file = FFiles[FeedFrom];
    if (!file.InRun || file.Queued || file.Outcome != foNone) {
      ++FeedFrom;
      continue;
    }
    // Skipping a file takes it out of the list: the index stays.
    const size_t before = FFiles.size();
    const bool queued = Prepare(file);
    added += queued ? 1 : 0;
    ++handled;
    if (FFiles.size() == before) ++FeedFrom;
    // A queued task starts at once (a slot may be free); the next files are
    // prepared by the next turn of the event loop while it runs.
    if (queued && Jobs > 0) break;
    // Files that end at once (up to date, refused) take their turn as well.
    if (TClock::now() >= until && handled > 0) break;
  }
  Component.TasksToCome = ToCome();
  if (added > 0 && !FPaused) Component.Start(Jobs);
  if (FeedFrom < FFiles.size() && Outstanding < Lookahead() && !(Abort && *Abort)) PostFeed();
  CheckRunEnd();
}

bool TConversionBatch::Prepare(TBatchFile& file) {
  if (!file.CueFailure.empty()) {
    EndWithoutTask(file, foFailed, rcCueSheet, file.CueFailure);
    return false;
  }
  // An up-to-date output is known without probing the source.
  if (Choices.Sync && SyncCheck(file)) return false;
  // A file probed here is made into a task at once: the task takes the
  // file as the probe opened it.
  TOpenedInput opened;
  if (!file.Probed) {
    const TProbedSource probed =
        ProbeSource(*Component.AVProbe(), file.Source, Choices.TagEncoding, &opened);
    if (Abort && *Abort) return false;  // broken off by a signal: stays waiting
    file.Probed = true;
    if (probed.Code != rcNone || !probed.Error.empty()) {
      const TReasonCode code = probed.Code == rcNone ? rcSourceFormat : probed.Code;
      if (!file.Folder.empty()) {
        Skip(IndexOf(file.Id), code, probed.Error);
        return false;
      }
      std::string why = probed.Error;
      if (IsFolderPath(file.Source)) why += "; give -r to convert the files under it";
      EndWithoutTask(file, foFailed, code, why);
      return false;
    }
    file.Facts = probed.Facts;
    file.Facts.RelativeFolder = file.RelativeFolder;
    file.SizeBytes = probed.SizeBytes;
    file.InfoText = probed.InfoText;
    file.ExpectedMs = file.Facts.Duration > 0 ? file.Facts.Duration / 1000 : 0;
    if (!file.Folder.empty() && !Wanted(file.Facts)) {
      Skip(IndexOf(file.Id), rcNotConvertible, NotWantedText(file.Facts));
      return false;
    }
  }
  TInputOptions input;
  TOutputOptions output;
  std::vector<TOutputOptions> more;
  std::string why;
  TReasonCode code = rcNone;
  // A check that a signal broke off leaves the file waiting (not converted).
  const auto interrupted = [this] { return Abort && *Abort; };
  if (!Compose(file, input, output, more, why, code, false)) {
    EndWithoutTask(file, foFailed, code, why);
    return false;
  }
  if (Choices.DryRun) {
    // The name it would take is held, so that the plan's names do not collide.
    file.Output = output.FileName;
    Reserved.insert(file.Output);
    const auto job = SyncJobs.find(file.Id);
    EndWithoutTask(file, foPlanned, rcNone,
                   job != SyncJobs.end() ? job->second.Why : std::string("would be converted"));
    return false;
  }
  const int index = Component.AddTask(file.Source, &input, &opened);
  if (index < 0) {
    const std::string reason = Component.LastErrMsg();
    if (!interrupted()) EndWithoutTask(file, foFailed, Component.LastErrCode(), reason);
    return false;
  }
  if (!Component.SetOutputFile(index, output.FileName, &output)) {
    const std::string reason = Component.LastErrMsg();
    const TReasonCode refusal = Component.LastErrCode();
    Component.RemoveTask(index);
    if (!interrupted()) EndWithoutTask(file, foFailed, refusal, reason);
    return false;
  }
  for (TOutputOptions& further : more) {
    if (Component.AddOutputFile(index, further.FileName, &further)) continue;
    const std::string reason = Component.LastErrMsg();
    const TReasonCode refusal = Component.LastErrCode();
    Component.RemoveTask(index);
    if (!interrupted()) EndWithoutTask(file, foFailed, refusal, reason);
    return false;
  }
  // Sync mode notes the name before the job may write it: a run killed
  // after the output took its name still knows it as its own.
  if (Choices.Sync && !SyncQueued(file, output.FileName, why)) {
    Component.RemoveTask(index);
    EndWithoutTask(file, foFailed, rcOutputWrite, why);
    return false;
  }
  Component.Task(index)->OwnerTag = file.Id;
  file.Output = output.FileName;
  file.Outputs = {output.FileName};
  for (const TOutputOptions& further : more) file.Outputs.push_back(further.FileName);
  for (const std::string& name : file.Outputs) Reserved.insert(name);
  file.Queued = true;
  ++Outstanding;
  return true;
}

bool TConversionBatch::Compose(TBatchFile& file, TInputOptions& input, TOutputOptions& output,
                               std::vector<TOutputOptions>& more, std::string& why,
                               TReasonCode& code, bool preview) {
  more.clear();
  const std::vector<std::string> formats = FormatsOf(Choices);
  if (formats.size() > 1 && !CheckFormats(formats, why)) {
    code = rcOption;
    return false;
  }
  if (formats.size() > 1 && Choices.Sync) {
    why = SYNC_ONE_FORMAT;
    code = rcOption;
    return false;
  }
  // The input record is the first format's: one source read for all.
  if (!ComposeFormat(file, formats.front(), formats.size() > 1, {}, input, output, why, code,
                     preview))
    return false;
  std::set<std::string> taken = {output.FileName};
  for (size_t i = 1; i < formats.size(); ++i) {
    TInputOptions unused;
    TOutputOptions further;
    if (!ComposeFormat(file, formats[i], true, taken, unused, further, why, code, preview))
      return false;
    // The job's music options are one set: every record carries the same album.
    further.AlbumGroup = output.AlbumGroup;
    taken.insert(further.FileName);
    more.push_back(std::move(further));
  }
  return true;
}

bool TConversionBatch::ComposeFormat(TBatchFile& file, const std::string& format, bool several,
                                     const std::set<std::string>& taken, TInputOptions& input,
                                     TOutputOptions& output, std::string& why, TReasonCode& code,
                                     bool preview) {
  TComposerState state = Choices.Base;
  if (!SelectFormat(state, format)) {
    why = "unknown output format '" + format + "'";
    code = rcOption;
    return false;
  }
  state.Output.Folder = Choices.OutputFolder.empty() ? SAME_AS_INPUT : Choices.OutputFolder;
  const bool ownTree = several && !Choices.OutputFolder.empty();
  if (ownTree)
    state.Output.Folder += (state.Output.Folder.back() == '/' ? "" : "/") + FormatFolder(format);
  state.Output.Reserved = taken;
  state.Output.Overwrite = Choices.Overwrite && !Choices.Sync;
  if (Choices.Sync) {
    // The plain name; an existing file under it is replaced only when the
    // state says it is this source's earlier output (or an orphan's).
    state.Output.PlainName = true;
    state.Output.MayReplace = [this, &file](const std::string& name) {
      return SyncMayReplace(file, name);
    };
  }
  state.Audio.Channels = Choices.Channels;
  state.Audio.SampleRate = Choices.SampleRate;
  if (Choices.BitRateKbps > 0) state.Audio.BitRate = {true, std::to_string(Choices.BitRateKbps)};
  if (Choices.Volume >= 0) state.Audio.Volume = {true, std::to_string(Choices.Volume)};
  state.Music = Choices.Music;
  state.Music.Album.clear();
  // Names other files hold, and the files the run reads (an output is never
  // one of them, whatever name or link leads there): held by the batch, not
  // copied for every file.
  state.Output.ReservedByOwner = preview ? &PreviewReserved : &Reserved;
  state.Output.SourcesOfOwner = &SourceIds;  // the file's own source among them
  TSourceFacts facts = file.Facts;
  facts.FileName = file.Source;
  facts.RelativeFolder = Choices.KeepTree ? file.RelativeFolder : "";
  LoadSource(state, facts);
  if (!NameFromPattern(file, state, why)) {
    code = rcOption;
    return false;
  }
  file.ExpectedMs = facts.Duration > 0 ? facts.Duration / 1000 : 0;
  if (!file.Track && (file.ClipStart >= 0 || file.ClipEnd >= 0)) {
    if (!SetClipSeconds(state, file.ClipStart, file.ClipEnd, why)) {
      code = rcClip;
      return false;
    }
  }
  ComposeInput(state, input);
  if (Choices.TagEncoding != teAuto)
    input.ExtOptions += std::string(input.ExtOptions.empty() ? "" : "\r\n") + "tag_encoding=" +
                        TagEncodingName(Choices.TagEncoding);
  if (file.Track)
    ComposeTrack(file, state, input, output);
  else
    ComposeOutput(state, output);
  TClipRange clip;
  if (ClipRange(state, clip)) file.ExpectedMs = clip.End - clip.Start;
  TQualitySettings quality;
  if (!ChosenQuality(Choices, format, quality, why)) {
    code = rcOption;
    return false;
  }
  // A quality mode decides alone; a bit rate of the choices gives way to it.
  if (quality.BitRate > 0 || !quality.Lines.empty()) output.AudioBitrate = quality.BitRate;
  for (const std::string& line : quality.Lines)
    output.ExtOptions += (output.ExtOptions.empty() ? "" : "\r\n") + line;
  for (const std::string& line : Choices.ExtraOptions)
    output.ExtOptions += (output.ExtOptions.empty() ? "" : "\r\n") + line;
  if (ownTree) output.CreateFolder = true;  // the format's folder is made when it runs
  // The album once per file: the further outputs take the first one's.
  if (Choices.AlbumGain && !preview && taken.empty()) output.AlbumGroup = AlbumOf(file);
  return true;
}

bool TConversionBatch::CheckChoices(std::string& why) const {
  const std::vector<std::string> formats = FormatsOf(Choices);
  if (formats.size() > 1 && !CheckFormats(formats, why)) return false;
  if (formats.size() > 1 && Choices.Sync) {
    why = SYNC_ONE_FORMAT;
    return false;
  }
  TQualitySettings quality;
  for (const std::string& format : formats) {
    if (ItemIndex(FormatItems, format) < 0) {
      why = "unknown output format '" + format + "'";
      return false;
    }
    if (!ChosenQuality(Choices, format, quality, why)) return false;
  }
  // A list's other formats are checked too: a refusal is told now, not on a
  // later run with that format.
  if (Choices.Quality.find('=') == std::string::npos) return true;
  for (const char* format : FormatItems)
    if (!ChosenQuality(Choices, format, quality, why)) return false;
  return true;
}

std::shared_ptr<TAlbumGroup> TConversionBatch::AlbumOf(const TBatchFile& file) {
  if (file.Track) {
    // The tracks of one sheet: its images, measured whole.
    const std::string& key = file.Track->AlbumKey;
    auto found = Albums.find(key);
    if (found != Albums.end()) return found->second;
    std::vector<std::string> images;
    for (const TBatchFile& other : FFiles)
      if (other.Track && other.Track->AlbumKey == key &&
          std::find(images.begin(), images.end(), other.Source) == images.end())
        images.push_back(other.Source);
    return Albums[key] = MakeAlbum(images);
  }
  // The files of one folder are one album; a folder with one file makes none.
  const std::string folder = FolderOf(file.Source);
  auto found = Albums.find(folder);
  if (found != Albums.end()) {
    // A file added to the folder's album after the album was made.
    if (!AddToAlbum(*found->second, file.Source)) return nullptr;
    return found->second;
  }
  std::vector<std::string> members;
  for (const TBatchFile& other : FFiles)
    if (FolderOf(other.Source) == folder) members.push_back(other.Source);
  if (members.size() < 2) return nullptr;
  auto album = MakeAlbum(members);
  Albums[folder] = album;
  return album;
}

void TConversionBatch::Release(TBatchFile& file) {
  if (file.Outputs.empty() && !file.Output.empty()) file.Outputs = {file.Output};
  for (const std::string& name : file.Outputs) {
    auto found = Reserved.find(name);
    if (found != Reserved.end()) Reserved.erase(found);
  }
  if (!file.Finished()) {
    file.Output.clear();
    file.Outputs.clear();
  }
}

void TConversionBatch::EndWithoutTask(TBatchFile& file, TFileOutcome outcome, TReasonCode code,
                                      const std::string& reason) {
  file.Outcome = outcome;
  file.Code = code;
  file.Reason = reason;
  file.DoneMs = file.ExpectedMs;
  if (OnFileEnded) OnFileEnded(file);
}

// ---- Ends ------------------------------------------------------------------------------

void TConversionBatch::FreeTask(uint64_t id) {
  for (int i = 0; i < Component.TaskCount(); ++i) {
    if (Component.Task(i)->OwnerTag != id) continue;
    Component.RemoveTask(i);
    return;
  }
}

void TConversionBatch::Ended(const TEnd& end) {
  FreeTask(end.Id);
  TBatchFile* file = Find(end.Id);
  if (!file || !file->Queued) return;  // removed meanwhile
  --Outstanding;
  file->Queued = file->Running = false;
  file->Outcome = OutcomeOf(end.Outcome);
  file->Code = end.Outcome == joComplete ? rcNone : end.Code;
  file->Reason = end.Outcome == joComplete ? std::string() : end.Reason;
  if (file->Outcome == foFailed && file->Reason.empty()) file->Reason = "unknown error";
  file->Seconds = end.Seconds;
  file->Damage = end.Damage;
  if (file->Converted()) {
    // The names the outputs took (one moves on when its composed name was taken).
    if (!end.Outputs.empty() && end.Outputs != file->Outputs) {
      for (const std::string& name : file->Outputs) {
        auto found = Reserved.find(name);
        if (found != Reserved.end()) Reserved.erase(found);
      }
      file->Outputs = end.Outputs;
      file->Output = end.Outputs.front();
      for (const std::string& name : file->Outputs) Reserved.insert(name);
    }
    // A damaged source keeps the time it reached (its last report): that is
    // what its output holds. The figures count an ended file whole anyway.
    if (file->Outcome == foComplete) file->DoneMs = file->ExpectedMs;
    if (Choices.Sync) SyncEnded(*file);
  } else {
    Release(*file);
    if (file->Outcome == foFailed) file->DoneMs = file->ExpectedMs;
  }
  if (OnFileEnded) OnFileEnded(*file);
  if (FRunning && !FStopped) Feed();
  CheckRunEnd();
}

void TConversionBatch::CheckRunEnd() {
  if (!FRunning || Outstanding > 0 || Component.Running()) return;
  if (!FStopped && !(Abort && *Abort)) {
    // Files of the run still to be fed (and not broken off by a signal).
    for (size_t i = FeedFrom; i < FFiles.size(); ++i)
      if (FFiles[i].InRun && FFiles[i].Outcome == foNone) {
        PostFeed();
        return;
      }
  }
  if (Choices.Sync) SyncRunEnded();
  if (FPaused) PausedFor += TClock::now() - PausedAt;
  RunEndAt = TClock::now();
  FRunning = FPaused = false;
  FEnded = true;
  Component.TasksToCome = 0;
  if (OnRunEnded) OnRunEnded();
}

// ---- Figures ----------------------------------------------------------------------------

TBatchFigures CountFiles(const std::vector<TBatchFile>& files) {
  TBatchFigures f;
  for (const TBatchFile& file : files) {
    ++f.Files;
    bool done = true;
    switch (file.Outcome) {
      case foComplete: ++f.Converted; break;
      case foPartial: ++f.Converted; ++f.Partial; break;
      case foFailed: ++f.Failed; break;
      case foStopped: ++f.Stopped; ++f.Left; done = false; break;
      case foUpToDate: ++f.UpToDate; break;
      case foPlanned: ++f.Planned; break;
      default: ++f.Left; done = false;
    }
    if (file.ExpectedMs <= 0) continue;
    f.TotalMs += file.ExpectedMs;
    // A file that ended counts whole, whatever it reached.
    f.DoneMs += done ? file.ExpectedMs : std::clamp<int64_t>(file.DoneMs, 0, file.ExpectedMs);
  }
  if (f.TotalMs > 0)
    f.Percent = static_cast<int>(f.DoneMs * 100 / f.TotalMs);
  else if (f.Files > 0)
    f.Percent = (f.Converted + f.Failed + f.UpToDate + f.Planned) * 100 / f.Files;
  if (f.Left > 0) f.Percent = std::min(f.Percent, 99);  // 100 only once nothing is left
  return f;
}

int64_t TimeLeftMs(const TBatchFigures& f, int64_t elapsedMs, int64_t doneAtStartMs) {
  if (f.Left == 0) return 0;
  const int64_t doneNow = f.DoneMs - doneAtStartMs;
  if (doneNow <= 0 || elapsedMs <= 0 || f.TotalMs <= 0) return -1;
  return static_cast<int64_t>(static_cast<double>(elapsedMs) *
                              static_cast<double>(f.TotalMs - f.DoneMs) /
                              static_cast<double>(doneNow));
}

TBatchFigures TConversionBatch::Figures() const {
  TBatchFigures f = CountFiles(FFiles);
  f.Skipped = static_cast<int>(FSkipped.size());
  return f;
}

int64_t TConversionBatch::ElapsedMs() const {
  if (RunStart == TClock::time_point{}) return 0;
  auto elapsed = (FRunning ? TClock::now() : RunEndAt) - RunStart - PausedFor;
  if (FPaused) elapsed -= TClock::now() - PausedAt;
  return std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

int64_t TConversionBatch::TimeLeftMs() const {
  return ::TimeLeftMs(Figures(), ElapsedMs(), DoneAtStartMs);
}

std::map<uint64_t, std::string> TConversionBatch::PreviewOutputNames() {
  std::map<uint64_t, std::string> names;
  TNamePreview preview;
  PreviewOutputNames(preview, FFiles.size(), names);
  return names;
}

void TConversionBatch::PreviewOutputNames(TNamePreview& preview, size_t count,
                                          std::map<uint64_t, std::string>& names) {
  if (preview.Done) return;
  if (!preview.Started) {
    // The names as a run would give them: after the names held, in list order.
    preview.Started = true;
    preview.Files = FFiles.size();
    preview.Reserved = Reserved;
    const std::vector<TFileIdentity> held = std::move(SourceIds);
    SourceIds.clear();
    for (const TBatchFile& file : FFiles) NoteSource(file);
    preview.Sources = std::move(SourceIds);
    SourceIds = held;
  }
  if (preview.Files != FFiles.size()) {
    preview.Done = true;  // the list changed: the caller starts again
    return;
  }
  // The preview's names and sources stand in for the batch's while composing.
  std::swap(PreviewReserved, preview.Reserved);
  std::swap(SourceIds, preview.Sources);
  const size_t end = std::min(FFiles.size(), preview.Next + count);
  for (; preview.Next < end; ++preview.Next) {
    TBatchFile& file = FFiles[preview.Next];
    if (file.Queued || file.Finished() || !file.Probed || file.Outcome == foFailed) continue;
    TInputOptions input;
    TOutputOptions output;
    std::vector<TOutputOptions> more;
    std::string why;
    TReasonCode code;
    const int64_t expected = file.ExpectedMs;
    const bool composed = Compose(file, input, output, more, why, code, true);
    file.ExpectedMs = expected;
    if (!composed) continue;
    names[file.Id] = output.FileName;
    PreviewReserved.insert(output.FileName);
    for (const TOutputOptions& further : more) PreviewReserved.insert(further.FileName);
  }
  std::swap(PreviewReserved, preview.Reserved);
  std::swap(SourceIds, preview.Sources);
  PreviewReserved.clear();
  preview.Done = preview.Next >= FFiles.size();
}

void TConversionBatch::NoteSource(const TBatchFile& file) {
  TFileIdentity identity;
  if (ReadFileIdentity(file.Source, identity)) SourceIds.push_back(identity);
}
