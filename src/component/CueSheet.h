// Cue sheets: the tracks of an album held in one or more audio files (a
// disc image with a .cue beside it, or a FLAC with the sheet inside it, as a
// CUESHEET metadata block or a "cuesheet" tag).
//
// A cue file's text is decoded to UTF-8 (TextToUtf8) and parsed by libcue;
// what libcue does not keep (the line of each command, CATALOG, the REM
// fields it skips, which FILE an index lies in) comes from a light scan of
// the same lines. Every reason names the line it is about ("cue sheet line
// 12: ..."). A FLAC's CUESHEET block is read with libFLAC.
//
// Times are CD frames, 75 a second, counted from the start of the track's
// own file. TrackRanges turns them into sample ranges once each file's rate
// and length are known.
//
// Threads: plain functions, any thread. libcue keeps global parser state:
// every call into it is made under one process-wide lock.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "LegacyText.h"

// A cue file larger than this is refused before it is read.
inline constexpr int64_t MAX_CUE_BYTES = 1 << 20;
// A disc holds at most this many tracks.
inline constexpr int MAX_CUE_TRACKS = 99;

struct TCueTrack {
  int Number = 0;        // as the sheet numbers it
  int Line = 0;          // its TRACK line, 1-based; 0 in a CUESHEET block
  std::string File;      // the path of its audio file (resolved beside the cue)
  int64_t Index0 = -1;   // INDEX 00 in frames of its file; -1 none (or in another file)
  int64_t Index1 = 0;    // INDEX 01 in frames of its file
  // A CUESHEET block's exact offsets in samples; -1: from the frames above.
  int64_t Sample0 = -1, Sample1 = -1;
  std::string Title, Performer, Songwriter, Isrc;
};

struct TCueSheet {
  std::string Path;      // the cue file; the audio file itself for an embedded sheet
  bool Embedded = false;
  std::string Encoding;  // what the text was decoded from ("UTF-8", "GB18030", ...)
  // Album fields ("" when the sheet has none).
  std::string Performer, Title, Songwriter, Catalog;
  std::string Genre, Date, DiscId, Comment;  // REM GENRE, DATE, DISCID, COMMENT
  int DiscNumber = 0;    // REM DISCNUMBER, else from the folder's name (CueDiscNumber); 0 unknown
  int TotalDiscs = 0;    // REM TOTALDISCS; 0 unknown
  std::vector<std::string> Files;  // the FILE entries in order, resolved beside the cue
  std::vector<int> FileLines;      // the line of each FILE entry
  std::vector<TCueTrack> Tracks;   // in the sheet's order
};

// Reads and checks a cue file: size, text, syntax, its FILE entries (each
// must exist, lie in the cue's folder or below, and not be the cue itself),
// the tracks' order. False with the reason otherwise.
bool ReadCueFile(const std::string& path, TTagEncoding encoding, TCueSheet& sheet,
                 std::string& error);
// The same for a sheet's UTF-8 text, the cue's path given for its folder
// and its name; checkFiles false leaves the files unchecked (a sheet from a
// tag, whose FILE names whatever the image was once called).
bool ParseCueText(const std::string& text, const std::string& cuePath, bool checkFiles,
                  TCueSheet& sheet, std::string& error);

// A FLAC file's own sheet: its CUESHEET block (offsets in samples, turned
// into frames at the file's rate), else a "cuesheet" tag (tagText when the
// caller read it, else the file's Vorbis comment). Every track lies in the
// file itself. False with found false when the file holds none; false with
// found true and the reason when the one it holds cannot be used.
bool ReadEmbeddedCue(const std::string& flacPath, const std::string& tagText, TCueSheet& sheet,
                     bool& found, std::string& error);

// The disc number a folder's name tells: "CD1", "CD 2", "Disc 2", "disc2",
// "Disk-3" (any case, the whole name or its last word); 0 when it tells none.
int DiscNumberFromName(const std::string& folderName);
// The sheet's disc number: REM DISCNUMBER, else the cue's folder, else the
// folder of its first audio file.
int CueDiscNumber(const TCueSheet& sheet);

// What the probe tells of one audio file of a sheet.
struct TCueAudio {
  int SampleRate = 0;
  int64_t Samples = -1;  // total samples per channel; -1 unknown
};

// The samples [First, End) of its file that a track holds.
struct TTrackRange {
  int64_t First = 0;
  int64_t End = 0;
  bool ToFileEnd = false;  // the last track of its file: runs to the file's end
};

// Each track's range. A pregap (INDEX 00) belongs to the end of the track
// before it, unless gapsAtStart: then a track starts at its INDEX 00 and the
// one before ends there. The last track of each file runs to the file's end.
// False, with the reason naming the track's line, when a time lies past the
// end of its file or a file's rate is unknown.
bool TrackRanges(const TCueSheet& sheet, const std::map<std::string, TCueAudio>& audio,
                 bool gapsAtStart, std::vector<TTrackRange>& ranges, std::string& error);

// The audio file a sheet's FILE entry names, beside the cue: "" when it
// lies outside the cue's folder or is missing (the same name with another
// audio extension counts: "x.wav" ripped, "x.flac" kept).
std::string CueAudioPath(const std::string& cuePath, const std::string& name);

// Whether a path names a cue file (".cue", any case).
bool IsCuePath(const std::string& path);
