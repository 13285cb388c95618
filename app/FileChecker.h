// TFileChecker: opens the files the user adds with a media probe on a thread
// of its own, so that adding (or converting) a long list keeps the window
// responsive. Results come back in the order the files were given.
//
// A folder given is scanned on the same thread (ListSourceTree: recursively,
// in name order, hidden entries left out): each file under it that the probe
// opens and that holds sound comes back as a result of its own, carrying the
// folder and its place below it; the others are skipped and only counted.
// After a folder's files one more result, FolderEnd, tells the counts (or
// why the folder could not be read).
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

class TAVProbe;

// What the probe told of one file (or, with FolderEnd, of one folder).
struct TCheckedFile {
  QString Path;
  int Tag = 0;             // the caller's, given with the file
  int Row = -1;            // the caller's, given with the file; -1 for files found under a folder
  QString Error;           // why it cannot be converted; empty when it opens
  TSourceFacts Facts;      // what the options composer reads (RelativeFolder set under a folder)
  QString InfoText;        // the probe's info text
  int64_t Duration = -1;   // µs; -1 when unknown
  int64_t Size = -1;       // bytes
  QString Folder;          // the folder given that the file was found under; "" for a file given
  // The end of a folder given: Path is the folder; Found files came back,
  // Skipped were left out; Error tells why the folder could not be read.
  bool FolderEnd = false;
  int Found = 0;
  int Skipped = 0;
};

class TFileChecker : public QObject {
  Q_OBJECT
 public:
  explicit TFileChecker(QObject* parent = nullptr);
  ~TFileChecker() override;

  // Queues files for checking, each with the tag and, when given, its entry
  // of rows (same length as files). A folder is scanned when it comes
  // without a row; with a row it is checked as a file (and refused).
  void Check(const QStringList& files, int tag, const QList<int>& rows = {});
  // Drops the files not checked yet and the results not taken, of that tag
  // (every tag when -1); a check of it under way (a folder's scan too) is
  // broken off.
  void Cancel(int tag = -1);
  // Files wait, are being checked, or results wait to be taken.
  bool Busy();
  // The same for one tag.
  bool Busy(int tag);
  bool HasResults();
  // Up to max results, oldest first.
  std::vector<TCheckedFile> TakeResults(size_t max);

 signals:
  void Ready();

 private:
  struct TRequest {
    QString Path;
    int Tag = 0;
    int Row = -1;
  };
  void Work();
  // Probes one file into result (Error set when it cannot be converted).
  void Probe(TAVProbe& probe, const QString& path, TCheckedFile& result);
  // Queues a result unless its request was cancelled meanwhile.
  void Deliver(TCheckedFile result, uint64_t ticket);
  void ScanFolder(TAVProbe& probe, const TRequest& request, uint64_t ticket);
  // The request under way has been cancelled.
  bool Dropped(uint64_t ticket);

  std::mutex Lock;
  std::condition_variable Wake;
  std::deque<TRequest> Queue;
  std::deque<TCheckedFile> Results;
  bool Checking = false;  // the worker holds a request
  int CheckingTag = 0;    // its tag
  bool Notified = false;  // Ready is on its way
  bool Quit = false;
  // The request under way gets a ticket; cancelling it raises DroppedTicket
  // to it, so what it still finds is dropped.
  uint64_t Ticket = 0, DroppedTicket = 0;
  std::atomic<bool> Abort{false};
  std::thread Worker;
};
