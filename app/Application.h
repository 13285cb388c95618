// TApplication: the Qt application with the program's exception handler: an
// exception that escapes an event handler is shown in a message box (see
// ShowException) and the event loop goes on. It also picks the media
// framework's decoding back end for the playback preview, registers the
// preview window of running conversions, and loads Qt's own Chinese texts
// (its dialogs, standard buttons and context menus) when the system has them
// (Debian: qt6-translations-l10n).
#pragma once
#include <QApplication>

class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};
