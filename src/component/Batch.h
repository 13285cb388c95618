// TConversionBatch: one run of many files, the object that knows the whole
// run. quellon-cli and the window are views of it: they hand it the user's
// files and choices and commands (start, pause, resume, stop), and draw
// lines or rows from its events and figures; neither decides what the batch
// decides.
//
// What the batch owns:
// - the source list: files and folders given (a folder stands for the files
//   under it), each file probed once (ProbeSource) into its source facts;
//   files left out of a folder are named with their reason (Skipped);
// - cue sheets: a .cue, an audio file with a cue beside it, or a FLAC with
//   its own sheet stands for its tracks, one file of the list per track (a
//   sample range of the image, its own tags and name, the image's tracks one
//   album); a sheet that cannot be used fails with its reason and its image
//   is listed whole;
// - composition: each file's two option records come from one plain record
//   of the user's choices (TBatchChoices) and its facts, no widget involved;
// - output names: "_(new)", "_(new_N)", or from the tags by a name pattern
//   (plain, then " (2)" ...), never a source, never a name another file of
//   the batch holds;
// - several formats at once: a file is one task with one output per format
//   (its source decoded once), each format its own tree below the output
//   folder (OUT/mp3/..., OUT/opus/...); a file is converted with all its
//   outputs or fails with none kept, the reason naming the output;
// - albums (album gain): the files of one folder, held by the batch itself;
// - feeding: files become the component's tasks a few ahead of the running
//   ones (probed then, when not probed yet), and ended tasks are freed, so a
//   list of any length holds little memory;
// - run control: Start converts what is not converted yet, StartAll every
//   file again; Pause holds the running files and starts no other; Stop ends
//   the running files (outputs removed) and leaves the rest for the next
//   Start; the split decision is made with the files still to come in view;
// - the figures: counts per outcome, done/total, percent by media time,
//   elapsed, time left;
// - sync mode (SyncBatch.cpp, SyncState.h): a file whose output is up to
//   date is not converted (no probe, no engine), outputs take their plain
//   names and replace only earlier outputs the mode wrote, what was made is
//   recorded in the output folder as each file completes; after the run,
//   outputs whose source is gone may be removed; a dry run only plans.
//
// Below it: TREzuvuZUZ runs the tasks (one engine each) on its workers; the
// batch takes the component's events for the time it lives (the owner does
// not set the component's handlers meanwhile).
//
// Threads: every public call, and every event, on the component's main
// thread (its TMainThread: the owner's Qt loop, or the component's own
// TEventLoop that the owner runs). The component's notifications arrive on
// its workers; the batch moves them to the main thread (Post) before it
// touches a file record, so the records are owned by the main thread and
// need no lock. Lock order: the component's EventLock, then the batch's
// Inbox lock, never the other way.
//
// Outcomes: each file ends once per run with one TFileOutcome, a reason code
// (Reason.h) and its English text; OnFileEnded carries the file's stable id.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "NamePattern.h"
#include "OptionComposer.h"
#include "REzuvuZUZ.h"
#include "Reason.h"
#include "SyncState.h"

struct TAlbumGroup;

enum TFileOutcome : int {
  foNone = 0,      // not ended in this batch (waiting, running, or never run)
  foComplete = 1,  // converted
  foPartial = 2,   // converted what a damaged source held
  foFailed = 3,    // could not be converted
  foStopped = 4,   // stopped while it converted; its output removed
  foSkipped = 5,   // left out of a folder: nothing to convert in it, or unreadable
  foUpToDate = 6,  // sync mode: its output is up to date; nothing converted (Output names it)
  foPlanned = 7    // dry run: would be converted (Reason says why, Output the name it would take)
};

// What the user chose, for every file of the batch.
struct TBatchChoices {
  std::string Format = "WAV";  // an item of FormatItems, any case
  // Further formats written from the same decoding of each source (the
  // sound formats only; see SetFormatList). With an output folder, every
  // format then writes below OutputFolder/<format> (FormatFolder).
  std::vector<std::string> MoreFormats;
  std::string OutputFolder;    // "" beside each source
  bool KeepTree = true;        // files from a folder keep their sub-folder below OutputFolder
  bool Overwrite = false;      // an existing "_(new)" output may be replaced
  int Channels = 0;            // AudioChannelItems
  int SampleRate = 0;          // SampleRateItems
  int BitRateKbps = -1;        // -1: the format's default
  // The sound's quality (Quality.h: "V2", "192k", "96k:cvbr", "q5",
  // "level8", or "mp3=V2,opus=96k"); "" the format's default. Given, it
  // decides over BitRateKbps. One the format's encoder cannot take fails
  // every file (rcOption); CheckChoices tells before a run.
  std::string Quality;
  int Volume = -1;             // -1: unchanged (256)
  TMusicControls Music;        // Album is set by the batch
  bool AlbumGain = false;      // the files of one folder form an album
  bool UseCue = true;          // cue sheets give tracks; false: images whole, cues skipped
  bool GapsAtStart = false;    // a track's pregap (INDEX 00) starts it, not ends the one before
  TTagEncoding TagEncoding = teAuto;  // tags that claim Latin-1 (probe and engine)
  std::vector<std::string> ExtraOptions;  // NAME=VALUE engine option lines
  // Outputs named from their tags (NamePattern.h), relative to OutputFolder
  // (or to each source's folder); "" named after the source. A bad pattern
  // fails each file with rcOption and its reason (TNamePattern::Parse tells
  // it before the run).
  std::string NamePattern;
  // Sync mode: a file whose output exists, was made by this mode from the
  // same source (size and time unchanged) with the same settings, is up to
  // date and not converted; outputs take their plain names and replace only
  // earlier outputs of their own source (a user's file under the name is
  // never replaced: the output takes "_(new)"); Overwrite is not used. What
  // was made is recorded in the output folder's hidden ".quellon-sync".
  bool Sync = false;
  // With Sync: after a run that was not stopped, outputs the mode wrote
  // whose source is gone (under a folder given) are removed, when unchanged
  // since they were written; Removals lists them.
  bool DeleteOrphans = false;
  // Nothing is written: files end as foPlanned or foUpToDate, and the
  // outputs that would be removed are listed in Removals.
  bool DryRun = false;
  // The hidden controls of a front end that composes video too; the choices
  // above are written over it.
  TComposerState Base;
};

// Format and MoreFormats from a list "mp3,opus" (any case, blanks around the
// items allowed); false with the reason, and the choices unchanged, for an
// empty item, an unknown or repeated format, or several formats of which
// one is not a sound format (MultiFormat.cpp).
bool SetFormatList(TBatchChoices& choices, const std::string& list, std::string& why);
// Format followed by MoreFormats.
std::vector<std::string> FormatsOf(const TBatchChoices& choices);
// Whether a list of formats may be written together; false with the reason.
bool CheckFormats(const std::vector<std::string>& formats, std::string& why);
// The formats that hold sound only (a file under a folder needs sound; only
// these are written several at once).
bool AudioOnlyFormat(const std::string& format);
// The sub-folder of a format's tree: the item in lower case ("mp3", "m4a").
std::string FormatFolder(const std::string& format);

// What probing a file tells (ProbeSource).
struct TProbedSource {
  std::string Path;
  TSourceFacts Facts;
  int64_t SizeBytes = -1;
  std::string InfoText;
  TReasonCode Code = rcNone;  // why it cannot be converted; rcNone when it opens
  std::string Error;
  // Of its first audio stream, for the tracks of a cue sheet.
  int SampleRate = 0;
  int64_t Samples = -1;       // per channel; -1 unknown
  std::string CueSheetTag;    // its "cuesheet" tag (a sheet inside the file)
};

// A track of a cue sheet: a file of the list that converts a range of its
// image (TBatchFile::Source).
struct TBatchTrack {
  std::string CuePath;        // the sheet; the image itself for a sheet inside it
  int Number = 0;             // as the sheet numbers it
  std::string Title, Performer;
  int64_t First = 0;          // its samples of the image: [First, End)
  int64_t End = -1;           // -1: to the end of the image
  // Tags of its output (an empty value keeps the image's tag of that key out).
  std::vector<std::pair<std::string, std::string>> Tags;
  std::string AlbumKey;       // the tracks of one sheet form one album
  std::string ImageName;      // the image's name without extension: the outputs' folder
  // "NN - Title": how front ends name it.
  std::string Label() const;
};

// One file of the list.
struct TBatchFile {
  uint64_t Id = 0;           // stable for the batch's life
  std::string Source;
  std::string Folder;        // the folder given that it was found under; "" given itself
  std::string RelativeFolder;  // below that folder
  bool Probed = false;       // Facts hold its probe
  TSourceFacts Facts;
  int64_t SizeBytes = -1;
  std::string InfoText;
  double ClipStart = -1, ClipEnd = -1;  // seconds; -1: the whole file (a track takes none)
  std::shared_ptr<const TBatchTrack> Track;  // a track of a cue sheet; null: the whole file
  std::string CueFailure;    // a cue sheet that cannot be used: why (it fails on every run)
  // This run.
  bool InRun = false;        // part of the current (or last) run
  bool Queued = false;       // a task of the component holds it
  bool Running = false;      // its job started
  TFileOutcome Outcome = foNone;
  TReasonCode Code = rcNone;
  std::string Reason;        // English; "" when complete
  TSourceDamage Damage;      // a partial file: what its source lost
  std::string Output;        // the first output's name (composed, then as written)
  std::vector<std::string> Outputs;  // every output's name, one per format; Output first
  int64_t ExpectedMs = 0;    // media time to convert; 0 unknown
  int64_t DoneMs = 0;        // converted so far (a partial file: what it reached)
  int64_t OutputSize = 0;
  double Seconds = 0;        // wall time its job took
  bool Converted() const { return Outcome == foComplete || Outcome == foPartial; }
  // Nothing left to do for it: converted, or up to date.
  bool Finished() const { return Converted() || Outcome == foUpToDate; }
};

struct TBatchFigures {
  int Files = 0;      // files of the list
  int Converted = 0;  // complete or partial
  int Partial = 0;    // of those, from a damaged source
  int Failed = 0;
  int Stopped = 0;    // stopped while converting
  int Skipped = 0;    // left out of folders
  int UpToDate = 0;   // sync mode: up to date, not converted
  int Planned = 0;    // dry run: would be converted
  int Left = 0;       // not converted yet (waiting, running, stopped, never run)
  int64_t TotalMs = 0;  // media time of the files (known durations)
  int64_t DoneMs = 0;   // of it, converted (a file that ended counts whole)
  int Percent = 0;      // by media time; by files when none is known; 100 once none is left
};

// An output of sync mode whose source is gone (DeleteOrphans).
enum TRemovalOutcome : int {
  roRemoved = 0,  // removed
  roPlanned = 1,  // dry run: would be removed
  roKept = 2,     // changed since the mode wrote it: the user's now, kept
  roFailed = 3    // could not be removed (Reason)
};
struct TSyncRemoval {
  std::string Output;  // its path
  std::string Source;  // the source it was made from
  TRemovalOutcome Outcome = roRemoved;
  std::string Reason;  // English, for roKept and roFailed
};

// The figures of a list of files.
TBatchFigures CountFiles(const std::vector<TBatchFile>& files);
// The time the rest should take at the pace of this run: elapsed × what is
// left ÷ what this run converted (doneAtStartMs was converted before it).
// -1 while unknown, 0 when nothing is left.
int64_t TimeLeftMs(const TBatchFigures& figures, int64_t elapsedMs, int64_t doneAtStartMs);

class TConversionBatch {
 public:
  // Takes the component's event handlers for its own life.
  explicit TConversionBatch(TREzuvuZUZ& component);
  ~TConversionBatch();  // stops the run and frees its tasks
  TConversionBatch(const TConversionBatch&) = delete;
  TConversionBatch& operator=(const TConversionBatch&) = delete;

  // Read when a file is composed, at the time it becomes a task.
  TBatchChoices Choices;
  int Jobs = 1;  // files at once; 0: one after another on the main thread
  bool KeepPartial = false;
  bool SplitEncoding = true;
  // Set by a signal handler: adding and probing break off at once, and the
  // run stops (as Stop) at the next progress report of a running file.
  void SetAbortFlag(const std::atomic<bool>* flag);

  // ---- The list ----
  // A file, or with recursive a folder (the files under it, in natural
  // order); without recursive a folder is listed as a file and fails with a
  // hint. False, with the reason, when a folder given cannot be read.
  bool AddPath(const std::string& path, bool recursive, std::string* error = nullptr);
  // A file probed elsewhere (a front end's checker thread). A source that
  // cannot be converted is listed and fails at once; one found under a
  // folder without anything to convert is skipped instead (either fires
  // OnFileEnded before this returns). Its id.
  uint64_t AddProbed(const TProbedSource& source, const std::string& folder = "",
                     const std::string& relativeFolder = "");
  // A file or folder left out, with its reason (fires OnFileEnded as skipped).
  void AddSkipped(const std::string& path, TReasonCode code, const std::string& reason);
  void Remove(uint64_t id);  // stops it when it runs
  void Clear();              // stops the run; the list and the skipped go
  void Move(uint64_t id, size_t position);
  void SetClip(uint64_t id, double startSeconds, double endSeconds);
  const std::vector<TBatchFile>& Files() const { return FFiles; }
  const TBatchFile* File(uint64_t id) const;
  const std::vector<TBatchFile>& Skipped() const { return FSkipped; }

  // Probes one file into what the batch needs to know; any thread, with a
  // probe of the caller's (its tags read in tagEncoding). opened: receives
  // the file as the probe opened it (OpenedInput.h), for a task made of it
  // at once; null: the probe closes it.
  static TProbedSource ProbeSource(TAVProbe& probe, const std::string& path,
                                   TTagEncoding tagEncoding = teAuto,
                                   TOpenedInput* opened = nullptr);

  // Whether the choices can be used (the format known, the quality one its
  // encoder takes; the libraries loaded); false with the English reason
  // (reason code rcOption), which each file would fail with.
  bool CheckChoices(std::string& why) const;

  // ---- Run control ----
  // Converts the files not converted yet; false when there are none.
  bool Start();
  // Converts every file again (new output names beside the old outputs).
  bool StartAll();
  void Pause();
  void Resume();
  // Ends the running files as stopped; the others stay for the next Start.
  void Stop();
  bool Running() const { return FRunning; }
  bool Paused() const { return FPaused; }
  bool StoppedByUser() const { return FStopped; }
  bool Ended() const { return FEnded; }  // a run ended and nothing changed since

  // ---- Figures ----
  TBatchFigures Figures() const;
  int64_t ElapsedMs() const;   // of the current (or last) run, pauses left out
  int64_t TimeLeftMs() const;  // -1 while unknown
  // The output names the files not converted would take now, in list order.
  std::map<uint64_t, std::string> PreviewOutputNames();
  // The same a part at a time, so that a long list does not hold its caller:
  // each call names up to count more files (into names) from where the last
  // call stopped. Start with a fresh TNamePreview, and again after the list
  // or the choices changed (a preview of another list's length ends Done
  // with nothing named).
  struct TNamePreview {
    size_t Next = 0;    // the next file to name
    size_t Files = 0;   // the list's length when it started
    bool Started = false;
    bool Done = false;  // every file named
    std::multiset<std::string> Reserved;
    std::vector<TFileIdentity> Sources;
  };
  void PreviewOutputNames(TNamePreview& preview, size_t count,
                          std::map<uint64_t, std::string>& names);
  // The name one probed file would take now, as if it came first (a
  // settings dialog's preview of a name pattern); "" when it has none, with
  // why (a bad pattern) when composing it failed.
  std::string PreviewOutputName(uint64_t id, std::string* why = nullptr);
  // Sync mode: the outputs of gone sources, of the last run (removed, or to
  // remove in a dry run); filled before OnRunEnded.
  const std::vector<TSyncRemoval>& Removals() const { return FRemovals; }

  // ---- Events (main thread) ----
  std::function<void(uint64_t id)> OnFileStarted;
  std::function<void(uint64_t id)> OnFileProgress;
  std::function<void(const TBatchFile& file)> OnFileEnded;  // skipped files too
  std::function<void(uint64_t id, TLogLevel level, const std::string& text)> OnLog;  // id 0: none
  std::function<void()> OnRunEnded;

 private:
  struct TEnd {
    uint64_t Id;
    TJobOutcome Outcome;
    TReasonCode Code;
    std::string Reason;
    std::vector<std::string> Outputs;  // the names the outputs took
    double Seconds;
    TSourceDamage Damage;
  };
  void Connect();
  TBatchFile* Find(uint64_t id);
  size_t IndexOf(uint64_t id) const;  // FFiles.size() when not listed
  bool BeginRun(bool everything);
  // Makes tasks of the run's files while fewer than the lookahead wait,
  // for a slice of time; posts itself again for the rest.
  void Feed();
  void PostFeed();
  // Probes (when needed), composes and queues one file; false when it ended
  // at once (refused, skipped).
  bool Prepare(TBatchFile& file);
  // preview: only the names are wanted (no album made, PreviewReserved held).
  // more: the outputs of the further formats, in the order of MoreFormats.
  bool Compose(TBatchFile& file, TInputOptions& input, TOutputOptions& output,
               std::vector<TOutputOptions>& more, std::string& why, TReasonCode& code,
               bool preview);
  // One format's records; several: the format writes its own tree, and
  // taken holds the names the file's other outputs took.
  bool ComposeFormat(TBatchFile& file, const std::string& format, bool several,
                     const std::set<std::string>& taken, TInputOptions& input,
                     TOutputOptions& output, std::string& why, TReasonCode& code, bool preview);
  // A listed file of what its probe told, with its id.
  TBatchFile NewProbedFile(const TProbedSource& source, const std::string& folder,
                           const std::string& relativeFolder);
  void NoteSource(const TBatchFile& file);  // its identity joins SourceIds
  // Whether a file found under a folder is worth converting to the format.
  bool Wanted(const TSourceFacts& facts) const;
  std::string NotWantedText(const TSourceFacts& facts) const;
  void EndWithoutTask(TBatchFile& file, TFileOutcome outcome, TReasonCode code,
                      const std::string& reason);
  void Skip(size_t index, TReasonCode code, const std::string& reason);  // out of the list
  void PushSkipped(TBatchFile file, TReasonCode code, const std::string& reason);
  void Ended(const TEnd& end);
  void FreeTask(uint64_t id);
  void CheckRunEnd();
  std::shared_ptr<TAlbumGroup> AlbumOf(const TBatchFile& file);
  void Release(TBatchFile& file);  // its reserved name goes
  // ---- Cue sheets (Batch.cpp, CueBatch.cpp) ----
  // Lists path (a .cue, or audio with a cue beside or inside it) as its
  // tracks; false when it is a plain file to list as it is. probed: the
  // path's probe when the caller has one.
  bool AddAsTracks(const std::string& path, const std::string& folder,
                   const std::string& relativeFolder, const TProbedSource* probed,
                   uint64_t* firstId = nullptr);
  // The cue sheet beside an audio file ("" none): of the same name, or one
  // in its folder that names it.
  std::string CueBeside(const std::string& audio);
  uint64_t ListWhole(const std::string& path, const std::string& folder,
                     const std::string& relativeFolder, const TProbedSource* probed);
  void ComposeTrack(const TBatchFile& file, const TComposerState& state, TInputOptions& input,
                    TOutputOptions& output);
  // ---- Name patterns (BatchNames.cpp) ----
  // The file's name from Choices.NamePattern into state.Output.PatternName
  // (nothing without a pattern); false with the reason for a bad pattern.
  bool NameFromPattern(const TBatchFile& file, TComposerState& state, std::string& why);
  // ---- Sync mode (SyncBatch.cpp) ----
  struct TSyncJob {
    std::string StateFolder;
    TSyncSource Source;
    int64_t SourceSize = -1, SourceModifiedNs = 0;  // as the job reads it
    std::string Digest;
    std::string Previous;  // the output the state names for the source; "" none
    std::string Why;       // why it is converted ("new", "source changed" ...)
  };
  TSyncState* SyncStateFor(const std::string& folder);
  std::string SyncFolderOf(const TBatchFile& file) const;
  TSyncSource SyncSourceOf(const TBatchFile& file);
  std::string SyncDigest(const TBatchFile& file);
  // Before the probe: true when the file ended as up to date.
  bool SyncCheck(TBatchFile& file);
  bool SyncMayReplace(const TBatchFile& file, const std::string& name);
  // The job is set to write output (a P line); false, with why, when the
  // state cannot be written.
  bool SyncQueued(const TBatchFile& file, const std::string& output, std::string& why);
  void SyncEnded(const TBatchFile& file);  // records a converted file
  void SyncRunEnded();                     // orphans and the state files' rewrite
  int Lookahead() const { return 2 * std::max(Jobs, 1) + 2; }
  int ToCome() const;

  TREzuvuZUZ& Component;
  const std::atomic<bool>* Abort = nullptr;
  std::vector<TBatchFile> FFiles;
  std::vector<TBatchFile> FSkipped;
  uint64_t NextId = 1;
  // Names held by files of the batch (composed for a task, or converted).
  std::multiset<std::string> Reserved;
  std::multiset<std::string> PreviewReserved;  // during PreviewOutputNames
  // Choices.NamePattern as last parsed, and the pattern or why it is refused.
  std::string PatternText;
  TNamePattern Pattern;
  std::string PatternError;
  // The files the run reads, by identity: no output may be one of them.
  std::vector<TFileIdentity> SourceIds;
  std::map<std::string, std::shared_ptr<TAlbumGroup>> Albums;  // by folder, or a sheet's key
  // Cue sheets and their images listed (as tracks, or whole when the sheet
  // failed), with the id of their first entry: listed once.
  std::map<std::string, uint64_t> CueListed;
  // By folder: each audio file a cue sheet of the folder names, and that sheet.
  std::map<std::string, std::map<std::string, std::string>> CueOfImageIn;
  // The run (main thread).
  bool FRunning = false, FPaused = false, FStopped = false, FEnded = false;
  int Outstanding = 0;  // tasks made and not ended
  size_t FeedFrom = 0;  // no file before it waits to be fed
  bool FeedPosted = false;
  std::chrono::steady_clock::time_point RunStart{}, RunEndAt{}, PausedAt{};
  std::chrono::steady_clock::duration PausedFor{};
  int64_t DoneAtStartMs = 0;
  // Sync mode, for the current (or last) run.
  std::map<std::string, std::unique_ptr<TSyncState>> SyncStates;  // by output folder
  std::map<uint64_t, TSyncJob> SyncJobs;                          // by file id
  std::map<std::string, std::string> CanonicalRoots;              // folder -> absolute
  std::set<std::string> FolderRoots;  // folders given (AddPath)
  std::vector<TSyncRemoval> FRemovals;
  // Notifications from the workers, taken on the main thread. Alive: posted
  // calls find out that the batch is gone.
  std::shared_ptr<TConversionBatch*> Alive;
};
