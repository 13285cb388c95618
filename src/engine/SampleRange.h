// Sample ranges: the samples [First, End) of an input's audio, counted at the
// stream's own rate from the first sample its decoder puts out (after the
// decoder's own delay handling: sample 0 is the first sample decoded), End
// exclusive. Given as the input option "sample_range=FIRST:END" (END empty
// or -1: to the end of the file); each track of an album image is one.
//
// Where a frame lies: its timestamp says it, from the stream's start, when
// the stream's time base names whole samples (1/rate, 1/(n·rate)); else, and
// for a frame without a timestamp, it follows the frame before. Decoding
// from the start, the first frame decoded is sample 0. The samples of a
// frame outside the range are cut away before anything else sees the frame
// (volume, levelling, the resampler), so a lossless output holds exactly the
// samples of the range, and the tracks of an image, end to end, are the
// image.
//
// A range deep into a file is not decoded from the start: the demuxer seeks
// (backward) to a point before First where that lands exactly, i.e. the
// codec's frames decode on their own (PCM, FLAC, WavPack, APE, TTA, ALAC,
// TAK), the time base names whole samples and the stream's start is known.
// The first frame after the seek must then carry a timestamp at or before
// First; when it does not, the file is read again from its start.
//
// The range lies inside the audio, or the job fails (rcClip): First before
// the last sample; End at most one frame of the stream past the last sample
// (the frame: the largest the decoder put out, at least 1/75 s; a cue
// sheet's times are in 1/75 s, so a track end rounded up to such a time
// still fits). An End inside that frame takes the audio to its end.
//
// Threads: plain values; a cutter belongs to the thread that decodes.
#pragma once
#include <cstdint>
#include <string>

#include "LibAV.h"

struct TSampleRange {
  bool Set = false;
  int64_t First = 0;
  int64_t End = -1;  // exclusive; -1: to the end of the file
};

// Reads "FIRST:END" (END empty or -1: to the end); false when malformed:
// not two whole numbers, First negative, End not after First.
bool ParseSampleRange(const std::string& text, TSampleRange& out);
// The option line's value for a range ("FIRST:END", "FIRST:" to the end).
std::string SampleRangeText(int64_t first, int64_t end);

// Whether a seek of this stream lands on a known sample: its frames decode
// on their own, its time base names whole samples, and its start is known.
bool RangeSeekExact(const AVStream* st);
// Seeks the file (backward) to the stream's frame at or before first; false
// when it did not (nothing moved, or the file was put back at its start).
bool SeekBeforeSample(AVFormatContext* ic, int stream, int64_t first);
// Puts the file back at its start; false when it cannot.
bool SeekToStart(AVFormatContext* ic, int stream);

// Cuts the decoded frames of one audio stream to a range.
class TRangeCutter {
 public:
  enum TVerdict {
    cvKeep,     // the frame holds samples of the range (cut to them)
    cvDrop,     // none of them: the frame is not used
    cvRestart,  // the first frame after a seek, not where it must be: go back to the start
  };

  TRangeCutter(const TSampleRange& range, const AVStream* st);
  // The demuxer was sought before First: the next frame must say where it is.
  void Sought() { Seek = true; }
  // The file was put back at its start: its first frame is sample 0 again.
  void Restarted();
  // Cuts frame in place to the samples of the range. pts: its timestamp in
  // the stream's time base as the file has it (AV_NOPTS_VALUE: none).
  TVerdict Cut(AVFrame* frame, int64_t pts);

  // The first sample kept of the last frame, from First.
  int64_t OutPosition() const { return KeptAt; }
  // Samples kept so far.
  int64_t Kept() const { return KeptCount; }
  // Where the decoded audio got to: the sample after the last frame's.
  int64_t Reached() const { return Next; }
  // Where reading began: the first frame's sample (0 unless sought).
  int64_t ReadFrom() const { return FirstRead; }
  // The range went by whole: nothing more of the stream is needed.
  bool Passed() const { return Range.End >= 0 && Started && Next >= Range.End; }
  // At the end of the stream: "" when the range lay inside the audio, else
  // why not (the job fails with rcClip).
  std::string EndProblem() const;
  const TSampleRange& Value() const { return Range; }

 private:
  const TSampleRange Range;
  const int Rate;
  const AVRational TimeBase;
  const bool ExactTime;   // the time base names whole samples
  int64_t Origin = AV_NOPTS_VALUE;  // sample 0 in the time base
  int64_t StreamStart = AV_NOPTS_VALUE;
  bool Seek = false;      // the next frame is the first after a seek
  bool Started = false;   // a frame was placed
  int64_t Next = 0;       // the sample after the last frame
  int64_t FirstRead = -1;
  int64_t KeptAt = 0, KeptCount = 0;
  int LargestFrame = 0;
};
