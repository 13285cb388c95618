// TFileChecker: opens the files the user adds with a media probe on a thread
// of its own, so that adding (or converting) a long list keeps the window
// responsive. Results come back in the order the files were given.
//
// Threads: every method is called on the GUI thread. The worker owns its own
// probe; Ready is emitted on the GUI thread (queued) when results wait, once
// until they are taken. The destructor cancels and joins the worker.
#pragma once
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "OptionComposer.h"

// What the probe told of one file.
struct TCheckedFile {
  QString Path;
  int Tag = 0;             // the caller's, given with the file
  QString Error;           // why it cannot be converted; empty when it opens
  TSourceFacts Facts;      // what the options composer reads
  QString InfoText;        // the probe's info text
  int64_t Duration = -1;   // µs; -1 when unknown
  int64_t Size = -1;       // bytes
};

class TFileChecker : public QObject {
  Q_OBJECT
 public:
  explicit TFileChecker(QObject* parent = nullptr);
  ~TFileChecker() override;

  // Queues files for checking, each with the tag.
  void Check(const QStringList& files, int tag);
  // Drops the files not checked yet and the results not taken; a check under
  // way is broken off.
  void Cancel();
  // Files wait, are being checked, or results wait to be taken.
  bool Busy();
  bool HasResults();
  // Up to max results, oldest first.
  std::vector<TCheckedFile> TakeResults(size_t max);

 signals:
  void Ready();

 private:
  void Work();

  std::mutex Lock;
  std::condition_variable Wake;
  std::deque<std::pair<QString, int>> Queue;
  std::deque<TCheckedFile> Results;
  bool Checking = false;  // the worker holds a file
  bool Notified = false;  // Ready is on its way
  bool Quit = false;
  uint64_t Generation = 0;  // a result of an earlier generation is dropped
  std::atomic<bool> Abort{false};
  std::thread Worker;
};
