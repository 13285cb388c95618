// Adding tasks and giving them their output: the option records turned into
// engine options, in the order the engine expects them (options are
// positional: each applies to the next file opened).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>

#include "EditNumber.h"
#include "FFmpegLoader.h"
#include "LogDelivery.h"
#include "MusicOptions.h"
#include "REzuvuZUZ.h"
#include "SourceFile.h"
#include "Text.h"

TReasonCode SourceFileReason(const std::string& path) {
  const std::string local = LocalPath(path);
  if (local.empty()) return rcSourceFormat;
  struct stat st;
  if (stat(local.c_str(), &st) != 0) return ReasonOfSourceErrno(errno, rcSourceMissing);
  if (!S_ISREG(st.st_mode)) return rcSourceNotFile;
  if (st.st_size == 0) return rcSourceEmpty;
  if (access(local.c_str(), R_OK) != 0) return ReasonOfSourceErrno(errno, rcSourceDenied);
  return rcSourceFormat;
}

namespace {

// The code of a refusal while a record is applied: the engine's own, or an
// option it refused.
TReasonCode ReasonOfOption(const std::exception& e) {
  if (const auto* engine = dynamic_cast<const FFmpegException*>(&e))
    return engine->Code != rcInternal ? engine->Code : rcOption;
  return dynamic_cast<const EConvertError*>(&e) ? rcOption : rcInternal;
}


// A whole number, or -1 for text that is not one.
int64_t WholeOrMinusOne(const std::string& text) {
  int64_t value = -1;
  return ReadNumber(text, value) ? value : -1;
}

bool IsNewStreamOption(const std::string& name) {
  return name == "newvideo" || name == "newaudio" || name == "newsubtitle";
}

// Keeps the owner's record in the task, its empty file name filled in (in
// the owner's copy too), or the defaults when there is none; true when there
// is a record to apply.
template <typename TRecord>
bool KeepRecord(TRecord* given, const std::string& fileName, TRecord& kept) {
  if (!given) {
    kept = TRecord();
    return false;
  }
  if (given->FileName.empty()) given->FileName = fileName;
  kept = *given;
  return true;
}

std::string LibrariesMissing(const std::string& fileName) {
  return "Cannot open '" + fileName + "': the media libraries are not loaded";
}

}  // namespace

std::vector<std::pair<int64_t, int64_t>> ParseHookPeriods(const std::string& text) {
  std::vector<std::pair<int64_t, int64_t>> periods;
  const std::string all = Trim(text);
  if (all.empty()) return periods;
  size_t at = 0;
  for (;;) {
    const size_t comma = all.find(',', at);
    const std::string piece =
        Trim(all.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    const size_t dash = piece.find('-');
    const int64_t start = WholeOrMinusOne(piece.substr(0, dash));
    const int64_t end = dash == std::string::npos ? -1 : WholeOrMinusOne(piece.substr(dash + 1));
    if (end >= start && end >= 0) periods.emplace_back(start * 1000, end * 1000);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return periods;
}

int64_t LocalDateTimeToUnix(double days) {
  // The date-time's fields, read as if it were UTC, then placed in the local
  // time zone with the offset (and daylight saving) in force at that date.
  const auto fields = static_cast<std::time_t>(std::llround((days - 25569.0) * 86400.0));
  std::tm local{};
  gmtime_r(&fields, &local);
  local.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&local));
}

void TREzuvuZUZ::ApplyExtOptions(TCustomFFmpeg& engine, const std::string& text, bool allowNew) {
  std::string lines = Trim(text);
  std::string normal;
  normal.reserve(lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == '\r') {
      normal += '\n';
      if (i + 1 < lines.size() && lines[i + 1] == '\n') ++i;
    } else {
      normal += lines[i];
    }
  }
  size_t at = 0;
  while (at <= normal.size()) {
    size_t end = normal.find('\n', at);
    if (end == std::string::npos) end = normal.size();
    const std::string line = normal.substr(at, end - at);
    at = end + 1;
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    const std::string name = line.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    if (IsNewStreamOption(name) && !allowNew) continue;
    engine.SetOption(name, value);
  }
}

void TREzuvuZUZ::ApplyInputOptions(TFFmpeg& task, const TInputOptions& o) {
  ApplyExtOptions(task, o.ExtOptions, false);
  task.SetInputFormat(o.FileFormat);
  if (o.StartTime > 0) task.SetStartTime(static_cast<int64_t>(o.StartTime) * 1000);
  task.SetProgramId(o.ProgramID);
}

void TREzuvuZUZ::ApplyOutputOptions(TFFmpeg& task, const TOutputOptions& o) {
  if (o.Target >= tkVCD && o.Target <= tkDVD) {
    const char* type = o.Target == tkVCD ? "vcd" : o.Target == tkSVCD ? "svcd" : "dvd";
    const char* norm = o.Norm == tnPAL ? "pal" : o.Norm == tnNTSC ? "ntsc" : "auto";
    task.SetTarget(type, norm, o.DefaultNorm == tnPAL ? "pal" : "ntsc");
  }
  ApplyExtOptions(task, o.ExtOptions, false);

  const auto generic = [&task](const char* name, int value) {
    if (value > 0) task.SetGenericOption(name, std::to_string(value));
  };
  // File and container.
  if (!o.FileFormat.empty()) task.SetOutputFormat(o.FileFormat);
  generic("packetsize", o.PacketSize);
  generic("muxrate", o.MuxRate);
  if (o.MuxDelay > 0) task.SetMuxMaxDelay(o.MuxDelay);
  if (o.MuxPreload > 0) task.SetMuxPreload(o.MuxPreload);
  // Audio.
  if (!o.AudioCodec.empty()) task.SetAudioCodec(o.AudioCodec);
  task.SetOption("an", o.DisableAudio ? "1" : "0");
  if (o.AudioVolume >= 0) task.SetAudioVolume(o.AudioVolume);
  if (o.AudioChannels > 0) task.SetAudioChannels(o.AudioChannels);
  if (o.AudioSampleRate > 0) task.SetAudioRate(o.AudioSampleRate);
  generic("ab", o.AudioBitrate);
  generic("abt", o.AudioBitrateTolerance);
  task.SetOption("alang", o.AudioLanguage);
  task.SetAudioSyncMethod(o.AudioSync);
  if (!o.AudioTag.empty()) task.SetAudioTag(o.AudioTag);
  // Video.
  if (!o.VideoCodec.empty()) task.SetVideoCodec(o.VideoCodec);
  task.SetOption("vn", o.DisableVideo ? "1" : "0");
  task.SetFrameRate(o.FrameRate);
  task.SetFrameSize(o.FrameSize);
  task.SetFrameAspectRatio(o.FrameAspectRatio);
  if (o.CropTop >= 0) task.SetCropTop(o.CropTop);
  if (o.CropBottom >= 0) task.SetCropBottom(o.CropBottom);
  if (o.CropLeft >= 0) task.SetCropLeft(o.CropLeft);
  if (o.CropRight >= 0) task.SetCropRight(o.CropRight);
  if (o.PadTop >= 0) task.SetPadTop(o.PadTop);
  if (o.PadBottom >= 0) task.SetPadBottom(o.PadBottom);
  if (o.PadLeft >= 0) task.SetPadLeft(o.PadLeft);
  if (o.PadRight >= 0) task.SetPadRight(o.PadRight);
  // No system colours here: only the RGB part of the value counts.
  task.SetPadColor(o.PadColor & 0xFFFFFF);
  // The library's name of the GOP size is "g"; "gop" is tried first.
  if (o.GOPSize > 0 && !task.SetGenericOption("gop", std::to_string(o.GOPSize)))
    task.SetGenericOption("g", std::to_string(o.GOPSize));
  generic("vb", o.VideoBitrate);
  generic("maxrate", o.VideoMaxRate);
  generic("minrate", o.VideoMinRate);
  generic("bt", o.VideoBitrateTolerance);
  generic("bufsize", o.VideoBufSize);
  task.SetVideoSyncMethod(o.VideoSync);
  if (!o.VideoTag.empty()) task.SetVideoTag(o.VideoTag);
  if (!o.VideoFilters.empty()) task.SetVideoFilters(o.VideoFilters);
  // Subtitles and timing. "copyts" takes no value: it is given only when set.
  task.SetOption("sn", o.DisableSubtitle ? "1" : "0");
  task.SetOption("slang", o.SubtitleLanguage);
  if (o.CopyTimestamp) task.SetOption("copyts", "1");
  if (o.StartTime > 0) task.SetStartTime(static_cast<int64_t>(o.StartTime) * 1000);
  if (o.RecordingTime > 0) task.SetRecordingTime(o.RecordingTime);
  if (o.Timestamp == 0)
    task.MuxTime.RecordingTimestamp = static_cast<int64_t>(std::time(nullptr));
  else if (o.Timestamp > 0)
    task.MuxTime.RecordingTimestamp = LocalDateTimeToUnix(o.Timestamp);
  // Metadata under the generic keys that every muxer of the libraries maps.
  if (o.Year > 0) task.AddMetadata("date", std::to_string(o.Year));
  if (o.Track > 0) task.AddMetadata("track", std::to_string(o.Track));
  if (!o.Title.empty()) task.AddMetadata("title", o.Title);
  if (!o.Author.empty()) task.AddMetadata("artist", o.Author);
  if (!o.Copyright.empty()) task.AddMetadata("copyright", o.Copyright);
  if (!o.Comment.empty()) task.AddMetadata("comment", o.Comment);
  if (!o.Album.empty()) task.AddMetadata("album", o.Album);
  if (!o.Genre.empty()) task.AddMetadata("genre", o.Genre);
  // Frame hooks.
  if (o.CustomHook) {
    task.OnCustomHook = [this](TCustomFFmpeg* sender, TBitmap* bitmap, int32_t frameNumber,
                               int64_t pts, bool& update, bool& stopHook) {
      DoCustomHook(sender, bitmap, frameNumber, pts, update, stopHook);
    };
  } else if (o.BeforeHook) {
    task.OnBeforeHook = [this](TCustomFFmpeg* sender, int64_t pts, THookAction& action) {
      DoBeforeHook(sender, pts, action);
    };
  } else {
    task.SetHookPeriods(ParseHookPeriods(o.PTSs));
  }
  ApplyMusicOptions(task, task.SourceName, o);
}

void TREzuvuZUZ::Park(TFFmpeg& task, bool keep) {
  // Checked: nothing stays open or allocated until the task runs, but the
  // source of one of the next few to run.
  if (keep && !task.KeptInput && KeptInputs.load() < InputsKept) {
    task.KeptInput = task.TakeOpenedInput();
    if (task.KeptInput) ++KeptInputs;
  }
  task.ReleaseAll();
  task.ResetDefaults();
}

void TREzuvuZUZ::PrepareEngine(TFFmpeg& task) {
  task.ResetOptions();
  task.SetVerbose(static_cast<int>(LogLevel()) - 1);
  task.OnPreviewBitmap = [this](TCustomFFmpeg* sender, TBitmap* bitmap, int32_t frameNumber,
                                int64_t pts) { DoPreviewBitmap(sender, bitmap, frameNumber, pts); };
}

bool TREzuvuZUZ::OpenTaskInput(TFFmpeg& task) {
  // A FIFO or a device would be read once to check it and block when the
  // task runs; a device format ("lavfi", "v4l2") names no file.
  const AVInputFormat* forced = task.InputOptions.FileFormat.empty()
                                    ? nullptr
                                    : av.av_find_input_format(task.InputOptions.FileFormat.c_str());
  if (!forced || !(forced->flags & AVFMT_NOFILE)) {
    task.LastError = SourceFileProblem(task.SourceName);
    if (!task.LastError.empty()) return false;
  }
  if (task.HasInputRecord) ApplyInputOptions(task, task.InputOptions);
  // What the check kept (or a probe handed over) is taken where it may be.
  if (task.KeptInput) task.HandOverInput(task.TakeKeptInput());
  return task.OpenInputFile(task.SourceName);
}

bool TREzuvuZUZ::OpenTaskOutput(TFFmpeg& task, bool createFiles) {
  if (task.HasOutputRecord) ApplyOutputOptions(task, task.OutputOptions);
  task.Output.CreateFiles = createFiles;
  task.Output.Overwrite = task.HasOutputRecord && task.OutputOptions.Overwrite;
  task.Output.CreateFolders = task.HasOutputRecord && task.OutputOptions.CreateFolder;
  task.Output.KeepPartial = task.KeepPartial;
  task.RunState.SplitEncoding = task.SplitEncoding;
  if (!task.OpenOutputFile(task.TargetName)) return false;
  if (task.HasOutputRecord) ApplyExtOptions(task, task.OutputOptions.ExtOptions, true);
  for (const TOutputOptions& more : task.MoreOutputs) {
    task.ResetOptionsForNextOutput();
    ApplyOutputOptions(task, more);
    if (!task.OpenOutputFile(more.FileName)) return false;
    ApplyExtOptions(task, more.ExtOptions, true);
  }
  return true;
}

void TREzuvuZUZ::OpenQueuedTask(TFFmpeg& task) {
  // Taken at once: a job that fails before its open holds it no longer.
  TOpenedInput kept = task.TakeKeptInput();
  // The source must be the file that was checked when it was added.
  TFileIdentity now;
  if (task.SourceIdentity.Size >= 0) {
    if (!ReadFileIdentity(task.SourceName, now)) {
      const std::string problem = SourceFileProblem(task.SourceName);
      throw FFmpegException(SourceFileReason(task.SourceName),
                            problem.empty() ? task.SourceName + ": no such file or directory"
                                            : problem);
    }
    if (!now.Unchanged(task.SourceIdentity))
      throw FFmpegException(rcSourceChanged,
                            task.SourceName +
                                ": the file changed after it was added to the list; add it again");
  }
  PrepareEngine(task);
  task.HandOverInput(std::move(kept));
  if (!OpenTaskInput(task))
    throw FFmpegException(SourceFileReason(task.SourceName), task.LastError);
  task.Probe->Attach(task.Input.Files[task.Input.FileCount - 1].get());
  if (task.TargetName.empty() && !task.HasOutputRecord)
    throw FFmpegException("At least one output file must be specified");
  if (!OpenTaskOutput(task, true))
    throw FFmpegException(task.LastErrorCode != rcNone ? task.LastErrorCode : rcInternal,
                          task.LastError);
}

int TREzuvuZUZ::AddTask(const std::string& fileName, TInputOptions* inputOptions,
                        TOpenedInput* opened) {
  if (!FFmpegLoader().LibrariesLoaded(ENGINE_LIBRARIES)) {
    FLastErrMsg = LibrariesMissing(fileName);
    return -1;
  }
  std::unique_ptr<TFFmpeg> task;
  try {
    task = std::make_unique<TFFmpeg>();
    task->OnLog = [this](TCustomFFmpeg* sender, int level, const std::string& msg) {
      DoLog(sender, level, msg);
    };
    task->SetPreviewFlags(static_cast<uint8_t>((FPreview ? 1 : 0) | (FPreviewBitmap ? 2 : 0)));
    task->RunState.OpenAbort = AbortFlag;
    PrepareEngine(*task);
    task->SourceName = fileName;
    task->HasInputRecord = KeepRecord(inputOptions, fileName, task->InputOptions);
    task->KeptCount = &KeptInputs;
    // The check: the source opens with its options. It stays open until the
    // output is checked too (SetOutputFile), then the task holds no file
    // (or keeps its source for the job, Park).
    if (opened && *opened) {
      task->KeptInput = std::move(*opened);
      ++KeptInputs;
    }
    if (!OpenTaskInput(*task)) {
      task->OnLog = nullptr;
      FLastErrMsg = task->LastError;
      FLastErrCode = SourceFileReason(fileName);
      return -1;
    }
    ReadFileIdentity(fileName, task->SourceIdentity);
    task->OnProgress = [this](TCustomFFmpeg* sender, int32_t frameNumber, int32_t fps,
                              int32_t currentDuration, float quality, float bitRate,
                              int64_t currentSize, int32_t totalDuration) {
      DoProgress(sender, frameNumber, fps, currentDuration, quality, bitRate, currentSize,
                 totalDuration);
    };
    task->OnTerminate = [this](TCustomFFmpeg* sender) { DoTerminate(sender); };
    task->Opener = [this](TFFmpeg& self) { OpenQueuedTask(self); };
    task->RunState.FilesDeferred = true;
    std::lock_guard<std::recursive_mutex> lock(EventLock);
    task->Serial = NextSerial++;
    return Tasks.Add(std::move(task));
  } catch (const std::exception& e) {
    FLastErrMsg = e.what();
    FLastErrCode = ReasonOfOption(e);
    if (task) task->OnLog = nullptr;
    return -1;
  }
}

TFFmpeg* TREzuvuZUZ::UnstartedTask(int index) {
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  TFFmpeg* task = Tasks.Get(index);
  if (!task) {
    FLastErrMsg = StrFormat("List index out of bounds (%d)", index);
    return nullptr;
  }
  // The engine's options must not change under a running job.
  if (task->State != tsQueued || task->InRun) {
    FLastErrMsg = StrFormat("Task %d has already been started; its output cannot change", index);
    return nullptr;
  }
  return task;
}

bool TREzuvuZUZ::SetOutputFile(int index, const std::string& fileName,
                               TOutputOptions* outputOptions) {
  TFFmpeg* task = nullptr;
  try {
    task = UnstartedTask(index);
    if (!task) return false;
    if (!FFmpegLoader().LibrariesLoaded(ENGINE_LIBRARIES)) {
      FLastErrMsg = LibrariesMissing(fileName);
      return false;
    }
    // The check runs on the task's engine with its source open; a second
    // output (or a second call) opens the source again.
    if (task->Input.FileCount == 0) {
      PrepareEngine(*task);
      if (!OpenTaskInput(*task)) {
        FLastErrMsg = task->LastError;
        FLastErrCode = SourceFileReason(task->SourceName);
        return false;
      }
    }
    task->TargetName = fileName;
    task->HasOutputRecord = KeepRecord(outputOptions, fileName, task->OutputOptions);
    const bool opened = OpenTaskOutput(*task, false);
    if (!opened) {
      FLastErrMsg = task->LastError;
      FLastErrCode = task->LastErrorCode != rcNone ? task->LastErrorCode : rcOutputOpen;
    }
    Park(*task, opened);
    return opened;
  } catch (const std::exception& e) {
    FLastErrMsg = e.what();
    FLastErrCode = ReasonOfOption(e);
    if (task) Park(*task);
    return false;
  }
}

bool TREzuvuZUZ::AddOutputFile(int index, const std::string& fileName,
                               TOutputOptions* outputOptions) {
  TFFmpeg* const task = UnstartedTask(index);
  if (!task) return false;
  if (task->TargetName.empty()) {
    FLastErrMsg = StrFormat("Task %d has no first output yet", index);
    FLastErrCode = rcOption;
    return false;
  }
  TOutputOptions record;
  if (outputOptions) {
    if (outputOptions->FileName.empty()) outputOptions->FileName = fileName;
    record = *outputOptions;
  }
  record.FileName = fileName;
  task->MoreOutputs.push_back(record);
  bool opened = false;
  try {
    PrepareEngine(*task);
    opened = OpenTaskInput(*task);
    if (!opened) {
      FLastErrMsg = task->LastError;
      FLastErrCode = SourceFileReason(task->SourceName);
    } else {
      opened = OpenTaskOutput(*task, false);
      if (!opened) {
        FLastErrMsg = task->LastError;
        FLastErrCode = task->LastErrorCode != rcNone ? task->LastErrorCode : rcOutputOpen;
      }
    }
  } catch (const std::exception& e) {
    FLastErrMsg = e.what();
    FLastErrCode = ReasonOfOption(e);
    opened = false;
  }
  Park(*task, opened);
  if (!opened) task->MoreOutputs.pop_back();
  return opened;
}

bool TREzuvuZUZ::InspectTask(int index) {
  TFFmpeg* task;
  {
    std::lock_guard<std::recursive_mutex> lock(EventLock);
    task = Tasks.Get(index);
    if (!task || task->State != tsQueued || task->InRun) {
      FLastErrMsg = StrFormat("Task %d is not waiting to run", index);
      return false;
    }
  }
  try {
    PrepareEngine(*task);
    if (OpenTaskInput(*task) && OpenTaskOutput(*task, false)) return true;
    FLastErrMsg = task->LastError;
  } catch (const std::exception& e) {
    FLastErrMsg = e.what();
  }
  Park(*task);
  return false;
}
