// Run control: starting a job on the caller's thread or a worker, stop,
// pause, resume, termination, and the end of a job.
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <future>

#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "Transcode.h"

void SetCurrentThreadPriority(TThreadPriority priority) {
  const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  if (priority == TThreadPriority::Idle) {
    sched_param param{};
    if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &param) == 0) return;
    setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 19);
    return;
  }
  const int nice = priority == TThreadPriority::Lowest  ? 15
                   : priority == TThreadPriority::Lower ? 5
                                                        : 0;
  setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

TFFmpegThread::TFFmpegThread(TCustomFFmpeg* engine, TThreadPriority priority)
    : Engine(engine), Priority(priority) {}

TFFmpegThread::~TFFmpegThread() {
  if (!Thread.joinable()) return;
  // A worker that frees its own engine cannot wait for itself.
  if (Thread.get_id() == std::this_thread::get_id())
    Thread.detach();
  else
    Thread.join();
}

void TFFmpegThread::Start() {
  if (Thread.joinable() || !Engine) return;
  std::promise<void> running;
  std::future<void> known = running.get_future();
  Thread = std::thread([this, &running] {
    Tid = static_cast<int>(syscall(SYS_gettid));
    running.set_value();
    Execute();
  });
  known.wait();  // ThreadID() is known once Start returns
}

void TFFmpegThread::WaitFor() {
  if (Thread.joinable() && Thread.get_id() != std::this_thread::get_id()) Thread.join();
}

void TFFmpegThread::Execute() {
  SetCurrentThreadPriority(Priority);
  Engine->Run();
}

TCustomFFmpeg::~TCustomFFmpeg() {
  RunState.StopRequested = true;
  {
    std::lock_guard<std::mutex> lock(RunState.GateLock);
    RunState.Paused = false;
  }
  RunState.Gate.notify_all();
  for (int poll = 0; poll < 10 && RunState.WorkerRegistered; ++poll)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // A worker still running keeps its engine: wait as long as it takes rather
  // than free what it uses.
  RunState.Worker.reset();
  if (RunState.TerminateThread.joinable()) {
    if (RunState.TerminateThread.get_id() == std::this_thread::get_id())
      RunState.TerminateThread.detach();
    else
      RunState.TerminateThread.join();
  }
  // Without the libraries the deleters free nothing: what the job still
  // holds is left to the end of the process.
  if (FFmpegLoader().LibrariesLoaded(ENGINE_LIBRARIES)) ReleaseAll();
}

TFFmpegThread* TCustomFFmpeg::Start(bool threaded, TThreadPriority priority) {
  // A job that runs, ran, or whose termination is on its way is not started.
  if (RunState.Running || RunState.Done || RunState.TerminatePending) return nullptr;
  const char* refusal = RunState.FilesDeferred ? nullptr
                        : Output.FileCount == 0  ? "At least one output file must be specified"
                        : Input.FileCount == 0   ? "At least one input file must be specified"
                                                 : nullptr;
  if (refusal) {
    ReleaseAll();
    Log(-1, refusal);
    RunState.ExceptionRaised = true;
    RunState.ExceptionMessage = refusal;
    RunState.ExceptionCode = rcOption;
    Finish();
    return nullptr;
  }
  RunState.Running = true;
  RunState.StopRequested = false;
  RunState.FinishedNormally = false;
  RunState.Done = false;
  if (!threaded) {
    Run();
    return nullptr;
  }
  RunState.Worker = std::make_unique<TFFmpegThread>(this, priority);
  RunState.WorkerRegistered = true;
  return RunState.Worker.get();
}

void TCustomFFmpeg::Run() {
  RunState.FinishedNormally = false;
  Result = TJobResult();
  auto fail = [this](const std::string& message, TReasonCode code) {
    Log(-1, message);
    RunState.ExceptionRaised = true;
    RunState.ExceptionMessage = message;
    RunState.ExceptionCode = code;
  };
  // A stop (or the owner's abort flag) that breaks off opening the files is
  // a stop, not a failure.
  auto interrupted = [this] {
    return RunState.StopRequested || (RunState.OpenAbort && RunState.OpenAbort->load());
  };
  try {
    OpenFiles();
    Transcode();
  } catch (const std::exception& e) {
    const auto* engineError = dynamic_cast<const FFmpegException*>(&e);
    if (interrupted() && Input.FileCount == 0)
      RunState.StopRequested = true;
    else
      fail(e.what(), engineError ? engineError->Code
                     : dynamic_cast<const EConvertError*>(&e) ? rcOption
                                                              : rcInternal);
  } catch (...) {
    // Nothing may leave a job's thread: an unknown failure is the job's error.
    fail("Unknown error during the conversion", rcInternal);
  }
  CloseOpenedCodecs();
  // The outputs get their final names, or go, before anything is released.
  SettleOutcome();
  ReleaseAll();
  Finish();
}

void TCustomFFmpeg::Stop() {
  RunState.StopRequested = true;
  Resume();
}

void TCustomFFmpeg::Terminate() {
  if (RunState.Running) {
    Stop();
    return;
  }
  if (RunState.Done || RunState.TerminatePending.exchange(true)) return;
  RunState.TerminateThread = std::thread([this] {
    SetCurrentThreadPriority(TThreadPriority::Idle);
    Finish();
  });
}

void TCustomFFmpeg::Pause() {
  if (!RunState.WorkerRegistered) return;
  std::lock_guard<std::mutex> lock(RunState.GateLock);
  RunState.Paused = true;
}

void TCustomFFmpeg::Resume() {
  {
    std::lock_guard<std::mutex> lock(RunState.GateLock);
    RunState.Paused = false;
  }
  RunState.Gate.notify_all();
}

void TCustomFFmpeg::Finish() {
  // Done before not running: a Terminate in between sees a running job and
  // only asks it to stop, instead of finishing it a second time.
  RunState.Done = true;
  RunState.Running = false;
  RunState.WorkerRegistered = false;
  if (OnTerminate) OnTerminate(this);
}
