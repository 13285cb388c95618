// TEventLoop: posted work ordered by due time, then by the order of posting.
#include "MainThread.h"

#include <algorithm>
#include <exception>
#include <memory>

namespace {

// Posted work waits at most this long before done() of RunUntil is asked
// again: the condition may change on another thread without a post.
constexpr auto POLL_SLICE = std::chrono::milliseconds(5);

}  // namespace

TEventLoop::TEventLoop() : MainId(std::this_thread::get_id()) {}

bool TEventLoop::IsMainThread() const { return std::this_thread::get_id() == MainId; }

void TEventLoop::Post(int delayMs, std::function<void()> fn) {
  if (!fn) return;
  {
    std::lock_guard<std::mutex> lock(Lock);
    Items.push_back({TClock::now() + std::chrono::milliseconds(std::max(delayMs, 0)),
                     NextSequence++, std::move(fn)});
  }
  Wake.notify_all();
}

void TEventLoop::InvokeAndWait(std::function<void()> fn) {
  if (!fn) return;
  if (IsMainThread()) {
    fn();
    return;
  }
  // The waiter's state outlives the call only through the posted work, which
  // holds its own reference.
  struct TCall {
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
    std::exception_ptr Error;
  };
  auto call = std::make_shared<TCall>();
  Post(0, [call, fn = std::move(fn)] {
    try {
      fn();
    } catch (...) {
      call->Error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(call->Lock);
    call->Finished = true;
    call->Done.notify_all();
  });
  std::unique_lock<std::mutex> lock(call->Lock);
  call->Done.wait(lock, [&call] { return call->Finished; });
  if (call->Error) std::rethrow_exception(call->Error);
}

bool TEventLoop::RunsBefore(const TItem& a, const TItem& b) {
  return a.Due != b.Due ? a.Due < b.Due : a.Sequence < b.Sequence;
}

bool TEventLoop::RunOne(std::unique_lock<std::mutex>& lock, TClock::time_point until) {
  if (Items.empty()) {
    Wake.wait_until(lock, until);
    return false;
  }
  auto first = std::min_element(Items.begin(), Items.end(), RunsBefore);
  const auto now = TClock::now();
  if (first->Due > now) {
    Wake.wait_until(lock, std::min(first->Due, until));
    return false;
  }
  std::function<void()> fn = std::move(first->Fn);
  Items.erase(first);
  lock.unlock();
  fn();
  lock.lock();
  return true;
}

void TEventLoop::Run() {
  std::unique_lock<std::mutex> lock(Lock);
  while (!QuitRequested) RunOne(lock, TClock::now() + std::chrono::hours(1));
  QuitRequested = false;
}

bool TEventLoop::RunUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  for (;;) {
    if (done()) return true;
    const auto now = TClock::now();
    if (now >= deadline) return false;
    std::unique_lock<std::mutex> lock(Lock);
    RunOne(lock, std::min(deadline, now + POLL_SLICE));
  }
}

void TEventLoop::ProcessPending() {
  std::unique_lock<std::mutex> lock(Lock);
  // Work posted while this runs, or due later, waits for the next call.
  const unsigned long last = NextSequence;
  const auto now = TClock::now();
  for (;;) {
    auto next = Items.end();
    for (auto it = Items.begin(); it != Items.end(); ++it) {
      if (it->Due > now || it->Sequence >= last) continue;
      if (next == Items.end() || RunsBefore(*it, *next)) next = it;
    }
    if (next == Items.end()) return;
    std::function<void()> fn = std::move(next->Fn);
    Items.erase(next);
    lock.unlock();
    fn();
    lock.lock();
  }
}

void TEventLoop::Quit() {
  {
    std::lock_guard<std::mutex> lock(Lock);
    QuitRequested = true;
  }
  Wake.notify_all();
}
