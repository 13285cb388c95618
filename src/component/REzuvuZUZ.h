// The converter component: a list of conversion tasks, each an engine with
// one input and one output file, run one after another on the main thread or
// several at a time on worker threads, with events that carry the task index.
//
// Threads: every public operation is called on the main thread. OnProgress,
// OnLog and OnTerminate fire on the thread that runs the task (a worker, the
// main thread in main-thread mode, or a short-lived termination thread),
// always inside EventLock, so one component's handlers never overlap.
// OnCustomHook and OnBeforeHook fire on the task's thread without the lock.
// OnPreviewBitmap fires on the main thread (posted through TMainThread)
// while the worker waits; a worker whose task is being freed stops waiting.
// Library log lines arrive through LogDelivery.h.
//
// Failures: no operation throws. They return false or -1 and leave the text
// in LastErrMsg().
//
// Tasks open their files only when they run: AddTask and SetOutputFile check
// the source (a regular, non-empty file that opens) and the output (the
// options apply, the folder takes new files) and then close everything, so a
// queued task holds no file and little memory; only while fewer than
// SetInputsKept's count are kept, a task keeps its source as the check
// opened and probed it, for its job to take instead of opening it again
// (never a source that changed meanwhile). A source that vanished or
// changed since it was added fails its task when it runs; the others go on.
//
// Runs: Start runs the tasks that have not run yet; Start during a run takes
// the tasks added since into that run. Each task reports exactly one
// OnTerminate per run; OnTerminate(-1, true, false, "") follows the last. A
// task's outcome (complete, partial, failed, stopped) is its State once it
// reported, and its Result holds the reason. ClearTasks and RemoveTask stop
// what they free and wait for its worker; a freed task fires nothing more.
// Stop outside a run makes every task that never ran report (and then the
// final event). Stop, Pause and Resume may also be called from the
// component's own event handlers; the other operations, and freeing the
// component, never from a handler. A handler cleared (under EventLock) is
// not called afterwards.
//
// Lock order: EventLock first; a handler may then take the locks of what it
// calls (a main-thread loop's queue when it posts, the owner's own locks).
// Nothing that holds one of those may wait for EventLock.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "AVProbe.h"
#include "FFmpeg.h"
#include "MainThread.h"
#include "OptionRecords.h"

using TProgressEvent =
    std::function<void(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration,
                       float AQuality, float ABitRate, int64_t ACurrentSize,
                       int ATotalOutputDuration)>;
using TTerminateEvent = std::function<void(int AIndex, bool AFinished, bool AException,
                                           const std::string& AMessage)>;
using TLogEvent = std::function<void(int AIndex, TLogLevel ALogLevel, const std::string& AMsg)>;
using TCustomHookEvent = std::function<void(int AIndex, TBitmap* ABitmap, int AFrameNumber,
                                            int64_t APTS, bool& AUpdate, bool& AStopHook)>;
using TBeforeHookEvent = std::function<void(int AIndex, int64_t APTS, THookAction& AHookAction)>;
using TPreviewBitmapEvent =
    std::function<void(int AIndex, TBitmap* ABitmap, int AFrameNumber, int64_t APTS)>;

// Where a task is; changed under the component's EventLock. A task waits
// queued, runs (in main-thread mode after its timer), and ends in one of the
// four outcomes; Stop reaching a task that never ran makes it report as
// stopped without running.
enum TTaskState : int {
  tsQueued = 0,     // added, waits for a run
  tsScheduled = 1,  // main-thread mode: its timer is posted
  tsRunning = 2,    // its job was started
  tsStopping = 3,   // stopped before it ran: it reports without running
  tsComplete = 4,   // the whole source converted
  tsPartial = 5,    // the source is damaged; what could be read converted
  tsFailed = 6,     // nothing usable made (or the job could not start)
  tsStopped = 7,    // stopped; its output removed
  TASK_STATE_COUNT = 8
};
inline bool TaskEnded(TTaskState state) { return state >= tsComplete; }

// One conversion task. Its destructor stops the job and waits for the
// worker (and a termination thread) before anything of the task goes.
class TFFmpeg : public TCustomFFmpeg {
 public:
  TFFmpeg();
  ~TFFmpeg() override;

  // ---- Set on the main thread while the task waits; read by its thread
  // once it runs (the component starts it after they are set).
  int Index = -1;     // position in the list; -1 until added (changes under EventLock)
  uint64_t OwnerTag = 0;  // the owner's name for the task (a batch's file id); 0 none
  TInputOptions InputOptions;
  TOutputOptions OutputOptions;
  // What the task opens when it runs (kept since AddTask and SetOutputFile).
  std::string SourceName, TargetName;
  bool HasInputRecord = false, HasOutputRecord = false;
  // Further outputs of the same source (AddOutputFile), each with its own
  // record and name (FileName), opened after the first in this order: the
  // source is decoded once and its audio goes to every output.
  std::vector<TOutputOptions> MoreOutputs;
  TFileIdentity SourceIdentity;  // the source as it was checked
  // Applies the task's records to its engine and opens its files (on the
  // job's thread); set by the component.
  std::function<void(TFFmpeg&)> Opener;

  // The source as the check opened it, kept for the job (see
  // SetInputsKept); set on the main thread, taken by the task's thread.
  TOpenedInput KeptInput;
  std::atomic<int>* KeptCount = nullptr;  // the component's count of kept inputs
  // Moves the kept input out (empty when none) and counts it off.
  TOpenedInput TakeKeptInput();

  // ---- Owned by the task's thread while it runs.
  std::unique_ptr<TAVProbe> Probe;  // attached to the task's input while it runs

  // ---- Protected by the component's EventLock (run bookkeeping).
  bool KeepPartial = false;      // the component's settings when the task started
  bool SplitEncoding = false;
  TTaskState State = tsQueued;
  int ThreadID = 0;   // system thread id of the thread running the task; 0 none
  bool InRun = false;     // part of the current run
  bool WorkerReported = false;  // its worker has been through DoTerminate: joinable
  uint64_t Serial = 0;    // identifies the task to the timers of main-thread mode
  std::chrono::steady_clock::time_point RunStartedAt{};  // when its job was started

  // ---- Any thread.
  std::atomic<bool> Detached{false};  // freed by the owner: its events are not fired

 protected:
  void OpenFiles() override;
};

// The task list; owns its tasks.
class TFFmpegList {
 public:
  TFFmpeg* Get(int index) const;  // null outside the list
  int Count() const { return static_cast<int>(Items.size()); }
  int Add(std::unique_ptr<TFFmpeg> task);  // sets and returns the task's Index
  TFFmpeg* FindByThreadID(int threadID) const;
  // Removes without freeing and renumbers the tasks after it; null outside the list.
  std::unique_ptr<TFFmpeg> Extract(int index);
  int IndexOfSerial(uint64_t serial) const;  // -1 when not listed

 private:
  std::vector<std::unique_ptr<TFFmpeg>> Items;
};

class TCustomREzuvuZUZ {
 public:
  // mainThread: the owner's main-thread interface; null: a TEventLoop of the
  // component's own, run by the owner through EventLoop().
  explicit TCustomREzuvuZUZ(TMainThread* mainThread = nullptr);
  virtual ~TCustomREzuvuZUZ();
  TCustomREzuvuZUZ(const TCustomREzuvuZUZ&) = delete;
  TCustomREzuvuZUZ& operator=(const TCustomREzuvuZUZ&) = delete;

  std::string About;
  std::string Version() const { return "2.3"; }
  TLogLevel LogLevel() const { return FLogLevel.load(); }
  void SetLogLevel(TLogLevel value);
  bool Preview() const { return FPreview; }
  void SetPreview(bool value);
  bool PreviewBitmap() const { return FPreviewBitmap; }
  void SetPreviewBitmap(bool value);
  int ProgressInterval() const { return FProgressInterval; }  // ms
  void SetProgressInterval(int value);                        // at least 100
  TConvertPriority ThreadPriority = tpNormal;
  // A stopped or failed task keeps what its job wrote under the final name
  // (read when a task starts).
  bool KeepPartial = false;
  // Long audio outputs are encoded in chunks on several encoder instances
  // (read when a task starts). The cores are shared among the running tasks:
  // never more encoder threads in total than cores, so a full run encodes
  // one chunk per task at a time and the last tasks of a run use the rest.
  bool SplitEncoding = false;
  // Tasks the owner will still add to the current run (files it has not made
  // into tasks yet): the split decision counts them as waiting, so the first
  // files of a long batch are not split as if each were alone.
  std::atomic<int> TasksToCome{0};
  // A flag (set by a signal handler, say) that ends the opening of a file
  // at once: AddTask, the probe and a task's start then fail quickly.
  void SetAbortFlag(const std::atomic<bool>* flag);

  TBeforeHookEvent OnBeforeHook;
  TCustomHookEvent OnCustomHook;
  TLogEvent OnLog;
  TPreviewBitmapEvent OnPreviewBitmap;
  TProgressEvent OnProgress;
  TTerminateEvent OnTerminate;

  std::recursive_mutex EventLock;  // handlers may call back into the component
  TMainThread& MainThread() { return *FMainThread; }
  TEventLoop* EventLoop() { return OwnLoop.get(); }  // null when the owner gave one

  // Dispatchers the engines' notifications point at.
  virtual void DoBeforeHook(TCustomFFmpeg* sender, int64_t pts, THookAction& action);
  virtual void DoCustomHook(TCustomFFmpeg* sender, TBitmap* bitmap, int frameNumber, int64_t pts,
                            bool& update, bool& stopHook);
  virtual void DoLog(TCustomFFmpeg* sender, int level, const std::string& msg);
  virtual void DoPreviewBitmap(TCustomFFmpeg* sender, TBitmap* bitmap, int frameNumber,
                               int64_t pts);
  virtual void DoProgress(TCustomFFmpeg* sender, int frameNumber, int fps, int currentDuration,
                          float quality, float bitRate, int64_t currentSize,
                          int totalOutputDuration);
  virtual void DoTerminate(TCustomFFmpeg* sender);

 protected:
  // Sets or clears one preview flag bit on every task.
  void SetPreviewFlagOfTasks(uint8_t bit, bool value);
  // Ends the run and frees every task (waiting for their workers).
  void FreeAllTasks();
  friend void DispatchLog(TCustomREzuvuZUZ&, int, TLogLevel, const std::string&);

  std::unique_ptr<TEventLoop> OwnLoop;
  TMainThread* FMainThread;
  std::atomic<TLogLevel> FLogLevel{llInfo};  // read by the library log callback
  bool FPreview = false, FPreviewBitmap = false;
  int FProgressInterval = 500;
  std::unique_ptr<TAVProbe> FAVProbe;
  const std::atomic<bool>* AbortFlag = nullptr;
  // Queued tasks' sources kept open from the check to the job (TFFmpeg's
  // KeptInput), and how many may be; declared before the tasks,
  // which count theirs off when they go.
  std::atomic<int> KeptInputs{0};
  int InputsKept = 0;
  TFFmpegList Tasks;
  std::string FLastErrMsg;
  TReasonCode FLastErrCode = rcNone;
  int FThreadCount = 0, NextIndex = -1;
  // The current run: active from Start until the final OnTerminate. Its tasks
  // (InRun) are counted by state; SetState keeps the counts.
  bool RunActive = false;
  bool RunPaused = false;  // Pause: no queued task of the run starts until Resume or Stop
  int RunStates[TASK_STATE_COUNT] = {};
  uint64_t RunGeneration = 0;  // timers of an earlier run do nothing
  // Workers that have reported and are about to return: joined by the next
  // termination (their stacks add up over a long list otherwise).
  std::vector<TFFmpeg*> EndedWorkers;
  bool Filling = false;  // Fill is on the stack
  uint64_t NextSerial = 1;
  // Main-thread timers hold a weak reference: once the component is gone
  // they do nothing.
  std::shared_ptr<TCustomREzuvuZUZ*> Alive;
  // The task whose job runs on the main thread right now, and tasks freed by
  // a handler of that job (released when the job returns).
  TFFmpeg* MainThreadTask = nullptr;
  std::vector<std::unique_ptr<TFFmpeg>> Graveyard;
  // Preview-bitmap events waiting for the main thread.
  std::mutex PreviewLock;
  std::condition_variable PreviewWake;

  virtual void StartNext() = 0;
  // The run's accounting, under EventLock. A task enters the run, changes
  // state, or leaves it (freed by the owner).
  void JoinRun(TFFmpeg& task);
  void SetState(TFFmpeg& task, TTaskState state);
  void LeaveRun(TFFmpeg& task);
  int Pending() const { return RunStates[tsQueued]; }
  int Active() const {
    return RunStates[tsScheduled] + RunStates[tsRunning] + RunStates[tsStopping];
  }
  // Makes the queued tasks outside the run part of it; their count.
  int JoinQueuedTasks();
  // Starts queued tasks while the run has room for them.
  void Fill();
  // Gives each running task its share of the cores for its encoders.
  void ShareCores();
  // Whether the task just started gains by encoding its long audio in
  // chunks on several cores.
  bool SplitPays() const;
  // Under EventLock: the task's job is about to start with the component's
  // current progress interval and log level.
  void BeginRun(TFFmpeg& task);
  // Under EventLock: after a termination, start the next pending task or end
  // the run.
  void Advance();
  // Ends the run: OnTerminate(-1, true, false, "") and the log buffers cleared.
  void FinishRun();
  // Frees tasks taken out of the list: stops them and waits for their workers
  // (running the own loop meanwhile). Main thread, without EventLock.
  void FreeTasks(std::vector<std::unique_ptr<TFFmpeg>> tasks);
  // Joins the workers that have been through DoTerminate (not except's): they
  // hold no lock any more. EventLock held.
  void JoinEndedWorkers(TFFmpeg* except);
  // The end state of a task whose job reported.
  static TTaskState EndState(const TFFmpeg& task);
  // Takes a task out of the list and out of the run's accounting. EventLock held.
  std::unique_ptr<TFFmpeg> DetachTask(int index);
  static TFFmpeg* AsTask(TCustomFFmpeg* sender) { return static_cast<TFFmpeg*>(sender); }
  // The sender's index, read under EventLock; -1 once the owner has freed it.
  int ListedIndex(TCustomFFmpeg* sender);
};

class TREzuvuZUZ : public TCustomREzuvuZUZ {
 public:
  using TCustomREzuvuZUZ::TCustomREzuvuZUZ;
  ~TREzuvuZUZ() override;

  bool LoadAVLib(const std::string& libPath);
  void UnloadAVLib();
  // Adds a task for fileName (inputOptions may be null); its index, or -1.
  // opened: the source as a probe just opened it (OpenedInput.h), taken by
  // the check instead of opening it again where it may be; null: none.
  int AddTask(const std::string& fileName, TInputOptions* inputOptions,
              TOpenedInput* opened = nullptr);
  // How many queued tasks may keep their source open from the check to the
  // job (the next few to run); 0 (the default): none, every queued task
  // holds no file. Lowering it closes none already kept.
  void SetInputsKept(int count) { InputsKept = count; }
  bool SetOutputFile(int index, const std::string& fileName, TOutputOptions* outputOptions);
  // A further output of a task whose first output is set (SetOutputFile):
  // written from the same decoded source, checked as the first is (every
  // output of the task opened again, nothing created). False, and the task
  // unchanged, when it cannot be opened.
  bool AddOutputFile(int index, const std::string& fileName, TOutputOptions* outputOptions);
  // Gives a queued task's engine its options and opens its source as its job
  // will (the output checked, not created), to look at the engine before it
  // runs; the files stay open until the task runs or is freed. False with
  // LastErrMsg when they cannot be opened now.
  bool InspectTask(int index);
  void ClearTasks();
  void RemoveTask(int index);
  // threadCount <= 0: one task after another on the main thread (the owner's
  // loop must run); else up to threadCount tasks at once on workers.
  void Start(int threadCount);
  void Stop();
  // Ends the running tasks as Stop does; the tasks that have not started
  // leave the run and stay queued for a later Start. The run then ends (its
  // final OnTerminate) once the running tasks have reported.
  void StopRunning();
  // Pause holds the running tasks and starts no queued one (a task added to
  // the run meanwhile waits) until Resume; Stop and StopRunning release it.
  void Pause();
  void Resume();
  const std::string& LastErrMsg() const { return FLastErrMsg; }
  // The reason of AddTask's or SetOutputFile's last refusal as a code.
  TReasonCode LastErrCode() const { return FLastErrCode; }
  TAVProbe* AVProbe() { return FAVProbe.get(); }
  int TaskCount() const { return Tasks.Count(); }
  // A run is under way (from Start until its final OnTerminate).
  bool Running();
  TFFmpeg* Task(int index) const { return Tasks.Get(index); }
  int ThreadCount() const { return FThreadCount; }

 protected:
  void StartNext() override;
  void RunTask(int index);
  // Main-thread mode: the timer of the task with that serial, posted in that
  // run, has fired.
  void RunScheduled(uint64_t serial, uint64_t generation);
  // Applying the option records (the options-text rule: allowNew permits the
  // lines "newvideo", "newaudio", "newsubtitle"). Throw on a refused value.
  static void ApplyExtOptions(TCustomFFmpeg& engine, const std::string& text, bool allowNew);
  void ApplyInputOptions(TFFmpeg& task, const TInputOptions& options);
  void ApplyOutputOptions(TFFmpeg& task, const TOutputOptions& options);
  // A fresh engine state for the task (the preview flags kept), with the
  // component's log level and preview callback.
  void PrepareEngine(TFFmpeg& task);
  // The input half of a task: its record applied and its source opened;
  // false with the reason in LastError.
  bool OpenTaskInput(TFFmpeg& task);
  // The output half; createFiles false only checks. Throws on a refused value.
  bool OpenTaskOutput(TFFmpeg& task, bool createFiles);
  // The task at index while it has not started; null with the reason in
  // FLastErrMsg otherwise.
  TFFmpeg* UnstartedTask(int index);
  // Closes and frees what the task's check opened; its records stay. keep:
  // the source stays open for the job while fewer than InputsKept are.
  void Park(TFFmpeg& task, bool keep = false);
  // Opens a queued task's files when it runs (the task's Opener).
  void OpenQueuedTask(TFFmpeg& task);
};

// The code of a source that cannot be opened, from what the file system says
// of it: missing, not readable, not a regular file, empty; else its format.
TReasonCode SourceFileReason(const std::string& path);

// Hook periods of a PTSs text ("start-end" in ms, separated by ","), in µs.
std::vector<std::pair<int64_t, int64_t>> ParseHookPeriods(const std::string& text);
// Seconds since 1970 (UTC) of a local date-time given in days since 1899-12-30.
int64_t LocalDateTimeToUnix(double days);
