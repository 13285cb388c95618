#include "AppTestSupport.h"

#include "MainFrm.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QThread>
#include <filesystem>

#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include "AppSupport.h"
#include "DesktopNotifier.h"

namespace app_test {

bool AddAndWait(TfrmMain& window, const QStringList& files) {
  window.AddFiles(files);
  return WaitFor([&window] { return !window.Checking(); });
}

bool WaitFor(const std::function<bool()>& done, int limitMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > limitMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return true;
}

std::string Sine(const std::string& name, double seconds, int rate, int channels) {
  return testing_support::Fixture(
      name, "-f lavfi -i sine=frequency=440:sample_rate=" + std::to_string(rate) +
                ":duration=" + std::to_string(seconds) + " -ac " + std::to_string(channels));
}

std::string CopyTo(const std::string& file, const std::string& dir, const std::string& name) {
  const std::string target = dir + "/" + name;
  std::filesystem::copy_file(file, target, std::filesystem::copy_options::overwrite_existing);
  return target;
}

void GuardAgainstUnexpectedBoxes() {
  SetMessageSink([](QMessageBox::Icon, const QString&, const QString& text) {
    ADD_FAILURE() << "unexpected message box: " << text.toStdString();
  });
  SetQuestionSink([](const QString&, const QString& text) {
    ADD_FAILURE() << "unexpected question: " << text.toStdString();
    return false;
  });
}

TMessageCapture::TMessageCapture() {
  SetMessageSink([this](QMessageBox::Icon icon, const QString& title, const QString& text) {
    Boxes.push_back({icon, title, text});
  });
}

TMessageCapture::~TMessageCapture() { GuardAgainstUnexpectedBoxes(); }

TQuestionCapture::TQuestionCapture(bool answer) {
  SetQuestionSink([this, answer](const QString&, const QString& text) {
    Texts << text;
    return answer;
  });
}

TQuestionCapture::~TQuestionCapture() { GuardAgainstUnexpectedBoxes(); }

TNotificationCapture::TNotificationCapture() {
  SetNotificationSink(
      [this](const QString& title, const QString& text) { Texts << title + ": " + text; });
}

TNotificationCapture::~TNotificationCapture() { SetNotificationSink(nullptr); }

bool ShowActive(QWidget& window) {
  window.show();
  window.activateWindow();
  return QTest::qWaitForWindowActive(&window);
}

TUrlCapture::TUrlCapture(const QString& scheme) : Scheme(scheme) {
  QDesktopServices::setUrlHandler(scheme, this, "Open");
}

TUrlCapture::~TUrlCapture() { QDesktopServices::unsetUrlHandler(Scheme); }

void TUrlCapture::Open(const QUrl& url) { Urls << url; }

QString Q(const std::string& text) { return QString::fromStdString(text); }

int PartFiles(const std::string& folder) {
  int count = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name[0] == '.' && entry.path().extension() == ".part") ++count;
  }
  return count;
}

}  // namespace app_test
