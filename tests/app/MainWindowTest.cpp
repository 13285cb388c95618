// The main window without converting: its face, the list commands, the
// settings file, drops and how component events reach the rows.
#include <gtest/gtest.h>

#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QAudioDevice>
#include <QMediaDevices>
#include <QMenuBar>
#include <QMimeData>
#include <QSettings>
#include <QTest>
#include <thread>

#include "AppTestSupport.h"
#include "MainFrm.h"
#include "OptionFrm.h"
#include "PlaybackPreview.h"

using namespace app_test;
using testing_support::TTempDir;

namespace {

// Whether a thread of this process carries the given name.
bool ThreadRuns(const QString& name) {
  const QDir tasks("/proc/self/task");
  for (const QString& id : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    QFile comm(tasks.filePath(id + "/comm"));
    if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name.toUtf8()) return true;
  }
  return false;
}

class MainWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    Window = std::make_unique<TfrmMain>(nullptr, Q(Dir.File("Config.ini")));
    A = Sine("app_a.wav", 1.5);
    B = Sine("app_b.wav", 1.0);
    C = Sine("app_c.wav", 1.2);
    ASSERT_FALSE(A.empty());
  }
  void TearDown() override { Window.reset(); }

  QStringList RowNames() const {
    QStringList names;
    for (int i = 0; i < Window->lvFiles->topLevelItemCount(); ++i)
      names << Window->lvFiles->topLevelItem(i)->text(fcName);
    return names;
  }
  void Select(int row) { Window->lvFiles->setCurrentItem(Window->lvFiles->topLevelItem(row)); }

  TTempDir Dir;
  std::unique_ptr<TfrmMain> Window;
  std::string A, B, C;
};

TEST_F(MainWindow, ShowsTheDescribedControls) {
  TfrmMain& w = *Window;
  EXPECT_EQ(w.windowTitle(), "Quellon V1.20");
  EXPECT_EQ(w.centralWidget()->size(), QSize(615, 319));
  const QStringList captions = {"文件名称", "时间", "大小", "输出名称", "进程", "转换时间", "输出大小"};
  const int widths[] = {100, 65, 65, 120, 80, 80, 65};
  for (int i = 0; i < FILE_COLUMN_COUNT; ++i) {
    EXPECT_EQ(w.lvFiles->headerItem()->text(i), captions[i]);
    EXPECT_EQ(w.lvFiles->columnWidth(i), widths[i]);
  }
  ASSERT_EQ(w.RadioGroup1->Count(), 6);
  EXPECT_EQ(w.RadioGroup1->ItemText(), "WAV");
  EXPECT_EQ(w.btnStart->text(), "转换");
  EXPECT_EQ(w.btnStart->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);

  QStringList menus;
  for (QAction* menu : w.menuBar()->actions()) {
    menus << menu->text();
    for (QAction* item : menu->menu()->actions()) menus << (item->isSeparator() ? "-" : item->text());
  }
  EXPECT_EQ(menus, QStringList({"文件", "添加文件", "删除", "清空", "-", "退出", "帮助", "关于我们",
                                "帮助文件"}));
  QStringList actions;
  for (QAction* item : w.mnuAction->actions()) actions << item->text();
  EXPECT_EQ(actions, QStringList({"转换", "暂停", "继续", "停止"}));

  // Hidden controls and their values.
  w.show();
  for (QWidget* hidden : {static_cast<QWidget*>(w.chkThreadMode), static_cast<QWidget*>(w.memLog),
                          static_cast<QWidget*>(w.grpLogLevel), static_cast<QWidget*>(w.pnlPreview)})
    EXPECT_FALSE(hidden->isVisible());
  EXPECT_TRUE(w.chkThreadMode->isChecked());
  EXPECT_EQ(w.edtThreadCount->text(), "1");
  EXPECT_EQ(w.grpLogLevel->ItemText(), "Info");
  EXPECT_EQ(w.grpPriority->ItemText(), "Lower");
  EXPECT_EQ(w.LogLines().first(),
            "* Load VerNum DLL means \"avcodec-51.dll\" rather than \"avcodec.dll\"");
  EXPECT_FALSE(w.btnRemove->isEnabled());
  EXPECT_FALSE(w.btnClear->isEnabled());
}

TEST_F(MainWindow, AddFillsRowsAndSelectsTheFirst) {
  Window->SetOutputFolder(Q(Dir.Path()));
  Window->RadioGroup1->SetItemIndex(1);  // MP3
  ASSERT_TRUE(AddAndWait(*Window, {Q(A), Q(B)}));
  ASSERT_EQ(Window->lvFiles->topLevelItemCount(), 2);
  QTreeWidgetItem* row = Window->lvFiles->topLevelItem(0);
  EXPECT_EQ(row->text(fcName), "app_a.wav");
  EXPECT_EQ(row->text(fcDuration), "1");
  EXPECT_EQ(row->text(fcSize), QString::number(QFile(Q(A)).size()));
  // The name the conversion will write: the window's folder and format.
  EXPECT_EQ(row->text(fcOutputName), "app_a_(new).mp3");
  EXPECT_TRUE(row->text(fcProgress).isEmpty());
  EXPECT_EQ(Window->lvFiles->currentItem(), row);
  EXPECT_EQ(Window->Converter()->TaskCount(), 2);
  EXPECT_EQ(Window->SourceFiles, QStringList({Q(A), Q(B)}));
  EXPECT_EQ(Window->CutStarts, QStringList({"0", "0"}));
  EXPECT_TRUE(Window->btnRemove->isEnabled());
  EXPECT_TRUE(Window->btnClear->isEnabled());
  EXPECT_TRUE(Window->LogLines().contains("***File has been added to convert list."));
}

TEST_F(MainWindow, FilesThatCannotBeAddedGetAFailedRowWithTheReason) {
  const std::string junk = Dir.File("junk.mp3"), empty = Dir.File("empty.wav");
  ASSERT_TRUE(testing_support::WriteJunk(junk, 4000));
  QFile(Q(empty)).open(QIODevice::WriteOnly);
  ASSERT_TRUE(AddAndWait(*Window, {Q(junk), Q(A), Q(empty)}));
  EXPECT_EQ(RowNames(), QStringList({"junk.mp3", "app_a.wav", "empty.wav"}));
  EXPECT_EQ(Window->SourceFiles, QStringList({Q(junk), Q(A), Q(empty)}));
  EXPECT_EQ(Window->Converter()->TaskCount(), 1);
  for (int row : {0, 2}) {
    EXPECT_EQ(Window->lvFiles->topLevelItem(row)->text(fcProgress), "失败");
    EXPECT_FALSE(Window->lvFiles->topLevelItem(row)->toolTip(fcProgress).isEmpty());
  }
  EXPECT_EQ(Window->lvFiles->topLevelItem(2)->toolTip(fcProgress), Q(empty) + ": the file is empty");
  bool logged = false;
  for (const QString& line : Window->LogLines()) logged = logged || line.startsWith("***File load error: ");
  EXPECT_TRUE(logged);
}

TEST_F(MainWindow, DroppedFilesAreAddedLikeTheAddCommand) {
  Window->show();
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(Q(A)), QUrl::fromLocalFile(Q(Dir.Path())),
                QUrl::fromLocalFile(Q(B))});
  const QPoint at = Window->lvFiles->geometry().center();
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(Window.get(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(Window.get(), &drop);
  ASSERT_TRUE(WaitFor([this] { return !Window->Checking(); }));
  EXPECT_EQ(RowNames(), QStringList({"app_a.wav", "app_b.wav"}));  // the folder is no file
  EXPECT_EQ(Window->Converter()->TaskCount(), 2);
}

TEST_F(MainWindow, MoveRemoveAndClearKeepRowsFilesAndTasksTogether) {
  ASSERT_TRUE(AddAndWait(*Window, {Q(A), Q(B), Q(C)}));
  ASSERT_EQ(RowNames(), QStringList({"app_a.wav", "app_b.wav", "app_c.wav"}));
  Select(0);
  Window->MoveUp();  // first row: nothing moves
  Select(2);
  Window->MoveDown();  // last row: nothing moves
  EXPECT_EQ(RowNames(), QStringList({"app_a.wav", "app_b.wav", "app_c.wav"}));

  Select(0);
  Window->MoveDown();
  EXPECT_EQ(RowNames(), QStringList({"app_b.wav", "app_a.wav", "app_c.wav"}));
  EXPECT_EQ(Window->SourceFiles, QStringList({Q(B), Q(A), Q(C)}));
  EXPECT_EQ(Window->lvFiles->currentItem(), Window->lvFiles->topLevelItem(1));
  EXPECT_EQ(Window->TaskIndexes, (std::vector<int>{1, 0, 2}));

  Window->MoveUp();  // a back up
  Window->MoveDown();
  Select(1);
  Window->RemoveSelected();  // removes a (task 0): the tasks after it are renumbered
  EXPECT_EQ(RowNames(), QStringList({"app_b.wav", "app_c.wav"}));
  EXPECT_EQ(Window->SourceFiles, QStringList({Q(B), Q(C)}));
  EXPECT_EQ(Window->TaskIndexes, (std::vector<int>{0, 1}));
  EXPECT_EQ(Window->Converter()->TaskCount(), 2);
  EXPECT_EQ(Window->Converter()->Task(0)->InputOptions.FileName, B);
  EXPECT_TRUE(Window->btnRemove->isEnabled());

  Window->lvFiles->clearSelection();
  Window->RemoveSelected();  // no selection: nothing
  EXPECT_EQ(Window->lvFiles->topLevelItemCount(), 2);

  Window->ClearList();
  EXPECT_EQ(Window->lvFiles->topLevelItemCount(), 0);
  EXPECT_TRUE(Window->SourceFiles.isEmpty());
  EXPECT_EQ(Window->Converter()->TaskCount(), 0);
  EXPECT_FALSE(Window->btnRemove->isEnabled());
  EXPECT_FALSE(Window->btnClear->isEnabled());
  Window->Convert();  // an empty list: nothing happens
  EXPECT_EQ(Window->Converter()->TaskCount(), 0);
  EXPECT_FALSE(Window->Converting());
}

TEST_F(MainWindow, ProgressAndTerminationEventsReachTheirRow) {
  ASSERT_TRUE(AddAndWait(*Window, {Q(A), Q(B)}));
  Select(0);
  Window->MoveDown();  // row 0 now shows task 1, row 1 task 0
  TREzuvuZUZ& pelix = *Window->Converter();
  pelix.OnProgress(0, 0, 0, 10000, 0, 0, 4321, 40000);
  QTreeWidgetItem* row = Window->lvFiles->topLevelItem(1);
  EXPECT_EQ(row->text(fcProgress), "25%");
  EXPECT_EQ(row->text(fcConvertedTime), "10");
  EXPECT_EQ(row->text(fcOutputSize), "4321");
  EXPECT_TRUE(Window->lvFiles->topLevelItem(0)->text(fcProgress).isEmpty());

  pelix.OnProgress(0, 0, 0, 12500, 0, 0, 5000, 0);  // no total: only the time
  EXPECT_EQ(row->text(fcProgress), "25%");
  EXPECT_EQ(row->text(fcConvertedTime), "12");

  // From a worker thread the update waits for the GUI thread.
  std::thread worker([&pelix] { pelix.OnTerminate(1, false, true, "Broken pipe"); });
  worker.join();
  QTreeWidgetItem* other = Window->lvFiles->topLevelItem(0);
  EXPECT_TRUE(other->text(fcProgress).isEmpty());
  ASSERT_TRUE(WaitFor([other] { return !other->text(fcProgress).isEmpty(); }));
  EXPECT_EQ(other->text(fcProgress), "失败");
  EXPECT_EQ(other->toolTip(fcProgress), "Broken pipe");
  bool logged = false;
  for (const QString& line : Window->LogLines()) logged = logged || line.contains("Broken pipe");
  EXPECT_TRUE(logged);
}

TEST_F(MainWindow, OutputFolderIsWrittenOnCloseAndReadOnStart) {
  const QString folder = Q(Dir.Path()) + "/输出";
  Window->show();
  Window->SetOutputFolder(folder);
  EXPECT_EQ(Window->Edit1->text(), folder + "/");
  Window->close();
  QSettings written(Window->ConfigFile(), QSettings::IniFormat);
  EXPECT_EQ(written.value("FormConfig/dir").toString(), folder + "/");

  TfrmMain again(nullptr, Window->ConfigFile());
  EXPECT_TRUE(again.Edit1->text().isEmpty());  // read when shown
  again.show();
  EXPECT_EQ(again.Edit1->text(), folder + "/");
  again.close();
}

TEST_F(MainWindow, SettingsSectionNameIsReadInAnyCase) {
  QFile file(Q(Dir.File("Config.ini")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("[formconfig]\ndir=/srv/music/\n");
  file.close();
  Window->show();
  EXPECT_EQ(Window->Edit1->text(), "/srv/music/");
}

TEST_F(MainWindow, PlaybackNeedsASelectedRowAndLoadsItsSource) {
  ASSERT_TRUE(AddAndWait(*Window, {Q(A), Q(B)}));
  Window->lvFiles->clearSelection();
  Window->Play();
  EXPECT_FALSE(Window->Playback()->Active());
  Select(1);
  Window->PausePlayback();
  EXPECT_TRUE(Window->Playback()->Active());
  EXPECT_EQ(Window->Playback()->FileName(), Q(B));
  Select(0);
  Window->Play();
  EXPECT_EQ(Window->Playback()->FileName(), Q(A));
  Window->SetCutStart();
  EXPECT_EQ(Window->CutStarts[0], "0.000");
  EXPECT_EQ(Window->CutStartTexts[0], "00:00:00");
  Window->Playback()->Clear();
}

// The media framework's audio thread crashes when it has no device to write
// to; without one, a file plays with no audio output and no audio thread.
TEST_F(MainWindow, PlaybackWithoutAnAudioDeviceRunsSilently) {
  if (!QMediaDevices::audioOutputs().isEmpty()) GTEST_SKIP() << "this machine has an audio device";
  ASSERT_TRUE(AddAndWait(*Window, {Q(A)}));
  Select(0);
  Window->Play();
  ASSERT_TRUE(Window->Playback()->Active());
  EXPECT_FALSE(Window->Playback()->HasAudioOutput());
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 800) QTest::qWait(20);
  EXPECT_EQ(Window->Playback()->LastError(), "");
  EXPECT_FALSE(ThreadRuns("AudioRenderThre"));
  EXPECT_TRUE(Window->Playback()->Playing());
  Window->Playback()->Clear();
}

}  // namespace
