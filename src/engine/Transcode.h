// Per-run records of one conversion: they live from the set-up of a job to
// the end of its main loop and are touched only by the thread running it.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AudioChain.h"
#include "Deleters.h"
#include "SampleRange.h"

struct TInputFileEntry {
  bool Eof = false;
  int FirstIndex = 0;   // index of the file's first stream in the stream table
  int StreamCount = 0;
  bool RangeEnded = false;  // its sample ranges went by: nothing more is read
};

struct TInputStreamEntry {
  int FileIndex = 0, Index = 0;
  AVStream* St = nullptr;
  AVCodecContext* Dec = nullptr;  // the stream's decoder context (owned by the input table)
  bool Discard = true;            // no output stream takes data from it
  bool DecodingNeeded = false;
  int64_t RateEmuStart = 0;              // µs
  int64_t NextPts = AV_NOPTS_VALUE;      // µs, next expected timestamp
  int64_t Pts = 0;                       // µs, current timestamp
  int64_t FramePts = AV_NOPTS_VALUE;     // the decoded frame's own timestamp, stream time base
  // Damage, µs of source time from the stream's start (FFmpegOutput.cpp).
  int64_t GoodEnd = 0;                   // end of the last packet the decoder took
  int64_t DamagedFrom = 0;               // where the open damaged stretch began
  int64_t DamagedEnd = 0;                // end of its last refused packet
  int DamagedRun = 0;                    // refused packets in it; 0: none open
  bool IsStart = true;
  // A ranged stream (SampleRange.h): its cutter, and the current frame's
  // first sample from the range's start (AV_NOPTS_VALUE: not ranged).
  std::unique_ptr<TRangeCutter> Range;
  int64_t SamplePos = AV_NOPTS_VALUE;
  FramePtr HookPicture;  // the working copy hooks draw on, reused
};

struct TOutputStreamEntry {
  int FileIndex = 0, Index = 0;
  int SourceIndex = 0;  // into the input stream table
  AVStream* St = nullptr;
  AVCodecContext* Enc = nullptr;  // owned by the output table
  bool Copy = false;
  bool EncodingNeeded = false;
  int FrameNumber = 0;
  TInputStreamEntry* Sync = nullptr;
  int64_t SyncOpts = 0;  // frames given to the video encoder (an audio chain keeps its own count)
  int64_t MuxTimestamp = AV_NOPTS_VALUE;  // end of the last written packet, stream time base
  std::vector<BSFPtr> Bitstream;          // the stream's bitstream filter chain
  std::vector<PacketPtr> BitstreamOut;    // one reused packet per filter of the chain
  // Video
  bool CropNeeded = false, PadNeeded = false;
  int CropTop = 0, CropLeft = 0;
  int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
  SwsPtr Scaler;
  FramePtr Picture;  // the picture handed to the encoder
  FramePtr View;     // a cropped view of a decoded picture, no copy
  // Subtitle: the clear page of the last DVB subtitle, written when the next
  // page comes (no later than it) or at the end.
  PacketPtr PendingClear;
  FilterGraphPtr FilterGraph;  // the "vfilters" chain, when one is in use
  AVFilterContext* FilterSource = nullptr;  // "src", owned by the graph
  AVFilterContext* FilterSink = nullptr;    // "out", owned by the graph
  FramePtr Filtered;
  // Audio: the chain from decoded frames to packets (made when the encoder opens).
  bool AudioResampleNeeded = false;  // rates differ, or "async" above 1
  std::unique_ptr<TAudioOutputChain> Audio;
  // What the encoder said of its last packet (quality, picture type, errors).
  int LastQuality = 0;
  int LastPictType = AV_PICTURE_TYPE_NONE;
  int64_t LastErrors[4] = {};
  // Two-pass statistics
  FILE* Pass1Log = nullptr;

  TOutputStreamEntry() = default;
  TOutputStreamEntry(const TOutputStreamEntry&) = delete;
  TOutputStreamEntry& operator=(const TOutputStreamEntry&) = delete;
  ~TOutputStreamEntry();
};

// "<filter> failed for stream N, codec <name>" with the library's error text.
std::string BitstreamFilterError(const TOutputStreamEntry& ost, const char* filter, int code);

struct TTranscodeTables {
  std::vector<TInputFileEntry> Files;
  std::vector<TInputStreamEntry> InStreams;
  std::vector<std::unique_ptr<TOutputStreamEntry>> OutStreams;
  PacketPtr Packet;         // the packet read from an input, reused
  PacketPtr OutPacket;      // an encoded or copied packet, reused
  FramePtr Decoded;         // the decoded frame, reused
  int64_t LastReportTime = 0;
};
