// The engine object: creation, defaults, reset, release and destruction.
#include <sys/stat.h>
#include <unistd.h>


#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "InputFiles.h"
#include "Transcode.h"

std::atomic<int> LibraryLogThreshold{0};

namespace {

bool EngineLibrariesLoaded() { return FFmpegLoader().LibrariesLoaded(ENGINE_LIBRARIES); }

}  // namespace

std::mutex& PreviewFlagsLock() {
  static std::mutex lock;
  return lock;
}

TCustomFFmpeg::TCustomFFmpeg() {
  RunState.ReportInterval = 500000;
  RunState.PreviewInterval = 100000;
  RunState.TotalDuration = -1;
  OptionContexts.SetLogLevel = [this](int level) { SetVerbose(level); };
  ResetDefaults();
}

void TCustomFFmpeg::ResetDefaults() {
  Input.TSScales.clear();
  Input.TSOffsets.fill(0);
  Input.Decoders.clear();
  Input.FileCount = 0;
  Input.DecoderCount = 0;
  Output.Encoders.clear();
  Output.CreateFiles = true;
  Output.Overwrite = false;
  Output.KeepPartial = false;
  Output.CreateFolders = false;
  Output.FileCount = 0;
  Output.EncoderCount = 0;
  Maps = TMapTable();
  Video = TVideoOptions();
  FilterSink = TVideoFilterSink();
  Audio = TAudioOptions();
  Subtitle = TSubtitleOptions();
  MuxTime = TMuxTimeOptions();
  Diagnostic = TDiagnosticOptions();
  StreamCopy = TStreamCopyFlags();
  FILE* statsFile = Sync.VStatsFile;  // a handle, not an option: ReleaseAll closes it
  Sync = TSyncOptions();
  Sync.VStatsFile = statsFile;
  Counters = TRunCounters();
  Music = TMusicOptions();
  BitstreamFilters.Video.clear();
  BitstreamFilters.Audio.clear();
  BitstreamFilters.Subtitle.clear();
  BitstreamFilters.Table.clear();
  BitstreamFilters.BufferSize = DEFAULT_BSF_BUFFER_SIZE;
  RunState.TotalDuration = -1;
  RunState.HookFrameCounter = 0;
  RunState.HookAction = haContinue;
  RunState.HookPeriods.clear();
  RunState.HookPeriodIndex = 0;
  RunState.HookingEnabled = false;
  RunState.LastPreviewTime = 0;
  RunState.ExceptionRaised = false;
  RunState.ExceptionCode = rcInternal;
  RunState.SplitEncoding = false;
}

void TCustomFFmpeg::Reset() {
  if (!EngineLibrariesLoaded()) return;
  ResetOptions();
  {
    std::lock_guard<std::mutex> lock(PreviewFlagsLock());
    RunState.PreviewFlags = 0;
  }
  RunState.Running = false;
  RunState.StopRequested = false;
  RunState.FinishedNormally = false;
  RunState.Done = false;
}

void TCustomFFmpeg::ResetOptions() {
  if (!EngineLibrariesLoaded()) return;
  ReleaseAll();
  ResetDefaults();
  RunState.TotalDuration = -1;
  for (int type = 0; type < OPTION_CONTEXT_COUNT; ++type) {
    OptionContexts.Codec[type].reset(av.avcodec_alloc_context3(nullptr));
    if (OptionContexts.Codec[type])
      OptionContexts.Codec[type]->codec_type = static_cast<AVMediaType>(type);
  }
  OptionContexts.Format.reset(av.avformat_alloc_context());
  OptionContexts.Scaler.reset(av.sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16,
                                                AV_PIX_FMT_YUV420P, Counters.SwsFlags,
                                                nullptr, nullptr, nullptr));
}

void TCustomFFmpeg::ResetOptionsForNextOutput() {
  if (!EngineLibrariesLoaded()) return;
  // Fresh contexts: a bit rate or an encoder's own option ("compression_level",
  // "q") given for one format must not reach the next one.
  for (int type = 0; type < OPTION_CONTEXT_COUNT; ++type) {
    OptionContexts.Codec[type].reset(av.avcodec_alloc_context3(nullptr));
    if (OptionContexts.Codec[type])
      OptionContexts.Codec[type]->codec_type = static_cast<AVMediaType>(type);
  }
  OptionContexts.Format.reset(av.avformat_alloc_context());
  OptionContexts.Names.clear();
  OptionContexts.MuxerCandidates.clear();
  Maps.ForcedOutputFormat = nullptr;
  Audio.QScale = TAudioOptions().QScale;
  Audio.CodecTag = 0;
  Audio.CodecName.clear();
  Audio.Language.clear();
  Audio.Disable = false;
  Video.CodecName.clear();
  Subtitle.CodecName.clear();
  Subtitle.Language.clear();
  StreamCopy = TStreamCopyFlags();
  BitstreamFilters.Video.clear();
  BitstreamFilters.Audio.clear();
  BitstreamFilters.Subtitle.clear();
  MuxTime.Metadata.clear();
}

void TCustomFFmpeg::ReleaseAll() {
  if (!EngineLibrariesLoaded()) return;
  CloseOpenedCodecs();
  // 1. Option contexts.
  for (auto& ctx : OptionContexts.Codec) ctx.reset();
  OptionContexts.Format.reset();
  OptionContexts.Names.clear();
  OptionContexts.MuxerCandidates.clear();
  OptionContexts.Scaler.reset();
  // 2. Output files: a file that was created but never written is removed.
  for (int i = 0; i < MAX_FILES; ++i) {
    Output.Codecs[i].clear();
    Output.Copy[i].clear();
    Output.MuxOptions[i].reset();
    Input.Codecs[i].clear();
  }
  // An output that did not take its final name was not finished: its
  // temporary file goes.
  for (size_t i = 0; i < Output.Files.size(); ++i) {
    if (!Output.Files[i]) continue;
    Output.Files[i].reset();
    if (i < Output.Targets.size() && !Output.Targets[i].Committed &&
        !Output.Targets[i].TempName.empty())
      unlink(Output.Targets[i].TempName.c_str());
  }
  for (TOwnedDescriptor& lock : Output.TempLocks) lock.Reset();  // after the names went
  Output.Targets.clear();
  Output.FileCount = 0;
  // 3. Input files (their guards outlive them).
  CloseInputFiles(Input);
  Input.Ahead = TOpenedInput();
  // 4. Option values that own memory or files.
  Video.IntraMatrix.reset();
  Video.InterMatrix.reset();
  if (Sync.VStatsFile) {
    av.my_fclose(Sync.VStatsFile);
    Sync.VStatsFile = nullptr;
  }
  Sync.VStatsFileName.clear();
  Video.CodecName.clear();
  Audio.CodecName.clear();
  Subtitle.CodecName.clear();
  Sync.VideoStandard.clear();
  Video.RcOverride.clear();
  Audio.Language.clear();
  Subtitle.Language.clear();
  // 5. Hooks, converters and the previewer.
  ReleaseFrameHooks();
  RunState.HookingEnabled = false;
  Counters.UsingVHook = false;
  RunState.HookConverter.Reset();
  RunState.PreviewConverter.Reset();
  ReleasePreviewer();
}

void TCustomFFmpeg::SetVerbose(int level) {
  Counters.Verbose = level;
  if (av.av_log_set_level) {
    av.av_log_set_level(level);
    LibraryLogThreshold = av.av_log_get_level();
  } else {
    LibraryLogThreshold = level;
  }
}

void TCustomFFmpeg::Log(int level, const std::string& message) {
  if (OnLog) OnLog(this, level, message);
}

void TCustomFFmpeg::SetAudioVolume(int volume) {
  if (volume >= 0) Sync.AudioVolume = volume;
}

void TCustomFFmpeg::SetAudioSyncMethod(int method) { Sync.AudioSyncMethod = method; }

void TCustomFFmpeg::SetVideoSyncMethod(int method) { Sync.VideoSyncMethod = method; }

void TCustomFFmpeg::SetMuxPreload(float seconds) {
  if (seconds > 0) MuxTime.MuxPreload = seconds;
}

void TCustomFFmpeg::SetMuxMaxDelay(float seconds) {
  if (seconds > 0) MuxTime.MuxMaxDelay = seconds;
}

void TCustomFFmpeg::SetStartTime(int64_t us) {
  if (us > 0) MuxTime.StartTime = us;
}

void TCustomFFmpeg::SetRecordingTime(int32_t ms) {
  if (ms <= 0) return;
  MuxTime.RecordingTime = static_cast<int64_t>(ms) * 1000;
  RunState.TotalDuration = ms;
}

void TCustomFFmpeg::SetSampleRange(const std::string& value) {
  TSampleRange range;
  if (!ParseSampleRange(value, range))
    throw FFmpegException(
        rcOption, StrFormat("Invalid sample range for sample_range: '%s' (FIRST:END in samples, "
                            "END after FIRST, or empty for the end of the file)",
                            value.c_str()));
  MuxTime.SampleRange = range;
}

void TCustomFFmpeg::SetProgramId(int id) {
  if (id >= 0) Sync.ProgramId = id;
}

void TCustomFFmpeg::AddMetadata(const std::string& key, const std::string& value) {
  MuxTime.Metadata.emplace_back(key, value);
}
