// Progress lines and the summary of quellon-cli.
#include "ProgressView.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "AVProbe.h"
#include "Text.h"

namespace {

constexpr int NAME_WIDTH = 28;
constexpr int BAR_WIDTH = 24;
constexpr auto REDRAW_EVERY = std::chrono::milliseconds(100);

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name cut to the column, keeping its end (the suffix tells most).
std::string NameColumn(const std::string& path) {
  std::string name = BaseName(path);
  if (name.size() > NAME_WIDTH) name = "..." + name.substr(name.size() - (NAME_WIDTH - 3));
  return StrFormat("%-*s", NAME_WIDTH, name.c_str());
}

std::string Bar(double fraction) {
  const int filled = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * BAR_WIDTH + 0.5);
  return "[" + std::string(filled, '#') + std::string(BAR_WIDTH - filled, '.') + "]";
}

std::string MediaTime(int ms) {
  ms = std::max(ms, 0);
  return StrFormat("%02d:%02d:%02d.%d", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                   ms / 100 % 10);
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

double Fraction(const TFileJob& job) {
  if (job.Ended && !job.Failed) return 1.0;
  if (job.ExpectedMs <= 0) return 0.0;
  return std::min(1.0, static_cast<double>(job.CurrentMs) / static_cast<double>(job.ExpectedMs));
}

}  // namespace

TProgressView::TProgressView(std::vector<TFileJob>& jobs, bool live, bool quiet)
    : Jobs(jobs), Live(live && !quiet), Quiet(quiet), LogOnTerminal(isatty(STDERR_FILENO)) {}

std::string TProgressView::StatusText(const TFileJob& job) {
  std::string text;
  if (job.Failed)
    text = "failed: " + (job.Message.empty() ? std::string("unknown error") : job.Message);
  else if (job.Partial)
    text = "partial: " + job.Message;
  else
    text = "ok";
  const int64_t size = FileSize(job.Output);
  if (size < 0) return text;
  const int mediaMs = job.CurrentMs > 0 ? job.CurrentMs : static_cast<int>(job.ExpectedMs);
  text += ", " + job.Output + ", " + TCustomAVProbe::FormatFileSize(size) +
          StrFormat(", %.2f s", job.Seconds);
  if (job.Seconds > 0 && mediaMs > 0)
    text += StrFormat(", %.1fx", mediaMs / 1000.0 / job.Seconds);
  return text;
}

std::string TProgressView::LiveLine(const TFileJob& job) const {
  const double fraction = Fraction(job);
  return NameColumn(job.Source) + " " + Bar(fraction) +
         StrFormat(" %3d%%  %s  %s", static_cast<int>(fraction * 100),
                   MediaTime(job.CurrentMs).c_str(),
                   TCustomAVProbe::FormatFileSize(job.CurrentSize).c_str());
}

std::string TProgressView::TotalLine() const {
  double expected = 0, done = 0;
  int ended = 0, files = 0;
  for (const TFileJob& job : Jobs) {
    if (job.Skipped) continue;
    ++files;
    if (job.Ended) ++ended;
    if (job.ExpectedMs <= 0) continue;
    expected += static_cast<double>(job.ExpectedMs);
    done += Fraction(job) * static_cast<double>(job.ExpectedMs);
  }
  const double fraction = expected > 0 ? done / expected : 0;
  return NameColumn("total") + " " + Bar(fraction) +
         StrFormat(" %3d%%  %d of %d files done", static_cast<int>(fraction * 100), ended, files);
}

void TProgressView::Erase() {
  if (LinesDrawn == 0) return;
  std::printf("\x1b[%dA\r\x1b[J", LinesDrawn);
  LinesDrawn = 0;
}

void TProgressView::Draw(bool force) {
  if (!Live) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - LastDraw < REDRAW_EVERY) return;
  LastDraw = now;
  std::string text;
  int lines = 0;
  for (const TFileJob& job : Jobs) {
    if (!job.Running) continue;
    text += "\r\x1b[K" + LiveLine(job) + "\n";
    ++lines;
  }
  text += "\r\x1b[K" + TotalLine() + "\n";
  ++lines;
  if (LinesDrawn > 0) std::printf("\x1b[%dA", LinesDrawn);
  std::fputs(text.c_str(), stdout);
  std::fputs("\x1b[J", stdout);
  std::fflush(stdout);
  LinesDrawn = lines;
}

void TProgressView::Progress(int job, int currentMs, int64_t currentSize) {
  std::lock_guard<std::mutex> lock(Lock);
  TFileJob& j = Jobs[static_cast<size_t>(job)];
  j.Running = true;
  j.CurrentMs = std::max(j.CurrentMs, currentMs);
  j.CurrentSize = currentSize;
  Draw(false);
}

void TProgressView::Ended(int job, bool failed, bool partial, const std::string& message,
                          const std::string& output, double seconds) {
  std::lock_guard<std::mutex> lock(Lock);
  TFileJob& j = Jobs[static_cast<size_t>(job)];
  j.Running = false;
  j.Ended = true;
  j.Failed = failed;
  j.Partial = partial && !failed;
  j.Message = message;
  j.Seconds = seconds;
  if (!output.empty()) j.Output = output;
  if (Live) {
    Draw(true);
  } else if (!Quiet) {
    std::printf("%s: %s\n", j.Source.c_str(), StatusText(j).c_str());
    std::fflush(stdout);
  }
}

void TProgressView::Refused(int job, const std::string& message) {
  std::lock_guard<std::mutex> lock(Lock);
  TFileJob& j = Jobs[static_cast<size_t>(job)];
  j.Ended = true;
  j.Failed = true;
  // The library's texts often start with the file's name, which the line shows.
  const std::string named = j.Source + ": ";
  j.Message = message.compare(0, named.size(), named) == 0 ? message.substr(named.size()) : message;
  if (Live && LogOnTerminal) Erase();
  std::fprintf(stderr, "quellon-cli: %s: %s\n", j.Source.c_str(), j.Message.c_str());
  std::fflush(stderr);
  Draw(true);
}

void TProgressView::Skipped(int job, const std::string& message, bool show) {
  std::lock_guard<std::mutex> lock(Lock);
  TFileJob& j = Jobs[static_cast<size_t>(job)];
  j.Ended = true;
  j.Skipped = true;
  j.Message = message;
  if (!show) return;
  if (Live && LogOnTerminal) Erase();
  std::fprintf(stderr, "quellon-cli: %s: skipped: %s\n", j.Source.c_str(), message.c_str());
  std::fflush(stderr);
  Draw(true);
}

void TProgressView::Log(const std::string& line) {
  std::lock_guard<std::mutex> lock(Lock);
  if (Live && LogOnTerminal) {
    Erase();
    std::fflush(stdout);
  }
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  if (Live && LogOnTerminal) Draw(true);
}

void TProgressView::Tick() {
  std::lock_guard<std::mutex> lock(Lock);
  Draw(false);
}

void TProgressView::Summary() {
  std::lock_guard<std::mutex> lock(Lock);
  Erase();
  std::printf("Summary:\n");
  size_t converted = 0, partial = 0, failed = 0, skipped = 0;
  for (const TFileJob& job : Jobs) {
    if (job.Skipped) {
      ++skipped;
      continue;
    }
    std::printf("  %s: %s\n", job.Source.c_str(), StatusText(job).c_str());
    (job.Failed ? failed : job.Partial ? partial : converted)++;
  }
  std::printf("%zu converted, %zu partial, %zu failed\n", converted, partial, failed);
  if (skipped > 0)
    std::printf("%zu %s under the folders skipped: nothing the libraries can convert\n", skipped,
                skipped == 1 ? "file" : "files");
  std::fflush(stdout);
}
