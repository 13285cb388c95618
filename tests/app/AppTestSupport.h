// Helpers of the GUI tests: waiting on the event loop, generated sources,
// capturing message boxes and desktop "open" requests.
#pragma once
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "TestSupport.h"

class TfrmMain;

// Failures show texts as text.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace app_test {

// Runs the event loop until done() holds; false when it did not within the
// limit (a guard against hangs, not a timing check).
bool WaitFor(const std::function<bool()>& done, int limitMs = 60000);

// Adds files as the add command does and waits until their rows are made.
bool AddAndWait(TfrmMain& window, const QStringList& files);

// A WAV source of the given length, rate and channels, kept between runs.
std::string Sine(const std::string& name, double seconds, int rate = 22050, int channels = 1);
// A copy of a fixture in a folder of the test, so the test may change it.
std::string CopyTo(const std::string& file, const std::string& dir, const std::string& name);
// Entries of a folder and below whose names start with a dot and end in
// ".part": what a conversion writes before its output is finished.
int PartFiles(const std::string& folder);

// Outside the captures below, a message box or question that a test did not
// expect fails it (and is answered No) instead of waiting for a click that
// never comes. AppTestMain installs the guard.
void GuardAgainstUnexpectedBoxes();

// Collects the message boxes shown while it lives (nothing is shown).
class TMessageCapture {
 public:
  TMessageCapture();
  ~TMessageCapture();
  struct TBox {
    QMessageBox::Icon Icon;
    QString Title;
    QString Text;
  };
  std::vector<TBox> Boxes;
};

// Answers the questions asked while it lives with answer, and keeps them.
class TQuestionCapture {
 public:
  explicit TQuestionCapture(bool answer);
  ~TQuestionCapture();
  QStringList Texts;
};

// Collects the desktop notifications asked for while it lives.
class TNotificationCapture {
 public:
  TNotificationCapture();
  ~TNotificationCapture();
  QStringList Texts;  // "title: text"
};

// Shows the window and makes it the active one, as a user's click does
// (window shortcuts act only in the active window).
bool ShowActive(QWidget& window);

// Collects the URLs the application asks the desktop to open, for a scheme.
class TUrlCapture : public QObject {
  Q_OBJECT
 public:
  explicit TUrlCapture(const QString& scheme);
  ~TUrlCapture() override;
  QList<QUrl> Urls;
 public slots:
  void Open(const QUrl& url);

 private:
  QString Scheme;
};

QString Q(const std::string& text);

}  // namespace app_test
