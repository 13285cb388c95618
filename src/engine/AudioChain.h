// TAudioOutputChain: the audio output path of one encoded output stream,
// from the decoded frames of its source to the packets handed to the
// engine's packet writer.
//
//   decoded frame (the main loop's, already scaled by the volume)
//     -> synchronisation with the input clock: samples dropped, silence
//        added or the resampler's rate compensated (the "async" method)
//     -> one resampler: channel layout, rate and sample format of the
//        encoder (made on first use, made again when the input changes)
//     -> the sample FIFO, cut into frames of the encoder's frame size
//     -> the encoder: the stream's own (serial), or chunks of frames on
//        several encoder instances (split: SplitEncoder.h)
//     -> packets, in order, to WriteFrame
//
// Serial or split is decided when the chain is made (the engine's
// SplitEncoding with a codec that can be split and a source of a few chunks
// at least) and holds for the whole job, so that the bytes written depend on
// the input and the settings only; the number of encoder threads of a split
// chain may change while it runs (RunState.EncoderThreads).
//
// Ownership: the chain owns the resampler, the FIFO, its working frames and
// the split encoder with its threads and encoder instances. The stream's own
// encoder context stays the output table's; a split chain never feeds it (it
// describes the stream to the muxer). A decoded frame is the caller's and is
// read during Push only; encoder frames of the serial path are the chain's
// and reused; a split chain hands references of each frame to its chunks.
//
// Threads: every method runs on the job's thread, which also writes every
// packet. Only the split encoder's workers run elsewhere (see there).
//
// Failures: FFmpegException with the engine's texts ("Audio encoding
// failed", "Can not resample ...", "av_fifo_realloc2() failed").
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "Deleters.h"

class TCustomFFmpeg;
class TSplitEncoder;
struct TInputStreamEntry;
struct TOutputStreamEntry;

class TAudioOutputChain {
 public:
  // The stream's encoder is open. Decides serial or split.
  TAudioOutputChain(TCustomFFmpeg& engine, TOutputStreamEntry& ost);
  ~TAudioOutputChain();
  TAudioOutputChain(const TAudioOutputChain&) = delete;
  TAudioOutputChain& operator=(const TAudioOutputChain&) = delete;

  // One decoded frame of the stream's source.
  void Push(TInputStreamEntry& ist, AVFrame* frame);
  // The end of the input: what the resampler and the FIFO hold, and every
  // packet still inside the encoders. A stopped job whose output is not kept
  // drops the work of a split chain instead.
  void Drain();
  // Samples waiting in the FIFO (not yet in an encoder frame).
  int64_t Queued() const;
  bool Split() const { return Splitter != nullptr; }

 private:
  void MakeResampler(const AVFrame* frame);
  // Converts samples into the FIFO; false when the chunk was dropped.
  bool Convert(const uint8_t** in, int inSamples, int capacity);
  // Cuts the FIFO into encoder frames (last: the short rest too).
  void Frames(bool last);
  void WritePacket(AVPacket* packet);

  TCustomFFmpeg& Engine;
  TOutputStreamEntry& Ost;
  AVCodecContext* Enc;
  bool ResampleNeeded = false;  // rates differ, or "async" above 1, or layouts differ
  SwrPtr Resampler;
  int ResamplerInFormat = AV_SAMPLE_FMT_NONE, ResamplerInRate = 0;
  AVChannelLayout ResamplerInLayout{};
  AudioFifoPtr Fifo;
  std::vector<const uint8_t*> InputPlanes;  // the planes of a chunk, reused
  FramePtr Converted;                       // converted samples of one chunk; only grows
  FramePtr EncoderFrame;                    // one encoder frame, reused
  int EncoderFrameCapacity = 0;             // samples its buffer holds
  int64_t NextPts = AV_NOPTS_VALUE;         // encoder time base
  std::unique_ptr<TSplitEncoder> Splitter;
};
