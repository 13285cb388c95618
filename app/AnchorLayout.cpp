#include "AnchorLayout.h"

#include <QEvent>

TAnchorLayout::TAnchorLayout(QWidget* host, QSize designSize)
    : QObject(host), Host(host), Design(designSize) {
  host->installEventFilter(this);
}

void TAnchorLayout::Anchor(QWidget* control, int anchors) {
  Items.push_back({control, control->geometry(), anchors});
}

void TAnchorLayout::Apply() {
  const int dx = Host->width() - Design.width();
  const int dy = Host->height() - Design.height();
  for (const TItem& item : Items) {
    if (!item.Control) continue;
    QRect r = item.Design;
    if ((item.Anchors & akRight) && (item.Anchors & akLeft))
      r.setWidth(r.width() + dx);
    else if (item.Anchors & akRight)
      r.translate(dx, 0);
    if ((item.Anchors & akBottom) && (item.Anchors & akTop))
      r.setHeight(r.height() + dy);
    else if (item.Anchors & akBottom)
      r.translate(0, dy);
    item.Control->setGeometry(r);
  }
}

bool TAnchorLayout::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Host && event->type() == QEvent::Resize) Apply();
  return QObject::eventFilter(watched, event);
}
