// The command line of quellon-cli: what it accepts and the usage text.
#pragma once
#include <string>
#include <vector>

#include "LegacyText.h"
#include "OptionRecords.h"

struct TCliOptions {
  // An item of the composer's format list in any case, or several sound
  // formats separated by commas (SetFormatList).
  std::string Format = "wav";
  std::string OutputDir;       // empty: beside each source
  int Jobs = 1;                // tasks at once; 0: one after another on the main thread
  bool Overwrite = false;
  bool KeepPartial = false;    // a stopped or failed file keeps what it wrote
  bool Split = true;           // long files are encoded on several cores
  int Channels = 0;            // index into AudioChannelItems
  int SampleRate = 0;          // index into SampleRateItems
  int BitRateKbps = -1;        // -1: the format's default
  std::string Quality;         // "V2", "192k", "96k:cvbr", "q5", "level8" (Quality.h); "" default
  int Volume = -1;             // -1: unchanged (256)
  double Start = -1, End = -1;  // seconds; -1: not given
  std::vector<std::string> Extra;  // NAME=VALUE engine option lines
  TLogLevel LogLevel = llError;
  bool Probe = false;
  bool Quiet = false;
  bool Help = false;
  bool Version = false;
  bool Recursive = false;  // a folder given stands for the files under it
  bool KeepTree = false;   // outputs keep their sub-folder below the folder given
  std::vector<std::string> Files;  // files and (with Recursive) folders, as given
  // Music.
  double Loudness = 0;     // LUFS to level to; 0: not levelled
  bool ReplayGain = false;
  bool AlbumGain = false;  // the files of one folder form an album
  bool KeepTime = false;
  bool FolderCover = false;
  bool NoCue = false;        // images whole, cue sheets skipped
  bool GapsAtStart = false;  // a track's pregap starts it
  TTagEncoding TagEncoding = teAuto;  // tags that claim Latin-1
  std::string NamePattern;  // outputs named from tags (NamePattern.h); "" after the source
  // Sync mode (TBatchChoices::Sync, DeleteOrphans, DryRun).
  bool Sync = false;
  bool DeleteOrphans = false;
  bool DryRun = false;
};

// Reads argv into options (defaults first: Jobs = the number of CPU cores).
// False with a one-line reason for a usage error.
bool ParseCommandLine(int argc, char** argv, TCliOptions& options, std::string& error);

// The usage text, ending with a line break.
std::string UsageText();
