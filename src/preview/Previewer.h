// TPreviewer: the engine's preview window of encoded pictures. It draws into
// an abstract TPreviewWindow that the application makes (a Qt tool window
// that stays on top); the engine reaches it only through the previewer
// factory that RegisterPreviewWindowFactory installs.
//
// Threads: ShowFrame runs on the converting thread and never waits for the
// main thread: it copies the picture and hands it to the window, which draws
// the newest one on the main thread. So a main thread that waits for a job
// (stop, free) can never deadlock with a preview. At most one picture per
// preview interval of the engine reaches ShowFrame.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FFmpeg.h"

// The window a previewer draws into.
class TPreviewWindow {
 public:
  // Closes and frees the window; any thread; does not wait for the main thread.
  virtual ~TPreviewWindow() = default;
  // Shows the picture with the caption; any thread; returns at once, the
  // picture is drawn on the main thread (a newer picture replaces one not yet
  // drawn). The window keeps its reference until it drew it.
  virtual void Show(std::shared_ptr<const TBitmap> picture, const std::string& caption) = 0;
  // True once the user closed the window; any thread.
  virtual bool Closed() const = 0;
};
using TPreviewWindowFactory = std::function<std::unique_ptr<TPreviewWindow>()>;

class TPreviewer : public IPreviewer {
 public:
  explicit TPreviewer(std::unique_ptr<TPreviewWindow> window);
  // Shows a copy of the bitmap with its time ("hh:mm:ss.zzz") as caption;
  // false once the window was closed.
  bool ShowFrame(TBitmap* bitmap, int frameNumber, int64_t pts) override;
  int FrameNumber() const { return CurrentFrameNumber; }
  int64_t Pts() const { return CurrentPts; }

 private:
  std::unique_ptr<TPreviewWindow> Window;
  // Copies handed to the window; one the window no longer holds is reused.
  std::vector<std::shared_ptr<TBitmap>> Copies;
  int CurrentFrameNumber = 0;
  int64_t CurrentPts = 0;
};

// Makes every engine's preview window with this factory (none: window
// previews are switched off at their first picture).
void RegisterPreviewWindowFactory(TPreviewWindowFactory factory);
