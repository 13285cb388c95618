#include "FileChecker.h"

#include <QMetaObject>

#include "AVProbe.h"

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
    for (const QString& file : files) Queue.emplace_back(file, tag);
  }
  Wake.notify_all();
}

void TFileChecker::Cancel() {
  std::lock_guard<std::mutex> lock(Lock);
  Queue.clear();
  Results.clear();
  Notified = false;
  ++Generation;
  // The file under way is broken off; the flag goes down before the next.
  if (Checking) Abort = true;
}

bool TFileChecker::Busy() {
  std::lock_guard<std::mutex> lock(Lock);
  return Checking || !Queue.empty() || !Results.empty();
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

void TFileChecker::Work() {
  TAVProbe probe;
  probe.SetAbortFlag(&Abort);
  for (;;) {
    std::pair<QString, int> file;
    uint64_t generation;
    {
      std::unique_lock<std::mutex> lock(Lock);
      Wake.wait(lock, [this] { return Quit || !Queue.empty(); });
      if (Quit) return;
      file = std::move(Queue.front());
      Queue.pop_front();
      generation = Generation;
      Checking = true;
      Abort = false;
    }
    TCheckedFile result;
    result.Path = file.first;
    result.Tag = file.second;
    try {
      if (!probe.Open(file.first.toStdString())) {
        result.Error = QString::fromStdString(probe.LastError());
      } else {
        TSourceFacts& facts = result.Facts;
        facts.FileName = file.first.toStdString();
        const AVFormatContext* context = probe.FormatContext();
        if (context && context->iformat && context->iformat->name)
          facts.FormatName = context->iformat->name;
        result.Duration = probe.GetFileInfo().Duration;
        facts.Duration = result.Duration;
        if (probe.FirstVideoStreamIndex() >= 0) {
          const TVideoStreamInfo video = probe.GetVideoStreamInfo();
          facts.HasVideo = true;
          facts.VideoWidth = video.Width;
          facts.VideoHeight = video.Height;
        }
        result.Size = probe.GetFileSize();
        result.InfoText = QString::fromStdString(probe.GetInfoText());
        probe.Close();
      }
    } catch (const std::exception& e) {
      result.Error = QString::fromUtf8(e.what());
    }
    bool notify = false;
    {
      std::lock_guard<std::mutex> lock(Lock);
      Checking = false;
      if (generation == Generation && !Quit) {
        Results.push_back(std::move(result));
        notify = !Notified;
        Notified = true;
      }
    }
    if (notify) QMetaObject::invokeMethod(this, [this] { emit Ready(); }, Qt::QueuedConnection);
  }
}
