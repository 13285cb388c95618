// Log delivery: per-thread line assembly and dispatch to the live components.
#include "LogDelivery.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "LibAV.h"
#include "REzuvuZUZ.h"

namespace {

struct TLiveComponent {
  TCustomREzuvuZUZ* Component;
  int Dispatching;  // dispatches to it that have not returned yet
  bool Live;        // false while it unregisters: no new dispatch
};

// The process-wide log state; built on first use, never destroyed, so that a
// library message written while the process ends still finds it.
struct TLogState {
  std::mutex Lock;
  std::condition_variable DispatchDone;
  std::vector<TLiveComponent> Live;
  TLogList Buffers;
};

TLogState& State() {
  static TLogState* state = new TLogState();
  return *state;
}

// Highest LogLevel among the live components: messages above it are dropped
// before any lock is taken.
std::atomic<int> MaxLevel{llQuiet};

// The component a dispatch on this thread is delivering to (innermost).
thread_local TCustomREzuvuZUZ* DispatchingTo = nullptr;

TLiveComponent* FindLive(TLogState& state, TCustomREzuvuZUZ* component) {
  for (TLiveComponent& entry : state.Live)
    if (entry.Component == component) return &entry;
  return nullptr;
}

void RecomputeMaxLevel(TLogState& state) {
  int level = llQuiet;
  for (const TLiveComponent& entry : state.Live)
    if (entry.Live) level = std::max<int>(level, entry.Component->LogLevel());
  MaxLevel = level;
}

// Appends to the line buffer; false when the text did not fit.
struct TLineBuffer {
  char Text[LOG_LINE_BUFFER];
  size_t Length = 0;
  bool Cut = false;
  void Append(const char* text, size_t size) {
    const size_t room = sizeof(Text) - 1 - Length;
    if (size > room) {
      size = room;
      Cut = true;
    }
    std::memcpy(Text + Length, text, size);
    Length += size;
    Text[Length] = 0;
  }
  void Format(const char* format, va_list args) {
    const size_t room = sizeof(Text) - Length;
    const int n = std::vsnprintf(Text + Length, room, format, args);
    if (n < 0) return;
    if (static_cast<size_t>(n) >= room) {
      Cut = true;
      Length = sizeof(Text) - 1;
    } else {
      Length += static_cast<size_t>(n);
    }
  }
};

}  // namespace

// ---- TLogList ----------------------------------------------------------------

TLogList::~TLogList() { Clear(); }

TLogItem* TLogList::FindOrAdd(int threadID) {
  if (Head.ThreadID == 0 || Head.ThreadID == threadID) {
    Head.ThreadID = threadID;
    return &Head;
  }
  for (TLogItem* item = Head.Next; item; item = item->Next)
    if (item->ThreadID == threadID) return item;
  TLogItem* item = new TLogItem;
  item->ThreadID = threadID;
  item->Next = Head.Next;
  Head.Next = item;
  return item;
}

void TLogList::Clear() {
  Head.ThreadID = 0;
  Head.Text.clear();
  TLogItem* item = Head.Next;
  Head.Next = nullptr;
  while (item) {
    TLogItem* next = item->Next;
    delete item;
    item = next;
  }
}

// ---- Levels and threads ---------------------------------------------------------

TLogLevel LibraryLogLevel(int libraryLevel) {
  if (libraryLevel <= AV_LOG_ERROR) return llError;
  if (libraryLevel <= AV_LOG_INFO) return llInfo;
  if (libraryLevel <= AV_LOG_DEBUG) return llDebug;
  return llAll;
}

int CurrentThreadID() {
  thread_local const int id = static_cast<int>(syscall(SYS_gettid));
  return id;
}

// ---- Live components ------------------------------------------------------------

void RegisterLiveComponent(TCustomREzuvuZUZ* component) {
  TLogState& state = State();
  std::lock_guard<std::mutex> lock(state.Lock);
  if (!FindLive(state, component)) state.Live.push_back({component, 0, true});
  RecomputeMaxLevel(state);
}

void UnregisterLiveComponent(TCustomREzuvuZUZ* component) {
  TLogState& state = State();
  std::unique_lock<std::mutex> lock(state.Lock);
  // A dispatch on this very thread (the component is freed from its own
  // OnLog) cannot be waited for.
  const int own = DispatchingTo == component ? 1 : 0;
  if (TLiveComponent* entry = FindLive(state, component)) entry->Live = false;
  RecomputeMaxLevel(state);
  state.DispatchDone.wait(lock, [&] {
    TLiveComponent* entry = FindLive(state, component);
    return !entry || entry->Dispatching <= own;
  });
  state.Live.erase(std::remove_if(state.Live.begin(), state.Live.end(),
                                  [component](const TLiveComponent& entry) {
                                    return entry.Component == component;
                                  }),
                   state.Live.end());
  RecomputeMaxLevel(state);
}

void UpdateLibraryLogLevels() {
  TLogState& state = State();
  std::lock_guard<std::mutex> lock(state.Lock);
  RecomputeMaxLevel(state);
}

void ClearLogBuffers() {
  TLogState& state = State();
  std::lock_guard<std::mutex> lock(state.Lock);
  state.Buffers.Clear();
}

// ---- Dispatch -----------------------------------------------------------------------

void DispatchLog(TCustomREzuvuZUZ& component, int threadID, TLogLevel level,
                 const std::string& line) {
  std::lock_guard<std::recursive_mutex> lock(component.EventLock);
  component.DoLog(component.Tasks.FindByThreadID(threadID), static_cast<int>(level) - 1, line);
}

void LibraryLogCallback(void* context, int level, const char* format, va_list args) {
  const TLogLevel mapped = LibraryLogLevel(level);
  if (mapped > MaxLevel.load(std::memory_order_relaxed) || !format) return;
  const int threadID = CurrentThreadID();
  TLogState& state = State();

  // Finished lines and the components they go to, gathered under the lock.
  // Kept per thread so that steady logging allocates nothing; a handler that
  // logs through the libraries comes back here on the same thread and then
  // uses storage of its own.
  thread_local std::vector<std::string> threadLines;
  thread_local std::vector<TCustomREzuvuZUZ*> threadTargets;
  thread_local int depth = 0;
  std::vector<std::string> nestedLines;
  std::vector<TCustomREzuvuZUZ*> nestedTargets;
  std::vector<std::string>& out = depth == 0 ? threadLines : nestedLines;
  std::vector<TCustomREzuvuZUZ*>& to = depth == 0 ? threadTargets : nestedTargets;
  out.clear();
  to.clear();
  {
    std::lock_guard<std::mutex> lock(state.Lock);
    const AVClass* avClass = context ? *static_cast<const AVClass* const*>(context) : nullptr;
    TLogItem* item = state.Buffers.FindOrAdd(threadID);
    TLineBuffer buffer;
    // A line about another file than the task's own names it first.
    const std::string& subject = TLogSubject::Current();
    if (!subject.empty() && item->Text.empty()) {
      buffer.Append("'", 1);
      buffer.Append(subject.data(), subject.size());
      buffer.Append("': ", 3);
    }
    if (avClass && item->Text.empty()) {
      const char* name = avClass->item_name ? avClass->item_name(context) : nullptr;
      char prefix[LOG_LINE_BUFFER];
      // The descriptor's address as eight digits: its low 32 bits on 64-bit systems.
      const int n = std::snprintf(prefix, sizeof(prefix), "[%s @ %08X]", name ? name : "NULL",
                                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(avClass)));
      if (n > 0) buffer.Append(prefix, std::min(static_cast<size_t>(n), sizeof(prefix) - 1));
    } else if (!item->Text.empty()) {
      buffer.Append(item->Text.data(), item->Text.size());
    }
    va_list copy;
    va_copy(copy, args);
    buffer.Format(format, copy);
    va_end(copy);

    // Text up to its first zero byte, split at each LF.
    const char* text = buffer.Text;
    const char* end = text + std::strlen(text);
    for (const char* lf; (lf = static_cast<const char*>(std::memchr(text, '\n', end - text)));
         text = lf + 1)
      out.emplace_back(text, lf);
    if (buffer.Cut && text < end) {
      // The line did not fit: it ends at the cut, so the next one starts clean.
      out.emplace_back(text, end);
      text = end;
    }
    item->Text.assign(text, end);

    if (!out.empty()) {
      for (TLiveComponent& entry : state.Live) {
        if (!entry.Live || mapped > entry.Component->LogLevel()) continue;
        ++entry.Dispatching;
        to.push_back(entry.Component);
      }
    }
  }
  if (to.empty()) return;

  ++depth;
  for (TCustomREzuvuZUZ* component : to) {
    TCustomREzuvuZUZ* outer = DispatchingTo;
    DispatchingTo = component;
    for (const std::string& line : out) {
      try {
        DispatchLog(*component, threadID, mapped, line);
      } catch (...) {
        // A handler's failure must not unwind into the library that logged.
      }
    }
    DispatchingTo = outer;
    std::lock_guard<std::mutex> lock(state.Lock);
    if (TLiveComponent* entry = FindLive(state, component)) --entry->Dispatching;
    state.DispatchDone.notify_all();
  }
  --depth;
}
