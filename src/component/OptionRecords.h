// The two option records a conversion task is built from, and the enumerations
// the converter component shares with its owner.
//
// The owner (the application's option composer) fills a TInputOptions and a
// TOutputOptions; the component copies them into the task and turns them into
// engine options. "Not set" is -1 for numbers, -1.0 for reals and the empty
// string for text; the component passes a value only when it is set (see the
// notes on each field). Plain values: copy freely, no thread affinity.
#pragma once
#include <memory>
#include <string>

struct TAlbumGroup;  // AlbumGain.h

// Log level of a component and of its log events; ordinals 0-4. The engine's
// verbosity is the ordinal minus one.
enum TLogLevel : int { llQuiet = 0, llError = 1, llInfo = 2, llDebug = 3, llAll = 4 };

// Priority of the worker threads that run tasks; ordinals 0-3.
enum TConvertPriority : int { tpIdle = 0, tpLowest = 1, tpLower = 2, tpNormal = 3 };

// Values of TOutputOptions::Target.
enum TTargetKind : int { tkNone = 0, tkVCD = 1, tkSVCD = 2, tkDVD = 3 };
// Values of TOutputOptions::Norm (anything else counts as tnAuto) and of
// DefaultNorm (tnPAL; anything else means NTSC).
enum TTargetNorm : int { tnAuto = 0, tnPAL = 1, tnNTSC = 2 };

// Options of the input file of a task, applied before the input is opened.
struct TInputOptions {
  std::string FileName;    // input file; empty: the component stores the file it was given
  std::string FileFormat;  // forced input container ("f"); empty: guessed
  int StartTime = -1;      // ms; > 0: input start position ("ss")
  int ProgramID = -1;      // >= 0: the "programid" setting
  std::string ExtOptions;  // extra name=value lines, one per line
  int Reserved1 = 0;       // not read by the component
  int Reserved2 = 0;

  // A file that exists under the output name is replaced when the job ends
  // (otherwise the output takes the next free "_(new_N)" name). An output
  // never replaces a source of its job.
  bool Overwrite = false;
  // The output's folder (and the folders above it) is made when the task
  // runs if it does not exist yet.
  bool CreateFolder = false;
};

// Options of the output file of a task, applied (in this field order) before
// the output is opened. Numbers go through only when set as noted.
struct TOutputOptions {
  // File and container.
  std::string FileName;      // output file; empty: the component stores the file it was given
  std::string FileExt;       // the name's suffix, for the owner's reference; not applied
  std::string FileFormat;    // output container ("f"); empty: guessed from the name
  int PacketSize = -1;       // "packetsize", when > 0
  int MuxRate = -1;          // "muxrate", when > 0
  float MuxDelay = -1.0f;    // "muxdelay" in seconds, when > 0
  float MuxPreload = -1.0f;  // "muxpreload" in seconds, when > 0

  // Audio.
  std::string AudioCodec;          // "acodec" encoder name, when not empty
  bool DisableAudio = false;       // "an"
  int AudioVolume = -1;            // "vol" (256 = unchanged), when >= 0
  int AudioChannels = -1;          // "ac", when > 0
  int AudioSampleRate = -1;        // "ar" in Hz, when > 0
  int AudioBitrate = -1;           // "ab" in bit/s, when > 0
  int AudioBitrateTolerance = -1;  // "abt", when > 0
  std::string AudioLanguage;       // "alang"
  int AudioSync = 0;               // "async"
  std::string AudioTag;            // "atag" (four characters), when not empty

  // Video.
  std::string VideoCodec;        // "vcodec", when not empty
  bool DisableVideo = false;     // "vn"
  std::string FrameRate;         // "r", when not empty
  std::string FrameSize;         // "s" ("WxH"), when not empty
  std::string FrameAspectRatio;  // "aspect", when not empty
  int CropTop = -1;              // "croptop" ... "cropright", each when >= 0
  int CropBottom = -1;
  int CropLeft = -1;
  int CropRight = -1;
  int PadTop = -1;  // "padtop" ... "padright", each when >= 0
  int PadBottom = -1;
  int PadLeft = -1;
  int PadRight = -1;
  int PadColor = 0;                // "padcolor" as 0x00BBGGRR (red in the low byte); 0 black
  int GOPSize = -1;                // "gop", when > 0
  int VideoBitrate = -1;           // "vb" in bit/s, when > 0
  int VideoMaxRate = -1;           // "maxrate", when > 0
  int VideoMinRate = -1;           // "minrate", when > 0
  int VideoBitrateTolerance = -1;  // "bt", when > 0
  int VideoBufSize = -1;           // "bufsize", when > 0
  int VideoSync = -1;              // "vsync"
  std::string VideoTag;            // "vtag" (four characters), when not empty
  std::string VideoFilters;        // "vfilters" filter chain, when not empty

  // Subtitles and timing.
  bool DisableSubtitle = false;  // "sn"
  std::string SubtitleLanguage;  // "slang"
  bool CopyTimestamp = false;    // "copyts"
  int StartTime = -1;            // ms; "ss" of the output, when > 0
  int RecordingTime = -1;        // ms; "t", when > 0 (also the total for progress)
  // Recording date-time in days since 1899-12-30, local time: 0 = the time the
  // output is set up, > 0 = that date-time, < 0 = not set.
  double Timestamp = -1.0;

  // Metadata, written in this order; numbers when > 0, texts when not empty.
  int Year = -1;
  int Track = -1;
  std::string Title;
  std::string Author;
  std::string Copyright;
  std::string Comment;
  std::string Album;
  std::string Genre;

  // Target preset ("target"): Target 1-3 with Norm and DefaultNorm (TTargetKind, TTargetNorm).
  int Target = tkNone;
  int Norm = tnAuto;
  int DefaultNorm = tnPAL;

  // Frame hooks: CustomHook routes frames to the owner's custom-hook event,
  // otherwise BeforeHook to the before-hook event, otherwise PTSs ("start-end"
  // in ms, separated by ",") limits the external hooks to those periods.
  bool CustomHook = false;
  bool BeforeHook = false;
  std::string PTSs;

  std::string ExtOptions;  // extra name=value lines, one per line
  int Reserved1 = 0;       // not read by the component
  int Reserved2 = 0;

  // A file that exists under the output name is replaced when the job ends
  // (otherwise the output takes the next free "_(new_N)" name). An output
  // never replaces a source of its job.
  bool Overwrite = false;
  // The output's folder (and the folders above it) is made when the task
  // runs if it does not exist yet.
  bool CreateFolder = false;

  // Music: the source's cover picture goes into every format that holds one;
  // FolderCover takes folder.jpg / cover.jpg beside a source that has none.
  bool KeepCover = true;
  bool FolderCover = false;
  bool KeepTime = false;  // the output takes the source's modification time
  // Loudness levelling to LoudnessTarget LUFS (true peak at most -1 dBTP),
  // measured in a first pass of the task.
  bool Normalize = false;
  double LoudnessTarget = -16.0;
  bool ReplayGain = false;  // ReplayGain 2.0 track tags of the output's audio
  // Tasks whose GainAlbum names the same album (DefineAlbum, AlbumGain.h)
  // also get album gain tags; "" none.
  std::string GainAlbum;
  // Or the album itself, held by the owner (a batch): used before GainAlbum.
  std::shared_ptr<TAlbumGroup> AlbumGroup;
};

// Back to the defaults above.
inline void ResetInputOptions(TInputOptions& options) { options = TInputOptions(); }
inline void ResetOutputOptions(TOutputOptions& options) { options = TOutputOptions(); }
