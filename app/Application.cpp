#include "Application.h"

#include <stdexcept>

#include "AppSupport.h"
#include "PreviewWindow.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName("quellon");
  // The playback preview decodes with the media libraries the converter uses,
  // so every file the converter reads also plays; the media framework reads
  // this before its first player is made.
  if (qEnvironmentVariableIsEmpty("QT_MEDIA_BACKEND")) qputenv("QT_MEDIA_BACKEND", "ffmpeg");
  // Conversions that preview in a window show it with this application.
  RegisterQtPreviewWindow();
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ShowException(error);
  } catch (...) {
    ShowException(std::runtime_error("Unknown error"));
  }
  return false;
}
