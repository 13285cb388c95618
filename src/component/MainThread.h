// TMainThread: what the component needs of its owner's main thread — to know
// whether it runs there, to run work there after a delay (one-shot timers of
// main-thread mode) and to run work there while the caller waits (the
// preview-bitmap event). TEventLoop is the plain implementation for the
// command line and the tests; the application supplies a Qt one.
#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class TMainThread {
 public:
  virtual ~TMainThread() = default;
  virtual bool IsMainThread() const = 0;
  // Runs fn on the main thread's loop once, after delayMs. Any thread.
  virtual void Post(int delayMs, std::function<void()> fn) = 0;
  // Runs fn on the main thread and returns when it has run. From the main
  // thread it runs at once.
  virtual void InvokeAndWait(std::function<void()> fn) = 0;
};

// A main-thread loop of its own: the thread that constructs it is the main
// thread, and posted work runs inside Run/RunUntil/ProcessPending.
class TEventLoop : public TMainThread {
 public:
  TEventLoop();
  bool IsMainThread() const override;
  void Post(int delayMs, std::function<void()> fn) override;
  void InvokeAndWait(std::function<void()> fn) override;

  // Runs posted work until Quit. Main thread only.
  void Run();
  // Runs posted work until done() holds or timeoutMs passed; true when done.
  bool RunUntil(const std::function<bool()>& done, int timeoutMs);
  // Runs the work that is due now, without waiting.
  void ProcessPending();
  void Quit();  // any thread

 private:
  using TClock = std::chrono::steady_clock;
  struct TItem {
    TClock::time_point Due;
    unsigned long Sequence;
    std::function<void()> Fn;
  };
  // The order work runs in: by due time, then by the order of posting.
  static bool RunsBefore(const TItem& a, const TItem& b);
  bool RunOne(std::unique_lock<std::mutex>& lock, TClock::time_point until);
  std::thread::id MainId;
  std::mutex Lock;
  std::condition_variable Wake;
  std::vector<TItem> Items;
  unsigned long NextSequence = 0;
  bool QuitRequested = false;
};
