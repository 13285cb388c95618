#include "FileChecker.h"

#include <QFileInfo>
#include <QMetaObject>
#include <algorithm>

#include "AVProbe.h"
#include "SourceTree.h"

TFileChecker::TFileChecker(QObject* parent) : QObject(parent) {
  Worker = std::thread([this] { Work(); });
}

TFileChecker::~TFileChecker() {
  {
    std::lock_guard<std::mutex> lock(Lock);
    Quit = true;
    Queue.clear();
  }
  Abort = true;
  Wake.notify_all();
  Worker.join();
}

void TFileChecker::Check(const QStringList& files, int tag) {
  {
    std::lock_guard<std::mutex> lock(Lock);
    for (const QString& file : files) Queue.push_back({file, tag});
  }
  Wake.notify_all();
}

void TFileChecker::Cancel(int tag) {
  std::lock_guard<std::mutex> lock(Lock);
  const auto matches = [tag](int other) { return tag < 0 || other == tag; };
  Queue.erase(std::remove_if(Queue.begin(), Queue.end(),
                             [&](const TRequest& r) { return matches(r.Tag); }),
              Queue.end());
  Results.erase(std::remove_if(Results.begin(), Results.end(),
                               [&](const TCheckedFile& r) { return matches(r.Tag); }),
                Results.end());
  if (Results.empty()) Notified = false;
  // The request under way is broken off; the flag goes down before the next.
  if (Checking && matches(CheckingTag)) {
    DroppedTicket = Ticket;
    Abort = true;
  }
}

bool TFileChecker::Busy() {
  std::lock_guard<std::mutex> lock(Lock);
  return Checking || !Queue.empty() || !Results.empty();
}

bool TFileChecker::Busy(int tag) {
  std::lock_guard<std::mutex> lock(Lock);
  if (Checking && CheckingTag == tag && DroppedTicket != Ticket) return true;
  for (const TRequest& request : Queue)
    if (request.Tag == tag) return true;
  for (const TCheckedFile& result : Results)
    if (result.Tag == tag) return true;
  return false;
}

bool TFileChecker::HasResults() {
  std::lock_guard<std::mutex> lock(Lock);
  return !Results.empty();
}

std::vector<TCheckedFile> TFileChecker::TakeResults(size_t max) {
  std::lock_guard<std::mutex> lock(Lock);
  std::vector<TCheckedFile> taken;
  while (!Results.empty() && taken.size() < max) {
    taken.push_back(std::move(Results.front()));
    Results.pop_front();
  }
  if (Results.empty()) Notified = false;
  return taken;
}

bool TFileChecker::Dropped(uint64_t ticket) {
  std::lock_guard<std::mutex> lock(Lock);
  return Quit || DroppedTicket == ticket;
}

void TFileChecker::Deliver(TCheckedFile result, uint64_t ticket) {
  bool notify = false;
  {
    std::lock_guard<std::mutex> lock(Lock);
    if (DroppedTicket == ticket || Quit) return;
    Results.push_back(std::move(result));
    notify = !Notified;
    Notified = true;
  }
  if (notify) QMetaObject::invokeMethod(this, [this] { emit Ready(); }, Qt::QueuedConnection);
}

void TFileChecker::ScanFolder(TAVProbe& probe, const TRequest& request, uint64_t ticket) {
  TCheckedFile end;
  end.Tag = request.Tag;
  end.Folder = request.Path.toStdString();
  end.FolderEnd = true;
  std::vector<TTreeFile> files;
  std::vector<TTreeProblem> problems;
  std::string error;
  if (!ListSourceTree(end.Folder, files, error, &Abort, &problems)) {
    end.Error = QString::fromStdString(error);
    Deliver(std::move(end), ticket);
    return;
  }
  for (const TTreeFile& file : files) {
    if (Dropped(ticket)) return;
    TCheckedFile result;
    result.Tag = request.Tag;
    result.Folder = end.Folder;
    result.RelativeFolder = file.RelativeFolder;
    result.Probed = TConversionBatch::ProbeSource(probe, file.Path, TagEncoding);
    ++end.Found;
    Deliver(std::move(result), ticket);
  }
  for (const TTreeProblem& problem : problems) {
    TCheckedFile result;
    result.Tag = request.Tag;
    result.Folder = end.Folder;
    result.Unreadable = true;
    result.Probed.Path = problem.Path;
    result.Probed.Code = problem.Code;
    result.Probed.Error = TreeProblemText(problem);
    Deliver(std::move(result), ticket);
  }
  Deliver(std::move(end), ticket);
}

void TFileChecker::Work() {
  TAVProbe probe;
  probe.SetAbortFlag(&Abort);
  for (;;) {
    TRequest request;
    uint64_t ticket;
    {
      std::unique_lock<std::mutex> lock(Lock);
      Wake.wait(lock, [this] { return Quit || !Queue.empty(); });
      if (Quit) return;
      request = std::move(Queue.front());
      Queue.pop_front();
      ticket = ++Ticket;
      Checking = true;
      CheckingTag = request.Tag;
      Abort = false;
    }
    if (QFileInfo(request.Path).isDir()) {
      ScanFolder(probe, request, ticket);
    } else {
      TCheckedFile result;
      result.Tag = request.Tag;
      result.Probed = TConversionBatch::ProbeSource(probe, request.Path.toStdString(), TagEncoding);
      Deliver(std::move(result), ticket);
    }
    std::lock_guard<std::mutex> lock(Lock);
    Checking = false;
  }
}
