// The main window's status line: how far the batch of conversions is, from
// the rows' states and media times, and the texts the window shows for
// sizes, durations, the running batch and its end. Pure functions over plain
// values, so the figures and texts test without a window.
//
// Threads: any one thread; nothing here touches a widget or the clock.
#pragma once
#include <QString>
#include <cstdint>
#include <vector>

// How a row of the list stands in the current batch.
enum TRowState : int {
  rsIdle = 0,      // not part of a batch (added, or left when a batch stopped)
  rsWaiting = 1,   // in the batch, its task not started
  rsRunning = 2,   // converting
  rsComplete = 3,  // converted
  rsPartial = 4,   // converted what a damaged source held
  rsFailed = 5,    // could not be converted
  rsStopped = 6    // stopped by the user; its output removed
};

// A row as the batch counts it.
struct TBatchRow {
  TRowState State = rsIdle;
  int64_t ExpectedMs = 0;  // media time its conversion covers; 0 when unknown
  int64_t DoneMs = 0;      // converted so far
};

struct TBatchFigures {
  int Files = 0;      // rows of the batch
  int Converted = 0;  // complete or partial
  int Partial = 0;    // of those, from a damaged source
  int Failed = 0;
  int Stopped = 0;
  int Left = 0;       // waiting, running or idle: not converted yet
  int64_t TotalMs = 0;  // media time of the batch's rows (known durations)
  int64_t DoneMs = 0;   // of it, converted (a row that ended counts whole)
  int Percent = 0;      // by media time; by files when no duration is known
};

// Counts the rows of a batch.
TBatchFigures CountBatch(const std::vector<TBatchRow>& rows);

// The time the rest should take at the pace of this run: elapsed × what is
// left ÷ what this run converted (doneAtStartMs was converted before it, by a
// stopped batch). -1 while unknown.
int64_t TimeLeftMs(const TBatchFigures& figures, int64_t elapsedMs, int64_t doneAtStartMs);

// "812 B", "3.4 MB", "56 KB", "1.2 GB": 1024-based units, one decimal
// below 10.
QString SizeText(int64_t bytes);
// "0:07", "4:05", "1:02:03" of milliseconds (whole seconds, rounded down).
QString DurationText(int64_t ms);

// The running batch: "已完成 12/300，失败 1 · 34% · 已用 1:02 · 剩余约 2:00"
// (leftMs -1: the time left is still being estimated); paused, " · 已暂停"
// follows.
QString RunningText(const TBatchFigures& figures, int64_t elapsedMs, int64_t leftMs, bool paused);
// The batch's end: "298 个完成，2 个失败"; a damaged source is counted
// among the converted ("（1 个源文件损坏）"); a stopped batch says so and
// how many files are left ("已停止：5 个完成，295 个未转换").
QString SummaryText(const TBatchFigures& figures, bool stopped);
