// quellon: the desktop batch audio converter.
#include <cfenv>
#include <cstdio>
#include <cstdlib>

#include <QFileInfo>
#include <QTimer>

#include "Application.h"
#include "Language.h"
#include "MainFrm.h"

namespace {

bool HasDisplay() {
  const auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
  };
  return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char** argv) {
  if (!HasDisplay()) {
    std::fprintf(stderr,
                 "quellon: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                 "convert from a terminal with quellon-cli instead.\n");
    return 2;
  }
  // Floating-point exceptions stay masked, as the media libraries expect.
  std::fenv_t saved;
  std::feholdexcept(&saved);
  TApplication app(argc, argv);
  // The language is chosen before any window is made: the texts are read
  // as the controls are built.
  InstallLanguage(StartupLanguage(DefaultConfigFile()));
  TfrmMain window;
  window.show();
  // Files and folders named on the command line are added as the add
  // command adds them; a name that is neither gets a row that says why.
  QStringList files;
  for (const QString& name : QCoreApplication::arguments().mid(1))
    files << QFileInfo(name).absoluteFilePath();
  if (!files.isEmpty()) QTimer::singleShot(0, &window, [&window, files] { window.AddFiles(files); });
  return app.exec();
}
