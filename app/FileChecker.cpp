#include "FileChecker.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QThread>
#include <algorithm>

#include "AVProbe.h"
#include "SourceTree.h"

TFileChecker::TFileChecker(QObject* parent, int threads) : QObject(parent) {
  const int count = threads > 0 ? threads : std::max(1, QThread::idealThreadCount());
  for (int i = 0; i < count; ++i) {
    Probers.push_back(std::make_unique<TProber>());
    TProber& prober = *Probers.back();
    prober.Thread = std::thread([this, &prober] { Probe(prober); });
  }
  Scanner = std::thread([this] { Scan(); });
}

TFileChecker::~TFileChecker() {
  {
    std::lock_guard<std::mutex> lock(Lock);
    Quit = true;
    Requests.clear();
    Jobs.clear();
    ScanAbort = true;
    for (auto& prober : Probers) prober->Abort = true;
  }
  RequestWake.notify_all();
  JobWake.notify_all();
  Room.notify_all();
  Scanner.join();
  for (auto& prober : Probers) prober->Thread.join();
}

void TFileChecker::Check(const QStringList& files, int tag) {
  {
    std::lock_guard<std::mutex> lock(Lock);
    for (const QString& file : files) Requests.push_back({file, tag});
  }
  RequestWake.notify_all();
}

void TFileChecker::Cancel(int tag) {
  bool post = false;
  {
    std::lock_guard<std::mutex> lock(Lock);
    const auto matches = [tag](int other) { return tag < 0 || other == tag; };
    Requests.erase(std::remove_if(Requests.begin(), Requests.end(),
                                  [&](const TRequest& r) { return matches(r.Tag); }),
                   Requests.end());
    Jobs.erase(std::remove_if(Jobs.begin(), Jobs.end(),
                              [&](const TJob& j) { return matches(j.Tag); }),
               Jobs.end());
    Results.Drop(tag);
    // The scan and the probes under way are broken off; each flag goes down
    // before its thread's next piece of work.
    if (Scanning && matches(ScanningTag)) {
      DroppedTicket = Ticket;
      ScanAbort = true;
    }
    for (auto& prober : Probers)
      if (prober->Holding && matches(prober->Tag)) prober->Abort = true;
    if (!Results.HasReady()) Notified = false;
    post = NoteReady();  // results of another tag behind the dropped ones
  }
  Room.notify_all();
  if (post) PostReady();
}

bool TFileChecker::Busy() {
  std::lock_guard<std::mutex> lock(Lock);
  return (Scanning && DroppedTicket != Ticket) || !Requests.empty() || Results.Size() > 0;
}

bool TFileChecker::Busy(int tag) {
  std::lock_guard<std::mutex> lock(Lock);
  if (Scanning && ScanningTag == tag && DroppedTicket != Ticket) return true;
  for (const TRequest& request : Requests)
    if (request.Tag == tag) return true;
  return Results.Holds(tag);
}

size_t TFileChecker::Held() {
  std::lock_guard<std::mutex> lock(Lock);
  return Results.Size();
}

size_t TFileChecker::NotStarted() {
  std::lock_guard<std::mutex> lock(Lock);
  return Requests.size();
}

bool TFileChecker::HasResults() {
  std::lock_guard<std::mutex> lock(Lock);
  return Results.HasReady();
}

std::vector<TCheckedFile> TFileChecker::TakeResults(size_t max) {
  std::vector<TCheckedFile> taken;
  {
    std::lock_guard<std::mutex> lock(Lock);
    Results.Take(taken, max);
    if (!Results.HasReady()) Notified = false;
  }
  Room.notify_all();
  return taken;
}

bool TFileChecker::NoteReady() {
  if (Notified || Quit || !Results.HasReady()) return false;
  Notified = true;
  return true;
}

void TFileChecker::PostReady() {
  QMetaObject::invokeMethod(this, [this] { emit Ready(); }, Qt::QueuedConnection);
}

bool TFileChecker::QueueProbe(TJob job, uint64_t ticket) {
  {
    std::unique_lock<std::mutex> lock(Lock);
    Room.wait(lock, [&] {
      return Quit || DroppedTicket == ticket || Results.Size() < MAX_AHEAD;
    });
    if (Quit || DroppedTicket == ticket) return false;
    job.Slot = Results.Reserve(job.Tag);
    Jobs.push_back(std::move(job));
  }
  JobWake.notify_one();
  return true;
}

void TFileChecker::Place(TCheckedFile result, uint64_t ticket) {
  bool post = false;
  {
    std::lock_guard<std::mutex> lock(Lock);
    if (Quit || DroppedTicket == ticket) return;
    const int tag = result.Tag;
    Results.Push(tag, std::move(result));
    post = NoteReady();
  }
  if (post) PostReady();
}

void TFileChecker::ScanFolder(const TRequest& request, uint64_t ticket) {
  TCheckedFile end;
  end.Tag = request.Tag;
  end.Folder = request.Path.toStdString();
  end.FolderEnd = true;
  std::vector<TTreeProblem> problems;
  std::string error;
  const auto found = [&](TTreeFile file) {
    TJob job;
    job.Tag = request.Tag;
    job.Path = std::move(file.Path);
    job.Folder = end.Folder;
    job.RelativeFolder = std::move(file.RelativeFolder);
    if (QueueProbe(std::move(job), ticket))
      ++end.Found;
    else
      ScanAbort = true;  // cancelled: the rest of the tree is not read
  };
  if (!ListSourceTree(end.Folder, found, error, &ScanAbort, &problems)) {
    end.Error = QString::fromStdString(error);
    Place(std::move(end), ticket);
    return;
  }
  for (const TTreeProblem& problem : problems) {
    TCheckedFile result;
    result.Tag = request.Tag;
    result.Folder = end.Folder;
    result.Unreadable = true;
    result.Probed.Path = problem.Path;
    result.Probed.Code = problem.Code;
    result.Probed.Error = TreeProblemText(problem);
    Place(std::move(result), ticket);
  }
  Place(std::move(end), ticket);
}

void TFileChecker::Scan() {
  for (;;) {
    TRequest request;
    uint64_t ticket;
    {
      std::unique_lock<std::mutex> lock(Lock);
      RequestWake.wait(lock, [this] { return Quit || !Requests.empty(); });
      if (Quit) return;
      request = std::move(Requests.front());
      Requests.pop_front();
      ticket = ++Ticket;
      Scanning = true;
      ScanningTag = request.Tag;
      ScanAbort = false;
    }
    if (QFileInfo(request.Path).isDir()) {
      ScanFolder(request, ticket);
    } else {
      TJob job;
      job.Tag = request.Tag;
      job.Path = request.Path.toStdString();
      QueueProbe(std::move(job), ticket);
    }
    std::lock_guard<std::mutex> lock(Lock);
    Scanning = false;
  }
}

void TFileChecker::Probe(TProber& self) {
  TAVProbe probe;
  probe.SetAbortFlag(&self.Abort);
  for (;;) {
    TJob job;
    {
      std::unique_lock<std::mutex> lock(Lock);
      JobWake.wait(lock, [this] { return Quit || !Jobs.empty(); });
      if (Quit) return;
      job = std::move(Jobs.front());
      Jobs.pop_front();
      self.Holding = true;
      self.Tag = job.Tag;
      self.Abort = false;
    }
    TCheckedFile result;
    result.Tag = job.Tag;
    result.Folder = std::move(job.Folder);
    result.RelativeFolder = std::move(job.RelativeFolder);
    result.Probed = TConversionBatch::ProbeSource(probe, job.Path, TagEncoding);
    bool post = false;
    {
      std::lock_guard<std::mutex> lock(Lock);
      self.Holding = false;
      // A cancelled file's place is gone: the result is dropped.
      if (Results.Fill(job.Slot, std::move(result))) post = NoteReady();
    }
    if (post) PostReady();
  }
}
