// TPlaybackPreview: the playback preview of the main window. It plays one
// source file through Qt Multimedia (a media player with an audio output and,
// for files with pictures, a video window of its own) and keeps a seek bar in
// step with it: the bar shows the position in whole seconds and dragging it
// seeks.
//
// The operations follow a playback graph: Activate (create the player on
// first use), Clear (stop and forget the file), RenderFile (load a file by
// name), Run (play) and Pause. Errors of the media framework are kept in
// LastError() and announced with Failed; nothing throws. On a machine with no
// audio output device the player gets no audio output (see AttachAudioOutput).
//
// Threads: GUI thread only. Owned by the window that creates it (QObject parent).
#pragma once
#include <QObject>
#include <QPointer>
#include <QString>

class QAudioOutput;
class QMediaPlayer;
class QSlider;
class QVideoWidget;

class TPlaybackPreview : public QObject {
  Q_OBJECT
 public:
  explicit TPlaybackPreview(QObject* parent = nullptr);
  ~TPlaybackPreview() override;

  void Activate();
  bool Active() const { return Player != nullptr; }
  void Clear();
  void RenderFile(const QString& fileName);
  void Run();
  void Pause();

  QString FileName() const { return File; }
  bool Playing() const;
  bool Paused() const;
  qint64 PositionMs() const;  // 0 without a file
  qint64 DurationMs() const;  // 0 while unknown
  void SeekMs(qint64 position);
  QString LastError() const { return Error; }
  bool HasAudioOutput() const { return Audio != nullptr; }

  // The bar's range becomes 0..duration in seconds; its value follows the
  // position, and moving it seeks. The bar stays the caller's.
  void BindSeekBar(QSlider* bar);

 signals:
  void PositionChanged(qint64 positionMs);
  void Failed(const QString& message);

 private:
  void UpdateBarRange();
  void UpdateBarValue(qint64 positionMs);
  void ShowVideoWindow(bool hasVideo);
  void AttachAudioOutput();

  QMediaPlayer* Player = nullptr;
  QAudioOutput* Audio = nullptr;
  QVideoWidget* Video = nullptr;  // a top-level window, shown only for pictures
  QPointer<QSlider> Bar;
  QString File;
  QString Error;
};
