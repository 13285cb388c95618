// TCustomFFmpeg: the transcoding engine. One object carries one conversion
// job: the option state that the caller sets (positional, as on a command
// line), the tables of opened input and output files, and the run state.
//
// Threads: options and file opens are set on the caller's thread before the
// job starts; the job then runs on one worker thread. Nothing in the object is
// locked except the preview flags (a process-wide lock) and what the media
// libraries share (CodecLock). The caller must not set options while a job runs.
//
// Failures: option handlers throw FFmpegException (or EConvertError for a value
// that is not a number, EAssertionFailed for a broken tag); warnings and notes go
// to OnLog with a level (-1 error that ended a job, 0 recoverable, 1 note).
#pragma once
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <list>

#include "Bitmap.h"
#include "Deleters.h"
#include "FrameHook.h"
#include "InputGuard.h"
#include "LegacyText.h"
#include "LibAV.h"
#include "Music.h"
#include "OpenedInput.h"
#include "Reason.h"
#include "SampleRange.h"
#include "SourceFile.h"
#include "Text.h"

#define QUELLON_ENGINE_VERSION "1.20"

// The engine's exception: every validation and fatal media-path failure.
// Code: why, as a value (rcInternal when the thrower did not say).
class FFmpegException : public std::runtime_error {
 public:
  explicit FFmpegException(const std::string& message) : std::runtime_error(message) {}
  FFmpegException(TReasonCode code, const std::string& message)
      : std::runtime_error(message), Code(code) {}
  TReasonCode Code = rcInternal;
};

// A value that is not a valid integer or floating-point number.
class EConvertError : public std::runtime_error {
 public:
  explicit EConvertError(const std::string& message) : std::runtime_error(message) {}
};

enum THookAction : uint8_t { haContinue = 0, haIgnore = 1, haStop = 2 };

constexpr int MAX_FILES = 20;
constexpr int MAX_STREAMS = 20;
constexpr int MAX_CODECS = MAX_FILES * MAX_STREAMS;
constexpr int MAX_STREAM_MAPS = 400;
constexpr int MAX_META_DATA_MAPS = 20;
constexpr int DEFAULT_BSF_BUFFER_SIZE = 262144;
constexpr int64_t UNLIMITED_RECORDING_TIME = INT64_MAX;
constexpr int DEFAULT_MAX_FRAMES = 2147483647;

// Media types in the order the option contexts and frame limits use.
constexpr int OPTION_CONTEXT_COUNT = 5;  // video, audio, data, subtitle, attachment

class TCustomFFmpeg;

// Notifications to the engine's owner; all are called on the converting thread.
using TLogNotify = std::function<void(TCustomFFmpeg* sender, int level, const std::string& msg)>;
using TProgressNotify =
    std::function<void(TCustomFFmpeg* sender, int32_t frameNumber, int32_t fps,
                       int32_t currentDuration, float quality, float bitRate,
                       int64_t currentSize, int32_t totalDuration)>;
using TTerminateNotify = std::function<void(TCustomFFmpeg* sender)>;
using TBeforeHookNotify =
    std::function<void(TCustomFFmpeg* sender, int64_t pts, THookAction& action)>;
using TCustomHookNotify =
    std::function<void(TCustomFFmpeg* sender, TBitmap* bitmap, int32_t frameNumber,
                       int64_t pts, bool& update, bool& stopHook)>;
using TPreviewBitmapNotify = std::function<void(TCustomFFmpeg* sender, TBitmap* bitmap,
                                                int32_t frameNumber, int64_t pts)>;

struct TStreamMap {
  int FileIndex, StreamIndex, SyncFileIndex, SyncStreamIndex;
};
struct TMetaDataMap {
  int OutFile, InFile;
};

// Turns a decoded picture into a 24-bit bitmap and back (hooks and preview).
struct TFrameConverter {
  int DestPixFmt = AV_PIX_FMT_BGR24;
  int BitmapBits = 24;
  std::unique_ptr<TBitmap> Bitmap;
  std::vector<uint8_t> Buffer;
  uint8_t* Data[4] = {};
  int LineSize[4] = {};
  const AVFrame* Source = nullptr;
  SwsPtr ToBitmap, FromBitmap;
  void Reset() { *this = TFrameConverter(); }
};

// A preview window of the engine's pictures; made on first use through the
// factory the application registers (src/preview). ShowFrame runs on the
// converting thread, must not wait for the owner's thread, and returns false
// once the user closed the window. The engine frees a previewer on the
// converting thread or, when no picture is being shown, on the thread that
// switches the preview off.
class IPreviewer {
 public:
  virtual ~IPreviewer() = default;
  virtual bool ShowFrame(TBitmap* bitmap, int frameNumber, int64_t pts) = 0;
};
using TPreviewerFactory = std::function<std::unique_ptr<IPreviewer>()>;
// Registers the maker of preview windows (none: window previews stay off).
void SetPreviewerFactory(TPreviewerFactory factory);
// "hh:mm:ss.zzz" of a timestamp in µs; "N/A" for none.
std::string PreviewTimeText(int64_t pts);
// The process-wide lock of every engine's preview flags.
std::mutex& PreviewFlagsLock();

// 1. Input file table.
struct TInputFileTable {
  std::array<InputFormatPtr, MAX_FILES> Files;
  std::vector<CodecContextPtr> Codecs[MAX_FILES];  // a decoder context per stream
  std::array<int64_t, MAX_FILES> TSOffsets{};       // µs added to each file's timestamps
  // The tables below grow to the entries set (a queued task's engine stays
  // small); an entry never set reads as none.
  std::vector<std::array<double, MAX_STREAMS>> TSScales;  // [file][stream], 0 = none
  std::vector<const AVCodec*> Decoders;  // forced decoder per input stream, at most MAX_CODECS
  int FileCount = 0;
  int DecoderCount = 0;
  // Per file: what the name stood for when it was opened, and the limits on
  // its opening and reading (the guard outlives the context).
  std::vector<TFileIdentity> Identities;
  std::vector<std::unique_ptr<TInputGuard>> Guards;
  // Per file: opened at a start position. A seek lands on a key frame at or
  // before it; what decodes before the position is cut away.
  std::vector<bool> CutBefore;
  // Per file: the range of its audio samples the job takes (SampleRange.h;
  // not Set: all of it).
  std::vector<TSampleRange> Ranges;
  // How the next file opened reads tags that claim Latin-1 ("tag_encoding");
  // back to auto once it is open.
  TTagEncoding TagEncoding = teAuto;
  // Per file: how it was opened, for TakeOpenedInput.
  struct TOpening {
    bool Plain = false;      // no forced format, demuxer or decoder options, no program
    TFileIdentity Identity;  // the file just before it was opened
    TTagEncoding TagEncoding = teAuto;
    std::string TagsReadAs;
  };
  std::vector<TOpening> Openings;
  // An input opened ahead for the next OpenInputFile (HandOverInput).
  TOpenedInput Ahead;
};

// A file descriptor with one owner; closed with it.
class TOwnedDescriptor {
 public:
  TOwnedDescriptor() = default;
  TOwnedDescriptor(const TOwnedDescriptor&) = delete;
  TOwnedDescriptor& operator=(const TOwnedDescriptor&) = delete;
  TOwnedDescriptor(TOwnedDescriptor&& other) noexcept : Fd(other.Fd) { other.Fd = -1; }
  TOwnedDescriptor& operator=(TOwnedDescriptor&& other) noexcept {
    if (this != &other) {
      Reset(other.Fd);
      other.Fd = -1;
    }
    return *this;
  }
  ~TOwnedDescriptor() { Reset(); }
  void Reset(int fd = -1) {
    if (Fd >= 0) ::close(Fd);
    Fd = fd;
  }

 private:
  int Fd = -1;
};

// An output on disk. A plain file is written under a hidden temporary name
// beside its final name and takes the final name only when its job ends
// complete or partial; a job that fails or is stopped leaves nothing under
// the final name. Devices and protocol outputs are written in place.
// The temporary file is held locked (flock, TOutputFileTable::TempLocks)
// from its creation until it takes its final name or goes: a later run that
// finds it locked leaves it alone, one that can lock it removes it as a
// leftover of a killed run.
struct TOutputTarget {
  std::string FinalName;  // asked for; once committed, the name the file took
  std::string TempName;   // "" when written in place
  bool Committed = false;
};

// 2. Output file table.
struct TOutputFileTable {
  std::array<OutputFormatPtr, MAX_FILES> Files;
  std::vector<CodecContextPtr> Codecs[MAX_FILES];  // an encoder context per stream
  std::vector<bool> Copy[MAX_FILES];               // per stream: copied, not encoded
  DictPtr MuxOptions[MAX_FILES];                   // muxer options for the header
  std::vector<const AVCodec*> Encoders;  // forced encoder per output stream (grows as set)
  int FileCount = 0;
  int EncoderCount = 0;
  std::vector<TOutputTarget> Targets;  // per output file
  // Per output file: its temporary file, open and locked while it is written.
  std::array<TOwnedDescriptor, MAX_FILES> TempLocks;
  // false: OpenOutputFile checks everything (the folder can be written) but
  // creates nothing; the owner opens the output again when the job runs.
  bool CreateFiles = true;
  bool Overwrite = false;    // a file under the final name is replaced
  bool CreateFolders = false;  // a missing folder of an output is made (when files are)
  bool KeepPartial = false;  // a stopped or failed job keeps what it wrote
};

// 3.-5. Stream maps, metadata maps, forced formats.
struct TMapTable {
  std::vector<TStreamMap> StreamMaps;        // at most MAX_STREAM_MAPS
  std::vector<TMetaDataMap> MetaDataMaps;    // at most MAX_META_DATA_MAPS
  const AVInputFormat* ForcedInputFormat = nullptr;    // per file
  const AVOutputFormat* ForcedOutputFormat = nullptr;  // per file
};

// 6. Video options.
struct TVideoOptions {
  int FrameWidth = 0, FrameHeight = 0;  // 0 = take from the input
  float FrameAspectRatio = 0;           // 0 = unknown
  int PixFmt = AV_PIX_FMT_NONE;
  int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
  int PadColor[3] = {16, 128, 128};  // Y, U, V
  int CropTop = 0, CropBottom = 0, CropLeft = 0, CropRight = 0;
  int MaxFrames[4] = {DEFAULT_MAX_FRAMES, DEFAULT_MAX_FRAMES, DEFAULT_MAX_FRAMES,
                      DEFAULT_MAX_FRAMES};  // video, audio, data, subtitle
  AVRational FrameRate = {0, 0};            // 0/0 = not set
  float QScale = 0;                         // 0 = not set
  std::unique_ptr<std::array<uint16_t, 64>> IntraMatrix, InterMatrix;
  std::string RcOverride;
  bool Disable = false;  // per file
  int Discard = 0;
  std::string CodecName;  // per file; empty = default encoder
  int CodecTag = 0;
  bool SameQuality = false;
  bool Deinterlace = false;
  int TopFieldFirst = -1;
  int MeThreshold = 0;
  int IntraDcPrecision = 8;
  bool LoopInput = false;
  int LoopOutput = -1;  // -1 = the format's default
  bool QpHist = false;
  std::string Filters;  // video filter chain
  bool IntraOnly = false;
};

// 7. Video filter output definition (the engine's own sink, "ffmpeg_output").
struct TVideoFilterSink {
  bool InUse = false;
  std::string Name = "ffmpeg_output";
  std::string InputPad = "default";
};

// 8. Audio options.
struct TAudioOptions {
  int SampleRate = 44100;
  int64_t ChannelLayout = 0;
  float QScale = -99999.0f;  // not set
  bool Disable = false;      // per file
  int Channels = 2;
  std::string CodecName;  // per file
  int CodecTag = 0;
  std::string Language;  // per file
  int SampleFmt = AV_SAMPLE_FMT_NONE;
};

// 9. Subtitle options.
struct TSubtitleOptions {
  bool Disable = false;   // per file
  std::string CodecName;  // per file
  std::string Language;   // per file
};

// 10. Muxing and time options.
struct TMuxTimeOptions {
  float MuxPreload = 0.5f;   // seconds
  float MuxMaxDelay = 0.7f;  // seconds
  int64_t RecordingTime = UNLIMITED_RECORDING_TIME;  // µs
  int64_t StartTime = 0;                             // µs
  int64_t RecordingTimestamp = 0;                    // seconds since 1970
  int64_t InputTSOffset = 0;                         // µs
  TSampleRange SampleRange;  // "sample_range": of the next input opened, taken there
  std::vector<std::pair<std::string, std::string>> Metadata;
};

// 11. Diagnostic and pass options.
struct TDiagnosticOptions {
  bool HexDump = false;
  bool PacketDump = false;
  bool DoPSNR = false;
  int PassNumber = 0;  // 0 = single pass
  std::string PassLogFile;
};

// 12. Stream-copy flags (per file).
struct TStreamCopyFlags {
  int Audio = 0, Video = 0, Subtitle = 0;
};

// 13. Synchronisation options.
struct TSyncOptions {
  int VideoSyncMethod = -1;  // auto
  int AudioSyncMethod = 0;
  float AudioDriftThreshold = 0.1f;
  bool CopyTS = false;
  bool Shortest = false;
  int VideoGlobalHeader = 0;  // 1 = global header, 2 = local header
  std::string VStatsFileName;
  FILE* VStatsFile = nullptr;  // opened through librtshim on first use
  int ProgramId = 0;
  int CopyInitialNonKeyFrames = 0;
  bool RateEmu = false;
  int VideoChannel = 0;
  std::string VideoStandard;
  int AudioVolume = 256;  // 256 = unchanged
  bool ExitOnError = false;
};

// 14. Run counters and limits.
struct TRunCounters {
  bool UsingVHook = false;
  int Verbose = 1;
  int ThreadCount = 1;
  int64_t VideoSize = 0, AudioSize = 0, ExtraSize = 0;
  int DupFrames = 0, DropFrames = 0;
  bool InputSync = false;
  int64_t LimitFileSize = 0;  // bytes, 0 = none
  bool ForceFps = false;
  bool PgmyuvCompat = false;
  float DtsDeltaThreshold = 10.0f;  // seconds
  int SwsFlags = SWS_BICUBIC;
};

// 15. Option contexts: the targets of the generic option fallback.
struct TOptionContexts {
  std::vector<std::string> Names;  // options set through the fallback, in order
  CodecContextPtr Codec[OPTION_CONTEXT_COUNT];
  FormatContextPtr Format;
  SwsPtr Scaler;
  std::function<void(int)> SetLogLevel;  // SetVerbose; unset: the library's setter
  // Names no context knows, kept for the muxer or an encoder that may know
  // them as its own options ("muxrate" of the MPEG muxers, "vbr" of libopus).
  std::vector<std::pair<std::string, std::string>> MuxerCandidates;
};

// 16. Bitstream filters.
using TBitstreamFilterChain = std::vector<const AVBitStreamFilter*>;
struct TBitstreamFilters {
  TBitstreamFilterChain Video, Audio, Subtitle;  // pending, taken by the next new stream
  std::vector<std::array<TBitstreamFilterChain, MAX_STREAMS>> Table;  // [output file][stream], grows
  int BufferSize = DEFAULT_BSF_BUFFER_SIZE;
};

// Thread priorities of a worker: idle runs under SCHED_IDLE, the others at
// nice 15, 5 and 0.
enum class TThreadPriority { Idle, Lowest, Lower, Normal };

// The worker of a threaded job. It is created suspended by Start and runs
// the engine's Run once started; it is joined (never detached) before its
// engine goes, except when the engine is destroyed from the worker itself.
class TFFmpegThread {
 public:
  TFFmpegThread(TCustomFFmpeg* engine, TThreadPriority priority);
  ~TFFmpegThread();
  TFFmpegThread(const TFFmpegThread&) = delete;
  TFFmpegThread& operator=(const TFFmpegThread&) = delete;
  void Start();    // once; later calls do nothing; ThreadID() is set on return
  void WaitFor();  // returns when the thread has ended (or was never started)
  // The system's thread id of the worker (0 before Start).
  int ThreadID() const { return Tid; }

 private:
  void Execute();
  TCustomFFmpeg* Engine;
  TThreadPriority Priority;
  std::thread Thread;
  std::atomic<int> Tid{0};
};

// Applies a priority to the calling thread.
void SetCurrentThreadPriority(TThreadPriority priority);

// 17. Run state.
struct TRunState {
  // ---- Owned by the engine's owner (the thread that starts and frees it).
  std::unique_ptr<TFFmpegThread> Worker;
  std::thread TerminateThread;  // a TDoTerminateThread: Finish of a job that never ran

  // ---- Any thread: flags and counts read and written without a lock.
  std::atomic<bool> TerminatePending{false};
  std::atomic<bool> WorkerRegistered{false};
  std::atomic<bool> Running{false}, StopRequested{false}, FinishedNormally{false},
      Done{false}, ExceptionRaised{false};
  std::atomic<bool> Paused{false};  // written under GateLock
  // Bit 0 preview frames, bit 1 preview bitmap; written under the preview lock.
  std::atomic<uint8_t> PreviewFlags{0};
  // The owner may change the number of encoder threads while the job runs.
  std::atomic<int> EncoderThreads{1};

  // ---- Protected by GateLock. The main loop waits at the gate once per
  // iteration and holds no other lock there (never CodecLock).
  std::mutex GateLock;  // the pause gate the main loop waits at
  std::condition_variable Gate;

  // ---- Set by the owner before Start; read by the job's thread.
  // The files are opened by OpenFiles when the job runs, not before Start.
  bool FilesDeferred = false;
  // Encode long audio outputs in chunks on several encoder instances
  // (AudioChain.h); decided when the job starts.
  bool SplitEncoding = false;
  // The owner's flag (a signal handler's, say) that ends the opening of an
  // input at once; reading a job's input ends with Stop.
  const std::atomic<bool>* OpenAbort = nullptr;
  int64_t ReportInterval = 500000;   // µs
  int64_t PreviewInterval = 100000;  // µs

  // ---- Owned by the job's thread while it runs; read by the owner after
  // the terminate notification.
  std::string ExceptionMessage;
  TReasonCode ExceptionCode = rcInternal;  // the code of ExceptionMessage
  int32_t TotalDuration = -1;  // ms of output expected, -1 = unknown
  // Hooks
  std::vector<THookEntry> Hooks;
  bool HookingEnabled = false;
  TFrameConverter HookConverter;
  int HookFrameCounter = 0;
  int HookAction = haContinue;
  std::vector<std::pair<int64_t, int64_t>> HookPeriods;  // µs, inclusive
  int HookPeriodIndex = 0;
  // Preview
  TFrameConverter PreviewConverter;
  int64_t LastPreviewTime = 0;  // µs

  // ---- Under the preview lock: the window previewer, set and taken there;
  // while the converting thread uses it (PreviewBusy) only that thread frees it.
  std::unique_ptr<IPreviewer> Previewer;
  bool PreviewBusy = false;
};

// How a job ended.
enum TJobOutcome : int {
  joNone = 0,      // not ended (or never run)
  joComplete = 1,  // the whole source was read and encoded
  joPartial = 2,   // the source is damaged: what could be read was converted
  joFailed = 3,    // nothing usable was made; the output is removed
  joStopped = 4    // a stop request ended it; the output is removed
};

// What the last job did with its source and outputs.
struct TJobResult {
  TJobOutcome Outcome = joNone;
  std::string Reason;  // why partial, failed or stopped; "" when complete
  TReasonCode Code = rcNone;  // the same as a value
  std::vector<std::string> Outputs;  // the names the output files took
  int64_t DamagedPackets = 0;              // packets the decoders refused
  int64_t FirstDamage = AV_NOPTS_VALUE;    // µs of source time
  int64_t CutPackets = 0;   // of those, a refused last packet of a source that was cut
  int64_t Lost = 0;                        // µs of source the damaged stretches took
  int64_t FirstLoss = AV_NOPTS_VALUE;      // µs of source time where the first began
  int ReadError = 0;                       // a read error other than the end
  int64_t ReadErrorAt = AV_NOPTS_VALUE;    // µs of source time
  // A source that ended before the length it states exactly (a frame or
  // sample count, a data size; not an estimate from the bit rate), µs.
  int64_t SourceEnd = AV_NOPTS_VALUE;
  int64_t StatedLength = AV_NOPTS_VALUE;
  bool Received = false;  // an output stream got audio or pictures to encode
};

// What a damaged source lost, as numbers, for a front end that tells it in
// its own words (Reason tells it in English). Source time in µs; -1: none.
struct TSourceDamage {
  int64_t ReadErrorAt = -1;  // a read error there: converted up to it
  int64_t Lost = 0;          // source time the damaged stretches took
  int64_t FirstLoss = -1;    // where the first of them began
  int64_t SkippedPackets = 0;  // refused packets without a place in the source (when Lost is 0)
  int64_t SourceEnd = -1;     // the source ends there,
  int64_t StatedLength = -1;  // short of the length it states
};
// The damage of a job's result as the engine tells it (its Reason is made
// from the same figures).
TSourceDamage SourceDamageOf(const TJobResult& result);

// Process-wide library log threshold, read by the library log callback.
extern std::atomic<int> LibraryLogThreshold;

struct TTranscodeTables;
struct TInputStreamEntry;
struct TOutputStreamEntry;
class TAudioOutputChain;

class TCustomFFmpeg {
 public:
  // Create: report and preview intervals, run flags, defaults.
  TCustomFFmpeg();
  // Destroy: asks a running job to stop, waits for its worker, releases all.
  virtual ~TCustomFFmpeg();
  TCustomFFmpeg(const TCustomFFmpeg&) = delete;
  TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

  // Prepares for a new job (nothing unless the libraries are loaded).
  void Reset();
  // The option half of Reset: releases the job's files and contexts and sets
  // every option back to its default; run flags and preview flags stay.
  void ResetOptions();
  void ResetDefaults();
  // Releases every library object of the job; safe to call twice.
  void ReleaseAll();
  // Between two output files of one job: the encoder and muxer options set
  // for the output opened last (option contexts, forced codecs and format,
  // quantiser, tag, stream copy, pending bitstream filters) go back to their
  // defaults, so that the next output gets only its own. What the opened
  // inputs told (rate, channels, layout, picture size) and the options of
  // the whole job (volume, times, music) stay.
  void ResetOptionsForNextOutput();
  // Decoders opened by the set-up of every job in the process so far (a
  // measuring pass's decoder not counted): how often sources were decoded.
  static int64_t DecodersOpened();
  void SetVerbose(int level);

  // The option vocabulary (name without the leading dash, value as text).
  void SetOption(const std::string& name, const std::string& value);

  // Typed setters.
  void SetAudioVolume(int volume);
  void SetAudioSyncMethod(int method);
  void SetVideoSyncMethod(int method);
  void SetMuxPreload(float seconds);
  void SetMuxMaxDelay(float seconds);
  void SetStartTime(int64_t us);
  void SetRecordingTime(int32_t ms);
  // "sample_range" (SampleRange.h) of the next input opened; FFmpegException
  // (rcOption) when the value is malformed.
  void SetSampleRange(const std::string& value);
  void SetProgramId(int id);
  void AddMetadata(const std::string& key, const std::string& value);
  // Returns the previous flags; clearing bit 0 frees the previewer.
  uint8_t SetPreviewFlags(uint8_t flags);

  // Option handlers that the component calls directly.
  void SetFormat(const std::string& value);        // "f": both directions
  void SetInputFormat(const std::string& value);   // input only
  void SetOutputFormat(const std::string& value);  // output only
  void SetVideoCodec(const std::string& value);
  void SetAudioCodec(const std::string& value);
  void SetSubtitleCodec(const std::string& value);
  void SetVideoTag(const std::string& value);
  void SetAudioTag(const std::string& value);
  void SetFrameRate(const std::string& value);
  void SetFrameSize(const std::string& value);
  void SetFrameAspectRatio(const std::string& value);
  void SetCropTop(int value);
  void SetCropBottom(int value);
  void SetCropLeft(int value);
  void SetCropRight(int value);
  void SetPadTop(int value);
  void SetPadBottom(int value);
  void SetPadLeft(int value);
  void SetPadRight(int value);
  void SetPadColor(int rgb);
  void SetAudioRate(int rate);
  void SetAudioChannels(int channels);
  void SetVideoFilters(const std::string& value);
  // The generic fallback; true when a library option took the value.
  bool SetGenericOption(const std::string& name, const std::string& value);
  // Target presets: type "vcd" ... "dv50", norm "pal"/"ntsc"/"film"/other.
  void SetTarget(const std::string& type, const std::string& norm,
                 const std::string& fallbackNorm);
  // "vhook": a hook library path and its arguments, separated by "|" when
  // the text holds one, else by blanks (at most 63 parts). Throws
  // FFmpegException "Failed to add video hook function: <text>" when the
  // library cannot be added; else hooking is enabled.
  void AddFrameHook(const std::string& text);
  // The periods (µs, inclusive) in which the external hooks run; sorted here.
  void SetHookPeriods(const std::vector<std::pair<int64_t, int64_t>>& periods);

  // Opens a file with the options set so far and consumes the per-file
  // options; false with the reason in LastError.
  bool OpenInputFile(const std::string& filename);
  // Gives the next OpenInputFile a file opened and probed ahead: taken
  // instead of opening it again under OpenedInput.h's rules (same name,
  // opened the plain way, tags read the same way, file unchanged), else
  // closed there. Released with the engine's files (ReleaseAll).
  void HandOverInput(TOpenedInput input);
  // Takes the engine's only input file out of it, to hand to a later job of
  // the same source: empty unless exactly one file is open, the plain way
  // and not at a start position. The engine then holds no input.
  TOpenedInput TakeOpenedInput();
  bool OpenOutputFile(const std::string& filename);

  // Run control. Start validates and starts the job: on the calling thread
  // (returns null when the job has ended) or on a worker created suspended
  // and returned for the caller to Start. Null also when the engine already
  // ran or runs. OnTerminate follows every Start and every Terminate of a job
  // that never ran, exactly once.
  TFFmpegThread* Start(bool threaded, TThreadPriority priority = TThreadPriority::Normal);
  void Run();
  void Stop();
  void Terminate();
  void Pause();   // the worker waits at its next loop iteration
  void Resume();
  void Finish();
  bool Paused() const { return RunState.Paused; }

  // The job's fields, grouped as the data model groups them.
  TInputFileTable Input;
  TOutputFileTable Output;
  TMapTable Maps;
  TVideoOptions Video;
  TVideoFilterSink FilterSink;
  TAudioOptions Audio;
  TSubtitleOptions Subtitle;
  TMuxTimeOptions MuxTime;
  TDiagnosticOptions Diagnostic;
  TStreamCopyFlags StreamCopy;
  TSyncOptions Sync;
  TRunCounters Counters;
  TOptionContexts OptionContexts;
  TBitstreamFilters BitstreamFilters;
  TRunState RunState;
  TMusicOptions Music;  // cover, tags, loudness (Music.h)
  TJobResult Result;  // of the last job; read after its terminate notification
  std::string LastError;
  TReasonCode LastErrorCode = rcNone;  // of an output that could not be opened; else rcNone

  TBeforeHookNotify OnBeforeHook;
  TCustomHookNotify OnCustomHook;
  TLogNotify OnLog;
  TPreviewBitmapNotify OnPreviewBitmap;
  TProgressNotify OnProgress;
  TTerminateNotify OnTerminate;

 protected:
  // Called by Run on the job's thread before the conversion. An owner that
  // opens its files late (FilesDeferred) opens them here and throws
  // FFmpegException with the reason when it cannot.
  virtual void OpenFiles() {}
  // Sends a message to OnLog when one is assigned.
  void Log(int level, const std::string& message);
  // Adds a stream of that type to the last output file ("newvideo" ...).
  void NewOutputStream(AVMediaType type);
  void NewVideoStream(AVFormatContext* oc, int fileIndex);
  void NewAudioStream(AVFormatContext* oc, int fileIndex);
  void NewSubtitleStream(AVFormatContext* oc, int fileIndex);
  // Fits a new video encoder's rate, size and pixel format (already set from
  // the source and options) to what the encoder takes, logging each change;
  // the video path scales and retimes the pictures to match.
  void FitEncoderPicture(AVCodecContext* ctx, const AVCodec* codec);

  // The conversion: set-up, main loop, flush and trailers.
  void Transcode();
  void TranscodeSetup();
  void MainLoop();
  void EndOfLoop();
  // Flushes and closes an output file's byte stream (if open); a write that
  // failed, then or before, throws FFmpegException with its code.
  void CloseOutputBytes(int file);
  int OutputPacket(TInputStreamEntry& ist, int istIndex, const AVPacket* pkt);
  // Decodes one packet (null: drains) and dispatches what comes out; -1 when
  // the decoder refused it.
  int DecodePacket(TInputStreamEntry& ist, const AVPacket* pkt);
  void DispatchFrame(TInputStreamEntry& ist, AVFrame* frame, AVSubtitle* subtitle,
                     const AVPacket* pkt);
  void FlushEncoders(TInputStreamEntry& ist, int istIndex);
  void CopyPacket(TOutputStreamEntry& ost, TInputStreamEntry& ist, const AVPacket* pkt);
  // Applies the stream's bitstream filters and writes interleaved; takes the
  // packet's reference. Throws FFmpegException when the write fails.
  void WriteFrame(TOutputStreamEntry& ost, AVPacket* pkt);
  // The chain from the given filter on, then the muxer.
  void FilterAndWrite(TOutputStreamEntry& ost, size_t filter, AVPacket* packet);
  // Sends a frame (null: drain) to the stream's encoder and writes every
  // packet that comes out; returns the bytes written.
  int64_t EncodeAndWrite(TOutputStreamEntry& ost, const AVFrame* frame, const char* failure);
  // Writes one packet of the stream's encoder (encoder time base): its
  // statistics noted, then WriteFrame.
  void WriteEncoded(TOutputStreamEntry& ost, AVPacket* pkt);
  // Cuts what a decoded frame holds before the input's start position (all
  // of it: false) and, for video, a picture at or after the recording end.
  bool CutToClip(TInputStreamEntry& ist, AVFrame* frame);
  // Cuts a decoded frame of a ranged stream to its range (false: nothing of
  // it is used); sets the stream's clock to the range's, and ends the
  // reading of the file once its ranges went by. A seek that did not land
  // exactly puts the file back at its start here.
  bool CutToRange(TInputStreamEntry& ist, AVFrame* frame);
  // The ranged streams' cutters, and the seek before the ranges' start.
  void SetUpRanges();
  // At the end of the reading: a range outside the audio fails the job (rcClip).
  void CheckRanges();
  // The audio output path: the stream's chain (AudioChain.h) does the work.
  void DoAudioOut(TOutputStreamEntry& ost, TInputStreamEntry& ist, AVFrame* frame);
  void DrainAudio(TOutputStreamEntry& ost);
  void ApplyVolume(AVFrame* frame);
  // The chain of an audio stream whose encoder is open: the job's settings
  // handed as a value, its packets written through WriteEncoded.
  std::unique_ptr<TAudioOutputChain> MakeAudioChain(TOutputStreamEntry& ost);
  void DoVideoOut(TOutputStreamEntry& ost, TInputStreamEntry& ist, AVFrame* frame);
  // Frame-rate sync: how many copies of the current picture the stream
  // takes (0 drops it); counts drops and duplicates.
  int VideoSyncCount(TOutputStreamEntry& ost);
  // The picture in the encoder's geometry (crop, scale, pad), or null when a
  // crop or pad failed and the picture is skipped.
  AVFrame* FormatVideoPicture(TOutputStreamEntry& ost, AVFrame* frame);
  // A crop or pad failure: raised with exit on error, else logged; false.
  bool VideoPictureFailed(const char* message);
  // Builds the filter graph of an encoded video stream; -1 (and maybe a
  // LastError text) on failure.
  int ConfigureFilters(TInputStreamEntry& ist, TOutputStreamEntry& ost);
  // Through the stream's graph to DoVideoOut; a null frame drains the graph.
  void FilterVideo(TOutputStreamEntry& ost, TInputStreamEntry& ist, AVFrame* frame);
  void DoSubtitleOut(TOutputStreamEntry& ost, TInputStreamEntry& ist, AVSubtitle* subtitle,
                     int64_t pts);
  // Writes the clear page still held back at the end of the stream.
  void FlushSubtitles(TOutputStreamEntry& ost);
  // The subtitle encoder's time base and canvas size, before it is opened.
  void SetUpSubtitleEncoder(TOutputStreamEntry& ost, TInputStreamEntry& ist);
  void PrintReport(bool last);
  // Hooks and previews.
  AVFrame* PreProcessVideoFrame(TInputStreamEntry& ist, AVFrame* frame);
  void RunCustomHook(AVFrame* picture, int64_t pts);
  // Calls an owner's hook notification; false (and a level-0 log line
  // "Error occurs <event>: ...") when it raised.
  bool CallHookOwner(const char* event, const std::function<void()>& call);
  bool FrameToBitmap(TFrameConverter& converter, const AVFrame* picture);
  void ReleaseFrameHooks();
  // Offers an encoded picture to the bitmap preview or the preview window,
  // at most once per preview interval; converting thread.
  void PreviewFrame(const AVFrame* picture, int64_t pts);
  // Frees the previewer (and so its window) unless the converting thread is
  // using it; that thread then frees it itself.
  void ReleasePreviewer();
  void WriteVideoStats(TOutputStreamEntry& ost, int frameSize);
  void CloseOpenedCodecs();
  void WaitWhilePaused();
  // Outputs on disk: the byte stream of a new output (under its temporary
  // name), and what becomes of the files when the job ends.
  bool OpenOutputTarget(AVFormatContext* oc, const std::string& filename);
  void SettleOutcome();
  // Gives each output its final name; false with Result.Reason on failure.
  bool CommitOutputs();
  // Damage of the sources, measured on the packets' own timestamps (pts and
  // duration in the stream's time base; AV_NOPTS_VALUE: the drain, no place):
  // a refused packet opens a damaged stretch, the next good packet closes it
  // and the gap between the good packets around it is counted as lost.
  void NoteDamagedPacket(TInputStreamEntry& ist, int64_t pts = AV_NOPTS_VALUE,
                         int64_t duration = 0);
  void NoteGoodPacket(TInputStreamEntry& ist, int64_t pts, int64_t duration);
  // At the end of the reading: stretches still open, and sources that ended
  // before the length they state.
  void NoteSourceEnds();
  // Music (FFmpegTags.cpp, FFmpegCover.cpp, FFmpegLoudness.cpp): before the
  // headers (measuring pass, ReplayGain tags, cover); the cover pictures
  // after them; after the trailers, what the muxers leave out goes into the
  // closed files through TagLib (MusicTags.h); the source's time on the
  // committed outputs. Job's thread; a failed write of an output throws
  // FFmpegException with the code of its error.
  void PrepareMusicOutputs();
  void WriteCoverPackets();
  void FinishMusicOutputs();
  void KeepSourceTime();
  void MeasureJobLoudness();
  void ApplyLoudnessGain(AVFrame* frame);
  bool FindCover(TCoverPicture& cover);
  void PrepareCovers();
  void NoteReadError(int file, int code);

  // Looks a codec up by name ("" = none, true); false with "Unknown %s '%s'"
  // or "Invalid %s type '%s'" in LastError.
  bool FindCodec(const std::string& name, AVMediaType type, bool encoder, const AVCodec*& codec);
  // The encoder of a new output stream: by name (recorded in the forced
  // encoder table; FFmpegException when unknown) or the format's default.
  const AVCodec* OutputEncoder(AVFormatContext* oc, AVMediaType type, const std::string& name,
                               AVCodecID& id);
  // Files a new stream's codec context and copy flag, with its language tag.
  void RegisterOutputStream(AVStream* st, int fileIndex, CodecContextPtr ctx, bool copy,
                            std::string& language);

  std::unique_ptr<TTranscodeTables> Tables;  // during Transcode only
  // Codecs opened by the set-up, closed (freed) by the end of the run.
  std::list<CodecContextPtr*> OpenedEncoders, OpenedDecoders;
  int64_t LoopStartTime = 0;  // µs, wall clock
  std::array<int, 52> QuantiserHistogram{};
  std::vector<uint8_t> SubtitleBuffer;  // encoded subtitles, reused

 private:
  void SetCrop(int& field, int value, int& dimension, const char* side, bool vertical);
  void SetPad(int& field, int value, const char* side);
  void SetCodecName(std::string& name, int& copyFlag, const std::string& value);
  void SetMatrix(std::unique_ptr<std::array<uint16_t, 64>>& matrix, const std::string& value);
  void ListFormats(bool pixel);
  void AddStreamMap(const std::string& value);
  void AddMetaDataMap(const std::string& value);
  void SetTimeScale(const std::string& value);
  void SetBitRate(const std::string& name, const std::string& value);
  void AddBitstreamFilter(const std::string& name, const std::string& value);
  void SetVStats(bool fromValue, const std::string& value);
  void SetVHook(const std::string& value);
};

// The library error text rule: a message for a library result code, about
// name ("%s: no such file or directory", ...).
std::string LibraryErrorText(const std::string& name, int code);
// The failure of a muxer call (header, packet, trailer, close) on the output
// oc that returned result. Where the output's byte stream failed (a full
// device, an I/O error; the stream's own error wins over the call's, which a
// muxer may have turned into another), "Could not write '<name>': <system
// text>" with the code of that error (rcDiskFull for ENOSPC); else otherwise,
// as rcOutputWrite.
FFmpegException OutputWriteFailure(const AVFormatContext* oc, int result,
                                   const std::string& otherwise);

// Conversions of option values (the integer, 64-bit and floating-point kinds).
int StrToInt(const std::string& text);
int64_t StrToInt64(const std::string& text);
double StrToFloat(const std::string& text);
// Reads a number with base detection (decimal, 0x hexadecimal, 0 octal) from
// text at pos, leaving pos after it; no digits read 0.
long ReadBasedNumber(const std::string& text, size_t& pos);
// The three pad colour components of a colour reference (red in the low byte).
void ColorToYUV(int rgb, int yuv[3]);
