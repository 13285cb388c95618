#include "Previewer.h"

#include <atomic>
#include <cstring>

TPreviewer::TPreviewer(std::unique_ptr<TPreviewWindow> window) : Window(std::move(window)) {}

bool TPreviewer::ShowFrame(TBitmap* bitmap, int frameNumber, int64_t pts) {
  if (!Window || Window->Closed() || !bitmap) return false;
  CurrentFrameNumber = frameNumber;
  CurrentPts = pts;
  std::shared_ptr<TBitmap> copy;
  for (auto& candidate : Copies)
    if (candidate.use_count() == 1) copy = candidate;
  // The window let go of that copy on the main thread: see its last reads.
  std::atomic_thread_fence(std::memory_order_acquire);
  if (!copy) {
    copy = std::make_shared<TBitmap>();
    Copies.push_back(copy);
  }
  if (copy->GetWidth() != bitmap->GetWidth() || copy->GetHeight() != bitmap->GetHeight())
    copy->SetSize(bitmap->GetWidth(), bitmap->GetHeight());
  std::memcpy(copy->Bits(), bitmap->Bits(),
              static_cast<size_t>(bitmap->Stride()) * static_cast<size_t>(bitmap->GetHeight()));
  Window->Show(copy, PreviewTimeText(pts));
  return !Window->Closed();
}

void RegisterPreviewWindowFactory(TPreviewWindowFactory factory) {
  if (!factory) {
    SetPreviewerFactory(nullptr);
    return;
  }
  SetPreviewerFactory([factory]() -> std::unique_ptr<IPreviewer> {
    std::unique_ptr<TPreviewWindow> window = factory();
    if (!window) return nullptr;
    return std::make_unique<TPreviewer>(std::move(window));
  });
}
