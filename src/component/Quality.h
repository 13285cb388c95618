// The quality of an output's sound, per format: one text the user gives
// (quellon-cli's --quality, the window's page "音质", TBatchChoices::Quality),
// read into a TQuality, checked against the encoder the format binds, and
// made into the engine's options. A value the encoder cannot take is
// refused here, with its reason, before any file is converted; nothing
// falls back to a default silently.
//
// The text (any case; blanks around it ignored):
//   ""               the format's own default
//   V0 ... V9        MP3 (libmp3lame): LAME's VBR scale, V0 the best
//   <N>k             a bit rate of N kbit/s: MP3 (constant), AAC and M4A,
//                    Vorbis (managed), Opus (VBR on), MP2, WMA, AC3 and the
//                    video formats' sound
//   <N>k:vbr|cvbr|cbr  Opus: the bit rate with VBR on, constrained VBR, or
//                    a constant bit rate
//   q<X>             the encoder's quality scale: Vorbis -1 ... 10 (decimals
//                    allowed); AAC and M4A with the libraries' own encoder
//                    0.1 ... 2, with libfdk_aac its VBR modes 1 ... 5
//   level<N>         FLAC and OGG (FLAC in Ogg): compression level 0 ... 8
// A list gives formats qualities of their own, "mp3=V2,opus=96k:vbr"; a
// format the list does not name keeps its default.
//
// How the engine gets it: a bit rate as "ab"; V and q as "aq" (the
// encoder's global quality with the quality-scale flag, as LAME, libvorbis
// and the AAC encoder read it); a level as "compression_level"; Opus's rate
// control and libfdk_aac's VBR mode as the encoders' own option "vbr".
// The chunks of a split stream copy all of these from the stream's encoder.
//
// Threads: plain functions; FormatEncoder reads the bound libraries (they
// must be loaded) and may run on any thread.
#pragma once
#include <string>
#include <vector>

enum TQualityMode : int {
  qmDefault = 0,  // the format's own default
  qmBitRate = 1,  // Value kbit/s
  qmLameVbr = 2,  // Value: LAME's V (0-9)
  qmQuality = 3,  // Value: the encoder's quality scale
  qmLevel = 4     // Value: compression level
};

// The rate control given after an Opus bit rate.
enum TVbrMode : int { vmDefault = 0, vmOn = 1, vmConstrained = 2, vmOff = 3 };

struct TQuality {
  TQualityMode Mode = qmDefault;
  double Value = 0;
  TVbrMode Vbr = vmDefault;  // with qmBitRate only
};

// Reads one quality ("V2", "192k", "96k:cvbr", "q5", "level8", "" the
// default); false, with a one-line reason, for any other text.
bool ParseQuality(const std::string& text, TQuality& quality, std::string& why);
// The text ParseQuality reads back into the same quality ("" the default).
std::string QualityText(const TQuality& quality);

// Reads a quality text, one quality or a list "FORMAT=QUALITY,..." (formats
// as FormatItems names them, any case), and gives the quality of format:
// its entry of a list (the default when it has none), or the one quality.
// False, with the reason, when any part of the text is not understood.
bool QualityOfFormat(const std::string& text, const std::string& format, TQuality& quality,
                     std::string& why);

// What the check knows of an output.
struct TQualityTarget {
  std::string Format;   // an item of FormatItems, any case
  std::string Encoder;  // the encoder the format binds ("libmp3lame"); "" none
  int SampleRate = 0;   // Hz chosen for the output; 0 the source's
  int Channels = 0;     // chosen for the output; 0 the source's
};

// What a quality sets on the engine.
struct TQualitySettings {
  int BitRate = -1;                // bit/s ("ab"); -1 none
  std::vector<std::string> Lines;  // NAME=VALUE engine option lines
};

// The settings of a quality for a target; false, with a reason that names
// the format, the encoder and what it takes, when the encoder cannot take
// that quality.
bool QualitySettingsFor(const TQualityTarget& target, const TQuality& quality,
                        TQualitySettings& settings, std::string& why);

// The encoder the loaded libraries bind for a format's sound: the format's
// preset encoder, or the container's default one; "" when the libraries
// have none (or the format is not known).
std::string FormatEncoder(const std::string& format);

// All of it for one format of a batch: the text's quality of the format,
// checked against its bound encoder with the chosen rate and channels (0:
// the source's). False with the reason when the text or the quality is refused.
bool ComposeQuality(const std::string& text, const std::string& format, int sampleRate,
                    int channels, TQualitySettings& settings, std::string& why);
