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

void TFileChecker::Check(const QStringList& files, int tag, const QList<int>& rows) {
  {
    std::lock_guard<std::mutex> lock(Lock);
    for (qsizetype i = 0; i < files.size(); ++i)
      Queue.push_back({files[i], tag, i < rows.size() ? rows[i] : -1});
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

void TFileChecker::Probe(TAVProbe& probe, const QString& path, TCheckedFile& result) {
  try {
    if (!probe.Open(path.toStdString())) {
      result.Error = QString::fromStdString(probe.LastError());
      return;
    }
    TSourceFacts& facts = result.Facts;
    facts.FileName = path.toStdString();
    const AVFormatContext* context = probe.FormatContext();
    if (context && context->iformat && context->iformat->name)
      facts.FormatName = context->iformat->name;
    result.Duration = probe.GetFileInfo().Duration;
    facts.Duration = result.Duration;
    facts.HasAudio = probe.AudioStreamCount() > 0;
    if (probe.FirstVideoStreamIndex() >= 0) {
      const TVideoStreamInfo video = probe.GetVideoStreamInfo();
      facts.HasVideo = true;
      facts.VideoWidth = video.Width;
      facts.VideoHeight = video.Height;
    }
    result.Size = probe.GetFileSize();
    result.InfoText = QString::fromStdString(probe.GetInfoText());
    probe.Close();
  } catch (const std::exception& e) {
    result.Error = QString::fromUtf8(e.what());
  }
}

void TFileChecker::ScanFolder(TAVProbe& probe, const TRequest& request, uint64_t ticket) {
  TCheckedFile end;
  end.Path = request.Path;
  end.Tag = request.Tag;
  end.Row = request.Row;
  end.FolderEnd = true;
  std::vector<TTreeFile> files;
  std::string error;
  if (!ListSourceTree(request.Path.toStdString(), files, error, &Abort)) {
    end.Error = QString::fromStdString(error);
    Deliver(std::move(end), ticket);
    return;
  }
  for (const TTreeFile& file : files) {
    if (Dropped(ticket)) return;
    TCheckedFile result;
    result.Path = QString::fromStdString(file.Path);
    result.Tag = request.Tag;
    result.Folder = request.Path;
    Probe(probe, result.Path, result);
    // The window converts into sound formats: a file without sound (a cover
    // picture, a text) is not what adding a folder asks for.
    if (!result.Error.isEmpty() || !WantedFromFolder(result.Facts, true)) {
      ++end.Skipped;
      continue;
    }
    result.Facts.RelativeFolder = file.RelativeFolder;
    ++end.Found;
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
    if (request.Row < 0 && QFileInfo(request.Path).isDir()) {
      ScanFolder(probe, request, ticket);
    } else {
      TCheckedFile result;
      result.Path = request.Path;
      result.Tag = request.Tag;
      result.Row = request.Row;
      Probe(probe, request.Path, result);
      Deliver(std::move(result), ticket);
    }
    std::lock_guard<std::mutex> lock(Lock);
    Checking = false;
  }
}
