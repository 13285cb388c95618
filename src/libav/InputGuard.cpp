#include "InputGuard.h"

#include "LibAV.h"
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
