#include "InputGuard.h"

#include <mutex>

#include "FFmpegLoader.h"
#include "LibAV.h"
#include "ProbeStreams.h"
#include "Text.h"

void TInputGuard::SetAbortFlags(const std::atomic<bool>* always, const std::atomic<bool>* probing) {
  Abort[0] = always;
  Abort[1] = probing;
}

void TInputGuard::Install(AVFormatContext* context) {
  Context = context;
  Tripped = gkNone;
  Probing = true;
  Deadline = av.av_gettime_relative() + PROBE_SECONDS * 1000000;
  context->interrupt_callback.callback = &TInputGuard::Callback;
  context->interrupt_callback.opaque = this;
}

int TInputGuard::Callback(void* opaque) { return static_cast<TInputGuard*>(opaque)->Check(); }

bool TInputGuard::Check() {
  if ((Abort[0] && Abort[0]->load()) || (Probing && Abort[1] && Abort[1]->load())) {
    Tripped = gkAbort;
    return true;
  }
  if (!Probing) return false;
  if (Context && Context->pb && Context->pb->bytes_read > PROBE_BYTES) {
    Tripped = gkBytes;
    return true;
  }
  if (av.av_gettime_relative() > Deadline) {
    Tripped = gkTime;
    return true;
  }
  return false;
}

bool TInputGuard::Aborted() const { return Tripped == gkAbort; }

std::string TInputGuard::Reason(const std::string& fileName) const {
  switch (Tripped) {
    case gkTime:
      return StrFormat("%s: no media found within %d s; gave up", fileName.c_str(),
                       static_cast<int>(PROBE_SECONDS));
    case gkBytes:
      return StrFormat("%s: no media found in the first %d MB; gave up", fileName.c_str(),
                       static_cast<int>(PROBE_BYTES >> 20));
    case gkAbort:
      return StrFormat("%s: opening was interrupted", fileName.c_str());
    default:
      return std::string();
  }
}

std::string GuardedOpenError(const TInputGuard& guard, const std::string& name, int code,
                             std::string (*rule)(const std::string&, int)) {
  std::string reason = guard.Reason(name);
  return reason.empty() ? rule(name, code) : reason;
}

std::string ProbeStreams(AVFormatContext* context, TInputGuard& guard, const std::string& name,
                         bool strict) {
  int result;
  {
    std::lock_guard<std::recursive_mutex> lock(CodecLock);
    result = av.avformat_find_stream_info(context, nullptr);
  }
  std::string reason = guard.Reason(name);
  if (reason.empty() && result < 0 && strict)
    reason = StrFormat("%s: could not find codec parameters", name.c_str());
  if (reason.empty()) guard.EndProbe();
  return reason;
}
