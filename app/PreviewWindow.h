// The preview window of a running conversion (the engine's window preview):
// a small tool window that stays on top, shows the picture being encoded
// with its time as caption, and is dragged by its picture. Closing it tells
// the engine to stop previewing in a window for that conversion.
//
// RegisterQtPreviewWindow installs the factory through which every engine
// makes its window (TApplication does this at start). The engine's side
// (TQtPreviewWindow) may be used and freed on any thread; the widget itself
// is made, drawn and deleted on the GUI thread only.
#pragma once
#include <QLabel>
#include <QPoint>
#include <QWidget>
#include <functional>

class TBitmap;

class TfrmPreview : public QWidget {
  Q_OBJECT

 public:
  TfrmPreview();
  // Shows the picture (the window takes its size) with the caption.
  void ShowPicture(const TBitmap& picture, const QString& caption);
  // Called when the user closes the window.
  std::function<void()> OnClosed;

  QLabel* imgPicture;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool Placed = false;    // centred on the screen once, at the first picture
  bool Dragging = false;  // moved by hand where the window system cannot
  QPoint DragOffset;
};

// Every engine's preview window from now on is a TfrmPreview.
void RegisterQtPreviewWindow();
