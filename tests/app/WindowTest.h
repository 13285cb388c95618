// The fixture of the window tests that convert: a main window with its own
// settings file and an empty output folder "out" chosen.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
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

  testing_support::TTempDir Dir;
  std::string Out;
  std::unique_ptr<TfrmMain> Window;
};

}  // namespace app_test
