// What sync mode wrote into an output folder, and from what: the hidden file
// ".quellon-sync" in that folder. The batch (Batch.h) asks it whether an
// output is up to date and whether a name may be replaced, and records each
// output as its job completes, so that an interrupted run keeps what it
// finished.
//
// The file is a line format, one record a line, fields separated by tabs
// (a tab, line break or backslash inside a field is escaped as \t, \n, \r,
// \\), after the line "quellon-sync 1":
//   D OUTPUT ROOT SOURCE PART FORMAT SRC_SIZE SRC_MTIME_NS OUT_SIZE OUT_MTIME_NS DIGEST
//       OUTPUT is complete: made from ROOT/SOURCE (track PART of it, 0 the
//       whole file) in FORMAT as it was then, with the settings DIGEST; the
//       output's own size and time as it was left;
//   P OUTPUT ROOT SOURCE PART FORMAT DIGEST
//       a job of this mode was set to write OUTPUT (it may have completed
//       when the process was killed before its D line): OUTPUT is the mode's
//       to replace;
//   F OUTPUT
//       OUTPUT is no longer the mode's (removed, or given up).
// OUTPUT is relative to the state's folder (absolute when outside it); ROOT
// is the folder given, absolute; SOURCE relative to ROOT. A source has one
// output per format. Later lines win.
// Lines are appended as jobs start and end (one write each; a line torn by a
// crash is ignored on reading); Compact rewrites the file whole, through a
// temporary file and a rename, keeping only outputs that exist.
//
// Threads: one object is used by one thread (the batch's main thread).
// Nothing here throws except on allocation failure; failures to write return
// false with the reason.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "OptionRecords.h"

// The name of the state file in an output folder.
inline constexpr const char* SYNC_STATE_NAME = ".quellon-sync";

// A source as the state names it.
struct TSyncSource {
  std::string Root;    // the folder given, absolute
  std::string Path;    // relative to Root
  int Part = 0;        // a track of a cue sheet; 0 the whole file
  std::string Format;  // the output format (lower case)
  std::string Key() const;
  std::string FullPath() const { return Root + "/" + Path; }
};

struct TSyncEntry {
  std::string Output;  // relative to the state's folder
  TSyncSource Source;
  bool Done = false;   // complete, with the figures below
  int64_t SourceSize = -1, SourceModifiedNs = 0;
  int64_t OutputSize = -1, OutputModifiedNs = 0;
  std::string Digest;
  // A job of the mode was set to write it since (P line): its file may be
  // newer than the figures above. PendingFor names that job's source.
  bool Pending = false;
  TSyncSource PendingFor;
};

class TSyncState {
 public:
  // folder: the output folder the state belongs to (made when a line is
  // first written).
  explicit TSyncState(std::string folder);
  const std::string& Folder() const { return FFolder; }
  // Reads the file; a missing file is an empty state. False with the reason
  // when it cannot be read (the state stays empty).
  bool Load(std::string& why);

  // The entry of an output (its full path as composed), or of a source; null
  // when none.
  const TSyncEntry* ByOutput(const std::string& output) const;
  const TSyncEntry* BySource(const TSyncSource& source) const;
  std::vector<const TSyncEntry*> Entries() const;
  // An output's full path from its entry.
  std::string FullPath(const TSyncEntry& entry) const;

  // Each appends its line and updates the state; false with the reason when
  // the line cannot be written (the state is updated all the same).
  bool NotePending(const std::string& output, const TSyncSource& source,
                   const std::string& digest, std::string& why);
  bool NoteDone(const TSyncEntry& entry, std::string& why);  // entry.Output a full path
  bool Forget(const std::string& output, std::string& why);
  // Rewrites the file with the outputs that exist, when anything changed
  // since it was read (or it holds lines that no longer count).
  bool Compact(std::string& why);

 private:
  std::string Relative(const std::string& output) const;
  bool Append(const std::string& line, std::string& why);
  void Apply(const std::vector<std::string>& fields);
  void SetSource(TSyncEntry& entry, const TSyncSource& source);
  void Drop(const std::string& relative);

  std::string FFolder;
  std::map<std::string, TSyncEntry> FByOutput;         // by relative output
  std::map<std::string, std::string> FBySource;        // source key -> relative output
  bool FEndsTorn = false;  // the file does not end with a line break
  bool FStale = false;     // lines were added, or the file holds more than it needs
};

// Whether an output still is what the entry recorded (size and time).
bool OutputUnchanged(const TSyncEntry& entry, const std::string& fullPath);

// A stable digest (hex) of what decides an output's bytes in the two
// records: format, codecs and their options, quality, channels, rate,
// volume, loudness and ReplayGain choices, clip and sample range, tags and
// the tag encoding, extra option lines. Names, the overwrite and folder
// flags and the album object are left out; extra: further text that decides
// the output (the naming choices, a clip asked for in seconds, album gain).
std::string SettingsDigest(const TInputOptions& input, const TOutputOptions& output,
                           const std::string& extra);
