// Adding many files: results put back in the order given (TReorderBuffer),
// the checker's probe threads giving every file once and in order, and the
// window's rows made from them in batches, with cue sheets listed once and
// nothing left over after the list is cleared.
#include <gtest/gtest.h>

#include <QTest>
#include <QThread>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>

#include "AppTestSupport.h"
#include "FFmpegLoader.h"
#include "FileChecker.h"
#include "MainFrm.h"
#include "ReorderBuffer.h"
#include "WindowTest.h"

using namespace app_test;

namespace {

std::vector<int> TakeAll(TReorderBuffer<int>& buffer) {
  std::vector<int> taken;
  buffer.Take(taken, 100);
  return taken;
}

TEST(ReorderBuffer, GivesResultsInTheOrderTheirSlotsWereReserved) {
  TReorderBuffer<int> buffer;
  std::vector<uint64_t> numbers;
  for (int i = 0; i < 5; ++i) numbers.push_back(buffer.Reserve(1));
  EXPECT_EQ(numbers, (std::vector<uint64_t>{0, 1, 2, 3, 4}));
  // Filled out of order: each step gives only the run at the front.
  const struct {
    int Slot;
    std::vector<int> Given;
  } steps[] = {{3, {}}, {1, {}}, {0, {0, 1}}, {4, {}}, {2, {2, 3, 4}}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.Slot);
    EXPECT_TRUE(buffer.Fill(numbers[step.Slot], step.Slot));
    EXPECT_EQ(buffer.HasReady(), !step.Given.empty());
    EXPECT_EQ(TakeAll(buffer), step.Given);
  }
  EXPECT_EQ(buffer.Size(), 0u);
  // A result known at once waits behind the numbers before it; Take gives at
  // most what it is asked for.
  const uint64_t waiting = buffer.Reserve(1);
  buffer.Push(1, 10);
  buffer.Push(1, 11);
  EXPECT_FALSE(buffer.HasReady());
  EXPECT_TRUE(buffer.Fill(waiting, 9));
  EXPECT_FALSE(buffer.Fill(waiting, 99));  // once
  std::vector<int> taken;
  EXPECT_EQ(buffer.Take(taken, 2), 2u);
  EXPECT_EQ(taken, (std::vector<int>{9, 10}));
  EXPECT_EQ(TakeAll(buffer), (std::vector<int>{11}));
  EXPECT_FALSE(buffer.Fill(12345, 1));  // never given out
}

TEST(ReorderBuffer, DroppedSlotsGiveNothingAndHoldNothingUp) {
  TReorderBuffer<int> buffer;
  const uint64_t a = buffer.Reserve(1);
  const uint64_t b = buffer.Reserve(2);
  const uint64_t c = buffer.Reserve(1);
  const uint64_t d = buffer.Reserve(2);
  EXPECT_TRUE(buffer.Fill(c, 3));
  EXPECT_TRUE(buffer.Fill(d, 4));
  EXPECT_EQ(buffer.Size(), 4u);
  EXPECT_TRUE(buffer.Holds(1));
  // Tag 1's numbers go, the waiting one and the filled one: tag 2's results
  // wait only for their own.
  buffer.Drop(1);
  EXPECT_FALSE(buffer.Holds(1));
  EXPECT_TRUE(buffer.Holds(2));
  EXPECT_EQ(buffer.Size(), 2u);
  EXPECT_FALSE(buffer.Fill(a, 1));  // a late result of a dropped slot
  EXPECT_EQ(TakeAll(buffer), (std::vector<int>{}));
  EXPECT_TRUE(buffer.Fill(b, 2));
  EXPECT_EQ(TakeAll(buffer), (std::vector<int>{2, 4}));
  // Dropping every tag leaves it empty; numbers go on from where they were.
  buffer.Reserve(5);
  buffer.Push(6, 6);
  buffer.Drop(-1);
  EXPECT_EQ(buffer.Size(), 0u);
  EXPECT_FALSE(buffer.HasReady());
  EXPECT_EQ(buffer.Reserve(1), d + 3);
}

// A folder of many tiny sources: top files t1..tN (natural order), a
// sub-folder s1..sM, and a file that is no media.
struct TSourceFolder {
  std::string Root;
  std::vector<std::string> Files;  // in the order a scan finds them
};

TSourceFolder MakeSourceFolder(const std::string& root, int top, int below) {
  const std::string tiny = Sine("app_tiny.wav", 0.05, 8000);
  TSourceFolder folder{root, {}};
  std::filesystem::create_directories(root + "/sub");
  std::ofstream(root + "/broken.wav") << "not a sound";
  folder.Files.push_back(root + "/broken.wav");
  for (int i = 1; i <= top; ++i) folder.Files.push_back(CopyTo(tiny, root, "t" + std::to_string(i) + ".wav"));
  for (int i = 1; i <= below; ++i)
    folder.Files.push_back(CopyTo(tiny, root + "/sub", "s" + std::to_string(i) + ".wav"));
  return folder;
}

class FileChecker : public ::testing::Test {
 protected:
  void SetUp() override {
    FFmpegLoader().SetLibraryPath(DefaultLibraryDir());
    ASSERT_TRUE(FFmpegLoader().LoadLibraries(ENGINE_LIBRARIES));
  }
  // Takes results until the checker is idle.
  std::vector<TCheckedFile> Drain(TFileChecker& checker) {
    std::vector<TCheckedFile> all;
    EXPECT_TRUE(WaitFor([&] {
      for (TCheckedFile& file : checker.TakeResults(1000)) all.push_back(std::move(file));
      return !checker.Busy();
    }));
    return all;
  }
  testing_support::TTempDir Dir;
};

TEST_F(FileChecker, SeveralProbesGiveEveryFileOnceInTheOrderGiven) {
  const TSourceFolder folder = MakeSourceFolder(Dir.File("in"), 120, 40);
  const std::string tiny = Sine("app_tiny.wav", 0.05, 8000);
  const std::string before = CopyTo(tiny, Dir.Path(), "before.wav");
  const std::string after = CopyTo(tiny, Dir.Path(), "after.wav");
  // More threads than the machine has cores: probes end out of order.
  TFileChecker checker(nullptr, 4);
  EXPECT_EQ(checker.Threads(), 4);
  int readies = 0;
  QObject::connect(&checker, &TFileChecker::Ready, [&readies] { ++readies; });
  checker.Check({Q(before), Q(folder.Root), Q(after)}, 7);
  EXPECT_TRUE(checker.Busy(7));
  EXPECT_FALSE(checker.Busy(8));
  const std::vector<TCheckedFile> results = Drain(checker);
  EXPECT_GT(readies, 0);
  // The given file, the folder's files as the scan finds them, the folder's
  // end, the other given file.
  ASSERT_EQ(results.size(), folder.Files.size() + 3);
  EXPECT_EQ(results.front().Probed.Path, before);
  EXPECT_TRUE(results.front().Folder.empty());
  for (size_t i = 0; i < folder.Files.size(); ++i) {
    SCOPED_TRACE(folder.Files[i]);
    const TCheckedFile& file = results[i + 1];
    EXPECT_EQ(file.Probed.Path, folder.Files[i]);
    EXPECT_EQ(file.Tag, 7);
    EXPECT_EQ(file.Folder, folder.Root);
    EXPECT_EQ(file.RelativeFolder, file.Probed.Path.find("/sub/") != std::string::npos ? "sub" : "");
    EXPECT_FALSE(file.FolderEnd);
    // Probed for real: the broken file fails, the others have their length.
    if (i == 0)
      EXPECT_FALSE(file.Probed.Error.empty());
    else
      EXPECT_EQ(file.Probed.Facts.Duration, 50000);
  }
  const TCheckedFile& end = results[folder.Files.size() + 1];
  EXPECT_TRUE(end.FolderEnd);
  EXPECT_EQ(end.Found, static_cast<int>(folder.Files.size()));
  EXPECT_EQ(results.back().Probed.Path, after);
  EXPECT_FALSE(checker.HasResults());
}

TEST_F(FileChecker, CancelledFilesNeverComeBack) {
  const TSourceFolder folder = MakeSourceFolder(Dir.File("in"), 150, 50);
  const std::string marker = CopyTo(Sine("app_tiny.wav", 0.05, 8000), Dir.Path(), "marker.wav");
  TFileChecker checker(nullptr, 3);
  checker.Check({Q(folder.Root)}, 1);
  checker.Check({Q(marker)}, 2);
  // Broken off after its first result, whatever is under way then.
  std::vector<TCheckedFile> first;
  ASSERT_TRUE(WaitFor([&] { return !(first = checker.TakeResults(1)).empty(); }));
  EXPECT_EQ(first.front().Tag, 1);
  checker.Cancel(1);
  EXPECT_FALSE(checker.Busy(1));
  // Only the other tag's file comes, once.
  const std::vector<TCheckedFile> rest = Drain(checker);
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest.front().Tag, 2);
  EXPECT_EQ(rest.front().Probed.Path, marker);
  // A check after a cancel of everything starts clean.
  checker.Check({Q(folder.Root)}, 1);
  checker.Cancel();
  EXPECT_FALSE(checker.Busy());
  checker.Check({Q(marker)}, 1);
  const std::vector<TCheckedFile> again = Drain(checker);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again.front().Probed.Path, marker);
}

TEST_F(FileChecker, TheScanStaysABoundedWayAheadOfWhatIsTaken) {
  const TSourceFolder folder = MakeSourceFolder(Dir.File("in"), 20, 0);
  TFileChecker checker(nullptr, 2);
  QStringList many;
  for (size_t i = 0; i < TFileChecker::MAX_AHEAD + 40; ++i)
    many << Q(folder.Files[1 + i % 20]);
  checker.Check(many, 1);
  // Nothing is taken: the scan stops once it holds its most, with the file
  // it came to waiting for room and the rest not started.
  ASSERT_TRUE(WaitFor([&] { return checker.Held() == TFileChecker::MAX_AHEAD; }));
  ASSERT_TRUE(WaitFor([&] { return checker.NotStarted() == 39; }));
  EXPECT_EQ(checker.Held(), TFileChecker::MAX_AHEAD);
  // Taking makes room: every file comes, in order.
  const std::vector<TCheckedFile> all = Drain(checker);
  ASSERT_EQ(all.size(), static_cast<size_t>(many.size()));
  for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(Q(all[i].Probed.Path), many[static_cast<int>(i)]);
}

// ---- The window ---------------------------------------------------------------------------

const char* const Sheet =
    "PERFORMER \"Band\"\n"
    "TITLE \"Album\"\n"
    "FILE \"image.wav\" WAVE\n"
    "  TRACK 01 AUDIO\n"
    "    TITLE \"One\"\n"
    "    INDEX 01 00:00:00\n"
    "  TRACK 02 AUDIO\n"
    "    TITLE \"Two\"\n"
    "    INDEX 01 00:01:00\n";

class ManyFiles : public TWindowTest {};

TEST_F(ManyFiles, RowsComeOnceInTheOrderGivenWithCueSheetsListedOnce) {
  const std::string tiny = Sine("app_tiny.wav", 0.05, 8000);
  const TSourceFolder folder = MakeSourceFolder(Dir.File("in"), 150, 30);
  // A sheet and its image in the folder: the image is listed by its sheet,
  // not a second time on its own.
  CopyTo(Sine("app_image.wav", 2.5), folder.Root, "image.wav");
  std::ofstream(folder.Root + "/image.cue") << Sheet;
  QStringList given;
  QStringList expected;
  for (int i = 1; i <= 15; ++i) {
    given << Q(CopyTo(tiny, Dir.Path(), "g" + std::to_string(i) + ".wav"));
    expected << given.back();
  }
  const QString image = Q(folder.Root + "/image.wav");
  const QString sheetTip = image + "\n" + Q(folder.Root + "/image.cue");
  expected << sheetTip << sheetTip;
  for (const std::string& file : folder.Files)
    if (file != folder.Files.front()) expected << Q(file);  // the broken file is skipped
  // The folder, then its sheet again: the sheet's tracks are listed already.
  ASSERT_TRUE(AddAndWait(*Window, given + QStringList{Q(folder.Root), Q(folder.Root + "/image.cue")}));
  EXPECT_EQ(Sources(), expected);
  EXPECT_EQ(Window->Converter()->TaskCount(), 0);
  EXPECT_EQ(Window->StatusText(),
            QString("已添加 %1 个文件，跳过 1 个无法转换的文件；列表中共 %1 个文件").arg(expected.size()));
  EXPECT_TRUE(Window->LogLines().contains(
      QString("***Folder added: %1 files, 1 skipped: %2").arg(expected.size() - 15).arg(Q(folder.Root))));
  // Every row is one of the batch's files, each once.
  std::set<uint64_t> ids;
  for (int row = 0; row < Window->lvFiles->topLevelItemCount(); ++row) {
    const uint64_t id = Row(row)->data(fcName, FILE_ID_ROLE).toULongLong();
    ASSERT_NE(Window->Batch().File(id), nullptr);
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), static_cast<size_t>(expected.size()));
  EXPECT_EQ(Window->Batch().Files().size(), ids.size());
  // The output names are all there once the names have been worked out.
  ASSERT_TRUE(WaitFor([this] { return !Output(Window->lvFiles->topLevelItemCount() - 1).empty(); }));
  EXPECT_EQ(Output(0).rfind(Out + "/g1", 0), 0u) << Output(0);
}

TEST_F(ManyFiles, ClearingWhileAddingLeavesNoRowBehind) {
  const TSourceFolder folder = MakeSourceFolder(Dir.File("in"), 150, 50);
  const std::string marker = CopyTo(Sine("app_tiny.wav", 0.05, 8000), Dir.Path(), "marker.wav");
  Window->AddFiles({Q(folder.Root)});
  ASSERT_TRUE(WaitFor([this] { return Window->lvFiles->topLevelItemCount() > 0; }));
  Window->ClearList();
  EXPECT_EQ(Window->lvFiles->topLevelItemCount(), 0);
  EXPECT_FALSE(Window->Checking());
  EXPECT_TRUE(Window->Batch().Files().empty());
  // Whatever was under way comes back before a file added next: only that
  // file is listed.
  ASSERT_TRUE(AddAndWait(*Window, {Q(marker)}));
  EXPECT_EQ(Sources(), QStringList{Q(marker)});
  EXPECT_EQ(Window->StatusText(), "已添加 1 个文件；列表中共 1 个文件");
  // Closing the window in the middle of an add, with a conversion waiting
  // for it: nothing more is listed and nothing starts; its threads end.
  // Results are taken only by the event loop, so the add is surely under
  // way when 转换 is pressed right after it.
  Window->AddFiles({Q(folder.Root)});
  Window->Convert();
  EXPECT_TRUE(Window->StatusText().endsWith("添加完后开始转换"));
  Window->close();
  EXPECT_FALSE(Window->Checking());
  const int rows = Window->lvFiles->topLevelItemCount();
  QTest::qWait(300);  // what was on its way has come
  EXPECT_EQ(Window->lvFiles->topLevelItemCount(), rows);
  EXPECT_FALSE(Window->Converting());
  for (const TBatchFile& file : Window->Batch().Files()) EXPECT_FALSE(file.InRun) << file.Source;
  EXPECT_TRUE(FilesBelow(Out).empty());
  Window.reset();
}

}  // namespace
