// A batch in the main window: the status line while it runs and at its end,
// stop, pause and resume, files added while it runs, folders and their tree,
// and outputs beside their sources. Outputs are checked with ffprobe.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>

#include "AppTestSupport.h"
#include "MainFrm.h"
#include "WindowTest.h"

using namespace app_test;
using testing_support::DecodesCleanly;

namespace {

class Batch : public TWindowTest {
 protected:
  void SetUp() override {
    TWindowTest::SetUp();
    Window->RadioGroup1->Button(1)->click();  // MP3
  }

  bool Ended() const { return !Window->Converting() && !Window->Checking(); }
  QString Progress(int row) const { return Row(row)->text(fcProgress); }
  int Percent(int row) const {
    const QString text = Progress(row);
    return text.endsWith('%') ? text.chopped(1).toInt() : -1;
  }
};

TEST_F(Batch, StatusLineCountsTheRunAndSumsItUp) {
  const std::string a = Sine("app_a.wav", 1.5), b = Sine("app_long120.wav", 120.0, 44100, 2);
  const std::string c = Sine("app_c.wav", 1.2);
  ASSERT_TRUE(AddAndWait(*Window, {Q(a), Q(b), Q(c)}));
  EXPECT_EQ(Window->StatusText(), "已添加 3 个文件；列表中共 3 个文件");
  Window->SetParallelJobs(1);
  TNotificationCapture notifications;  // the window is not the active one
  // The first file done and the long one under way: the batch holds there.
  HoldAtFirstProgressOf(b);
  Window->Convert();
  EXPECT_TRUE(Window->mnuStop->isEnabled());
  EXPECT_TRUE(Window->prgBatch->isVisibleTo(Window.get()));
  ASSERT_TRUE(WaitFor([this] { return Progress(0) == "100%" && Percent(1) >= 0; }));
  Window->PauseBatch();
  EXPECT_TRUE(Window->Paused());
  EXPECT_FALSE(Window->mnuPause->isEnabled());
  EXPECT_TRUE(Window->mnuResume->isEnabled());
  const QString status = Window->StatusText();
  EXPECT_TRUE(status.startsWith("已完成 1/3 · ")) << status.toStdString();
  EXPECT_TRUE(status.contains(QRegularExpression(" · [0-9]+% · 已用 [0-9]+:[0-9]{2} · 剩余约 "
                                                 "[0-9]+:[0-9]{2} · 已暂停$")))
      << status.toStdString();
  // By media time: 1.5 s of 122.7 s, and some of the long file.
  const int percent = status.section(" · ", 1, 1).chopped(1).toInt();
  EXPECT_GE(percent, 0);
  EXPECT_LT(percent, 100);
  // Paused, the batch holds: the long file's progress stays put.
  const int held = Percent(1);
  QTest::qWait(300);
  EXPECT_EQ(Percent(1), held);
  Window->ResumeBatch();
  EXPECT_FALSE(Window->Paused());
  ASSERT_TRUE(WaitFor([this] { return Ended(); }, 180000));
  EXPECT_EQ(Window->StatusText(), "3 个完成");
  EXPECT_FALSE(Window->prgBatch->isVisibleTo(Window.get()));
  EXPECT_FALSE(Window->mnuStop->isEnabled());
  ASSERT_EQ(notifications.Texts.size(), 1u);
  EXPECT_EQ(notifications.Texts[0], "Quellon V1.20: 转换结束：3 个完成");
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(DecodesCleanly(Output(i)));
}

TEST_F(Batch, TheSummaryCountsFailuresAndLeadsToThem) {
  const std::string a = Sine("app_a.wav", 1.5), c = Sine("app_c.wav", 1.2);
  const std::string junk = Dir.File("junk.mp3");
  ASSERT_TRUE(testing_support::WriteJunk(junk, 3000));
  ASSERT_TRUE(ShowActive(*Window));
  Window->SetOutputFolder(Q(Out));  // shown, the window has read its settings file
  ASSERT_TRUE(AddAndWait(*Window, {Q(a), Q(junk), Q(c)}));
  TNotificationCapture notifications;
  Window->Convert();
  ASSERT_TRUE(WaitFor([this] { return Ended(); }));
  EXPECT_EQ(Window->StatusText(), "2 个完成，1 个失败");
  EXPECT_TRUE(Window->lblStatus->text().contains("<a href=\"failed\">查看失败的文件</a>"));
  EXPECT_TRUE(notifications.Texts.isEmpty());  // the user is looking at the window
  Window->lvFiles->setCurrentItem(Row(2));
  emit Window->lblStatus->linkActivated("failed");
  ASSERT_EQ(Window->lvFiles->selectedItems().size(), 1);
  EXPECT_EQ(Window->lvFiles->selectedItems()[0], Row(1));
  EXPECT_EQ(Window->lvFiles->currentItem(), Row(1));
  EXPECT_EQ(Progress(1), "失败");
}

TEST_F(Batch, StopEndsTheRunningFileAndLeavesTheRestForTheNextConvert) {
  // Shown, the window reads its settings file: the output folder is set after.
  ASSERT_TRUE(ShowActive(*Window));
  Window->SetOutputFolder(Q(Out));
  std::vector<std::string> sources;
  for (const char* name : {"s1.wav", "s2.wav", "s3.wav"})
    sources.push_back(CopyTo(Sine("app_long30.wav", 30.0, 44100, 2), Dir.Path(), name));
  ASSERT_TRUE(AddAndWait(*Window, {Q(sources[0]), Q(sources[1]), Q(sources[2])}));
  Window->SetParallelJobs(1);
  // Held part way (a stop also ends a paused task).
  HoldAtFirstProgressOf(sources[0]);
  Window->Convert();
  ASSERT_TRUE(WaitFor([this] { return Percent(0) >= 0; }));
  // The first file is being written under its temporary name.
  EXPECT_EQ(PartFiles(Out), 1);
  ASSERT_TRUE(Window->isActiveWindow());
  QTest::keyClick(Window->lvFiles, Qt::Key_Escape);
  ASSERT_TRUE(WaitFor([this] { return Ended(); }));
  EXPECT_EQ(Progress(0), "已停止");
  EXPECT_EQ(Progress(1), "");
  EXPECT_EQ(Progress(2), "");
  // Nothing unfinished, nothing cut short under a final name.
  EXPECT_EQ(PartFiles(Out), 0);
  EXPECT_TRUE(FilesBelow(Out).empty());
  EXPECT_EQ(Window->StatusText(), "已停止：0 个完成，3 个未转换。按“转换”转换其余的文件");
  EXPECT_TRUE(Window->btnRemove->isEnabled());

  // The next Convert converts them all, under the names shown.
  Window->Convert();
  ASSERT_TRUE(WaitFor([this] { return Ended(); }, 180000));
  EXPECT_EQ(Window->StatusText(), "3 个完成");
  EXPECT_EQ(FilesBelow(Out),
            (std::set<std::string>{"s1_(new).mp3", "s2_(new).mp3", "s3_(new).mp3"}));
  for (const std::string name : {"s1", "s2", "s3"})
    EXPECT_NEAR(testing_support::ProbeDuration(Out + "/" + name + "_(new).mp3"), 30.0, 0.2);
}

TEST_F(Batch, AfterAStopConvertLeavesWhatWasConvertedAlone) {
  const std::string a = Sine("app_a.wav", 1.5);
  const std::string longer = CopyTo(Sine("app_long30.wav", 30.0, 44100, 2), Dir.Path(), "l.wav");
  ASSERT_TRUE(AddAndWait(*Window, {Q(a), Q(longer)}));
  Window->SetParallelJobs(1);
  HoldAtFirstProgressOf(longer);
  Window->Convert();
  ASSERT_TRUE(WaitFor([this] { return Progress(0) == "100%" && Percent(1) >= 0; }));
  Window->StopBatch();
  ASSERT_TRUE(WaitFor([this] { return Ended(); }));
  EXPECT_EQ(Window->StatusText(), "已停止：1 个完成，1 个未转换。按“转换”转换其余的文件");
  Window->Convert();
  ASSERT_TRUE(WaitFor([this] { return Ended(); }, 180000));
  // app_a was not converted a second time.
  EXPECT_EQ(FilesBelow(Out), (std::set<std::string>{"app_a_(new).mp3", "l_(new).mp3"}));
  EXPECT_EQ(Window->StatusText(), "2 个完成");
  // Once the batch has ended whole, Convert converts the whole list again
  // when the user agrees to.
  TQuestionCapture yes(true);
  Window->Convert();
  ASSERT_TRUE(WaitFor([this] { return Ended(); }, 180000));
  EXPECT_EQ(yes.Texts.size(), 1u);
  EXPECT_EQ(FilesBelow(Out).size(), 4u);
}

TEST_F(Batch, FilesAddedDuringARunJoinIt) {
  const std::string longer = Sine("app_long30.wav", 30.0, 44100, 2);
  const std::string b = Sine("app_b.wav", 1.0);
  ASSERT_TRUE(AddAndWait(*Window, {Q(longer)}));
  Window->SetParallelJobs(1);
  HoldAtFirstProgressOf(longer);
  Window->Convert();
  ASSERT_TRUE(WaitFor([this] { return Percent(0) >= 0; }));
  Window->PauseBatch();
  ASSERT_TRUE(Window->Converting());
  ASSERT_TRUE(AddAndWait(*Window, {Q(b)}));
  EXPECT_TRUE(Window->StatusText().startsWith("已完成 0/2")) << Window->StatusText().toStdString();
  Window->ResumeBatch();
  ASSERT_TRUE(WaitFor([this] { return Ended(); }, 180000));
  EXPECT_EQ(Progress(0), "100%");
  EXPECT_EQ(Progress(1), "100%");
  EXPECT_EQ(Window->StatusText(), "2 个完成");
  EXPECT_TRUE(DecodesCleanly(Out + "/app_b_(new).mp3"));
}

TEST_F(Batch, AFolderTreeConvertsIntoTheSameTree) {
  const std::string src = Dir.File("src");
  std::filesystem::create_directories(src + "/x/y");
  CopyTo(Sine("app_a.wav", 1.5), src, "top.wav");
  CopyTo(Sine("app_b.wav", 1.0), src + "/x", "mid.wav");
  CopyTo(Sine("app_c.wav", 1.2), src + "/x/y", "deep.wav");
  CopyTo(Sine("app_c.wav", 1.2), src + "/x/y", ".hidden.wav");
  std::ofstream(src + "/x/y/cover.txt") << "not sound";
  ASSERT_TRUE(AddAndWait(*Window, {Q(src)}));
  ASSERT_EQ(Sources(), QStringList({Q(src + "/top.wav"), Q(src + "/x/mid.wav"),
                                     Q(src + "/x/y/deep.wav")}));
  EXPECT_EQ(Window->StatusText(), "已添加 3 个文件，跳过 1 个无法转换的文件；列表中共 3 个文件");
  // The names shown already lie in the tree.
  EXPECT_EQ(Output(2), Out + "/x/y/deep_(new).mp3");
  EXPECT_EQ(Row(2)->text(fcOutputName), "deep_(new).mp3");
  EXPECT_FALSE(std::filesystem::exists(Out + "/x"));  // made when the task runs
  Window->Convert();
  ASSERT_TRUE(WaitFor([this] { return Ended(); }));
  EXPECT_EQ(FilesBelow(Out),
            (std::set<std::string>{"top_(new).mp3", "x/mid_(new).mp3", "x/y/deep_(new).mp3"}));
  for (const std::string& file : FilesBelow(Out)) EXPECT_TRUE(DecodesCleanly(Out + "/" + file));
  // Moving rows keeps each file's place in the tree.
  Window->lvFiles->setCurrentItem(Row(2));
  Window->MoveUp();
  TQuestionCapture again(true);  // converted already: converting again is asked for
  Window->Convert();
  ASSERT_TRUE(WaitFor([this] { return Ended(); }));
  EXPECT_EQ(Output(1), Out + "/x/y/deep_(new_1).mp3");
}

TEST_F(Batch, AnEmptyOutputFolderWritesBesideEachSource) {
  std::filesystem::create_directories(Dir.File("in"));
  const std::string a = CopyTo(Sine("app_a.wav", 1.5), Dir.File("in"), "a.wav");
  Window->SetOutputFolder(QString());
  ASSERT_TRUE(AddAndWait(*Window, {Q(a)}));
  EXPECT_EQ(Output(0), Dir.File("in/a_(new).mp3"));
  Window->Convert();
  ASSERT_TRUE(WaitFor([this] { return Ended(); }));
  EXPECT_TRUE(DecodesCleanly(Dir.File("in/a_(new).mp3")));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::current_path() / "a_(new).mp3"));
  EXPECT_TRUE(FilesBelow(Out).empty());
  // "打开" opens the folder the outputs went to.
  TUrlCapture files("file");
  Window->OpenOutputFolder();
  ASSERT_EQ(files.Urls.size(), 1);
  EXPECT_EQ(files.Urls[0].toLocalFile(), Q(Dir.File("in")));
}

TEST_F(Batch, ConvertWaitsForTheFilesBeingAdded) {
  const std::string src = Dir.File("src");
  std::filesystem::create_directories(src);
  for (const char* name : {"a.wav", "b.wav", "c.wav"}) CopyTo(Sine("app_a.wav", 1.5), src, name);
  Window->AddFiles({Q(src)});
  Window->Convert();  // the folder is still being read
  ASSERT_TRUE(WaitFor([this] { return Ended() && Window->lvFiles->topLevelItemCount() == 3 &&
                                      Progress(2) == "100%"; }));
  EXPECT_EQ(FilesBelow(Out), (std::set<std::string>{"a_(new).mp3", "b_(new).mp3", "c_(new).mp3"}));
}

// 转换 after a run that converted everything: nothing is converted again
// unless the user agrees, and then beside the first outputs.
TEST_F(Batch, ConvertAfterAFinishedRunConvertsAgainOnlyWhenTheUserAgrees) {
  const std::string a = Sine("app_a.wav", 1.5), b = Sine("app_b.wav", 1.0);
  ASSERT_TRUE(AddAndWait(*Window, {Q(a), Q(b)}));
  Window->Convert();
  ASSERT_TRUE(WaitFor([this] { return Ended(); }));
  const std::set<std::string> first = {"app_a_(new).mp3", "app_b_(new).mp3"};
  ASSERT_EQ(FilesBelow(Out), first);
  {
    TQuestionCapture no(false);
    Window->Convert();
    ASSERT_EQ(no.Texts.size(), 1u);
    EXPECT_EQ(no.Texts[0], "列表中的文件都已转换。要重新转换全部文件吗？");
    EXPECT_FALSE(Window->Converting());
  }
  // Said no: no run, no new file, the rows and the summary as they were.
  ASSERT_TRUE(WaitFor([this] { return Ended(); }));
  EXPECT_EQ(FilesBelow(Out), first);
  EXPECT_EQ(Progress(0), "100%");
  EXPECT_EQ(Window->StatusText(), "2 个完成");
  {
    TQuestionCapture yes(true);
    Window->Convert();
    EXPECT_EQ(yes.Texts.size(), 1u);
    ASSERT_TRUE(WaitFor([this] { return Ended(); }));
  }
  EXPECT_EQ(FilesBelow(Out), (std::set<std::string>{"app_a_(new).mp3", "app_b_(new).mp3",
                                                    "app_a_(new_1).mp3", "app_b_(new_1).mp3"}));
  EXPECT_EQ(Output(0), Out + "/app_a_(new_1).mp3");
  EXPECT_EQ(Window->StatusText(), "2 个完成");
}

// The status line counts the list as it is, not the run that went before:
// once files are added, a cleared or a finished run's summary goes.
TEST_F(Batch, TheStatusLineCountsTheListAsItIs) {
  const std::string a = Sine("app_a.wav", 1.5), b = Sine("app_b.wav", 1.0);
  const std::string c = Sine("app_c.wav", 1.2);
  const std::string longer = Sine("app_long30.wav", 30.0, 44100, 2);
  ASSERT_TRUE(AddAndWait(*Window, {Q(longer)}));
  Window->Convert();
  ASSERT_TRUE(Window->Converting());
  {
    TQuestionCapture stop(true);  // "停止并清空"
    Window->ClearList();  // during the run
  }
  EXPECT_EQ(Window->StatusText(), "");
  ASSERT_TRUE(AddAndWait(*Window, {Q(a)}));
  EXPECT_EQ(Window->StatusText(), "已添加 1 个文件；列表中共 1 个文件");
  Window->Convert();
  ASSERT_TRUE(WaitFor([this] { return Ended(); }));
  EXPECT_EQ(Window->StatusText(), "1 个完成");
  ASSERT_TRUE(AddAndWait(*Window, {Q(b), Q(c)}));
  EXPECT_EQ(Window->StatusText(), "已添加 2 个文件；列表中共 3 个文件");
  // The next run converts the files added, and sums up the whole list.
  Window->Convert();
  ASSERT_TRUE(WaitFor([this] { return Ended(); }));
  EXPECT_EQ(Window->StatusText(), "3 个完成");
  EXPECT_EQ(FilesBelow(Out),
            (std::set<std::string>{"app_a_(new).mp3", "app_b_(new).mp3", "app_c_(new).mp3"}));
  // A removed row leaves the count too.
  Window->lvFiles->setCurrentItem(Row(0));
  Window->RemoveSelected();
  EXPECT_EQ(Window->StatusText(), "2 个完成");
}

}  // namespace
