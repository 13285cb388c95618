// The converter component: tasks, properties, run control and events. The
// option records are applied in REzuvuZUZOptions.cpp.
#include "REzuvuZUZ.h"

#include <thread>

#include "FFmpegLoader.h"
#include "LogDelivery.h"
#include "Text.h"

namespace {

TThreadPriority EnginePriority(TConvertPriority priority) {
  switch (priority) {
    case tpIdle:
      return TThreadPriority::Idle;
    case tpLowest:
      return TThreadPriority::Lowest;
    case tpLower:
      return TThreadPriority::Lower;
    default:
      return TThreadPriority::Normal;
  }
}

// Runs an owner's handler; what it throws stays here, since the callers are
// the engine's notifications, some of them outside any handler of a thread.
template <typename F>
void Fire(F&& handler) {
  try {
    handler();
  } catch (...) {
  }
}

}  // namespace

// ---- TFFmpeg -------------------------------------------------------------------------

TFFmpeg::TFFmpeg() : Probe(std::make_unique<TAVProbe>()) {}

TFFmpeg::~TFFmpeg() {
  // The worker and a termination thread call back with this task as the
  // sender: both end before any member of the task goes.
  RunState.StopRequested = true;
  Resume();
  if (RunState.Worker) RunState.Worker->WaitFor();
  if (RunState.TerminateThread.joinable() &&
      RunState.TerminateThread.get_id() != std::this_thread::get_id())
    RunState.TerminateThread.join();
  Probe.reset();
}

// ---- TFFmpegList -----------------------------------------------------------------------

TFFmpeg* TFFmpegList::Get(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return Items[static_cast<size_t>(index)].get();
}

int TFFmpegList::Add(std::unique_ptr<TFFmpeg> task) {
  task->Index = Count();
  Items.push_back(std::move(task));
  return Items.back()->Index;
}

TFFmpeg* TFFmpegList::FindByThreadID(int threadID) const {
  if (threadID == 0) return nullptr;
  for (const auto& task : Items)
    if (task->ThreadID == threadID) return task.get();
  return nullptr;
}

std::unique_ptr<TFFmpeg> TFFmpegList::Extract(int index) {
  if (index < 0 || index >= Count()) return nullptr;
  std::unique_ptr<TFFmpeg> task = std::move(Items[static_cast<size_t>(index)]);
  Items.erase(Items.begin() + index);
  for (int i = index; i < Count(); ++i) Items[static_cast<size_t>(i)]->Index = i;
  return task;
}

int TFFmpegList::IndexOfSerial(uint64_t serial) const {
  for (int i = 0; i < Count(); ++i)
    if (Items[static_cast<size_t>(i)]->Serial == serial) return i;
  return -1;
}

// ---- TCustomREzuvuZUZ: life and properties -----------------------------------------------

TCustomREzuvuZUZ::TCustomREzuvuZUZ(TMainThread* mainThread) : FMainThread(mainThread) {
  if (!FMainThread) {
    OwnLoop = std::make_unique<TEventLoop>();
    FMainThread = OwnLoop.get();
  }
  FAVProbe = std::make_unique<TAVProbe>();
  Alive = std::make_shared<TCustomREzuvuZUZ*>(this);
  RegisterLiveComponent(this);
}

void TCustomREzuvuZUZ::FreeAllTasks() {
  std::vector<std::unique_ptr<TFFmpeg>> tasks;
  {
    std::lock_guard<std::recursive_mutex> lock(EventLock);
    RunActive = false;
    PendingCount = 0;
    ++RunGeneration;  // the run's timers do nothing
    while (Tasks.Count() > 0) tasks.push_back(DetachTask(Tasks.Count() - 1));
    NextIndex = -1;
  }
  FreeTasks(std::move(tasks));
}

TCustomREzuvuZUZ::~TCustomREzuvuZUZ() {
  UnregisterLiveComponent(this);
  FreeAllTasks();
  Alive.reset();
  // No handler is still inside once the lock has been taken once.
  { std::lock_guard<std::recursive_mutex> lock(EventLock); }
  FAVProbe.reset();
}

void TCustomREzuvuZUZ::SetLogLevel(TLogLevel value) {
  FLogLevel = value;
  if (av.av_log_set_level && av.av_log_get_level) {
    av.av_log_set_level(static_cast<int>(value) - 1);
    LibraryLogThreshold = av.av_log_get_level();
  }
  UpdateLibraryLogLevels();
}

void TCustomREzuvuZUZ::SetPreviewFlagOfTasks(uint8_t bit, bool value) {
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  for (int i = 0; i < Tasks.Count(); ++i) {
    TFFmpeg* task = Tasks.Get(i);
    const uint8_t flags = task->RunState.PreviewFlags;
    task->SetPreviewFlags(static_cast<uint8_t>(value ? (flags | bit) : (flags & ~bit)));
  }
}

void TCustomREzuvuZUZ::SetPreview(bool value) {
  SetPreviewFlagOfTasks(1, value);
  FPreview = value;
}

void TCustomREzuvuZUZ::SetPreviewBitmap(bool value) {
  SetPreviewFlagOfTasks(2, value);
  FPreviewBitmap = value;
}

void TCustomREzuvuZUZ::SetProgressInterval(int value) {
  FProgressInterval = value <= 100 ? 100 : value;
}

// ---- TCustomREzuvuZUZ: run bookkeeping ---------------------------------------------------

std::unique_ptr<TFFmpeg> TCustomREzuvuZUZ::DetachTask(int index) {
  TFFmpeg* task = Tasks.Get(index);
  if (!task) return nullptr;
  if (RunActive && task->InRun) {
    --RunTaskCount;
    if (task->State == tsIdle && PendingCount > 0) --PendingCount;
    if (task->State == tsDone && !task->Detached) --TerminatedCount;
  }
  if (index < NextIndex) --NextIndex;
  task->Detached = true;
  std::unique_ptr<TFFmpeg> taken = Tasks.Extract(index);
  taken->Index = -1;
  return taken;
}

void TCustomREzuvuZUZ::FreeTasks(std::vector<std::unique_ptr<TFFmpeg>> tasks) {
  for (auto& task : tasks) {
    if (!task) continue;
    task->Stop();
    // A preview event of this task waiting for the main thread gives up.
    { std::lock_guard<std::mutex> lock(PreviewLock); }
    PreviewWake.notify_all();
    if (task.get() == MainThreadTask) {
      // Freed by a handler of its own job, which runs below us on this thread.
      Graveyard.push_back(std::move(task));
      continue;
    }
    // A worker may wait for the main thread (a preview): keep the own loop
    // running until the worker has let go.
    if (OwnLoop && OwnLoop->IsMainThread()) {
      while (task->RunState.WorkerRegistered) {
        OwnLoop->ProcessPending();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    task.reset();
  }
}

int TCustomREzuvuZUZ::MarkRunTasks() {
  int count = 0;
  for (int i = 0; i < Tasks.Count(); ++i) {
    TFFmpeg* task = Tasks.Get(i);
    task->InRun = task->State == tsIdle;
    if (task->InRun) ++count;
  }
  return count;
}

void TCustomREzuvuZUZ::BeginRun(TFFmpeg& task) {
  task.RunState.ReportInterval = static_cast<int64_t>(FProgressInterval) * 1000;
  task.SetVerbose(static_cast<int>(LogLevel()) - 1);
  task.State = tsRunning;
  task.RunStartedAt = std::chrono::steady_clock::now();
}

void TCustomREzuvuZUZ::Advance() {
  if (!RunActive) return;
  if (PendingCount > 0)
    StartNext();
  else if (TerminatedCount >= RunTaskCount)
    FinishRun();
}

void TCustomREzuvuZUZ::FinishRun() {
  RunActive = false;
  if (OnTerminate) Fire([&] { OnTerminate(-1, true, false, ""); });
  ClearLogBuffers();
}

// ---- TCustomREzuvuZUZ: events ------------------------------------------------------------

int TCustomREzuvuZUZ::ListedIndex(TCustomFFmpeg* sender) {
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  const TFFmpeg* task = AsTask(sender);
  return task->Detached ? -1 : task->Index;
}

void TCustomREzuvuZUZ::DoBeforeHook(TCustomFFmpeg* sender, int64_t pts, THookAction& action) {
  if (!OnBeforeHook) return;
  const int index = ListedIndex(sender);
  if (index >= 0) Fire([&] { OnBeforeHook(index, pts, action); });
}

void TCustomREzuvuZUZ::DoCustomHook(TCustomFFmpeg* sender, TBitmap* bitmap, int frameNumber,
                                    int64_t pts, bool& update, bool& stopHook) {
  if (!OnCustomHook) return;
  const int index = ListedIndex(sender);
  if (index >= 0) Fire([&] { OnCustomHook(index, bitmap, frameNumber, pts, update, stopHook); });
}

void TCustomREzuvuZUZ::DoLog(TCustomFFmpeg* sender, int level, const std::string& msg) {
  if (!OnLog) return;
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  int index = -1;
  if (sender) {
    if (AsTask(sender)->Detached) return;
    index = AsTask(sender)->Index;
  }
  const TLogLevel mapped = level < 0    ? llQuiet
                           : level >= 4 ? llAll
                                        : static_cast<TLogLevel>(level + 1);
  Fire([&] { OnLog(index, mapped, msg); });
}

void TCustomREzuvuZUZ::DoPreviewBitmap(TCustomFFmpeg* sender, TBitmap* bitmap, int frameNumber,
                                       int64_t pts) {
  if (!OnPreviewBitmap) return;
  const int index = ListedIndex(sender);
  if (index < 0) return;
  if (FMainThread->IsMainThread()) {
    Fire([&] { OnPreviewBitmap(index, bitmap, frameNumber, pts); });
    return;
  }
  // The worker waits until the main thread has fired the event, or until the
  // task is freed (the main thread may then be waiting for this worker).
  struct TCall {
    bool Done = false;
    bool Cancelled = false;
  };
  auto call = std::make_shared<TCall>();
  std::weak_ptr<TCustomREzuvuZUZ*> alive = Alive;
  FMainThread->Post(0, [this, alive, call, index, bitmap, frameNumber, pts] {
    if (!alive.lock()) return;
    {
      std::lock_guard<std::mutex> lock(PreviewLock);
      if (call->Cancelled) return;
    }
    Fire([&] { OnPreviewBitmap(index, bitmap, frameNumber, pts); });
    std::lock_guard<std::mutex> lock(PreviewLock);
    call->Done = true;
    PreviewWake.notify_all();
  });
  const TFFmpeg* task = AsTask(sender);
  std::unique_lock<std::mutex> lock(PreviewLock);
  PreviewWake.wait(lock, [&] { return call->Done || task->Detached; });
  if (!call->Done) call->Cancelled = true;
}

void TCustomREzuvuZUZ::DoProgress(TCustomFFmpeg* sender, int frameNumber, int fps,
                                  int currentDuration, float quality, float bitRate,
                                  int64_t currentSize, int totalOutputDuration) {
  if (!OnProgress) return;
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  TFFmpeg* task = AsTask(sender);
  if (task->Detached) return;
  Fire([&] {
    OnProgress(task->Index, frameNumber, fps, currentDuration, quality, bitRate, currentSize,
               totalOutputDuration);
  });
}

void TCustomREzuvuZUZ::DoTerminate(TCustomFFmpeg* sender) {
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  TFFmpeg* task = AsTask(sender);
  if (task->RunState.Worker && task->ThreadID == CurrentThreadID()) task->WorkerReported = true;
  // The engine may report a job twice when a stop meets its end; once counts.
  if (task->State == tsDone) return;
  task->State = tsDone;
  if (!task->Detached) {
    if (OnTerminate) {
      const bool finished = task->RunState.FinishedNormally;
      const bool exception = task->RunState.ExceptionRaised;
      const std::string message = exception ? task->RunState.ExceptionMessage : std::string();
      Fire([&] { OnTerminate(task->Index, finished, exception, message); });
    }
    ++TerminatedCount;
  }
  JoinEndedWorkers(task);
  Advance();
}

void TCustomREzuvuZUZ::JoinEndedWorkers(TFFmpeg* except) {
  // Such a worker is past every lock and about to return; until it is joined
  // its stack stays allocated, which adds up over a long list.
  for (int i = 0; i < Tasks.Count(); ++i) {
    TFFmpeg* task = Tasks.Get(i);
    if (task == except || !task->WorkerReported || !task->RunState.Worker) continue;
    task->RunState.Worker->WaitFor();
  }
}

// ---- TREzuvuZUZ: libraries and tasks -----------------------------------------------------

TREzuvuZUZ::~TREzuvuZUZ() {
  // Library lines written while the tasks close are no longer delivered:
  // the owner's handlers may be half gone.
  UnregisterLiveComponent(this);
  // The tasks go while this class's StartNext still exists.
  Alive.reset();
  FreeAllTasks();
  Graveyard.clear();
}

bool TREzuvuZUZ::LoadAVLib(const std::string& libPath) {
  try {
    TFFmpegLoader& loader = FFmpegLoader();
    loader.SetLibraryPath(libPath);
    if (!loader.LoadLibraries(ENGINE_LIBRARIES)) {
      FLastErrMsg = loader.LastError();
      return false;
    }
    av.av_log_set_callback(LibraryLogCallback);
    av.av_log_set_level(static_cast<int>(LogLevel()) - 1);
    LibraryLogThreshold = av.av_log_get_level();
    return true;
  } catch (const std::exception& e) {
    FLastErrMsg = e.what();
    return false;
  }
}

void TREzuvuZUZ::UnloadAVLib() {
  {
    std::lock_guard<std::recursive_mutex> lock(EventLock);
    // The tasks hold library objects and running jobs call into the libraries.
    if (Tasks.Count() > 0) {
      FLastErrMsg = "Cannot unload the media libraries while tasks are listed; clear the tasks first";
      return;
    }
  }
  if (FFmpegLoader().LibrariesLoaded(ENGINE_LIBRARIES)) {
    FAVProbe->Close();
    av.av_log_set_callback(av.av_log_default_callback);
  }
  FFmpegLoader().UnloadLibraries(ENGINE_LIBRARIES);
}

void TREzuvuZUZ::ClearTasks() {
  FreeAllTasks();
  // With the run ended nothing but the main thread reads these.
  FThreadCount = 0;
  FLastErrMsg.clear();
}

void TREzuvuZUZ::RemoveTask(int index) {
  std::unique_ptr<TFFmpeg> task;
  {
    std::lock_guard<std::recursive_mutex> lock(EventLock);
    task = DetachTask(index);
    if (!task) {
      FLastErrMsg = StrFormat("List index out of bounds (%d)", index);
      return;
    }
    // The run may have waited for this task only.
    if (RunActive && PendingCount <= 0 && TerminatedCount >= RunTaskCount) FinishRun();
  }
  std::vector<std::unique_ptr<TFFmpeg>> tasks;
  tasks.push_back(std::move(task));
  FreeTasks(std::move(tasks));
}

// ---- TREzuvuZUZ: run control -------------------------------------------------------------

void TREzuvuZUZ::Start(int threadCount) {
  ClearLogBuffers();
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  if (RunActive) return;  // one run at a time
  ++RunGeneration;
  NextIndex = 0;
  TerminatedCount = 0;
  FThreadCount = threadCount;
  const int idle = MarkRunTasks();
  PendingCount = idle;
  RunTaskCount = idle;
  if (idle == 0) return;
  RunActive = true;
  int n = threadCount;
  do {
    if (PendingCount <= 0) break;
    StartNext();
    --n;
  } while (n > 0);
}

void TREzuvuZUZ::StartNext() {
  if (PendingCount <= 0) return;
  int index = NextIndex < 0 ? 0 : NextIndex;
  while (index < Tasks.Count() &&
         !(Tasks.Get(index)->InRun && Tasks.Get(index)->State == tsIdle))
    ++index;
  if (index >= Tasks.Count()) {
    PendingCount = 0;
    return;
  }
  --PendingCount;
  NextIndex = index + 1;
  TFFmpeg* task = Tasks.Get(index);
  if (FThreadCount > 0) {
    RunTask(index);
    return;
  }
  task->State = tsScheduled;
  std::weak_ptr<TCustomREzuvuZUZ*> alive = Alive;
  const uint64_t serial = task->Serial, generation = RunGeneration;
  FMainThread->Post(100, [this, alive, serial, generation] {
    if (alive.lock()) RunScheduled(serial, generation);
  });
}

void TREzuvuZUZ::RunTask(int index) {
  TFFmpeg* task = Tasks.Get(index);
  if (!task) return;
  BeginRun(*task);
  try {
    TFFmpegThread* worker = task->Start(true, EnginePriority(ThreadPriority));
    if (!worker) {
      task->ThreadID = 0;  // refused: the engine has reported the task already
      return;
    }
    worker->Start();
    task->ThreadID = worker->ThreadID();
  } catch (const std::exception& e) {
    // No thread could be made: the job ends here with that error.
    task->ThreadID = 0;
    task->RunState.ExceptionRaised = true;
    task->RunState.ExceptionMessage = e.what();
    task->RunState.Worker.reset();
    task->ReleaseAll();
    DoLog(task, -1, e.what());
    task->Finish();
  }
}

void TREzuvuZUZ::RunScheduled(uint64_t serial, uint64_t generation) {
  TFFmpeg* task;
  {
    std::lock_guard<std::recursive_mutex> lock(EventLock);
    if (generation != RunGeneration) return;
    const int index = Tasks.IndexOfSerial(serial);
    if (index < 0) {
      Advance();  // freed while its timer waited: go on with the next
      return;
    }
    task = Tasks.Get(index);
    if (task->State != tsScheduled) return;  // stopped meanwhile: it reports on its own
    BeginRun(*task);
    task->ThreadID = CurrentThreadID();
    MainThreadTask = task;
  }
  // The job runs on this thread without the lock: its handlers take it, and
  // codec threads that log must not wait for the whole job.
  task->Start(false, EnginePriority(ThreadPriority));
  {
    std::lock_guard<std::recursive_mutex> lock(EventLock);
    MainThreadTask = nullptr;
  }
  Graveyard.clear();
}

void TREzuvuZUZ::Stop() {
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  PendingCount = 0;
  if (!RunActive) {
    // Outside a run every task that never ran reports its termination.
    const int idle = MarkRunTasks();
    if (idle == 0) return;
    ++RunGeneration;
    RunActive = true;
    RunTaskCount = idle;
    TerminatedCount = 0;
    NextIndex = Tasks.Count();
  }
  for (int i = 0; i < Tasks.Count(); ++i) {
    TFFmpeg* task = Tasks.Get(i);
    if (!task->InRun) continue;  // added during the run: waits for the next Start
    if (task->State == tsIdle || task->State == tsScheduled) task->State = tsStopping;
    if (task->State == tsStopping || task->State == tsRunning) task->Terminate();
  }
}

void TREzuvuZUZ::Pause() {
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  for (int i = 0; i < Tasks.Count(); ++i) Tasks.Get(i)->Pause();
}

void TREzuvuZUZ::Resume() {
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  for (int i = 0; i < Tasks.Count(); ++i) Tasks.Get(i)->Resume();
}
