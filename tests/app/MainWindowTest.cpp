// The main window without converting: its face, the list commands, the
// settings file, drops and how component events reach the rows.
#include <gtest/gtest.h>

#include <QDir>
#include <QApplication>
#include <QDropEvent>
#include <QFileDialog>
#include <QPushButton>
#include <QTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QAudioDevice>
#include <QMediaDevices>
#include <QMenuBar>
#include <QMimeData>
#include <QSettings>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <thread>

#include "AppSupport.h"
#include "AppTestSupport.h"
#include "MainFrm.h"
#include "OptionFrm.h"
#include "PlaybackPreview.h"
#include "U_set.h"

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

  QStringList RowOutputNames() const {
    QStringList names;
    for (int i = 0; i < Window->lvFiles->topLevelItemCount(); ++i)
      names << Window->lvFiles->topLevelItem(i)->text(fcOutputName);
    return names;
  }
  QStringList RowNames() const {
    QStringList names;
    for (int i = 0; i < Window->lvFiles->topLevelItemCount(); ++i)
      names << Window->lvFiles->topLevelItem(i)->text(fcName);
    return names;
  }
  void Select(int row) { Window->lvFiles->setCurrentItem(Window->lvFiles->topLevelItem(row)); }
  // The sources of the rows (the name column's tooltips), and of the batch's
  // files: the two lists stay in step.
  QStringList RowSources() const {
    QStringList sources;
    for (int i = 0; i < Window->lvFiles->topLevelItemCount(); ++i)
      sources << Window->lvFiles->topLevelItem(i)->toolTip(fcName);
    return sources;
  }
  QStringList BatchSources() const {
    QStringList sources;
    for (const TBatchFile& file : Window->Batch().Files()) sources << Q(file.Source);
    return sources;
  }
  QString OutputOf(int row) const { return Window->lvFiles->topLevelItem(row)->toolTip(fcOutputName); }

  TTempDir Dir;
  std::unique_ptr<TfrmMain> Window;
  std::string A, B, C;
};

TEST_F(MainWindow, ShowsTheDescribedControls) {
  TfrmMain& w = *Window;
  EXPECT_EQ(w.windowTitle(), "Quellon V1.20");
  EXPECT_EQ(w.centralWidget()->size(), QSize(615, 319));
  const QStringList captions = {"文件名称", "时间", "大小", "输出名称", "进程", "转换时间", "输出大小", "文件夹"};
  // The name column takes the width the others leave (ListColumns tests it).
  const int widths[] = {-1, 65, 65, 120, 80, 80, 65, -1};  // the folder column is hidden
  for (int i = 0; i < FILE_COLUMN_COUNT; ++i) {
    EXPECT_EQ(w.lvFiles->headerItem()->text(i), captions[i]);
    if (widths[i] > 0) {
      EXPECT_EQ(w.lvFiles->columnWidth(i), widths[i]);
    }
  }
  EXPECT_TRUE(w.lvFiles->isColumnHidden(fcFolder));
  ASSERT_EQ(w.RadioGroup1->Count(), 6);
  EXPECT_EQ(w.RadioGroup1->ItemText(), "WAV");
  EXPECT_EQ(w.btnStart->text(), "转换");
  EXPECT_EQ(w.btnStart->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);

  QStringList menus;
  for (QAction* menu : w.menuBar()->actions()) {
    menus << menu->text();
    for (QAction* item : menu->menu()->actions()) menus << (item->isSeparator() ? "-" : item->text());
  }
  // "添加文件夹" and the "动作" menu join the menus; the others keep their order.
  EXPECT_EQ(menus, QStringList({"文件", "添加文件", "添加文件夹", "删除", "清空", "-", "退出", "动作",
                                "转换", "暂停", "继续", "停止", "帮助", "关于我们", "帮助文件"}));
  QStringList actions;
  for (QAction* item : w.mnuAction->actions()) actions << item->text();
  EXPECT_EQ(actions, QStringList({"转换", "暂停", "继续", "停止"}));
  QStringList addMenu;
  for (QAction* item : w.btnAdd->menu()->actions()) addMenu << item->text();
  EXPECT_EQ(w.btnAdd->text(), "添加");
  EXPECT_EQ(addMenu, QStringList({"添加文件", "添加文件夹"}));
  // The menus' keys.
  const auto keys = [](QAction* action) { return action->shortcut().toString(); };
  EXPECT_EQ(keys(w.mnuAddFile), "Ctrl+O");
  EXPECT_EQ(keys(w.mnuAddFolder), "Ctrl+Shift+O");
  EXPECT_EQ(keys(w.mnuRemove), "Del");
  EXPECT_EQ(keys(w.mnuExit), "Ctrl+Q");
  EXPECT_EQ(keys(w.mnuStop), "Esc");
  EXPECT_EQ(keys(w.mnuHelpFile), "F1");
  EXPECT_EQ(keys(w.mnuConvert), "F5");
  // Nothing to stop, pause or resume before a batch.
  EXPECT_FALSE(w.mnuStop->isEnabled());
  EXPECT_FALSE(w.mnuPause->isEnabled());
  EXPECT_FALSE(w.mnuResume->isEnabled());
  // An empty output folder says where the outputs go.
  EXPECT_TRUE(w.Edit1->text().isEmpty());
  EXPECT_EQ(w.Edit1->placeholderText(), "（空）保存在源文件所在的文件夹");

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
  EXPECT_EQ(row->toolTip(fcName), Q(A));  // the whole name, with its folder
  EXPECT_EQ(row->text(fcDuration), "0:01");
  ASSERT_EQ(QFile(Q(A)).size(), 66228);
  EXPECT_EQ(row->text(fcSize), "64 KB");
  // The name the conversion will write: the window's folder and format.
  EXPECT_EQ(row->text(fcOutputName), "app_a_(new).mp3");
  EXPECT_EQ(row->toolTip(fcOutputName), Q(Dir.File("app_a_(new).mp3")));
  EXPECT_TRUE(row->text(fcProgress).isEmpty());
  EXPECT_EQ(Window->lvFiles->currentItem(), row);
  EXPECT_EQ(RowSources(), QStringList({Q(A), Q(B)}));
  EXPECT_EQ(BatchSources(), RowSources());
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
  EXPECT_EQ(BatchSources(), QStringList({Q(junk), Q(A), Q(empty)}));
  EXPECT_TRUE(Window->lvFiles->topLevelItem(1)->text(fcProgress).isEmpty());
  EXPECT_EQ(Window->lvFiles->topLevelItem(1)->text(fcOutputName), "app_a_(new).wav");
  for (int row : {0, 2}) {
    EXPECT_EQ(Window->lvFiles->topLevelItem(row)->text(fcProgress), "失败");
    EXPECT_FALSE(Window->lvFiles->topLevelItem(row)->toolTip(fcProgress).isEmpty());
  }
  // The reason in the window's words; the engine's English goes to the log.
  EXPECT_EQ(Window->lvFiles->topLevelItem(2)->toolTip(fcProgress), "源文件是空的（0 字节）");
  bool logged = false;
  for (const QString& line : Window->LogLines()) logged = logged || line.startsWith("***File load error: ");
  EXPECT_TRUE(logged);
}

TEST_F(MainWindow, DroppedFilesAndFoldersAreAddedLikeTheAddCommand) {
  Window->show();
  // A folder stands for the files with sound under it; the others are counted.
  const std::string folder = Dir.File("drop");
  std::filesystem::create_directories(folder + "/sub");
  CopyTo(B, folder + "/sub", "b.wav");
  std::ofstream(folder + "/notes.txt") << "no sound here";
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(Q(A)), QUrl::fromLocalFile(Q(folder))});
  const QPoint at = Window->lvFiles->geometry().center();
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(Window.get(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(Window.get(), &drop);
  ASSERT_TRUE(WaitFor([this] { return !Window->Checking(); }));
  EXPECT_EQ(RowNames(), QStringList({"app_a.wav", "b.wav"}));
  EXPECT_EQ(BatchSources(), RowSources());
  EXPECT_EQ(Window->StatusText(), "已添加 2 个文件，跳过 1 个无法转换的文件；列表中共 2 个文件");

  // A folder with nothing to convert says so instead of adding nothing silently.
  TMessageCapture messages;
  std::filesystem::create_directories(Dir.File("nothing"));
  ASSERT_TRUE(AddAndWait(*Window, {Q(Dir.File("nothing"))}));
  ASSERT_EQ(messages.Boxes.size(), 1u);
  EXPECT_TRUE(messages.Boxes[0].Text.startsWith("文件夹中没有可转换的文件：")) << messages.Boxes[0].Text.toStdString();
  EXPECT_EQ(Window->lvFiles->topLevelItemCount(), 2);
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
  EXPECT_EQ(BatchSources(), QStringList({Q(B), Q(A), Q(C)}));
  EXPECT_EQ(RowSources(), BatchSources());
  EXPECT_EQ(Window->lvFiles->currentItem(), Window->lvFiles->topLevelItem(1));

  Window->MoveUp();  // a back up
  Window->MoveDown();
  Select(1);
  Window->RemoveSelected();  // removes a: its file leaves the batch
  EXPECT_EQ(RowNames(), QStringList({"app_b.wav", "app_c.wav"}));
  EXPECT_EQ(BatchSources(), QStringList({Q(B), Q(C)}));
  EXPECT_TRUE(Window->btnRemove->isEnabled());

  Window->lvFiles->clearSelection();
  Window->RemoveSelected();  // no selection: nothing
  EXPECT_EQ(Window->lvFiles->topLevelItemCount(), 2);

  Window->ClearList();
  EXPECT_EQ(Window->lvFiles->topLevelItemCount(), 0);
  EXPECT_TRUE(Window->Batch().Files().empty());
  EXPECT_FALSE(Window->btnRemove->isEnabled());
  EXPECT_FALSE(Window->btnClear->isEnabled());
  TMessageCapture told;
  Window->Convert();  // an empty list: nothing starts (a message points at 添加)
  EXPECT_EQ(told.Boxes.size(), 1u);
  EXPECT_FALSE(Window->Converting());
  EXPECT_EQ(Window->StatusText(), "");
}

// The batch's events reach the row of their file, also after rows moved:
// progress while a file converts, its end, and a failure with its reason.
TEST_F(MainWindow, ProgressAndEndsReachTheRowOfTheirFile) {
  const std::string junk = Dir.File("junk.wav");
  ASSERT_TRUE(testing_support::WriteJunk(junk, 3000));
  const std::string longer = Sine("app_long30.wav", 30.0, 44100, 2);
  ASSERT_TRUE(AddAndWait(*Window, {Q(longer), Q(junk), Q(A)}));
  Select(0);
  Window->MoveDown();
  Window->MoveDown();
  ASSERT_EQ(RowNames(), QStringList({"junk.wav", "app_a.wav", "app_long30.wav"}));
  ASSERT_EQ(BatchSources(), RowSources());
  Window->SetOutputFolder(Q(Dir.Path()));
  Window->SetParallelJobs(1);
  // Held at the long file's first report: its row shows how far it got.
  TREzuvuZUZ& pelix = *Window->Converter();
  pelix.SetProgressInterval(100);
  auto shown = pelix.OnProgress;
  pelix.OnProgress = [&pelix, shown, longer](int index, int frames, int fps, int ms, float q,
                                             float rate, int64_t size, int total) {
    if (pelix.Task(index) && pelix.Task(index)->SourceName == longer) pelix.Pause();
    shown(index, frames, fps, ms, q, rate, size, total);
  };
  Window->Convert();
  QTreeWidgetItem* running = Window->lvFiles->topLevelItem(2);
  ASSERT_TRUE(WaitFor([running] { return running->text(fcProgress).endsWith('%'); }));
  EXPECT_EQ(Window->lvFiles->topLevelItem(1)->text(fcProgress), "100%");
  QTreeWidgetItem* failed = Window->lvFiles->topLevelItem(0);
  EXPECT_EQ(failed->text(fcProgress), "失败");
  EXPECT_FALSE(failed->toolTip(fcProgress).isEmpty());
  EXPECT_FALSE(running->text(fcConvertedTime).isEmpty());
  EXPECT_FALSE(running->text(fcOutputSize).isEmpty());
  EXPECT_EQ(running->text(fcOutputName), "app_long30_(new).wav");
  Window->StopBatch();
  ASSERT_TRUE(WaitFor([this] { return !Window->Converting(); }));
  EXPECT_EQ(running->text(fcProgress), "已停止");
  bool logged = false;
  for (const QString& line : Window->LogLines())
    logged = logged || line == "***Convert failed: junk.wav: " + Q(Window->Batch().Files()[0].Reason);
  EXPECT_TRUE(logged);
}

TEST_F(MainWindow, FolderFormatAndSettingsAreWrittenOnCloseAndReadOnStart) {
  const QString folder = Q(Dir.Path()) + "/输出";
  Window->show();
  Window->SetOutputFolder(folder);
  EXPECT_EQ(Window->Edit1->text(), folder + "/");
  Window->RadioGroup1->Button(3)->click();  // AAC
  {
    TFrm_set settings(Window->OptionForm());
    settings.cboChannels->setCurrentText("立体声");
    settings.cboSampleRate->setCurrentText("44100");
    settings.cboBitRate->setCurrentText("128 ");
    settings.btnOK->click();
  }
  Window->close();
  QSettings written(Window->ConfigFile(), QSettings::IniFormat);
  EXPECT_EQ(written.value("FormConfig/dir").toString(), folder + "/");
  EXPECT_EQ(written.value("FormConfig/format").toString(), "AAC");
  EXPECT_EQ(written.value("FormConfig/channels").toInt(), 2);
  EXPECT_EQ(written.value("FormConfig/samplerate").toInt(), 4);
  EXPECT_EQ(written.value("FormConfig/bitrate").toString(), "128 ");

  TfrmMain again(nullptr, Window->ConfigFile());
  EXPECT_TRUE(again.Edit1->text().isEmpty());  // read when shown
  again.show();
  EXPECT_EQ(again.Edit1->text(), folder + "/");
  EXPECT_EQ(again.RadioGroup1->ItemText(), "AAC");
  TOutputOptions output;
  again.OptionForm()->ComposeOutput(output);
  EXPECT_EQ(output.AudioChannels, 2);
  EXPECT_EQ(output.AudioSampleRate, 44100);
  EXPECT_EQ(output.AudioBitrate, 128000);
  // The settings dialog opens at the choices in force.
  TFrm_set settings(again.OptionForm());
  EXPECT_EQ(settings.cboChannels->currentText(), "立体声");
  EXPECT_EQ(settings.cboSampleRate->currentText(), "44100");
  EXPECT_EQ(settings.cboBitRate->currentText(), "128 ");
  again.close();

  // A file without them (an older one) leaves the defaults.
  QFile file(Window->ConfigFile());
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write("[FormConfig]\ndir=/srv/\n");
  file.close();
  TfrmMain older(nullptr, Window->ConfigFile());
  older.show();
  EXPECT_EQ(older.RadioGroup1->ItemText(), "WAV");
  older.OptionForm()->ComposeOutput(output);
  EXPECT_EQ(output.AudioChannels, -1);
  EXPECT_EQ(output.AudioBitrate, -1);
  older.close();
}

TEST_F(MainWindow, AFurtherFormatAndTheSplitSettingAreRemembered) {
  {
    TfrmMain fresh(nullptr, Window->ConfigFile());
    fresh.show();
    EXPECT_TRUE(fresh.SplitEncoding());  // on unless turned off
    fresh.close();
  }
  QFile file(Window->ConfigFile());
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write("[FormConfig]\nformat=flac\nsplit=false\n");
  file.close();
  TfrmMain again(nullptr, Window->ConfigFile());
  again.show();
  EXPECT_EQ(again.ChosenFormat(), "FLAC");
  EXPECT_EQ(again.RadioGroup1->ItemIndex(), -1);
  EXPECT_FALSE(again.SplitEncoding());
  again.close();
  QSettings written(Window->ConfigFile(), QSettings::IniFormat);
  EXPECT_EQ(written.value("FormConfig/format").toString(), "FLAC");
  EXPECT_FALSE(written.value("FormConfig/split").toBool());
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
  TMessageCapture told;  // a machine without a sound device is told so
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
  // The player's position, in seconds, is the file's cut start.
  EXPECT_EQ(Window->Batch().Files()[0].ClipStart, 0.0);
  EXPECT_EQ(Window->Batch().Files()[0].ClipEnd, -1.0);
  EXPECT_EQ(Window->Batch().Files()[1].ClipStart, -1.0);
  Window->Playback()->Clear();
}

TEST_F(MainWindow, TheListTakesTheRoomOfALargerWindowAndNothingIsCutInASmallerOne) {
  TfrmMain& w = *Window;
  ASSERT_TRUE(AddAndWait(w, {Q(A)}));
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  EXPECT_EQ(w.centralWidget()->size(), QSize(615, 319));  // the default size
  const QRect list = w.lvFiles->geometry(), start = w.btnStart->geometry();
  const QRect path = w.Edit1->geometry(), browse = w.btnBrowse->geometry();
  const QRect add = w.btnAdd->geometry(), bar = w.DSTrackBar1->geometry();
  w.resize(w.size() + QSize(300, 200));
  ASSERT_TRUE(WaitFor([&w] { return w.centralWidget()->width() == 915; }));
  EXPECT_EQ(w.lvFiles->geometry(), list.adjusted(0, 0, 300, 200));
  EXPECT_EQ(w.btnStart->geometry(), start.translated(300, 200));
  EXPECT_EQ(w.btnBrowse->geometry(), browse.translated(300, 200));
  EXPECT_EQ(w.Edit1->geometry(), path.adjusted(0, 200, 300, 200));
  EXPECT_EQ(w.DSTrackBar1->geometry(), bar.adjusted(0, 200, 300, 200));
  EXPECT_EQ(w.btnAdd->geometry(), add);  // the top stays where it was
  EXPECT_TRUE(w.centralWidget()->rect().contains(w.btnStart->geometry()));

  // Smaller than the default is refused: 转换 and the output path stay whole.
  w.resize(300, 200);
  QTest::qWait(50);
  EXPECT_GE(w.centralWidget()->width(), 615);
  EXPECT_GE(w.centralWidget()->height(), 319);
  EXPECT_TRUE(w.centralWidget()->rect().contains(w.btnStart->geometry()));
  EXPECT_TRUE(w.centralWidget()->rect().contains(w.Edit1->geometry()));

  // The user can widen a column; the name column takes what is left.
  EXPECT_EQ(w.lvFiles->header()->sectionResizeMode(fcOutputName), QHeaderView::Interactive);
  EXPECT_EQ(w.lvFiles->header()->sectionResizeMode(fcName), QHeaderView::Stretch);
  w.lvFiles->header()->resizeSection(fcOutputName, 260);
  EXPECT_EQ(w.lvFiles->columnWidth(fcOutputName), 260);
}

TEST_F(MainWindow, KeysActOnTheListAndTheMenus) {
  ASSERT_TRUE(AddAndWait(*Window, {Q(A), Q(B), Q(C)}));
  ASSERT_TRUE(ShowActive(*Window));
  QWidget* list = Window->lvFiles;
  list->setFocus();
  QTest::keyClick(list, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(Window->lvFiles->selectedItems().size(), 3);
  // Delete removes every selected row with its task.
  Window->lvFiles->clearSelection();
  Window->lvFiles->topLevelItem(0)->setSelected(true);
  Window->lvFiles->topLevelItem(2)->setSelected(true);
  QTest::keyClick(list, Qt::Key_Delete);
  EXPECT_EQ(RowNames(), QStringList({"app_b.wav"}));
  EXPECT_EQ(BatchSources(), QStringList({Q(B)}));

  // F1: the help file.
  {
    TUrlCapture files("file");
    QTest::keyClick(list, Qt::Key_F1);
    ASSERT_EQ(files.Urls.size(), 1);
    EXPECT_EQ(QFileInfo(files.Urls[0].toLocalFile()).fileName(), "Help.html");
  }
  // Ctrl+O and Ctrl+Shift+O: the open-file dialog with the libraries'
  // filter, and the folder dialog.
  QStringList seen;
  const auto closeDialog = [&seen] {
    QTimer::singleShot(0, [&seen] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (!dialog) return;
      seen << dialog->windowTitle() + "|" + dialog->nameFilters().join(";;");
      dialog->reject();
    });
  };
  closeDialog();
  QTest::keyClick(list, Qt::Key_O, Qt::ControlModifier);
  ASSERT_TRUE(ShowActive(*Window));  // the window is active again once the dialog is gone
  closeDialog();
  QTest::keyClick(list, Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
  ASSERT_TRUE(ShowActive(*Window));
  ASSERT_EQ(seen.size(), 2) << seen.join("\n").toStdString();
  EXPECT_TRUE(seen[0].contains("*.flac")) << seen[0].toStdString();
  EXPECT_TRUE(seen[0].endsWith("所有文件 (*)")) << seen[0].toStdString();
  EXPECT_TRUE(seen[1].startsWith("添加文件夹|")) << seen[1].toStdString();
  EXPECT_EQ(Window->lvFiles->topLevelItemCount(), 1);  // both cancelled

  // Enter converts, as the big button does.
  Window->SetOutputFolder(Q(Dir.Path()));
  QTest::keyClick(list, Qt::Key_Return);
  EXPECT_TRUE(Window->Converting());
  ASSERT_TRUE(WaitFor([this] { return !Window->Converting() && !Window->Checking(); }));
  EXPECT_EQ(Window->lvFiles->topLevelItem(0)->text(fcProgress), "100%");
}

TEST_F(MainWindow, OutputNamesFollowTheFormatAndTheFolderAsTheyWillBeWritten) {
  const std::string out = Dir.File("out");
  std::filesystem::create_directories(out);
  Window->SetOutputFolder(Q(out));
  ASSERT_TRUE(AddAndWait(*Window, {Q(A), Q(B)}));
  EXPECT_EQ(RowOutputNames(), QStringList({"app_a_(new).wav", "app_b_(new).wav"}));
  Window->RadioGroup1->Button(1)->click();  // MP3
  EXPECT_EQ(RowOutputNames(), QStringList({"app_a_(new).mp3", "app_b_(new).mp3"}));
  EXPECT_EQ(OutputOf(0), Q(out + "/app_a_(new).mp3"));
  // A file of that name is there: the next free name, as the conversion would take.
  std::ofstream(out + "/app_b_(new).mp3") << "x";
  const std::string other = Dir.File("other");
  std::filesystem::create_directories(other);
  std::ofstream(other + "/app_a_(new).mp3") << "x";
  Window->SetOutputFolder(Q(other));
  EXPECT_EQ(RowOutputNames(), QStringList({"app_a_(new_1).mp3", "app_b_(new).mp3"}));
  EXPECT_EQ(QFileInfo(OutputOf(1)).absolutePath(), Q(other));
  Window->SetOutputFolder(Q(out));
  EXPECT_EQ(RowOutputNames(), QStringList({"app_a_(new).mp3", "app_b_(new_1).mp3"}));

  // An empty folder: beside each source.
  Window->SetOutputFolder(QString());
  EXPECT_TRUE(Window->Edit1->text().isEmpty());
  EXPECT_EQ(OutputOf(0), QFileInfo(Q(A)).absolutePath() + "/app_a_(new).mp3");

  // Converting to that folder writes the names shown.
  Window->SetOutputFolder(Q(out));
  Window->Convert();
  ASSERT_TRUE(WaitFor([this] { return !Window->Converting() && !Window->Checking(); }));
  EXPECT_EQ(RowOutputNames(), QStringList({"app_a_(new).mp3", "app_b_(new_1).mp3"}));
  EXPECT_TRUE(testing_support::DecodesCleanly(out + "/app_b_(new_1).mp3"));
  // Converted rows keep the names they were written under.
  Window->RadioGroup1->Button(0)->click();
  EXPECT_EQ(RowOutputNames(), QStringList({"app_a_(new).mp3", "app_b_(new_1).mp3"}));
}

TEST(QtTexts, QtsOwnDialogsAndButtonsSpeakChinese) {
  EXPECT_NE(QCoreApplication::translate("QFileDialog", "Look in:"), "Look in:");
  QMessageBox box(QMessageBox::Question, "t", "x", QMessageBox::Yes | QMessageBox::Cancel);
  EXPECT_FALSE(box.button(QMessageBox::Cancel)->text().contains("Cancel"))
      << box.button(QMessageBox::Cancel)->text().toStdString();
}

// The media framework's audio thread crashes when it has no device to write
// to; without one, a file plays with no audio output and no audio thread.
TEST_F(MainWindow, PlaybackWithoutAnAudioDeviceRunsSilently) {
  if (!QMediaDevices::audioOutputs().isEmpty()) GTEST_SKIP() << "this machine has an audio device";
  ASSERT_TRUE(AddAndWait(*Window, {Q(A)}));
  Select(0);
  TMessageCapture told;  // that it plays without sound
  Window->Play();
  EXPECT_EQ(told.Boxes.size(), 1u);
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
