// Adds many files (or folders) to the main window on the offscreen platform
// and reports how long until the first and every row is there, the longest
// time the event loop was kept from running (measured by a 5 ms timer) and
// the process's peak resident memory (a second after the rows are all there,
// so that what the window does after them counts too). With -v it also prints, once a second,
// the rows listed so far, and every block longer than 100 ms.
//   bench_window_add [-v] FILE-OR-FOLDER...
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "MainFrm.h"

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QStringList files;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-v") == 0)
      verbose = true;
    else
      files << QString::fromLocal8Bit(argv[i]);
  }
  TfrmMain window;
  window.show();
  QElapsedTimer clock, sinceTick;
  qint64 longest = 0, firstRow = -1, lastReport = 0;
  const auto rows = [&window] { return window.lvFiles->topLevelItemCount(); };
  QTimer ticker;
  ticker.setInterval(5);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    const qint64 blocked = sinceTick.restart();
    longest = std::max(longest, blocked);
    if (firstRow < 0 && rows() > 0) firstRow = clock.elapsed();
    if (!verbose) return;
    if (blocked > 100)
      std::printf("  %6.2f s: blocked %lld ms, %d rows\n", clock.elapsed() / 1000.0,
                  static_cast<long long>(blocked), rows());
    if (clock.elapsed() - lastReport >= 1000) {
      lastReport = clock.elapsed();
      std::printf("  %6.2f s: %d rows\n", lastReport / 1000.0, rows());
    }
  });
  clock.start();
  sinceTick.start();
  ticker.start();
  window.AddFiles(files);  // the call itself counts as blocking too
  longest = std::max(longest, sinceTick.elapsed());
  if (verbose)
    std::printf("  the add call took %lld ms\n", static_cast<long long>(sinceTick.elapsed()));
  QTimer done;
  done.setInterval(10);
  qint64 allRows = -1;
  QObject::connect(&done, &QTimer::timeout, [&] {
    if (window.Checking()) {
      allRows = -1;
      return;
    }
    // What the window does once the rows are there counts too: the report
    // waits a turn more, and a second for the output names to be worked out.
    if (allRows < 0) allRows = clock.elapsed();
    if (clock.elapsed() - allRows < 1000) return;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("given %d rows %d first row after %.2f s all rows after %.2f s longest block %lld ms "
                "peak memory %.0f MB\n",
                static_cast<int>(files.size()), rows(), firstRow / 1000.0, allRows / 1000.0,
                static_cast<long long>(longest), usage.ru_maxrss / 1024.0);
    app.quit();
  });
  done.start();
  return app.exec();
}
