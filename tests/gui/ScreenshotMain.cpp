// Screenshot driver.
//   quellon_screenshot OUT.png OUTDIR FILE...
//     shows the main window, adds the files, converts them to MP3 into the
//     output folder, waits for the run to end and saves a picture of the window;
//   quellon_screenshot --midrun OUT.png OUTDIR FILE...
//     the same, one file at a time, the picture taken while the run goes on
//     once a file is done (the status line counting);
//   quellon_screenshot --maximised OUT.png OUTDIR FILE...
//     the same in a maximised window (the whole screen);
//   quellon_screenshot --options OUT.png
//     the options dialog on its hook page, with hook boxes ticked;
//   quellon_screenshot --preview OUT.png OUTDIR VIDEO
//     the main window with the preview window of a running conversion of VIDEO
//     on top (the whole screen).
#include <QAbstractButton>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <cstdio>

#include "Application.h"
#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "Language.h"
#include "MainFrm.h"
#include "OptionFrm.h"
#include "PreviewWindow.h"

namespace {

void Settle(int rounds = 20) {
  for (int i = 0; i < rounds; ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(10);
  }
}

// The pixels of the X server when there is one, else the widget's own rendering.
QPixmap Grab(QWidget* widget, bool wholeScreen) {
  QPixmap shot;
  if (QScreen* screen = widget->screen()) {
    const QRect frame = wholeScreen ? screen->geometry() : widget->frameGeometry();
    shot = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
  }
  if (shot.isNull()) shot = widget->grab();
  return shot;
}

int Save(const QPixmap& shot, const char* path) {
  if (!shot.save(QString::fromLocal8Bit(path), "PNG")) {
    std::fprintf(stderr, "cannot save %s\n", path);
    return 1;
  }
  std::printf("%s: %d x %d\n", path, shot.width(), shot.height());
  return 0;
}

int OptionsShot(const char* path) {
  TfrmOption dialog;
  dialog.show();
  if (auto* tabs = dialog.findChild<QTabWidget*>()) tabs->setCurrentIndex(tabs->count() - 1);
  for (QAbstractButton* box : {static_cast<QAbstractButton*>(dialog.chkImlib2Img),
                               static_cast<QAbstractButton*>(dialog.chkImgDancing),
                               static_cast<QAbstractButton*>(dialog.chkWaterMark),
                               static_cast<QAbstractButton*>(dialog.chkPaintHookTxt)})
    if (box->isEnabled()) box->click();
  Settle();
  const int result = Save(Grab(&dialog, false), path);
  if (!dialog.chkImlib2Img->isEnabled()) {
    std::fprintf(stderr, "the hook boxes are disabled: no hook libraries beside the program\n");
    return 1;
  }
  return result;
}

TfrmPreview* PreviewShown() {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* window = qobject_cast<TfrmPreview*>(widget); window && window->isVisible())
      return window;
  return nullptr;
}

int PreviewShot(const char* path, const QString& folder, const char* video) {
  QDir().mkpath(folder);
  TfrmMain window(nullptr, folder + "/Config.ini");
  window.show();
  window.SetOutputFolder(folder);
  FFmpegLoader().SetLibraryPath(DefaultLibraryDir());
  if (!FFmpegLoader().LoadLibraries(ENGINE_LIBRARIES)) {
    std::fprintf(stderr, "the media libraries cannot be loaded\n");
    return 1;
  }
  TCustomFFmpeg engine;
  engine.Reset();
  engine.Sync.RateEmu = true;
  engine.SetPreviewFlags(1);
  if (!engine.OpenInputFile(video)) return std::fprintf(stderr, "%s\n", engine.LastError.c_str()), 1;
  engine.SetOption("vcodec", "mpeg4");
  if (!engine.OpenOutputFile((folder + "/preview.avi").toStdString()))
    return std::fprintf(stderr, "%s\n", engine.LastError.c_str()), 1;
  if (TFFmpegThread* worker = engine.Start(true)) worker->Start();
  QElapsedTimer clock;
  clock.start();
  while (!PreviewShown() && clock.elapsed() < 60000) Settle(1);
  Settle(100);  // a second of pictures
  TfrmPreview* preview = PreviewShown();
  if (!preview) {
    std::fprintf(stderr, "no preview window appeared\n");
    return 1;
  }
  std::printf("preview caption: %s\n", preview->windowTitle().toUtf8().constData());
  const int result = Save(Grab(&window, true), path);
  engine.Stop();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "--options" && argc == 3) {
    TApplication app(argc, argv);
    return OptionsShot(argv[2]);
  }
  if (mode == "--preview" && argc == 5) {
    TApplication app(argc, argv);
    return PreviewShot(argv[2], QString::fromLocal8Bit(argv[3]), argv[4]);
  }
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s OUT.png OUTDIR FILE... | --options OUT.png | "
                         "--preview OUT.png OUTDIR VIDEO\n", argv[0]);
    return 2;
  }
  // --midrun: the picture is taken while the run goes on, once a file is done.
  const bool midRun = mode == "--midrun";
  const bool maximised = mode == "--maximised";
  if (midRun || maximised) {
    --argc;
    ++argv;
  }
  TApplication app(argc, argv);
  const QString picture = QString::fromLocal8Bit(argv[1]);
  const QString folder = QString::fromLocal8Bit(argv[2]);
  QStringList files;
  for (int i = 3; i < argc; ++i) files << QString::fromLocal8Bit(argv[i]);
  QDir().mkpath(folder);
  // The window's language as the program picks it: its settings file, else
  // the system's locale (LANGUAGE, LC_ALL, LC_MESSAGES, LANG).
  InstallLanguage(StartupLanguage(folder + "/Config.ini"));

  TfrmMain window(nullptr, folder + "/Config.ini");
  if (maximised) {
    window.showMaximized();
    Settle();
    // A bare X server has no window manager to maximise: the whole screen by hand.
    if (!window.isMaximized() || window.width() < window.screen()->availableGeometry().width())
      window.setGeometry(window.screen()->availableGeometry());
  } else {
    window.show();
    window.resize(760, 420);  // larger than the default: the list takes the room
  }
  window.SetOutputFolder(folder);
  window.RadioGroup1->SetItemIndex(1);  // MP3
  if (midRun) window.SetParallelJobs(1);
  window.AddFiles(files);
  window.Convert();
  QElapsedTimer clock;
  clock.start();
  auto rowDone = [&window] {
    for (int i = 0; i < window.lvFiles->topLevelItemCount(); ++i)
      if (window.lvFiles->topLevelItem(i)->text(fcProgress) == "100%") return true;
    return false;
  };
  auto busy = [&window] { return window.Converting() || window.Checking(); };
  while (busy() && !(midRun && rowDone()) && clock.elapsed() < 120000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QThread::msleep(10);
  }
  if (midRun) Settle(50);  // half a second more of progress
  if (!midRun && window.lvFiles->topLevelItemCount() > 0)
    window.lvFiles->setCurrentItem(window.lvFiles->topLevelItem(0));
  Settle();
  const QString status = window.StatusText();
  const int result = Save(Grab(&window, false), argv[1]);
  std::printf("status line: %s\n", status.toUtf8().constData());
  const bool running = window.Converting();
  window.StopBatch();
  while (busy() && clock.elapsed() < 150000) Settle(1);
  window.close();
  if (result != 0) return result;
  return midRun != running ? 1 : 0;
}
