// Previews of encoded pictures: as bitmaps for the owner or in a window
// made by the registered previewer factory.
#include "FFmpeg.h"
#include "Transcode.h"

namespace {

std::mutex PreviewerFactoryLock;
TPreviewerFactory& Factory() {
  static auto* factory = new TPreviewerFactory;  // used until the process ends
  return *factory;
}

}  // namespace

void SetPreviewerFactory(TPreviewerFactory factory) {
  std::lock_guard<std::mutex> lock(PreviewerFactoryLock);
  Factory() = std::move(factory);
}

uint8_t TCustomFFmpeg::SetPreviewFlags(uint8_t flags) {
  std::unique_ptr<IPreviewer> closed;
  uint8_t previous;
  {
    std::lock_guard<std::mutex> lock(PreviewFlagsLock());
    previous = RunState.PreviewFlags;
    if (flags == previous) return previous;
    // While the converting thread shows a picture, it frees the window itself.
    if ((previous & 1) && !(flags & 1) && !RunState.PreviewBusy)
      closed = std::move(RunState.Previewer);
    RunState.PreviewFlags = flags;
  }
  return previous;  // a closed window goes here, outside the lock
}

void TCustomFFmpeg::ReleasePreviewer() {
  std::unique_ptr<IPreviewer> closed;
  std::lock_guard<std::mutex> lock(PreviewFlagsLock());
  if (!RunState.PreviewBusy) closed = std::move(RunState.Previewer);
  // (destroyed after the lock is let go: members go in reverse order)
}

void TCustomFFmpeg::PreviewFrame(const AVFrame* picture, int64_t pts) {
  uint8_t flags;
  std::unique_ptr<IPreviewer> stale;
  {
    std::lock_guard<std::mutex> lock(PreviewFlagsLock());
    flags = RunState.PreviewFlags;
    if (!(flags & 1)) stale = std::move(RunState.Previewer);  // switched off meanwhile
    RunState.PreviewBusy = (flags & 1) != 0;
  }
  stale.reset();
  if (!flags) return;
  const int64_t now = av.av_gettime_relative();
  if (now - RunState.LastPreviewTime <= RunState.PreviewInterval) {
    std::lock_guard<std::mutex> lock(PreviewFlagsLock());
    RunState.PreviewBusy = false;
    return;
  }
  RunState.LastPreviewTime = now;
  // The conversion and the window are served without the lock: the owner's
  // thread may wait for it in SetPreviewFlags.
  uint8_t cleared = 0;
  if ((flags & 2) && OnPreviewBitmap) {
    if (FrameToBitmap(RunState.PreviewConverter, picture))
      OnPreviewBitmap(this, RunState.PreviewConverter.Bitmap.get(), RunState.HookFrameCounter,
                      pts);
    else
      cleared = 2;
  } else if (flags & 1) {
    bool shown = FrameToBitmap(RunState.PreviewConverter, picture);
    IPreviewer* previewer = RunState.Previewer.get();  // busy: nobody else frees it
    if (shown && !previewer) {
      std::unique_ptr<IPreviewer> made;
      {
        std::lock_guard<std::mutex> lock(PreviewerFactoryLock);
        if (Factory()) made = Factory()();
      }
      previewer = made.get();
      std::lock_guard<std::mutex> lock(PreviewFlagsLock());
      RunState.Previewer = std::move(made);
    }
    shown = shown && previewer &&
            previewer->ShowFrame(RunState.PreviewConverter.Bitmap.get(), RunState.HookFrameCounter,
                                 pts);
    if (!shown) cleared = 1;
  }
  {
    std::lock_guard<std::mutex> lock(PreviewFlagsLock());
    RunState.PreviewBusy = false;
    RunState.PreviewFlags &= static_cast<uint8_t>(~cleared);
    // Closed by the user, or switched off by the owner while it was shown.
    if (!(RunState.PreviewFlags & 1)) stale = std::move(RunState.Previewer);
  }
}

std::string PreviewTimeText(int64_t pts) {
  if (pts == AV_NOPTS_VALUE) return "N/A";
  const int64_t seconds = pts / 1000000;
  return StrFormat("%.2d:%.2d:%.2d.%.3d", static_cast<int>(seconds / 60 / 60),
                   static_cast<int>((seconds / 60) % 60), static_cast<int>(seconds % 60),
                   static_cast<int>((pts % 1000000) * 1000 / 1000000));
}
