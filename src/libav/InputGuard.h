// Limits on opening an input, enforced through the libraries' interrupt
// callback: opening and stream probing give up after a time, after a number
// of bytes read (a file of zeros named .mp3 makes a demuxer read and buffer
// all of it), or as soon as an abort flag is set by another thread (a stop
// request, a signal handler). Reading after the probe is bounded by the abort
// flags only.
//
// Threads: the callback runs on the thread that reads the context; the abort
// flags may be set from any thread (they are atomics). Install before
// avformat_open_input; the guard must outlive the context's use.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "FFmpegHeaders.h"

class TInputGuard {
 public:
  // Limits of the probing phase.
  static constexpr int64_t PROBE_SECONDS = 30;
  static constexpr int64_t PROBE_BYTES = 64 << 20;

  // Flags that end a read at once when set (null: none): the first at any
  // time, the second only while the input is being opened and probed.
  void SetAbortFlags(const std::atomic<bool>* always, const std::atomic<bool>* probing = nullptr);
  // Points the context's interrupt callback at this guard and starts the
  // probing limits; the context's byte count is read while it opens.
  void Install(AVFormatContext* context);
  // Probing is over: from now on only the abort flags count.
  void EndProbe() { Probing = false; }
  // Why the last read was interrupted ("" when it was not), about fileName.
  std::string Reason(const std::string& fileName) const;
  bool Aborted() const;

 private:
  static int Callback(void* opaque);
  bool Check();
  const std::atomic<bool>* Abort[2] = {nullptr, nullptr};
  AVFormatContext* Context = nullptr;
  int64_t Deadline = 0;  // µs of the monotonic clock
  bool Probing = false;
  enum { gkNone, gkTime, gkBytes, gkAbort } Tripped = gkNone;
};

// "<name>: <reason>" for a failed open: the guard's reason when it stopped
// the open, otherwise the library error text rule.
std::string GuardedOpenError(const TInputGuard& guard, const std::string& name, int code,
                             std::string (*rule)(const std::string&, int));
