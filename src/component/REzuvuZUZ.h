// The converter component: a list of conversion tasks, each an engine with
// one input and one output file, run one after another on the main thread or
// several at a time on worker threads, with events that carry the task index.
//
// Threads: every public operation is called on the main thread. OnProgress,
// OnLog and OnTerminate fire on the thread that runs the task (a worker, the
// main thread in main-thread mode, or a short-lived termination thread),
// always inside EventLock, so one component's handlers never overlap.
// OnCustomHook and OnBeforeHook fire on the task's thread without the lock.
// OnPreviewBitmap fires on the main thread while the worker waits.
//
// Failures: no operation throws. They return false or -1 and leave the text
// in LastErrMsg().
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
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

// One conversion task.
class TFFmpeg : public TCustomFFmpeg {
 public:
  TFFmpeg();
  int Index = -1;     // position in the list; -1 until added
  int ThreadID = 0;   // system thread id of the thread running the task; 0 none
  TInputOptions InputOptions;
  TOutputOptions OutputOptions;
  std::unique_ptr<TAVProbe> Probe;  // attached to the task's input
};

// The task list; owns its tasks.
class TFFmpegList {
 public:
  TFFmpeg* Get(int index) const;  // null outside the list
  int Count() const { return static_cast<int>(Items.size()); }
  int Add(std::unique_ptr<TFFmpeg> task);  // sets and returns the task's Index
  void Clear();
  void Delete(int index);  // renumbers the tasks after it
  TFFmpeg* FindByThreadID(int threadID) const;

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
  TLogLevel LogLevel() const { return FLogLevel; }
  void SetLogLevel(TLogLevel value);
  bool Preview() const { return FPreview; }
  void SetPreview(bool value);
  bool PreviewBitmap() const { return FPreviewBitmap; }
  void SetPreviewBitmap(bool value);
  int ProgressInterval() const { return FProgressInterval; }  // ms
  void SetProgressInterval(int value);                        // at least 100
  TConvertPriority ThreadPriority = tpNormal;

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
  std::unique_ptr<TEventLoop> OwnLoop;
  TMainThread* FMainThread;
  TLogLevel FLogLevel = llInfo;
  bool FPreview = false, FPreviewBitmap = false;
  int FProgressInterval = 500;
  std::unique_ptr<TAVProbe> FAVProbe;
  TFFmpegList Tasks;
  std::string FLastErrMsg;
  int FThreadCount = 0, PendingCount = 0, NextIndex = -1, TerminatedCount = 0;
  virtual void StartNext() = 0;
};

class TREzuvuZUZ : public TCustomREzuvuZUZ {
 public:
  using TCustomREzuvuZUZ::TCustomREzuvuZUZ;
  ~TREzuvuZUZ() override;

  bool LoadAVLib(const std::string& libPath);
  void UnloadAVLib();
  // Adds a task for fileName (inputOptions may be null); its index, or -1.
  int AddTask(const std::string& fileName, TInputOptions* inputOptions);
  bool SetOutputFile(int index, const std::string& fileName, TOutputOptions* outputOptions);
  void ClearTasks();
  void RemoveTask(int index);
  // threadCount <= 0: one task after another on the main thread (the owner's
  // loop must run); else up to threadCount tasks at once on workers.
  void Start(int threadCount);
  void Stop();
  void Pause();
  void Resume();
  const std::string& LastErrMsg() const { return FLastErrMsg; }
  TAVProbe* AVProbe() { return FAVProbe.get(); }
  int TaskCount() const { return Tasks.Count(); }
  TFFmpeg* Task(int index) const { return Tasks.Get(index); }
  int ThreadCount() const { return FThreadCount; }

 protected:
  void StartNext() override;
  void RunTask(int index);
};
