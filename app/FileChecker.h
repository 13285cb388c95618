// TFileChecker: opens the files the user adds with a media probe on threads
// of its own, so that adding a long list keeps the window responsive. Each
// file is probed by TConversionBatch::ProbeSource (the probe both front ends
// use), several at once (one thread a core); results come back in the order
// the files were given, for the window to hand to its batch (AddProbed),
// which decides what is listed, failed or skipped.
//
// A folder given is scanned on a thread of its own (ListSourceTree:
// recursively, in name order, hidden entries left out); its files are probed
// as the scan finds them, each coming back carrying the folder and its place
// below it; a part of the folder that cannot be read comes back as
// Unreadable. After a folder's files one more result, FolderEnd, tells how
// many came back (or why the folder could not be read).
//
// Order: the scan hands each file a numbered place (TReorderBuffer) before
// it is probed; a probe that ends early waits in its place until those
// before it are done. The scan stays at most MAX_AHEAD files ahead of what
// the window has taken, which bounds the memory of a large add.
//
// Threads: every method is called on the GUI thread. Each probe thread owns
// its own probe; Ready is emitted on the GUI thread (queued) when results
// wait, once until they are taken. The destructor cancels and joins the
// threads.
#pragma once
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Batch.h"
#include "ReorderBuffer.h"

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
  // threads: files probed at once; 0 for one a core (at least one).
  explicit TFileChecker(QObject* parent = nullptr, int threads = 0);
  ~TFileChecker() override;

  // Queues files and folders for checking, each with the tag.
  void Check(const QStringList& files, int tag);
  // Drops the files not checked yet and the results not taken, of that tag
  // (every tag when -1); a check of it under way (a folder's scan too) is
  // broken off, and what it still finds is dropped.
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
  // Files probed at once.
  int Threads() const { return static_cast<int>(Probers.size()); }
  // Files given a place among the results, being probed or not taken yet;
  // and the files and folders given that the scan has not come to.
  size_t Held();
  size_t NotStarted();

  // Results the scan may be ahead of what has been taken.
  static constexpr size_t MAX_AHEAD = 512;

 signals:
  void Ready();

 private:
  struct TRequest {
    QString Path;
    int Tag = 0;
  };
  // One file to probe, with its place among the results.
  struct TJob {
    uint64_t Slot = 0;
    int Tag = 0;
    std::string Path, Folder, RelativeFolder;
  };
  struct TProber {
    std::thread Thread;
    std::atomic<bool> Abort{false};  // breaks off the probe under way
    bool Holding = false;            // a job is being probed
    int Tag = 0;                     // its tag
  };
  void Scan();
  void Probe(TProber& self);
  void ScanFolder(const TRequest& request, uint64_t ticket);
  // Gives the file its place and queues its probe, once the scan is not too
  // far ahead; false when the request was cancelled meanwhile.
  bool QueueProbe(TJob job, uint64_t ticket);
  // A result known without probing, in its place; dropped when the request
  // was cancelled.
  void Place(TCheckedFile result, uint64_t ticket);
  // Ready, unless it is on its way or nothing is ready. Under Lock; true
  // when the caller is to post it (after unlocking).
  bool NoteReady();
  void PostReady();

  std::mutex Lock;
  std::condition_variable RequestWake, JobWake, Room;
  std::deque<TRequest> Requests;
  std::deque<TJob> Jobs;
  TReorderBuffer<TCheckedFile> Results;
  bool Scanning = false;  // the scan holds a request
  int ScanningTag = 0;    // its tag
  bool Notified = false;  // Ready is on its way
  bool Quit = false;
  // The request under way gets a ticket; cancelling it raises DroppedTicket
  // to it, so what it still finds is dropped.
  uint64_t Ticket = 0, DroppedTicket = 0;
  std::atomic<bool> ScanAbort{false};
  std::atomic<TTagEncoding> TagEncoding{teAuto};
  std::thread Scanner;
  std::vector<std::unique_ptr<TProber>> Probers;
};
