// The files under a folder the user gives (a folder added to the window, or
// a folder argument of quellon-cli with -r): every file below it in a stable
// order, each with its folder relative to the given one, so that an output
// can keep the source's place in the tree (TSourceFacts::RelativeFolder).
//
// Threads: plain functions. ListSourceTree reads the file system and takes
// long for a large tree: call it off the GUI thread; the abort flag ends it
// early. Nothing here throws except on allocation failure.
#pragma once
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "OptionComposer.h"
#include "Reason.h"

struct TTreeFile {
  std::string Path;            // the given folder joined with the file's place below it
  std::string RelativeFolder;  // the file's folder below the given one; "" at its top
};

// Every file below folder, recursively: in each folder its files first, then
// its sub-folders, each in natural order (NaturalLess). Entries whose names
// start with '.' are left out (hidden files, and the unfinished outputs of a
// conversion); links to files are listed, links to folders are not followed
// (a link back up would never end). False, with the reason in error, when folder itself cannot be
// read as a folder; an abort leaves the files found so far and returns true.
// A sub-folder that cannot be read is passed over; with problems given it is
// named there with the system's reason. So are entries that are not files to
// read: a pipe, device or socket, and a link whose target is missing.
struct TTreeProblem {
  std::string Path;
  std::string Reason;  // "Permission denied"
  TReasonCode Code = rcSourceDenied;  // rcSourceNotFile, rcSourceMissing for entries
};
// The problem as the reason of a file left out: "cannot read the folder:
// Permission denied", "not a regular file (a pipe, device or socket)".
std::string TreeProblemText(const TTreeProblem& problem);
bool ListSourceTree(const std::string& folder, std::vector<TTreeFile>& files, std::string& error,
                    const std::atomic<bool>* abort = nullptr,
                    std::vector<TTreeProblem>* problems = nullptr);
// The same, each file handed to found as soon as its folder has been read
// (in the same order), so that a caller can work on the first files while
// the rest of a large tree is still being read.
using TTreeFileSink = std::function<void(TTreeFile)>;
bool ListSourceTree(const std::string& folder, const TTreeFileSink& found, std::string& error,
                    const std::atomic<bool>* abort = nullptr,
                    std::vector<TTreeProblem>* problems = nullptr);

// Natural order of names: runs of digits compare by their value ("2 x"
// before "10 x"), letters without regard to case; names equal that way
// compare byte by byte, so the order is total.
bool NaturalLess(const std::string& a, const std::string& b);

// Whether a file found under a folder is worth converting, from what its
// probe told: it holds sound; for a video output format (audioOutput false)
// a moving picture does too. A still picture (cover art, a scan) never is.
bool WantedFromFolder(const TSourceFacts& source, bool audioOutput);
