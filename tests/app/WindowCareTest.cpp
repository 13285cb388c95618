// The window's care for its user: skipped files named from the status line,
// a list that uses its room and remembers its columns and place, questions
// before a run is lost, a message instead of a silent no-op, a settings file
// that survives an install, and the Ogg formats explained.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QHeaderView>
#include <QMenu>
#include <QSettings>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "AppSupport.h"
#include "ConfigLocation.h"
#include "PlaybackPreview.h"
#include "SkippedFiles.h"
#include "WindowTest.h"

using namespace app_test;

namespace {

class WindowCare : public TWindowTest {
 protected:
  // The width the visible columns other than the name take.
  int OtherColumnsWidth() const {
    int width = 0;
    for (int i = 0; i < FILE_COLUMN_COUNT; ++i)
      if (i != fcName && !Window->lvFiles->isColumnHidden(i)) width += Window->lvFiles->columnWidth(i);
    return width;
  }
  // A folder of sources that cannot be converted to a sound format, beside one that can.
  std::string MixedFolder(const std::string& name) {
    const std::string folder = Dir.File(name);
    std::filesystem::create_directories(folder);
    CopyTo(Sine("app_a.wav", 1.0), folder, "good.wav");
    std::ofstream(folder + "/empty.wav").close();
    std::ofstream(folder + "/notes.txt") << "no sound here";
    EXPECT_TRUE(testing_support::MakeMedia("-f lavfi -i color=c=red:s=32x32 -frames:v 1",
                                           folder + "/picture.png"));
    return folder;
  }
};

// ---- Skipped files ----------------------------------------------------------------------

TEST_F(WindowCare, TheStatusLineLinksToTheSkippedFilesOfTheLastAddWithTheirReasons) {
  const std::string folder = MixedFolder("mixed");
  ASSERT_TRUE(AddAndWait(*Window, {Q(folder)}));
  EXPECT_EQ(Window->StatusText(), "已添加 1 个文件，跳过 3 个无法转换的文件；列表中共 1 个文件");
  EXPECT_TRUE(Window->lblStatus->text().contains("<a href=\"skipped\">跳过 3 个无法转换的文件</a>"))
      << Window->lblStatus->text().toStdString();
  emit Window->lblStatus->linkActivated("skipped");
  TfrmSkipped* shown = Window->SkippedWindow();
  ASSERT_NE(shown, nullptr);
  EXPECT_TRUE(shown->isVisible());
  ASSERT_EQ(shown->lvSkipped->topLevelItemCount(), 3);
  const struct {
    QString Name;
    QString Reason;
  } expected[] = {
      // In the window's language, the libraries' own words on a line below.
      {"empty.wav", "源文件是空的"},
      {"notes.txt", "无法识别源文件的格式"},
      {"picture.png", "图片"},
  };
  for (int row = 0; row < 3; ++row) {
    SCOPED_TRACE(row);
    const QTreeWidgetItem* item = shown->lvSkipped->topLevelItem(row);
    EXPECT_EQ(item->text(TfrmSkipped::scName), expected[row].Name);
    EXPECT_EQ(item->text(TfrmSkipped::scFolder), Q(folder));
    EXPECT_FALSE(item->text(TfrmSkipped::scReason).isEmpty());
    EXPECT_TRUE(item->text(TfrmSkipped::scReason).contains(expected[row].Reason))
        << item->text(TfrmSkipped::scReason).toStdString();
  }
  // The next add's skipped files replace them.
  const std::string other = Dir.File("other");
  std::filesystem::create_directories(other);
  std::ofstream(other + "/readme.txt") << "no sound either";
  TMessageCapture nothingToConvert;
  ASSERT_TRUE(AddAndWait(*Window, {Q(other)}));
  emit Window->lblStatus->linkActivated("skipped");
  ASSERT_EQ(shown->lvSkipped->topLevelItemCount(), 1);
  EXPECT_EQ(shown->lvSkipped->topLevelItem(0)->text(TfrmSkipped::scName), "readme.txt");
}

// ---- Columns and the window's place -------------------------------------------------------

TEST_F(WindowCare, TheNameColumnTakesTheFreeWidthAndTheFolderColumnIsShownFromTheHeaderMenu) {
  TfrmMain& w = *Window;
  ASSERT_TRUE(AddAndWait(w, {Q(Sine("app_a.wav", 1.0))}));
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  const int viewport = w.lvFiles->viewport()->width();
  EXPECT_EQ(w.lvFiles->columnWidth(fcName), viewport - OtherColumnsWidth());
  // A wide window: the list and its name column take the new width.
  w.resize(1600, w.height());
  ASSERT_TRUE(WaitFor([&w] { return w.centralWidget()->width() == 1600; }));
  EXPECT_EQ(w.lvFiles->viewport()->width(), viewport + 1600 - 615);
  EXPECT_EQ(w.lvFiles->columnWidth(fcName), w.lvFiles->viewport()->width() - OtherColumnsWidth());
  EXPECT_GT(w.lvFiles->columnWidth(fcName), 900);

  // The header's menu: every column, in the header's order, checked when shown.
  std::unique_ptr<QMenu> menu(w.ColumnMenu());
  QStringList items;
  QAction* folder = nullptr;
  for (QAction* item : menu->actions()) {
    items << item->text() + (item->isChecked() ? "+" : "-");
    if (item->text() == "文件夹") folder = item;
  }
  EXPECT_EQ(items, QStringList({"文件名称+", "文件夹-", "时间+", "大小+", "输出名称+", "进程+",
                                "转换时间+", "输出大小+"}));
  EXPECT_FALSE(menu->actions().front()->isEnabled());  // the name always shows
  ASSERT_NE(folder, nullptr);
  const int nameWidth = w.lvFiles->columnWidth(fcName);
  folder->trigger();
  EXPECT_FALSE(w.lvFiles->isColumnHidden(fcFolder));
  EXPECT_EQ(w.lvFiles->topLevelItem(0)->text(fcFolder), Q(Sine("app_a.wav", 1.0)).section('/', 0, -2));
  EXPECT_EQ(w.lvFiles->columnWidth(fcName), nameWidth - w.lvFiles->columnWidth(fcFolder));
}

TEST_F(WindowCare, ColumnsAndTheWindowsPlaceAreRememberedInTheSettingsFile) {
  {
    TfrmMain first(nullptr, Window->ConfigFile());
    first.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&first));
    first.resize(900, 500);
    ASSERT_TRUE(WaitFor([&first] { return first.width() == 900; }));
    first.lvFiles->header()->resizeSection(fcOutputName, 211);
    first.lvFiles->setColumnHidden(fcFolder, false);
    first.lvFiles->setColumnHidden(fcConvertedTime, true);
    first.close();
  }
  QSettings written(Window->ConfigFile(), QSettings::IniFormat);
  EXPECT_FALSE(written.value("FormConfig/geometry").toByteArray().isEmpty());
  EXPECT_FALSE(written.value("FormConfig/columns").toByteArray().isEmpty());
  {
    TfrmMain again(nullptr, Window->ConfigFile());
    again.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&again));
    EXPECT_EQ(again.size(), QSize(900, 500));
    EXPECT_EQ(again.lvFiles->columnWidth(fcOutputName), 211);
    EXPECT_FALSE(again.lvFiles->isColumnHidden(fcFolder));
    EXPECT_TRUE(again.lvFiles->isColumnHidden(fcConvertedTime));
    EXPECT_EQ(again.lvFiles->header()->sectionResizeMode(fcName), QHeaderView::Stretch);
    again.showMaximized();
    ASSERT_TRUE(WaitFor([&again] { return again.isMaximized(); }));
    again.close();
  }
  TfrmMain maximised(nullptr, Window->ConfigFile());
  maximised.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&maximised));
  EXPECT_TRUE(maximised.isMaximized());
}

// ---- Questions before a run is lost --------------------------------------------------------

TEST_F(WindowCare, ClearingOrClosingDuringARunAsksAndNothingElseDoes) {
  const std::string longer = Sine("app_long.wav", 30.0, 44100, 2);
  const struct {
    bool Close;  // else clear
    bool Stop;   // the answer: stop, or keep converting
  } cases[] = {{false, false}, {false, true}, {true, false}, {true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Close ? "close" : "clear") + (c.Stop ? ", stop" : ", keep"));
    Window = std::make_unique<TfrmMain>(nullptr, Q(Dir.File("Config.ini")));
    Window->show();  // reads the settings file: the choices after it
    Window->SetOutputFolder(Q(Out));
    Window->RadioGroup1->SetItemIndex(1);  // MP3: long enough to be held
    ASSERT_TRUE(AddAndWait(*Window, {Q(longer)}));
    HoldAtFirstProgressOf(longer);
    Window->Convert();
    // Something is being written under its temporary name, and held there.
    ASSERT_TRUE(WaitFor([this] { return PartFiles(Out) > 0 && !Row(0)->text(fcProgress).isEmpty(); }));
    {
      TQuestionCapture answer(c.Stop);
      c.Close ? (void)Window->close() : Window->ClearList();
      ASSERT_EQ(answer.Texts.size(), 1);
      EXPECT_TRUE(answer.Texts[0].startsWith("正在转换。")) << answer.Texts[0].toStdString();
    }
    if (!c.Stop) {
      // Nothing was lost: the run and its list go on.
      EXPECT_TRUE(Window->Converting());
      EXPECT_EQ(Window->lvFiles->topLevelItemCount(), 1);
      EXPECT_TRUE(Window->isVisible());
      Window->StopBatch();
      ASSERT_TRUE(WaitFor([this] { return !Window->Converting(); }));
    } else {
      EXPECT_EQ(Window->isVisible(), !c.Close);
      if (!c.Close) {
        EXPECT_EQ(Window->lvFiles->topLevelItemCount(), 0);
      }
      ASSERT_TRUE(WaitFor([this] { return !Window->Converting(); }));
      EXPECT_EQ(PartFiles(Out), 0);
    }
    // After the run: no question.
    TQuestionCapture none(false);
    c.Close ? Window->ClearList() : (void)Window->close();
    EXPECT_TRUE(none.Texts.isEmpty());
  }
}

// ---- No silent no-ops ---------------------------------------------------------------------

TEST_F(WindowCare, HelpWithoutABrowserSaysWhereTheHelpFileIs) {
  const struct {
    bool Opens;
    bool Told;
  } cases[] = {{true, false}, {false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Opens);
    QList<QUrl> asked;
    SetUrlOpener([&asked, &c](const QUrl& url) {
      asked << url;
      return c.Opens;
    });
    TMessageCapture told;
    Window->mnuHelpFile->trigger();
    SetUrlOpener(nullptr);
    ASSERT_EQ(asked.size(), 1);
    EXPECT_TRUE(asked[0].toLocalFile().endsWith("/Help.html"));
    ASSERT_EQ(told.Boxes.size(), c.Told ? 1u : 0u);
    if (c.Told) {
      EXPECT_TRUE(told.Boxes[0].Text.contains(asked[0].toLocalFile()));
    }
  }
}

TEST_F(WindowCare, PlayingWithoutASoundDeviceOrAPlayableFileSaysSo) {
  ASSERT_TRUE(AddAndWait(*Window, {Q(Sine("app_a.wav", 1.0))}));
  Window->lvFiles->setCurrentItem(Row(0));
  for (const bool device : {true, false}) {
    SCOPED_TRACE(device);
    SetAudioDeviceCheck([device] { return device; });
    TMessageCapture told;
    Window->Play();
    SetAudioDeviceCheck(nullptr);
    ASSERT_EQ(told.Boxes.size(), device ? 0u : 1u);
    if (!device) {
      EXPECT_TRUE(told.Boxes[0].Text.contains("没有找到声音输出设备"));
    }
    Window->Playback()->Pause();
  }
  TMessageCapture told;
  emit Window->Playback()->Failed("Could not open file");
  ASSERT_EQ(told.Boxes.size(), 1u);
  EXPECT_TRUE(told.Boxes[0].Text.contains("Could not open file"));
  Window->Playback()->Clear();
}

TEST_F(WindowCare, ConvertingAnEmptyListPointsAtTheAddButton) {
  ASSERT_TRUE(ShowActive(*Window));
  Window->lvFiles->setFocus();
  TMessageCapture told;
  TQuestionCapture notAsked(false);  // nothing to convert again either
  Window->btnStart->click();
  EXPECT_TRUE(notAsked.Texts.isEmpty());
  ASSERT_EQ(told.Boxes.size(), 1u);
  EXPECT_EQ(told.Boxes[0].Text, "列表中没有文件。请先按“添加”添加要转换的文件。");
  EXPECT_TRUE(Window->btnAdd->hasFocus());
  EXPECT_FALSE(Window->Converting());
}

// ---- The settings file's place ------------------------------------------------------------

TEST(ConfigLocation, TheUsersFileFirstThenBesideTheProgramWhileItTakesWrites) {
  const struct {
    bool UserFile, Writable;
    TConfigPlace Place;
  } cases[] = {
      {false, true, cpBesideProgram},
      {false, false, cpUserFolder},
      {true, true, cpUserFolder},
      {true, false, cpUserFolder},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ChooseConfigPlace(c.UserFile, c.Writable), c.Place) << c.UserFile << c.Writable;
}

TEST(ConfigLocation, AReadOnlyProgramFolderSendsTheSettingsToTheUsersFolder) {
  testing_support::TTempDir dir;
  const QString program = Q(dir.File("program")), user = Q(dir.File("user"));
  std::filesystem::create_directories(dir.File("program"));
  // A writable program folder keeps the file beside the program.
  EXPECT_EQ(ConfigFileFor(program, user), program + "/Config.ini");
  // A file in the user's folder is read first.
  std::filesystem::create_directories(dir.File("user"));
  std::ofstream(dir.File("user/Config.ini")) << "[FormConfig]\nformat=MP3\n";
  EXPECT_EQ(ConfigFileFor(program, user), user + "/Config.ini");
  std::filesystem::remove(dir.File("user/Config.ini"));

  if (geteuid() == 0) GTEST_SKIP() << "root writes into a read-only folder";
  std::ofstream(dir.File("program/Config.ini")) << "[FormConfig]\nformat=AAC\n";
  chmod(dir.File("program/Config.ini").c_str(), 0444);
  chmod(dir.File("program").c_str(), 0555);
  const QString chosen = ConfigFileFor(program, user);
  chmod(dir.File("program").c_str(), 0755);
  EXPECT_EQ(chosen, user + "/Config.ini");
  // The settings shipped beside the program come along, and the copy takes writes.
  QSettings settings(chosen, QSettings::IniFormat);
  EXPECT_EQ(settings.value("FormConfig/format").toString(), "AAC");
  EXPECT_TRUE(QFileInfo(chosen).isWritable());
}

// ---- Formats -----------------------------------------------------------------------------

TEST_F(WindowCare, TheOggFormatsSayWhatTheyHold) {
  QRadioButton* ogg = Window->RadioGroup1->Button(5);
  EXPECT_EQ(ogg->text(), "OGG");
  EXPECT_TRUE(ogg->toolTip().contains("FLAC")) << ogg->toolTip().toStdString();
  const int vorbis = Window->cboMoreFormats->findText("VORBIS");
  ASSERT_GT(vorbis, 0);
  const QString tip = Window->cboMoreFormats->itemData(vorbis, Qt::ToolTipRole).toString();
  EXPECT_TRUE(tip.contains("Vorbis")) << tip.toStdString();
  EXPECT_TRUE(tip.startsWith("有损")) << tip.toStdString();
}

}  // namespace
