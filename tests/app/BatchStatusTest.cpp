// The status line's texts, and the open-file dialog's filter.
#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "BatchStatus.h"
#include "FFmpegLoader.h"
#include "OpenFileFilter.h"

using namespace app_test;

namespace {

TEST(BatchStatus, SizesAndDurationsReadAsAPersonWritesThem) {
  EXPECT_EQ(SizeText(0), "0 B");
  EXPECT_EQ(SizeText(812), "812 B");
  EXPECT_EQ(SizeText(1023), "1023 B");
  EXPECT_EQ(SizeText(1024), "1.0 KB");
  EXPECT_EQ(SizeText(4321), "4.2 KB");
  EXPECT_EQ(SizeText(10239), "9.9 KB");  // cut, never rounded up to "10.0"
  EXPECT_EQ(SizeText(66228), "64 KB");
  EXPECT_EQ(SizeText(3565159), "3.4 MB");
  EXPECT_EQ(SizeText(int64_t{5} << 30), "5.0 GB");
  EXPECT_EQ(SizeText(-1), "0 B");

  EXPECT_EQ(DurationText(0), "0:00");
  EXPECT_EQ(DurationText(7999), "0:07");
  EXPECT_EQ(DurationText(245000), "4:05");
  EXPECT_EQ(DurationText(3599999), "59:59");
  EXPECT_EQ(DurationText(3723000), "1:02:03");
  EXPECT_EQ(DurationText(-5), "0:00");
}

TEST(BatchStatus, RunningAndSummaryTexts) {
  TBatchFigures f;
  f.Files = 300;
  f.Converted = 12;
  f.Failed = 1;
  f.Percent = 34;
  EXPECT_EQ(RunningText(f, 62000, 120000, false), "已完成 12/300，失败 1 · 34% · 已用 1:02 · 剩余约 2:00");
  EXPECT_EQ(RunningText(f, 62000, -1, false), "已完成 12/300，失败 1 · 34% · 已用 1:02 · 正在估算剩余时间");
  EXPECT_EQ(RunningText(f, 62000, 120000, true),
            "已完成 12/300，失败 1 · 34% · 已用 1:02 · 剩余约 2:00 · 已暂停");
  f.Failed = 0;
  EXPECT_EQ(RunningText(f, 1000, -1, true), "已完成 12/300 · 34% · 已用 0:01 · 已暂停");

  TBatchFigures end;
  end.Files = 300;
  end.Converted = 298;
  end.Failed = 2;
  EXPECT_EQ(SummaryText(end, false), "298 个完成，2 个失败");
  end.Partial = 1;
  EXPECT_EQ(SummaryText(end, false), "298 个完成（1 个源文件损坏），2 个失败");
  TBatchFigures stopped;
  stopped.Files = 300;
  stopped.Converted = 5;
  stopped.Left = 295;
  EXPECT_EQ(SummaryText(stopped, true), "已停止：5 个完成，295 个未转换");
  TBatchFigures synced;
  synced.Files = 300;
  synced.Converted = 3;
  synced.UpToDate = 297;
  EXPECT_EQ(SummaryText(synced, false), "3 个完成，297 个已是最新");
  synced.Percent = 99;
  EXPECT_EQ(RunningText(synced, 1000, -1, false),
            "已完成 3/300，已是最新 297 · 99% · 已用 0:01 · 正在估算剩余时间");
  TBatchFigures one;
  one.Files = one.Converted = 1;
  EXPECT_EQ(SummaryText(one, false), "1 个完成");
}

// The filter comes from the libraries' own tables: what they read, named
// by its extensions, and nothing that holds no sound.
TEST(OpenFileFilter, ListsWhatTheLibrariesReadAndAllFiles) {
  FFmpegLoader().SetLibraryPath(DefaultLibraryDir());
  ASSERT_TRUE(FFmpegLoader().LoadLibraries(ENGINE_LIBRARIES));
  QStringList extensions = ReadableExtensions();
  for (const char* readable : {"mp3", "mp2", "wav", "ogg", "wma", "flac", "m4a", "opus", "aac",
                               "oga", "mka", "mkv", "mp4", "avi", "ape", "wv", "ac3"})
    EXPECT_TRUE(extensions.contains(readable)) << readable;
  for (const char* noSound : {"jpg", "png", "bmp", "txt", "srt", "ass", "lrc", ""})
    EXPECT_FALSE(extensions.contains(noSound)) << noSound;
  EXPECT_EQ(extensions.removeDuplicates(), 0);

  const QString filter = OpenFileFilter();
  const QStringList entries = filter.split(";;");
  ASSERT_EQ(entries.size(), 6);
  EXPECT_TRUE(entries[0].startsWith("所有支持的格式 (*.")) << entries[0].toStdString();
  EXPECT_TRUE(entries[0].contains(" *.flac ")) << entries[0].toStdString();
  EXPECT_TRUE(entries[0].endsWith(" *.cue)")) << entries[0].toStdString();
  EXPECT_EQ(entries.mid(1), QStringList({"Media Player Files(*.wma)", "RM(*.rm)",
                                         "Ogg Vorbis Files(*.ogg)", "CUE 分轨 (*.cue)",
                                         "所有文件 (*)"}));
}

}  // namespace
