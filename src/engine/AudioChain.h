// TAudioOutputChain: the audio output path of one encoded output stream,
// from the decoded frames of its source to the packets handed to its sink.
//
//   decoded frame (the main loop's, already scaled by the volume)
//     -> synchronisation with the input clock: samples dropped, silence
//        added or the resampler's rate compensated (the "async" method)
//     -> one resampler: channel layout, rate and sample format of the
//        encoder (made on first use, made again when the input changes)
//     -> the sample FIFO, cut into frames of the encoder's frame size
//     -> the encoder: the stream's own (serial), or chunks of frames on
//        several encoder instances (split: SplitEncoder.h)
//     -> packets, in order, to the sink (the engine's WriteFrame)
//
// The chain is handed what it needs: its settings as a value
// (TAudioChainSettings, copied from the engine when the stream's encoder
// opens) and a sink (TAudioChainSink) for its packets and log lines. It
// reads nothing of the engine's; the engine decides what a packet's write
// means (stream index, time base, muxer) and counts the bytes.
//
// Serial or split is decided when the chain is made (the settings' Split
// with a codec that can be split and a source of a few chunks at least) and
// holds for the whole job, so that the bytes written depend on the input
// and the settings only; the number of encoder threads of a split chain may
// change while it runs (the owner's atomic, read by the split encoder).
//
// Ownership: the chain owns the resampler, the FIFO, its working frames, the
// packet of its serial path and the split encoder with its threads and
// encoder instances. The stream's encoder context stays the output table's;
// a split chain never feeds it (it describes the stream to the muxer). A
// decoded frame is the caller's and is read during Push only; encoder frames
// of the serial path are the chain's and reused; a split chain hands
// references of each frame to its chunks.
//
// Threads: every method runs on the job's thread, which is also the one the
// sink is called on. Only the split encoder's workers run elsewhere (see
// there); they never call the sink.
//
// Failures: FFmpegException with the engine's texts ("Audio encoding
// failed", "Can not resample ...", "av_fifo_realloc2() failed"); what the
// sink throws passes through.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Deleters.h"

class TSplitEncoder;
struct TInputStreamEntry;

// What the chain is told when it is made. Its target (sample format, rate,
// channel layout, frame size) is the encoder's.
struct TAudioChainSettings {
  // The stream's opened encoder (the output table's; it outlives the chain).
  AVCodecContext* Encoder = nullptr;
  int FileIndex = 0, StreamIndex = 0;  // the output stream's numbers, for messages
  bool ResampleNeeded = false;         // rates differ, or "async" above 1
  // Synchronisation with the input clock ("async"): 0 none; 1 samples
  // dropped or silence added where the input jumps; above 1 also the
  // resampler's rate compensated by up to that many samples a second.
  int SyncMethod = 0;
  float DriftThreshold = 0.1f;  // s of drift before samples are dropped or added
  bool ExitOnError = false;     // a failed conversion fails the job (else logged, chunk dropped)
  int64_t StartTime = 0;        // µs: where the output starts on the input clock
  int64_t RecordingTime = INT64_MAX;  // µs of output at most (INT64_MAX: no limit)
  int Verbose = 1;                    // the engine's verbosity, for the log lines
  // Split encoding (SplitEncoder.h): allowed for this job, the output's
  // expected length, and the owner's number of encoder threads (it outlives
  // the chain and may change while it runs).
  bool Split = false;
  int64_t TotalMs = -1;  // -1: unknown
  const std::atomic<int>* EncoderThreads = nullptr;
};

// Where the chain's output goes; called on the job's thread.
struct TAudioChainSink {
  // Each packet of the stream, in order, in the encoder's time base; the
  // callee's to unref. Throws FFmpegException when the write fails.
  std::function<void(AVPacket* packet)> Write;
  // A line for the engine's log: level and text.
  std::function<void(int level, const std::string& text)> Log;
};

class TAudioOutputChain {
 public:
  // The settings' encoder is open. Decides serial or split.
  TAudioOutputChain(TAudioChainSettings settings, TAudioChainSink sink);
  ~TAudioOutputChain();
  TAudioOutputChain(const TAudioOutputChain&) = delete;
  TAudioOutputChain& operator=(const TAudioOutputChain&) = delete;

  // One decoded frame of the stream's source ist; sync is the input stream
  // whose clock the output follows (ist itself, or another of its file).
  void Push(TInputStreamEntry& ist, const TInputStreamEntry& sync, AVFrame* frame);
  // The end of the input: what the resampler and the FIFO hold, and every
  // packet still inside the encoders. dropSplitWork: the job was stopped
  // and its output is not kept; a split chain drops its work instead.
  void Drain(bool dropSplitWork);
  // Samples given to the encoder so far, and those waiting in the FIFO:
  // where the output stands, in samples of the encoder's rate.
  int64_t Position() const;
  bool Split() const { return Splitter != nullptr; }

 private:
  void MakeResampler(const AVFrame* frame);
  // Converts samples into the FIFO; false when the chunk was dropped.
  bool Convert(const uint8_t** in, int inSamples, int capacity);
  // Cuts the FIFO into encoder frames (last: the short rest too).
  void Frames(bool last);
  // The serial path: a frame (null: the end) to the stream's encoder, and
  // its packets to the sink.
  void Encode(const AVFrame* frame);
  void Log(int level, const std::string& text) const;

  const TAudioChainSettings Settings;
  const TAudioChainSink Sink;
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
  int64_t SamplesOut = 0;                   // given to the encoder, on the output clock
  int64_t SamplesEncoded = 0;               // given to the encoder, counted
  int64_t NextPts = AV_NOPTS_VALUE;         // encoder time base
  PacketPtr Packet;                         // the serial path's, reused
  std::unique_ptr<TSplitEncoder> Splitter;
};
