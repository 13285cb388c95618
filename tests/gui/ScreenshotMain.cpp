// Screenshot driver: shows the main window, adds the given files, converts
// them to MP3 into the output folder, waits for the run to end and saves a
// picture of the window. Usage: quellon_screenshot OUT.png OUTDIR FILE...
#include <QDir>
#include <QElapsedTimer>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <cstdio>

#include "Application.h"
#include "MainFrm.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s OUT.png OUTDIR FILE...\n", argv[0]);
    return 2;
  }
  TApplication app(argc, argv);
  const QString picture = QString::fromLocal8Bit(argv[1]);
  const QString folder = QString::fromLocal8Bit(argv[2]);
  QStringList files;
  for (int i = 3; i < argc; ++i) files << QString::fromLocal8Bit(argv[i]);
  QDir().mkpath(folder);

  TfrmMain window(nullptr, folder + "/Config.ini");
  window.show();
  window.SetOutputFolder(folder);
  window.RadioGroup1->SetItemIndex(1);  // MP3
  window.AddFiles(files);
  window.Convert();
  QElapsedTimer clock;
  clock.start();
  while (window.Converting() && clock.elapsed() < 120000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QThread::msleep(10);
  }
  if (window.lvFiles->topLevelItemCount() > 0)
    window.lvFiles->setCurrentItem(window.lvFiles->topLevelItem(0));
  for (int i = 0; i < 20; ++i) {  // let the window paint
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(10);
  }
  // The pixels of the X server when there is one, else the window's own rendering.
  QPixmap shot;
  if (QScreen* screen = window.screen()) {
    const QRect frame = window.frameGeometry();
    shot = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
  }
  if (shot.isNull()) shot = window.grab();
  const bool saved = shot.save(picture, "PNG");
  window.close();
  if (!saved) {
    std::fprintf(stderr, "cannot save %s\n", argv[1]);
    return 1;
  }
  std::printf("%s: %d x %d, %d rows\n", argv[1], shot.width(), shot.height(),
              window.lvFiles->topLevelItemCount());
  return window.Converting() ? 1 : 0;
}
