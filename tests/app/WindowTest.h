// The fixture of the window tests that convert: a main window with its own
// settings file and an empty output folder "out" chosen.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "AppTestSupport.h"
#include "MainFrm.h"

namespace app_test {

class TWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Window = std::make_unique<TfrmMain>(nullptr, Q(Dir.File("Config.ini")));
    Out = Dir.File("out");
    std::filesystem::create_directories(Out);
    Window->SetOutputFolder(Q(Out));
  }
  void TearDown() override { Window.reset(); }

  QTreeWidgetItem* Row(int row) const { return Window->lvFiles->topLevelItem(row); }
  // Holds the run (as "暂停" does) when the task of source first reports
  // progress: from then on it cannot end before the test says so. The
  // window learns of it from the test (PauseBatch).
  void HoldAtFirstProgressOf(const std::string& source) {
    TREzuvuZUZ& pelix = *Window->Converter();
    pelix.SetProgressInterval(100);
    auto shown = pelix.OnProgress;
    auto held = std::make_shared<bool>(false);
    pelix.OnProgress = [&pelix, shown, source, held](int index, int frames, int fps, int ms,
                                                     float q, float rate, int64_t size, int total) {
      // Inside the component's lock: the task list holds still.
      if (!*held && pelix.Task(index) && pelix.Task(index)->SourceName == source) {
        *held = true;
        pelix.Pause();
      }
      shown(index, frames, fps, ms, q, rate, size, total);
    };
  }
  // The output a row names (its whole path, the output-name column's tooltip).
  std::string Output(int row) const { return Row(row)->toolTip(fcOutputName).toStdString(); }
  // The sources of the rows, in row order (the name column's tooltips).
  QStringList Sources() const {
    QStringList sources;
    for (int i = 0; i < Window->lvFiles->topLevelItemCount(); ++i)
      sources << Row(i)->toolTip(fcName);
    return sources;
  }

  // Every file below folder, relative to it.
  static std::set<std::string> FilesBelow(const std::string& folder) {
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
      if (entry.is_regular_file())
        files.insert(std::filesystem::relative(entry.path(), folder).string());
    return files;
  }

  testing_support::TTempDir Dir;
  std::string Out;
  std::unique_ptr<TfrmMain> Window;
};

}  // namespace app_test
