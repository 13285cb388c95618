#include "PlaybackPreview.h"

#include <QAudioOutput>
#include <QFileInfo>
#include <QAudioDevice>
#include <QMediaDevices>
#include <QMediaPlayer>
#include <QSlider>
#include <QUrl>
#include <QVideoWidget>

TPlaybackPreview::TPlaybackPreview(QObject* parent) : QObject(parent) {}

TPlaybackPreview::~TPlaybackPreview() {
  if (Player) Player->stop();
  delete Video;  // a top-level window, not a child of anyone
}

void TPlaybackPreview::Activate() {
  if (Player) return;
  Player = new QMediaPlayer(this);
  AttachAudioOutput();
  Video = new QVideoWidget();
  Video->setAttribute(Qt::WA_QuitOnClose, false);
  Video->resize(352, 288);
  Player->setVideoOutput(Video);
  connect(Player, &QMediaPlayer::durationChanged, this, [this] { UpdateBarRange(); });
  connect(Player, &QMediaPlayer::positionChanged, this, [this](qint64 position) {
    UpdateBarValue(position);
    emit PositionChanged(position);
  });
  connect(Player, &QMediaPlayer::hasVideoChanged, this,
          [this](bool hasVideo) { ShowVideoWindow(hasVideo); });
  connect(Player, &QMediaPlayer::errorOccurred, this,
          [this](QMediaPlayer::Error, const QString& message) {
            Error = message;
            emit Failed(message);
          });
}

void TPlaybackPreview::Clear() {
  if (!Player) return;
  Player->stop();
  Player->setSource(QUrl());
  File.clear();
  Error.clear();
  if (Video) Video->hide();
  UpdateBarRange();
}

void TPlaybackPreview::RenderFile(const QString& fileName) {
  Activate();
  File = fileName;
  Error.clear();
  Player->setSource(QUrl::fromLocalFile(QFileInfo(fileName).absoluteFilePath()));
  if (Video) Video->setWindowTitle(QFileInfo(fileName).fileName());
}

void TPlaybackPreview::Run() {
  if (!Player || File.isEmpty()) return;
  AttachAudioOutput();
  Player->play();
}

void TPlaybackPreview::AttachAudioOutput() {
  // Without an output device the media framework's audio thread writes into a
  // sink that never opened and crashes; such a machine plays pictures only,
  // and the sound comes back once a device is there at the next play.
  if (Audio || QMediaDevices::audioOutputs().isEmpty()) return;
  Audio = new QAudioOutput(this);
  Player->setAudioOutput(Audio);
}

void TPlaybackPreview::Pause() {
  if (Player && !File.isEmpty()) Player->pause();
}

bool TPlaybackPreview::Playing() const {
  return Player && Player->playbackState() == QMediaPlayer::PlayingState;
}

bool TPlaybackPreview::Paused() const {
  return Player && Player->playbackState() == QMediaPlayer::PausedState;
}

qint64 TPlaybackPreview::PositionMs() const { return Player ? Player->position() : 0; }

qint64 TPlaybackPreview::DurationMs() const { return Player ? Player->duration() : 0; }

void TPlaybackPreview::SeekMs(qint64 position) {
  if (Player && Player->isSeekable()) Player->setPosition(position < 0 ? 0 : position);
}

void TPlaybackPreview::BindSeekBar(QSlider* bar) {
  Bar = bar;
  if (!bar) return;
  // Only moves made by the user seek; the player's own updates set the value
  // with the signals of the bar blocked.
  connect(bar, &QSlider::actionTriggered, this, [this](int) {
    if (Bar) SeekMs(static_cast<qint64>(Bar->sliderPosition()) * 1000);
  });
  connect(bar, &QSlider::sliderReleased, this, [this] {
    if (Bar) SeekMs(static_cast<qint64>(Bar->value()) * 1000);
  });
  UpdateBarRange();
}

void TPlaybackPreview::UpdateBarRange() {
  if (!Bar) return;
  const QSignalBlocker block(Bar);
  const qint64 seconds = DurationMs() / 1000;
  Bar->setRange(0, static_cast<int>(seconds));
  Bar->setTickInterval(seconds > 60 ? static_cast<int>(seconds / 20) : 1);
  UpdateBarValue(PositionMs());
}

void TPlaybackPreview::UpdateBarValue(qint64 positionMs) {
  if (!Bar || Bar->isSliderDown()) return;
  const QSignalBlocker block(Bar);
  Bar->setValue(static_cast<int>(positionMs / 1000));
}

void TPlaybackPreview::ShowVideoWindow(bool hasVideo) {
  if (!Video) return;
  if (hasVideo && !File.isEmpty())
    Video->show();
  else
    Video->hide();
}
