// Listing the files under a folder for conversion.
#include "SourceTree.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

bool Aborted(const std::atomic<bool>* abort) { return abort && abort->load(); }

// One folder's files, then its sub-folders, each sorted; below = its place
// under the given folder ("" for the given folder itself).
void ListFolder(const fs::path& folder, const std::string& below, const TTreeFileSink& found,
                const std::atomic<bool>* abort, std::vector<TTreeProblem>* problems) {
  std::vector<std::string> names, folders;
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error && problems) problems->push_back({folder.string(), error.message()});
  for (; !error && it != fs::directory_iterator(); it.increment(error)) {
    if (Aborted(abort)) return;
    const std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.') continue;
    std::error_code kind;
    if (it->is_symlink(kind)) {
      // A link to a file counts as the file; a link to a folder is not followed.
      if (it->is_regular_file(kind))
        names.push_back(name);
      else if (!it->exists(kind) && problems)
        problems->push_back({it->path().string(), "a link whose target is missing", rcSourceMissing});
    } else if (it->is_directory(kind)) {
      folders.push_back(name);
    } else if (it->is_regular_file(kind)) {
      names.push_back(name);
    } else if (problems) {
      // Reading a pipe or a device could block or never end: named, not read.
      problems->push_back(
          {it->path().string(), "not a regular file (a pipe, device or socket)", rcSourceNotFile});
    }
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  std::sort(folders.begin(), folders.end(), NaturalLess);
  for (const std::string& name : names) {
    if (Aborted(abort)) return;
    found({(folder / name).string(), below});
  }
  for (const std::string& name : folders) {
    if (Aborted(abort)) return;
    ListFolder(folder / name, below.empty() ? name : below + "/" + name, found, abort, problems);
  }
}

// The run of digits starting at i, without its leading zeros; i moves past it.
std::string DigitRun(const std::string& text, size_t& i) {
  const size_t start = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  size_t first = start;
  while (first + 1 < i && text[first] == '0') ++first;
  return text.substr(first, i - first);
}

// <0, 0, >0 in natural order, ignoring case and leading zeros.
int NaturalCompare(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const auto ca = static_cast<unsigned char>(a[i]);
    const auto cb = static_cast<unsigned char>(b[j]);
    if (std::isdigit(ca) && std::isdigit(cb)) {
      const std::string da = DigitRun(a, i), db = DigitRun(b, j);
      if (da.size() != db.size()) return da.size() < db.size() ? -1 : 1;
      if (const int c = da.compare(db); c != 0) return c;
      continue;
    }
    const int la = std::tolower(ca), lb = std::tolower(cb);
    if (la != lb) return la < lb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

}  // namespace

bool NaturalLess(const std::string& a, const std::string& b) {
  const int c = NaturalCompare(a, b);
  return c != 0 ? c < 0 : a < b;
}

bool ListSourceTree(const std::string& folder, std::vector<TTreeFile>& files, std::string& error,
                    const std::atomic<bool>* abort, std::vector<TTreeProblem>* problems) {
  return ListSourceTree(
      folder, [&files](TTreeFile file) { files.push_back(std::move(file)); }, error, abort,
      problems);
}

bool ListSourceTree(const std::string& folder, const TTreeFileSink& found, std::string& error,
                    const std::atomic<bool>* abort, std::vector<TTreeProblem>* problems) {
  std::error_code failure;
  if (!fs::is_directory(folder, failure)) {
    error = folder + ": " + (failure ? failure.message() : std::string("not a folder"));
    return false;
  }
  fs::directory_iterator probe(folder, failure);
  if (failure) {
    error = folder + ": " + failure.message();
    return false;
  }
  // The given name is kept as given (a trailing '/' taken off) so paths read
  // as the user wrote them.
  std::string top = folder;
  while (top.size() > 1 && top.back() == '/') top.pop_back();
  ListFolder(fs::path(top), "", found, abort, problems);
  return true;
}

std::string TreeProblemText(const TTreeProblem& problem) {
  return problem.Code == rcSourceDenied ? "cannot read the folder: " + problem.Reason
                                        : problem.Reason;
}

bool WantedFromFolder(const TSourceFacts& source, bool audioOutput) {
  if (source.HasAudio) return true;
  if (audioOutput || !source.HasVideo) return false;
  // Pictures come through the image demuxers, one per picture format.
  const std::string& format = source.FormatName;
  const bool still = format == "image2" ||
                     (format.size() > 5 && format.compare(format.size() - 5, 5, "_pipe") == 0);
  return !still;
}
