// TApplication: the Qt application with the program's exception handler: an
// exception that escapes an event handler is shown in a message box (see
// ShowException) and the event loop goes on. It also picks the media
// framework's decoding back end for the playback preview and registers the
// preview window of running conversions. The window's language (and Qt's own
// texts with it) is installed by the caller (Language.h).
#pragma once
#include <QApplication>

class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};
