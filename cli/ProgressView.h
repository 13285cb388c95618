// What quellon-cli shows while it converts: on a terminal one live line per
// running file and a total line, redrawn in place; otherwise one line per
// file as it ends; then the summary.
//
// Threads: every call may come from any thread (the component's handlers run
// on its workers); the view serialises them with its own lock.
#pragma once
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// One file of the command line.
struct TFileJob {
  std::string Source;      // as given, or found under a folder given
  bool FromFolder = false;     // found under a folder given with -r
  std::string RelativeFolder;  // its folder below that one, when the tree is kept
  bool Skipped = false;        // under a folder and not convertible: left out, not failed
  std::string Output;      // composed output path; "" when none was made
  int64_t ExpectedMs = 0;  // media time to convert; 0 when unknown
  bool Running = false;
  bool Ended = false;
  bool Failed = false;
  bool Partial = false;  // converted what a damaged source held
  std::string Message;   // why it failed, or what a partial one lost
  int CurrentMs = 0;    // converted so far
  int64_t CurrentSize = 0;
  double Seconds = 0;  // wall time taken
};

class TProgressView {
 public:
  // live: redraw lines in place (stdout is a terminal); quiet: show nothing
  // until the summary.
  TProgressView(std::vector<TFileJob>& jobs, bool live, bool quiet);

  void Progress(int job, int currentMs, int64_t currentSize);
  // The file's job ended: converted (partial: a damaged source, message
  // says what was lost), or failed with message. output: the name the
  // output took ("" keeps the composed one).
  void Ended(int job, bool failed, bool partial, const std::string& message,
             const std::string& output, double seconds);
  // A file that never became a task.
  void Refused(int job, const std::string& message);
  // A file found under a folder that is not worth converting: left out of
  // the summary's list and counted; its line goes to stderr when show.
  void Skipped(int job, const std::string& message, bool show);
  // A log line for stderr, printed above the live lines.
  void Log(const std::string& line);
  // Redraws when the last drawing is old enough.
  void Tick();
  // Removes the live lines and prints the summary to stdout.
  void Summary();

  // "ok, OUT/a_(new).mp3, 1.23 MB, 0.52 s, 38.5x", "partial: ..., OUT/..."
  // or "failed: ..." for a job.
  static std::string StatusText(const TFileJob& job);

 private:
  void Draw(bool force);
  void Erase();
  std::string LiveLine(const TFileJob& job) const;
  std::string TotalLine() const;

  std::mutex Lock;
  std::vector<TFileJob>& Jobs;
  bool Live, Quiet, LogOnTerminal;
  int LinesDrawn = 0;
  std::chrono::steady_clock::time_point LastDraw{};
};
