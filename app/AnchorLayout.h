// TAnchorLayout: keeps controls placed at fixed positions of a host widget's
// default size in place as the host is resized, by the edges each follows.
// A control anchored to the left and right edges stretches with the width;
// one anchored to the right edge only moves with it; the same for the top and
// bottom edges. A control never anchored keeps its place (top left).
//
// The geometry a control has when it is anchored is its place at the design
// size; the host must not be smaller than that size (a minimum size).
//
// Threads: GUI thread. Owned by the host (QObject parent); the controls stay
// the host's children.
#pragma once
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QWidget>
#include <vector>

enum TAnchor : int { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };

class TAnchorLayout : public QObject {
  Q_OBJECT
 public:
  TAnchorLayout(QWidget* host, QSize designSize);
  // Records the control's present geometry as its place at the design size.
  void Anchor(QWidget* control, int anchors);
  // Places every anchored control for the host's present size.
  void Apply();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct TItem {
    QPointer<QWidget> Control;
    QRect Design;
    int Anchors;
  };
  QWidget* Host;
  QSize Design;
  std::vector<TItem> Items;
};
