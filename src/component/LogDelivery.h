// Log delivery: lines of the media libraries to every live converter component.
//
// The libraries write printf-style fragments from whichever thread they run
// in (task workers, the main thread, the codecs' own threads). The library log
// callback joins the fragments of each thread into lines, starts each line
// with "[item name @ XXXXXXXX]" when the message has a context, and hands each
// finished line (without its LF) to every live component through DispatchLog,
// with the task of that component that runs in the writing thread, or none.
//
// Levels: a library level maps onto TLogLevel (panic, fatal, error → llError;
// warning, info → llInfo; verbose, debug → llDebug; trace → llAll); a line
// reaches a component when its mapped level is at or below the component's
// LogLevel. It arrives at DoLog as the engine level ord(mapped) - 1.
//
// Locks: one process-wide lock guards the live-component list and the
// per-thread buffers (TLogList). The callback holds it while it assembles a
// line, never while a component handles it: dispatch runs after the lock is
// released and takes only the component's EventLock, so EventLock may be held
// while the list lock is taken (ClearLogBuffers from DoTerminate) without a
// cycle. A component that unregisters waits until no dispatch to it runs.
#pragma once
#include <cstdarg>
#include <string>

#include "OptionRecords.h"

class TCustomREzuvuZUZ;

// The unfinished line of one thread; ThreadID 0 marks a free slot.
struct TLogItem {
  int ThreadID = 0;
  std::string Text;
  TLogItem* Next = nullptr;
};

// One item per thread that has written since the last Clear: the head is
// embedded, the others are chained after it. Not locked by itself: the global
// instance is used under the process-wide log lock only.
class TLogList {
 public:
  TLogList() = default;
  ~TLogList();
  TLogList(const TLogList&) = delete;
  TLogList& operator=(const TLogList&) = delete;

  // The item of that thread; a new item is linked right after the head.
  TLogItem* FindOrAdd(int threadID);
  // Frees the head and disposes of every chained item.
  void Clear();

 private:
  TLogItem Head;
};

// Size of the buffer a line is assembled in: prefix, unfinished text and new
// fragment together. A longer line is cut there and ends at the cut.
constexpr int LOG_LINE_BUFFER = 2048;

// The library log callback (installed by LoadAVLib through av_log_set_callback).
// Any thread.
void LibraryLogCallback(void* context, int level, const char* format, va_list args);

// Drops the unfinished lines of every thread (Start, and the end of a run).
// Any thread; takes the process-wide log lock.
void ClearLogBuffers();

// The TLogLevel of a library level (AV_LOG_...).
TLogLevel LibraryLogLevel(int libraryLevel);

// Hands a finished line to the component: DoLog with the component's first
// task whose ThreadID is threadID (none: index -1), at engine level
// ord(level) - 1. Takes the component's EventLock.
void DispatchLog(TCustomREzuvuZUZ& component, int threadID, TLogLevel level,
                 const std::string& line);

// The live-component list (components call these from their constructor and
// destructor). Unregister waits until no dispatch to the component runs,
// except one running on the calling thread.
void RegisterLiveComponent(TCustomREzuvuZUZ* component);
void UnregisterLiveComponent(TCustomREzuvuZUZ* component);
// Recomputes the highest LogLevel of the live components, which the callback
// uses to drop unwanted messages without locking. Call after a level changes.
void UpdateLibraryLogLevels();

// The calling thread's system id (gettid).
int CurrentThreadID();
