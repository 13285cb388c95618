// What a music file carries besides its sound, and its level: the cover
// picture, every tag, loudness levelling and ReplayGain. The options are set
// by the engine's owner before a job starts (like every engine option) and
// read by the job's thread; the run fields belong to the job's thread.
//
// Failures: nothing here fails a job except a write of the output that fails
// (a full disk). A cover or tag a format cannot hold is named in the log once
// per job; a source whose loudness cannot be measured is converted unlevelled,
// with a level-0 log line.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// The loudness of a piece of audio (EBU R128, measured through the
// libraries' ebur128 filter).
struct TLoudnessMeasure {
  bool Valid = false;
  double Integrated = 0;   // LUFS
  double TruePeak = 0;     // linear, 1.0 = full scale
  double SamplePeak = 0;   // linear
  double Seconds = 0;      // measured length
};

// A cover picture: the bytes of the picture file as they were found.
struct TCoverPicture {
  std::vector<uint8_t> Data;
  std::string Mime;        // "image/jpeg", "image/png", ...
  int CodecId = 0;         // AVCodecID of the picture (MJPEG, PNG, BMP, GIF)
  int PictureType = 3;     // ID3/FLAC picture type; 3 = front cover
  std::string Description;
  int Width = 0, Height = 0;
  bool Empty() const { return Data.empty(); }
};

// Where a measuring pass of another file than the job's own source reports
// (level as the engine's log: 0 recoverable, 1 note).
using TMeasureLog = std::function<void(int level, const std::string& text)>;

// ReplayGain 2.0 reference level.
constexpr double REPLAYGAIN_REFERENCE_LUFS = -18.0;

struct TMusicOptions {
  // Cover art: kept as the picture it was in every format that holds one.
  bool KeepCover = true;
  // A source without a cover takes "folder.jpg" or "cover.jpg" (also .png)
  // from its folder.
  bool FolderCover = false;
  // The output takes the source's modification time.
  bool KeepTime = false;
  // Loudness levelling: a measuring pass, then the audio is scaled so that
  // it reaches the target, without its true peak going over the limit.
  bool Normalize = false;
  double TargetLufs = -16.0;
  double TruePeakLimit = -1.0;  // dBTP
  // ReplayGain 2.0 track tags (gain and peak) of the output's audio.
  bool ReplayGain = false;
  // Album gain: called on the job's thread with the track's own measure
  // (of the output's audio) and the job's log; fills the album's measure and
  // returns true. Unset, or false: no album tags.
  std::function<bool(const TLoudnessMeasure& track, TLoudnessMeasure& album,
                     const TMeasureLog& log)>
      AlbumLoudness;

  // Run fields, set by the job (reset when it starts).
  struct TRun {
    TCoverPicture Cover;
    double Gain = 1.0;  // linear factor applied to the decoded audio
    TLoudnessMeasure Track;
    std::vector<int> CoverStreams;  // per output file: the cover's stream, -1 none
    // Per output file: the cover goes into the finished file (ckFileEdit).
    std::vector<bool> CoverInFile;
    // Per output file: its size once its byte stream was closed for the
    // tags TagLib adds, with them; -1 while the stream is open.
    std::vector<int64_t> ClosedSizes;
    // Per output file: its tags before the muxer saw them.
    std::vector<std::vector<std::pair<std::string, std::string>>> Tags;
  } Run;
};

// Measures the loudness of the best audio stream of a file, reading it from
// the start. Blocks for the time of a decode; returns false with error set
// when the file cannot be read or holds no audio. stop (may be null) ends
// the pass early (false). The libraries' lines of the pass name the file
// (TLogSubject); packets its decoder refused are told to log (may be
// unset), in one level-0 line naming the file. Any thread; the libraries
// must be loaded.
bool MeasureFileLoudness(const std::string& path, TLoudnessMeasure& out, std::string& error,
                         const std::atomic<bool>* stop = nullptr,
                         const TMeasureLog& log = nullptr);

// The gain (dB) that levels a source with these options (0 when levelling
// is off), and the measure of the levelled audio.
double LevelGainDb(const TLoudnessMeasure& source, const TMusicOptions& options);
TLoudnessMeasure LevelledMeasure(const TLoudnessMeasure& source, const TMusicOptions& options);

// The album measure of several tracks: their energies weighted by length.
TLoudnessMeasure CombineLoudness(const std::vector<TLoudnessMeasure>& tracks);

// "-6.52 dB" and "0.988553", as ReplayGain tags are written.
std::string ReplayGainText(double gainDb);
std::string ReplayPeakText(double peak);
