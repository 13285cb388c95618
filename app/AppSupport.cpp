#include "AppSupport.h"

#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QAudioDevice>
#include <QMediaDevices>
#include <QPushButton>
#include <QUrl>

#include "Bitmap.h"
#include "FFmpeg.h"
#include "Text.h"

namespace {

TMessageSink& Sink() {
  static TMessageSink sink;
  return sink;
}

TQuestionSink& QuestionSink() {
  static TQuestionSink sink;
  return sink;
}

TUrlOpener& UrlOpener() {
  static TUrlOpener opener;
  return opener;
}

TAudioDeviceCheck& AudioDeviceCheck() {
  static TAudioDeviceCheck check;
  return check;
}

TCdRomCheck& CdRomCheck() {
  static TCdRomCheck check;
  return check;
}

constexpr long ISO9660_MAGIC = 0x9660;
constexpr long UDF_MAGIC = 0x15013346;

}  // namespace

void SetMessageSink(TMessageSink sink) { Sink() = std::move(sink); }

void ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                 const QString& text) {
  if (Sink()) {
    Sink()(icon, title, text);
    return;
  }
  QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
  box.exec();
}

void SetQuestionSink(TQuestionSink sink) { QuestionSink() = std::move(sink); }

bool AskQuestion(QWidget* parent, const QString& title, const QString& text) {
  if (QuestionSink()) return QuestionSink()(title, text);
  QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

bool AskChoice(QWidget* parent, const QString& title, const QString& text, const QString& first,
               const QString& second) {
  if (QuestionSink()) return QuestionSink()(title, text);
  QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent);
  QPushButton* yes = box.addButton(first, QMessageBox::AcceptRole);
  QPushButton* no = box.addButton(second, QMessageBox::RejectRole);
  box.setDefaultButton(no);
  box.setEscapeButton(no);
  box.exec();
  return box.clickedButton() == yes;
}

QString ExceptionText(const QString& message) {
  if (!message.isEmpty() && message.back() > QChar('.')) return message + ".";
  return message;
}

void ShowException(const std::exception& error) {
  const bool engine = dynamic_cast<const FFmpegException*>(&error) != nullptr;
  ShowMessage(QApplication::activeWindow(),
              engine ? QMessageBox::Warning : QMessageBox::Critical, APP_TITLE,
              ExceptionText(QString::fromUtf8(error.what())));
}

bool IsCdRomFileSystem(long fsType, unsigned long mountFlags) {
  return fsType == ISO9660_MAGIC || fsType == UDF_MAGIC || (mountFlags & ST_RDONLY) != 0;
}

bool IsCdRomFolder(const QString& folder) {
  if (CdRomCheck()) return CdRomCheck()(folder);
  // The nearest existing folder tells the file system a new folder would be on.
  QString path = QDir::cleanPath(QFileInfo(folder.isEmpty() ? "." : folder).absoluteFilePath());
  while (!QFileInfo::exists(path) && path != "/") path = QFileInfo(path).absolutePath();
  const QByteArray native = QFile::encodeName(path);
  struct statfs fs;
  struct statvfs vfs;
  if (statfs(native.constData(), &fs) != 0 || statvfs(native.constData(), &vfs) != 0) return false;
  return IsCdRomFileSystem(static_cast<long>(fs.f_type), vfs.f_flag);
}

void SetCdRomCheck(TCdRomCheck check) { CdRomCheck() = std::move(check); }

QString ExeDir() { return QString::fromStdString(ExecutableDir()); }

bool ShellOpen(const QString& fileOrUrl) {
  const QUrl url = fileOrUrl.contains(':') && !fileOrUrl.startsWith('/')
                       ? QUrl(fileOrUrl)
                       : QUrl::fromLocalFile(fileOrUrl);
  if (UrlOpener()) return UrlOpener()(url);
  return QDesktopServices::openUrl(url);
}

void SetUrlOpener(TUrlOpener opener) { UrlOpener() = std::move(opener); }

bool HasAudioOutputDevice() {
  if (AudioDeviceCheck()) return AudioDeviceCheck()();
  return !QMediaDevices::audioOutputs().isEmpty();
}

void SetAudioDeviceCheck(TAudioDeviceCheck check) { AudioDeviceCheck() = std::move(check); }

QImage BitmapToImage(TBitmap& bitmap) {
  if (bitmap.GetWidth() <= 0 || bitmap.GetHeight() <= 0) return QImage();
  bitmap.Lock();
  const QImage view(bitmap.Bits(), bitmap.GetWidth(), bitmap.GetHeight(), bitmap.Stride(),
                    QImage::Format_BGR888);
  QImage copy = view.copy();
  bitmap.Unlock();
  return copy;
}

QColor ColorFromBGR(unsigned bgr) {
  return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                static_cast<int>((bgr >> 16) & 0xFF));
}

void FillPicture(QLabel* label, const QColor& color) {
  QPixmap fill(label->size());
  fill.fill(color);
  label->setPixmap(fill);
}

void ShowPicture(QLabel* label, const QImage& picture) {
  label->setPixmap(QPixmap::fromImage(
      picture.scaled(label->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}
