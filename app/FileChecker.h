// TFileChecker: opens the files the user adds with a media probe on a thread
// of its own, so that adding a long list keeps the window responsive. Each
// file is probed by TConversionBatch::ProbeSource (the probe both front ends
// use); results come back in the order the files were given, for the window
// to hand to its batch (AddProbed), which decides what is listed, failed or
// skipped.
//
// A folder given is scanned on the same thread (ListSourceTree: recursively,
// in name order, hidden entries left out): every file under it comes back
// probed, carrying the folder and its place below it; a part of the folder
// that cannot be read comes back as Unreadable. After a folder's files one
// more result, FolderEnd, tells how many came back (or why the folder could
// not be read).
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

#include "Batch.h"

class TAVProbe;

// What the probe told of one file (or, with FolderEnd, of one folder).
struct TCheckedFile {
  TProbedSource Probed;    // Probed.Path is the file
  int Tag = 0;             // the caller's, given with the file
  std::string Folder;      // the folder given that it was found under; "" for a file given
  std::string RelativeFolder;  // below that folder
  // A part of a folder given that could not be read: Probed.Error tells why.
  bool Unreadable = false;
  // The end of a folder given: Folder is the folder; Found files came back;
  // Error tells why the folder could not be read.
  bool FolderEnd = false;
  int Found = 0;
  QString Error;
};

class TFileChecker : public QObject {
  Q_OBJECT
 public:
  explicit TFileChecker(QObject* parent = nullptr);
  ~TFileChecker() override;

  // Queues files and folders for checking, each with the tag.
  void Check(const QStringList& files, int tag);
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
  // How the files checked from now on read tags that claim Latin-1.
  void SetTagEncoding(TTagEncoding encoding) { TagEncoding = encoding; }

 signals:
  void Ready();

 private:
  struct TRequest {
    QString Path;
    int Tag = 0;
  };
  void Work();
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
  std::atomic<TTagEncoding> TagEncoding{teAuto};
  std::thread Worker;
};
