// The converter component: tasks, properties, run control and events. The
// option records are applied in REzuvuZUZOptions.cpp.
#include "REzuvuZUZ.h"

#include <algorithm>
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

void TFFmpeg::OpenFiles() {
  if (Opener) Opener(*this);
}

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
  TakeKeptInput();
}

TOpenedInput TFFmpeg::TakeKeptInput() {
  TOpenedInput taken = std::move(KeptInput);
  if (taken && KeptCount) --*KeptCount;
  return taken;
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

void TCustomREzuvuZUZ::SetAbortFlag(const std::atomic<bool>* flag) {
  AbortFlag = flag;
  FAVProbe->SetAbortFlag(flag);
}

void TCustomREzuvuZUZ::SetProgressInterval(int value) {
  FProgressInterval = value <= 100 ? 100 : value;
}

// ---- TCustomREzuvuZUZ: run bookkeeping ---------------------------------------------------

std::unique_ptr<TFFmpeg> TCustomREzuvuZUZ::DetachTask(int index) {
  TFFmpeg* task = Tasks.Get(index);
  if (!task) return nullptr;
  LeaveRun(*task);
  if (index < NextIndex) --NextIndex;
  task->Detached = true;
  EndedWorkers.erase(std::remove(EndedWorkers.begin(), EndedWorkers.end(), task),
                     EndedWorkers.end());
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

void TCustomREzuvuZUZ::JoinRun(TFFmpeg& task) {
  if (task.InRun) return;
  task.InRun = true;
  ++RunStates[task.State];
}

void TCustomREzuvuZUZ::SetState(TFFmpeg& task, TTaskState state) {
  if (task.InRun) {
    --RunStates[task.State];
    ++RunStates[state];
  }
  task.State = state;
}

void TCustomREzuvuZUZ::LeaveRun(TFFmpeg& task) {
  if (!task.InRun) return;
  --RunStates[task.State];
  task.InRun = false;
}

int TCustomREzuvuZUZ::JoinQueuedTasks() {
  int count = 0;
  for (int i = 0; i < Tasks.Count(); ++i) {
    TFFmpeg* task = Tasks.Get(i);
    if (task->InRun || task->State != tsQueued) continue;
    JoinRun(*task);
    ++count;
  }
  return count;
}

void TCustomREzuvuZUZ::Fill() {
  // A task that ends as it starts comes back here through its termination:
  // the outer loop goes on instead of a deeper one.
  if (Filling) return;
  Filling = true;
  // Main-thread mode runs one task at a time.
  const int room = std::max(FThreadCount, 1);
  while (RunActive && !RunPaused && Pending() > 0 && Active() < room) {
    const int before = Pending();
    StartNext();
    if (Pending() >= before) break;  // nothing could be started
  }
  Filling = false;
}

void TCustomREzuvuZUZ::BeginRun(TFFmpeg& task) {
  task.RunState.ReportInterval = static_cast<int64_t>(FProgressInterval) * 1000;
  task.SetVerbose(static_cast<int>(LogLevel()) - 1);
  task.KeepPartial = KeepPartial;
  SetState(task, tsRunning);
  task.SplitEncoding = SplitEncoding && SplitPays();
  task.RunStartedAt = std::chrono::steady_clock::now();
  ShareCores();
}

bool TCustomREzuvuZUZ::SplitPays() const {
  // Called for a task that has just started. Its chunks cost some work twice
  // (the frames before and after each), which pays only on cores that would
  // otherwise idle: when the tasks about to run leave it more than one core,
  // or at the tail of a run (nothing waits, and a task of the run has ended
  // already), when the cores of the tasks still running come to it as they
  // end. A full batch encodes each file on one core, without that cost.
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int room = std::max(FThreadCount, 1);
  const int running = Active();
  const int waiting = Pending() + std::max(0, TasksToCome.load());
  const int soon = running + std::max(0, std::min(waiting, room - running));
  if (cores / std::max(soon, 1) >= 2) return true;
  int ended = 0;
  for (int state = tsComplete; state < TASK_STATE_COUNT; ++state) ended += RunStates[state];
  return waiting == 0 && ended > 0;
}

void TCustomREzuvuZUZ::ShareCores() {
  std::vector<TFFmpeg*> running;
  for (int i = 0; i < Tasks.Count(); ++i)
    if (Tasks.Get(i)->State == tsRunning) running.push_back(Tasks.Get(i));
  if (running.empty()) return;
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int count = static_cast<int>(running.size());
  for (int i = 0; i < count; ++i)
    running[static_cast<size_t>(i)]->RunState.EncoderThreads =
        std::max(1, cores / count + (i < cores % count ? 1 : 0));
}

void TCustomREzuvuZUZ::Advance() {
  if (!RunActive) return;
  Fill();
  if (Pending() == 0 && Active() == 0) FinishRun();
}

void TCustomREzuvuZUZ::FinishRun() {
  RunActive = false;
  for (int i = 0; i < Tasks.Count(); ++i) LeaveRun(*Tasks.Get(i));
  TTerminateEvent handler = OnTerminate;
  if (handler) Fire([&] { handler(-1, true, false, ""); });
  ClearLogBuffers();
}

TTaskState TCustomREzuvuZUZ::EndState(const TFFmpeg& task) {
  switch (task.Result.Outcome) {
    case joComplete: return tsComplete;
    case joPartial: return tsPartial;
    case joFailed: return tsFailed;
    case joStopped: return tsStopped;
    default: break;
  }
  // A job that never ran (stopped first, or refused at its start).
  if (task.RunState.ExceptionRaised) return tsFailed;
  return task.RunState.FinishedNormally ? tsComplete : tsStopped;
}

// ---- TCustomREzuvuZUZ: events ------------------------------------------------------------

int TCustomREzuvuZUZ::ListedIndex(TCustomFFmpeg* sender) {
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  const TFFmpeg* task = AsTask(sender);
  return task->Detached ? -1 : task->Index;
}

// Handlers are read once under EventLock and that copy is called: the owner
// may clear them under the lock while a job runs, and a cleared handler is
// never called afterwards.

void TCustomREzuvuZUZ::DoBeforeHook(TCustomFFmpeg* sender, int64_t pts, THookAction& action) {
  TBeforeHookEvent handler;
  int index;
  {
    std::lock_guard<std::recursive_mutex> lock(EventLock);
    handler = OnBeforeHook;
    index = AsTask(sender)->Detached ? -1 : AsTask(sender)->Index;
  }
  if (handler && index >= 0) Fire([&] { handler(index, pts, action); });
}

void TCustomREzuvuZUZ::DoCustomHook(TCustomFFmpeg* sender, TBitmap* bitmap, int frameNumber,
                                    int64_t pts, bool& update, bool& stopHook) {
  TCustomHookEvent handler;
  int index;
  {
    std::lock_guard<std::recursive_mutex> lock(EventLock);
    handler = OnCustomHook;
    index = AsTask(sender)->Detached ? -1 : AsTask(sender)->Index;
  }
  if (handler && index >= 0) Fire([&] { handler(index, bitmap, frameNumber, pts, update, stopHook); });
}

void TCustomREzuvuZUZ::DoLog(TCustomFFmpeg* sender, int level, const std::string& msg) {
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  if (!OnLog) return;
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
  int index;
  {
    std::lock_guard<std::recursive_mutex> lock(EventLock);
    if (!OnPreviewBitmap) return;
    index = AsTask(sender)->Detached ? -1 : AsTask(sender)->Index;
  }
  if (index < 0) return;
  if (FMainThread->IsMainThread()) {
    // The owner changes its handlers on this thread: no copy is needed.
    if (OnPreviewBitmap) Fire([&] { OnPreviewBitmap(index, bitmap, frameNumber, pts); });
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
    if (OnPreviewBitmap) Fire([&] { OnPreviewBitmap(index, bitmap, frameNumber, pts); });
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
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  if (!OnProgress) return;
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
  const bool fromWorker = task->RunState.Worker && task->ThreadID == CurrentThreadID();
  if (fromWorker) task->WorkerReported = true;
  // The engine may report a job twice when a stop meets its end; once counts.
  if (TaskEnded(task->State)) return;
  SetState(*task, EndState(*task));
  ShareCores();  // the cores it used go to the tasks still running
  if (!task->Detached && OnTerminate) {
    const bool finished = task->RunState.FinishedNormally;
    const bool exception = task->RunState.ExceptionRaised;
    const std::string message = exception ? task->RunState.ExceptionMessage : std::string();
    Fire([&] { OnTerminate(task->Index, finished, exception, message); });
  }
  JoinEndedWorkers(task);
  if (fromWorker && !task->Detached) EndedWorkers.push_back(task);
  Advance();
}

void TCustomREzuvuZUZ::JoinEndedWorkers(TFFmpeg* except) {
  // Such a worker is past every lock and about to return; until it is joined
  // its stack stays allocated, which adds up over a long list.
  std::vector<TFFmpeg*> waiting;
  for (TFFmpeg* task : EndedWorkers) {
    if (task == except) {
      waiting.push_back(task);
      continue;
    }
    if (task->RunState.Worker) task->RunState.Worker->WaitFor();
  }
  EndedWorkers.swap(waiting);
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
    // libavfilter (and the many libraries it pulls in) loads when a job first
    // builds a filter graph: most conversions never do.
    const TLibrarySet onUse = LibraryBit(liAVFilter);
    if (!loader.LibrariesLoaded(onUse)) loader.DeferLibraries(onUse);
    if (!loader.LoadLibraries(ENGINE_LIBRARIES & ~onUse)) {
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
    if (RunActive && Pending() == 0 && Active() == 0) FinishRun();
  }
  std::vector<std::unique_ptr<TFFmpeg>> tasks;
  tasks.push_back(std::move(task));
  FreeTasks(std::move(tasks));
}

// ---- TREzuvuZUZ: run control -------------------------------------------------------------

void TREzuvuZUZ::Start(int threadCount) {
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  if (RunActive) {
    // Tasks added since the run began join it.
    JoinQueuedTasks();
    Fill();
    return;
  }
  ClearLogBuffers();
  ++RunGeneration;
  RunPaused = false;
  NextIndex = 0;
  FThreadCount = threadCount;
  for (int& count : RunStates) count = 0;
  if (JoinQueuedTasks() == 0) return;
  RunActive = true;
  Fill();
}

bool TREzuvuZUZ::Running() {
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  return RunActive;
}

void TREzuvuZUZ::StartNext() {
  if (Pending() <= 0) return;
  auto waiting = [this](int index) {
    const TFFmpeg* task = Tasks.Get(index);
    return task->InRun && task->State == tsQueued;
  };
  int index = NextIndex < 0 ? 0 : NextIndex;
  while (index < Tasks.Count() && !waiting(index)) ++index;
  if (index >= Tasks.Count()) {
    // A task moved before the hint (the list changed): look from the start.
    index = 0;
    while (index < Tasks.Count() && !waiting(index)) ++index;
    if (index >= Tasks.Count()) return;
  }
  NextIndex = index + 1;
  TFFmpeg* task = Tasks.Get(index);
  if (FThreadCount > 0) {
    RunTask(index);
    return;
  }
  SetState(*task, tsScheduled);
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
  RunPaused = false;
  if (!RunActive) {
    // Outside a run every task that never ran reports its termination.
    for (int& count : RunStates) count = 0;
    if (JoinQueuedTasks() == 0) return;
    ++RunGeneration;
    RunActive = true;
    NextIndex = Tasks.Count();
  }
  for (int i = 0; i < Tasks.Count(); ++i) {
    TFFmpeg* task = Tasks.Get(i);
    if (!task->InRun) continue;  // added during the run and not started: waits
    if (task->State == tsQueued || task->State == tsScheduled) SetState(*task, tsStopping);
    if (task->State == tsStopping || task->State == tsRunning) task->Terminate();
  }
}

void TREzuvuZUZ::StopRunning() {
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  RunPaused = false;
  if (!RunActive) return;
  for (int i = 0; i < Tasks.Count(); ++i) {
    TFFmpeg* task = Tasks.Get(i);
    if (!task->InRun) continue;
    if (task->State == tsQueued || task->State == tsScheduled) {
      // Its timer, if posted, finds it queued and does nothing.
      SetState(*task, tsQueued);
      LeaveRun(*task);
    } else if (task->State == tsRunning) {
      task->Terminate();
    }
  }
  if (Pending() == 0 && Active() == 0) FinishRun();
}

void TREzuvuZUZ::Pause() {
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  if (RunActive) RunPaused = true;
  for (int i = 0; i < Tasks.Count(); ++i) Tasks.Get(i)->Pause();
}

void TREzuvuZUZ::Resume() {
  std::lock_guard<std::recursive_mutex> lock(EventLock);
  for (int i = 0; i < Tasks.Count(); ++i) Tasks.Get(i)->Resume();
  if (!RunPaused) return;
  RunPaused = false;
  Fill();
}
