// What quellon-cli shows of its batch while it converts: on a terminal one
// live line per running file and a total line, redrawn in place; otherwise
// one line per file as it ends; a line on stderr for each file that failed
// before it ran or was skipped; then the summary.
//
// Threads: the batch's main thread only (the batch's events come there).
#pragma once
#include <chrono>
#include <set>
#include <string>

#include "Batch.h"

class TProgressView {
 public:
  // live: redraw lines in place (stdout is a terminal); quiet: show nothing
  // until the summary.
  TProgressView(const TConversionBatch& batch, bool live, bool quiet);

  void Progress();
  // The file ended (skipped files too).
  void Ended(const TBatchFile& file);
  // A log line for stderr, printed above the live lines.
  void Log(const std::string& line);
  // Redraws when the last drawing is old enough.
  void Tick();
  // Removes the live lines and prints the summary to stdout.
  void Summary();

  // "ok, OUT/a_(new).mp3, 1.23 MB, 0.52 s, 38.5x", "partial: ..., OUT/...",
  // "failed: ...", or "stopped" for a file not converted.
  static std::string StatusText(const TBatchFile& file);

 private:
  void Draw(bool force);
  void Erase();
  std::string TotalLine() const;

  const TConversionBatch& Batch;
  bool Live, Quiet, LogOnTerminal;
  int LinesDrawn = 0;
  std::chrono::steady_clock::time_point LastDraw{};
  // Files refused before a task was made, told once (a cue sheet that cannot
  // be used is refused when it is added and again when the run reaches it).
  std::set<uint64_t> Refused;
};
