// TQtMainThread: the component's main-thread interface served by the Qt GUI
// thread. Post runs work from a single-shot timer on the GUI thread's event
// loop; InvokeAndWait runs work on the GUI thread while a worker waits
// (a blocking queued call), or at once when called on the GUI thread.
//
// The object must be created on the GUI thread and outlive every component
// that uses it. Work posted for a later time is dropped when it is destroyed.
#pragma once
#include <QObject>

#include "MainThread.h"

class TQtMainThread : public QObject, public TMainThread {
  Q_OBJECT
 public:
  explicit TQtMainThread(QObject* parent = nullptr);
  bool IsMainThread() const override;
  void Post(int delayMs, std::function<void()> fn) override;
  void InvokeAndWait(std::function<void()> fn) override;
};
