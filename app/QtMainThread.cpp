#include "QtMainThread.h"

#include <QThread>
#include <QTimer>

TQtMainThread::TQtMainThread(QObject* parent) : QObject(parent) {}

bool TQtMainThread::IsMainThread() const { return QThread::currentThread() == thread(); }

void TQtMainThread::Post(int delayMs, std::function<void()> fn) {
  const int delay = delayMs > 0 ? delayMs : 0;
  if (IsMainThread()) {
    QTimer::singleShot(delay, this, std::move(fn));
    return;
  }
  // The timer must be started by the GUI thread: hand the start over first.
  QMetaObject::invokeMethod(
      this, [this, delay, work = std::move(fn)]() { QTimer::singleShot(delay, this, work); },
      Qt::QueuedConnection);
}

void TQtMainThread::InvokeAndWait(std::function<void()> fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(this, std::move(fn), Qt::BlockingQueuedConnection);
}
