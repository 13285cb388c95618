// The main window's status line texts: sizes, durations, the running batch
// and its end, from the batch's figures (TBatchFigures of Batch.h). Pure
// functions over plain values, so the texts test without a window.
//
// Threads: any one thread; nothing here touches a widget or the clock.
#pragma once
#include <QString>
#include <cstdint>

#include "Batch.h"

// "812 B", "3.4 MB", "56 KB", "1.2 GB": 1024-based units, one decimal
// below 10.
QString SizeText(int64_t bytes);
// "0:07", "4:05", "1:02:03" of milliseconds (whole seconds, rounded down).
QString DurationText(int64_t ms);

// The running batch: "已完成 12/300，失败 1 · 34% · 已用 1:02 · 剩余约 2:00"
// (leftMs -1: the time left is still being estimated); paused, " · 已暂停"
// follows.
QString RunningText(const TBatchFigures& figures, int64_t elapsedMs, int64_t leftMs, bool paused);
// The batch's end: "298 个完成，2 个失败"; files a sync run found up to
// date follow ("，20 个已是最新"); a damaged source is counted
// among the converted ("（1 个源文件损坏）"); a stopped batch says so and
// how many files are left ("已停止：5 个完成，295 个未转换").
QString SummaryText(const TBatchFigures& figures, bool stopped);
