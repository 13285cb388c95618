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

// A file as the lines name it: a track of a cue sheet by its number and
// title, any other file by its path.
std::string Shown(const TBatchFile& file) {
  return file.Track ? file.Track->Label() : file.Source;
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

double Fraction(const TBatchFile& file) {
  if (file.Converted()) return 1.0;
  if (file.ExpectedMs <= 0) return 0.0;
  return std::min(1.0, static_cast<double>(file.DoneMs) / static_cast<double>(file.ExpectedMs));
}

// The reason without the file's name, which the line shows already (the
// libraries' texts often start with it).
std::string Unnamed(const TBatchFile& file) {
  const std::string named = Shown(file) + ": ";
  return file.Reason.compare(0, named.size(), named) == 0 ? file.Reason.substr(named.size())
                                                           : file.Reason;
}

}  // namespace

TProgressView::TProgressView(const TConversionBatch& batch, bool live, bool quiet)
    : Batch(batch), Live(live && !quiet), Quiet(quiet), LogOnTerminal(isatty(STDERR_FILENO)) {}

std::string TProgressView::StatusText(const TBatchFile& file) {
  std::string text;
  switch (file.Outcome) {
    case foComplete: text = "ok"; break;
    case foPartial: text = "partial: " + Unnamed(file); break;
    case foFailed: text = "failed: " + Unnamed(file); break;
    case foSkipped: return "skipped: " + Unnamed(file);
    case foUpToDate: return "up to date, " + file.Output;
    case foPlanned: return "to convert (" + file.Reason + "), " + file.Output;
    default: return "stopped";  // stopped while converting, or never started
  }
  const int64_t size = FileSize(file.Output);
  if (size < 0 || !file.Converted()) return text;
  text += ", " + file.Output + ", " + TCustomAVProbe::FormatFileSize(size);
  // The further formats' outputs, each with its size.
  for (size_t i = 1; i < file.Outputs.size(); ++i)
    text += ", " + file.Outputs[i] + ", " +
            TCustomAVProbe::FormatFileSize(std::max<int64_t>(FileSize(file.Outputs[i]), 0));
  text += StrFormat(", %.2f s", file.Seconds);
  if (file.Seconds > 0 && file.ExpectedMs > 0)
    text += StrFormat(", %.1fx", static_cast<double>(file.ExpectedMs) / 1000.0 / file.Seconds);
  return text;
}

std::string TProgressView::TotalLine() const {
  const TBatchFigures f = Batch.Figures();
  const int ended = f.Converted + f.Failed + f.UpToDate + f.Planned;
  return NameColumn("total") + " " + Bar(f.Percent / 100.0) +
         StrFormat(" %3d%%  %d of %d files done", f.Percent, ended, f.Files);
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
  for (const TBatchFile& file : Batch.Files()) {
    if (!file.Running) continue;
    const double fraction = Fraction(file);
    text += "\r\x1b[K" + NameColumn(Shown(file)) + " " + Bar(fraction) +
            StrFormat(" %3d%%  %s  %s", static_cast<int>(fraction * 100),
                      MediaTime(static_cast<int>(file.DoneMs)).c_str(),
                      TCustomAVProbe::FormatFileSize(file.OutputSize).c_str()) +
            "\n";
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

void TProgressView::Progress() { Draw(false); }

void TProgressView::Ended(const TBatchFile& file) {
  // A file that never became a task (refused, or skipped) is told on stderr
  // at once; a file whose job ran, on stdout.
  if (file.Outcome == foSkipped || (file.Outcome == foFailed && file.Seconds <= 0 &&
                                    file.Output.empty())) {
    if (!Refused.insert(file.Id).second) return;
    if (Live && LogOnTerminal) Erase();
    std::fprintf(stderr, "quellon-cli: %s: %s%s\n", Shown(file).c_str(),
                 file.Outcome == foSkipped ? "skipped: " : "", Unnamed(file).c_str());
    std::fflush(stderr);
    Draw(true);
    return;
  }
  if (Live) {
    Draw(true);
  } else if (!Quiet) {
    std::printf("%s: %s\n", Shown(file).c_str(), StatusText(file).c_str());
    std::fflush(stdout);
  }
}

void TProgressView::Log(const std::string& line) {
  if (Live && LogOnTerminal) {
    Erase();
    std::fflush(stdout);
  }
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  if (Live && LogOnTerminal) Draw(true);
}

void TProgressView::Tick() { Draw(false); }

void TProgressView::Summary() {
  Erase();
  std::printf("Summary:\n");
  for (const TBatchFile& file : Batch.Files())
    std::printf("  %s: %s\n", Shown(file).c_str(), StatusText(file).c_str());
  const TBatchFigures f = Batch.Figures();
  std::printf("%d converted, %d partial, %d failed", f.Converted - f.Partial, f.Partial, f.Failed);
  if (f.UpToDate > 0) std::printf(", %d up to date", f.UpToDate);
  if (f.Planned > 0) std::printf(", %d to convert (dry run)", f.Planned);
  if (f.Left > 0) std::printf(", %d stopped", f.Left);
  std::printf("\n");
  // Outputs of gone sources (sync mode).
  int removed = 0;
  for (const TSyncRemoval& r : Batch.Removals()) {
    switch (r.Outcome) {
      case roRemoved:
        ++removed;
        std::printf("  removed: %s (its source %s is gone)\n", r.Output.c_str(), r.Source.c_str());
        break;
      case roPlanned:
        std::printf("  to remove: %s (its source %s is gone)\n", r.Output.c_str(),
                    r.Source.c_str());
        break;
      case roKept:
        std::printf("  kept: %s: %s\n", r.Output.c_str(), r.Reason.c_str());
        break;
      case roFailed:
        std::printf("  not removed: %s: %s\n", r.Output.c_str(), r.Reason.c_str());
        break;
    }
  }
  if (removed > 0)
    std::printf("%d %s of gone sources removed\n", removed, removed == 1 ? "output" : "outputs");
  if (f.Skipped > 0) {
    int unreadable = 0;
    for (const TBatchFile& file : Batch.Skipped()) unreadable += file.Code == rcSourceDenied;
    std::printf("%d %s under the folders skipped", f.Skipped, f.Skipped == 1 ? "file" : "files");
    if (unreadable > 0)
      std::printf(" (%d unreadable)", unreadable);
    else
      std::printf(": nothing the libraries can convert");
    std::printf("\n");
  }
  std::fflush(stdout);
}
