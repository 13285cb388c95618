// The GUI tests run inside one QApplication on the offscreen platform.
#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "Application.h"
#include "Language.h"

// Sanitizer builds: Qt, its media plugin, fontconfig and the desktop libraries
// keep caches for the life of the process; only leaks of our own frames are
// reported. Full stacks are needed to tell whose an allocation made through
// the media libraries is.
extern "C" __attribute__((used, visibility("default"))) const char* __asan_default_options() {
  return "fast_unwind_on_malloc=0";
}
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libQt6\n"
         "leak:libffmpegmediaplugin\n"
         "leak:libfontconfig\n"
         "leak:libglib\n"
         "leak:libgobject\n"
         "leak:libdbus\n";
}

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  TApplication app(argc, argv);
  // The tests read the window's Chinese texts whatever the machine's locale;
  // the language tests switch it themselves and switch it back.
  InstallLanguage(laChinese);
  ::testing::InitGoogleTest(&argc, argv);
  app_test::GuardAgainstUnexpectedBoxes();
  return RUN_ALL_TESTS();
}
