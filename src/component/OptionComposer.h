// Option composer: turns the settings of the output options dialog into the
// two option records a conversion task is built from.
//
// The dialog's controls live here as a plain TComposerState (selected item
// indexes, check boxes, edit texts, the output folder and the facts read from
// the source's probe), so the rules run and test without any window: the Qt
// dialog mirrors its widgets into the state, the main window and the settings
// dialog write the few controls they drive, and ComposeOutput / ComposeInput
// fill the records.
//
// Threads: plain functions over plain values; call from any one thread.
// ComposeOutput reads the file system (existing output names, the hook folder
// and its picture) but never writes it. Nothing here throws except on
// allocation failure.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "OptionRecords.h"
#include "SourceFile.h"

// ---- Items of the choice controls, in display order --------------------------
// The state holds indexes into these lists; an index outside a list counts as
// the list's first item ("Auto"), or as "WAV" for the format list.

inline constexpr std::array<const char*, 28> FormatItems = {
    "VCD",  "SVCD", "DVD", "3GP", "AVI", "FLV", "iPod", "MKV", "MOV", "MP4", "OGG", "PSP",
    "RM10", "RM20", "SWF", "WMV", "M1V", "M2V", "AAC",  "AC3", "MP2", "MP3", "WAV", "WMA",
    // Further music formats: Opus, Vorbis in Ogg, FLAC, AAC in MP4 with tags and cover.
    "OPUS", "VORBIS", "FLAC", "M4A"};
// The further music formats, as the main window offers them beside its six.
inline constexpr std::array<const char*, 4> MusicFormatItems = {"OPUS", "VORBIS", "FLAC", "M4A"};
inline constexpr int DEFAULT_FORMAT_INDEX = 22;  // "WAV"
inline constexpr std::array<const char*, 3> NormItems = {"Auto", "PAL", "NTSC"};
inline constexpr std::array<const char*, 3> AudioChannelItems = {"Auto", "Mono", "Stereo"};
inline constexpr std::array<const char*, 5> SampleRateItems = {"Auto", "8000", "11025", "22050",
                                                               "44100"};
inline constexpr std::array<const char*, 29> FrameSizeItems = {
    "Auto - Original",    "128x96 - sqcif",     "176x144 - qcif",     "352x288 - cif",
    "704x576 - 4cif",     "160x120 - qqvga",    "320x240 - qvga",     "640x480 - vga",
    "800x600 - svga",     "1024x768 - xga",     "1600x1200 - uxga",   "2048x1536 - qxga",
    "1280x1024 - sxga",   "2560x2048 - qsxga",  "5120x4096 - hsxga",  "852x480 - wvga",
    "1366x768 - wxga",    "1600x1024 - wsxga",  "1920x1200 - wuxga",  "2560x1600 - woxga",
    "3200x2048 - wqsxga", "3840x2400 - wquxga", "6400x4096 - whsxga", "7680x4800 - whuxga",
    "320x200 - cga",      "640x350 - ega",      "852x480 - hd480",    "1280x720 - hd720",
    "1920x1080 - hd1080"};
inline constexpr std::array<const char*, 5> FrameRateItems = {"Auto", "10", "15", "25", "30"};
inline constexpr std::array<const char*, 5> AspectRatioItems = {"Auto", "4:3", "16:9", "37:20",
                                                                "47:20"};
inline constexpr std::array<const char*, 5> AudioCodecItems = {"Auto", "AAC", "AC3", "FLAC", "MP3"};
inline constexpr std::array<const char*, 4> VideoCodecItems = {"Auto", "DivX", "XviD", "X264"};

// The output folder text that means "beside the source file".
inline constexpr const char* SAME_AS_INPUT = "<same as input>";
// The text the hook text edits fall back on when empty.
inline constexpr const char* DEFAULT_HOOK_TEXT = "PELIX";

// ---- The state of the controls -------------------------------------------------

// A check box with the edit it enables.
struct TCheckedText {
  bool Checked = false;
  std::string Text;
};

// What the composer reads of the source file's probe.
struct TSourceFacts {
  std::string FileName;      // the source's full path
  std::string ForcedFormat;  // container the probe was told to use; "" when it guessed
  std::string FormatName;    // container the probe found; "image2" gets no time bar
  int64_t Duration = 0;      // microseconds; 0 or less when unknown
  bool HasVideo = false;     // a video stream, with its picture size
  int VideoWidth = 0;
  int VideoHeight = 0;
  bool HasAudio = false;     // an audio stream
  // The source's folder below a folder the user added ("Album/CD1"; "" for
  // a file added by itself or at the added folder's top). With an output
  // folder the output keeps this place below it (see ComposeOutput).
  std::string RelativeFolder;
  // Its tags that name patterns read (NamePattern.h: IsNameTag), keys in
  // lower case: the container's, then its first audio stream's.
  std::map<std::string, std::string> Tags;
};

// Output format, folder and naming.
struct TOutputControls {
  int Format = DEFAULT_FORMAT_INDEX;   // FormatItems
  int Norm = 0;                        // NormItems, for VCD, SVCD and DVD
  std::string Folder = SAME_AS_INPUT;  // output folder, or SAME_AS_INPUT
  bool Overwrite = false;              // an existing "_(new)" file may be replaced
  bool CopyTimestamp = false;
  // The name is the source's own first ("01 - Title.flac" in a folder of its
  // own), and "_(new)", "_(new_N)" only when that one is taken.
  bool PlainName = false;
  // A name from a name pattern (NamePattern.h): the output's path below the
  // output folder (below the source's folder without one), "/" between its
  // folders, without extension; "" names the output after its source. Such
  // a name is taken plain when free, else with " (2)", " (3)" ...; its
  // folders are made when the task runs.
  std::string PatternName;
  // An existing file under a name that may be replaced all the same (sync
  // mode: an earlier output of the same source, which the state file says
  // the mode wrote); the record's Overwrite is set for that name only. Null:
  // only Overwrite decides.
  std::function<bool(const std::string& name)> MayReplace;
  // Output names already given to other tasks of the same run: never reused,
  // whether or not the files exist yet.
  std::set<std::string> Reserved;
  // The files the run reads: a name that is, or links to, one of them is
  // never an output, overwrite or not (TFileIdentity::SameFile).
  std::vector<TFileIdentity> Sources;
  // The same two kept by an owner of many files (a batch), consulted as well
  // so that a long list is not copied into every state; null when none.
  const std::multiset<std::string>* ReservedByOwner = nullptr;
  const std::vector<TFileIdentity>* SourcesOfOwner = nullptr;
};

struct TAudioControls {
  int Channels = 0;                   // AudioChannelItems
  int SampleRate = 0;                 // SampleRateItems
  TCheckedText Volume{false, "256"};  // 256 = unchanged
  TCheckedText BitRate{false, "64"};  // kbit/s
  int Codec = 0;                      // AudioCodecItems
};

struct TVideoControls {
  int FrameSize = 0;                   // FrameSizeItems
  int FrameRate = 0;                   // FrameRateItems
  int AspectRatio = 0;                 // AspectRatioItems
  TCheckedText BitRate{false, "200"};  // kbit/s
  int Codec = 0;                       // VideoCodecItems
};

// Four edge edits (top, bottom, left, right) under one check box.
struct TEdgeControls {
  bool Checked = false;
  std::string Top = "0", Bottom = "0", Left = "0", Right = "0";
};

// The cut time bar: positions 0..Max, each Step microseconds long.
struct TTimeBar {
  bool HasSlider = false;
  int64_t Step = 10;  // a power of ten
  int Max = 0;
  int Position = 0;
  int SelStart = 0;  // "Set Start" position
  int SelEnd = 0;    // "Set End" position
  int LineSize = 1;  // arrow-key step
  int PageSize = 5;  // page-key step
};

struct TClipControls {
  TTimeBar Bar;
  bool Enabled = false;  // the "Cut Clip" box can be ticked only when a clip is marked
  bool Checked = false;
  std::string StartText = "N/A";
  std::string EndText = "N/A";
  // A clip given in time rather than on the bar (SetClipSeconds): these
  // milliseconds are used instead of the bar's marks.
  bool Exact = false;
  int64_t StartMs = 0, EndMs = 0;
};

enum THookBehavior : int { hbStandard = 0, hbBeforeHook = 1, hbPTSs = 2 };

// Video hook controls. The five hook boxes are enabled only with the external
// hooks chosen and their library present in the hook folder (HookControlsEnabled).
struct THookControls {
  bool External = true;  // external standard hooks; false: the owner's custom hook
  bool Imlib2Img = false;
  bool ImgDancing = false;
  bool Imlib2Txt = false;
  std::string Imlib2Text = DEFAULT_HOOK_TEXT;
  bool TxtScrolling = false;
  bool WaterMark = false;
  bool WaterMarkMode = false;
  bool PaintHookImg = false;
  bool PaintHookTxt = false;
  std::string PaintHookText = DEFAULT_HOOK_TEXT;
  THookBehavior Behavior = hbStandard;
  std::string PTSs = "0-5000,10000-15000";
  std::string Folder;  // the hook libraries' folder; empty: "vhook/" beside the executable
};

struct TFilterControls {
  bool VertFlip = false;
  bool HoriFlip = false;
  bool Negate = false;
  TCheckedText Scale{false, "320:240"};
  TCheckedText Rotate{false, "45"};  // degrees
  TCheckedText SetPTS{false, "0.5*PTS"};
};

// What a music file carries besides its sound, and its level (the settings
// dialog's music page).
struct TMusicControls {
  bool FolderCover = false;   // folder.jpg / cover.jpg beside a source without a cover
  bool KeepTime = false;      // the output keeps the source's modification time
  bool Normalize = false;     // level the loudness to Target
  std::string Target = "-16";  // LUFS
  bool ReplayGain = false;    // ReplayGain 2.0 track tags
  std::string Album;          // the album gain group of the source ("" none)
};

struct TComposerState {
  TOutputControls Output;
  TAudioControls Audio;
  TVideoControls Video;
  TEdgeControls Crop;
  TEdgeControls Pad;
  TClipControls Clip;
  THookControls Hooks;
  TFilterControls Filters;
  TSourceFacts Source;
  TMusicControls Music;
};

// ---- Driving the controls ------------------------------------------------------

// The index of an item by its text (case-insensitive); -1 when not listed.
int ItemIndex(const char* const* items, size_t count, const std::string& text);
template <size_t N>
int ItemIndex(const std::array<const char*, N>& items, const std::string& text) {
  return ItemIndex(items.data(), N, text);
}

// Selects the output format by its item text (case-insensitive); false, and
// no change, for an unknown item.
bool SelectFormat(TComposerState& state, const std::string& item);

// The settings dialog's "确定": channel and sample-rate item indexes and the
// bit-rate text land in the audio controls (the bit-rate box is left as it is).
void ApplyAudioSettings(TComposerState& state, int channels, int sampleRate,
                        const std::string& bitRate);

// Takes a newly opened source: keeps its facts, sets up the time bar for its
// duration and clears the clip.
void LoadSource(TComposerState& state, const TSourceFacts& source);

// Moves the time bar, clamped to its range.
void SetTimeBarPosition(TClipControls& clip, int position);
// The position that shows a time in seconds, clamped to the bar's range.
int TimeBarPositionAt(const TTimeBar& bar, double seconds);
// "Set Start" / "Set End": mark the bar's position and enable the "Cut Clip"
// box exactly when the marks make a clip.
void SetClipStart(TClipControls& clip);
void SetClipEnd(TClipControls& clip);
// Positions between tick marks for a bar of that width in pixels.
int TickFrequency(const TTimeBar& bar, int widthPixels);

// A time in microseconds as "seconds.milliseconds" ("12.345").
std::string TimeText(int64_t microseconds);

// The marked clip in milliseconds, fitted into the source's duration; false
// when no clip is to be cut.
struct TClipRange {
  int Start = 0;
  int End = 0;
};
bool ClipRange(const TComposerState& state, TClipRange& range);
// Cuts the clip from start to end seconds of the loaded source (end < 0: to
// its end); false with a one-line reason when the source's duration is
// unknown or the clip lies outside it.
bool SetClipSeconds(TComposerState& state, double start, double end, std::string& why);

// Which hook controls are enabled, for the dialog and for ComposeOutput.
struct THookEnabled {
  bool Imlib2Img = false;
  bool Imlib2Txt = false;
  bool WaterMark = false;
  bool PaintHookImg = false;
  bool PaintHookTxt = false;
  bool Behavior = false;  // the three behaviour choices: at least one enabled box ticked
};
THookEnabled HookControlsEnabled(const THookControls& hooks);
// The hook folder in use, with a trailing '/'.
std::string HookFolder(const THookControls& hooks);

// ---- Sample ranges ---------------------------------------------------------------

// The input option line that cuts the samples [first, end) of a source's
// audio, end < 0 to its end ("sample_range=FIRST:END"; the engine's
// SampleRange.h says what the numbers count), for TInputOptions::ExtOptions.
std::string SampleRangeOptionLine(int64_t first, int64_t end);
// Adds that line to the record's ExtOptions (after the lines it holds).
void AddSampleRange(TInputOptions& options, int64_t first, int64_t end);

// The audio encoder and container a format's preset sets ("" when the
// format leaves them to its container's defaults) and its output suffix
// (".mp3", ".ogg" for VORBIS, "_ipod.mp4"); format as FormatItems names it.
void FormatAudioPreset(const std::string& format, std::string& encoder, std::string& container,
                       std::string& suffix);

// ---- Composing -----------------------------------------------------------------

// Resets the record to its defaults and fills it from the state; the output
// name is the first free one of Base + "_(new)" + suffix, Base + "_(new_1)" +
// suffix, ... (see TOutputControls; with a PatternName: Base + suffix,
// Base + " (2)" + suffix, ...); a name that is a FIFO, device, socket
// or folder is passed over even to overwrite, and the source's part of the
// name is cut at a UTF-8 character where the whole would pass the folder's
// limit (FileNameLimit). With an output folder (not
// SAME_AS_INPUT) and a source with a RelativeFolder, Base lies in that folder
// below the output folder (its "", "." and ".." parts dropped, so it never
// leaves the output folder), and the record asks for the folder to be made
// when the task runs (CreateFolder).
void ComposeOutput(const TComposerState& state, TOutputOptions& options);
// Resets the record to its defaults and fills it from the state.
void ComposeInput(const TComposerState& state, TInputOptions& options);
