// TSplitEncoder: encodes one output audio stream in chunks of consecutive
// encoder frames, each chunk on a fresh encoder instance (the stream's
// encoder settings) on a worker thread, and gives the packets back in order,
// their timestamps continuous, as if one encoder had made them.
//
// How a chunk joins its neighbours, codec by codec (TSplitRule):
//  - each chunk is fed a few frames before it (pre-roll: the filter banks and
//    the psychoacoustic state settle as they would have) and, for encoders
//    whose packet for a frame depends on the frames after it, a few after it
//    (post-roll); only the packets of the chunk's own frames are kept: those
//    whose timestamps fall in [its first pts - delay, the next chunk's first
//    pts - delay), delay being the encoder's initial padding;
//  - FLAC frames are independent (no roll);
//  - then the codec's join rule (JoinRule.h, picked by TSplitRule::Join)
//    makes one stream of the kept packets: FLAC frames are renumbered and
//    the stream information merged (FlacJoin.h); MP3 frames are made
//    self-contained per encoder and laid out again (Mp3Repack.h), since
//    their bit reservoir reaches into earlier frames; the others join as
//    they are.
// Chunk boundaries depend on the frame count only: the bytes written are the
// same whatever the number of workers and their timing.
//
// Threads: Add, Finish and Cancel run on the job's thread, which also writes
// the packets (through the write callback, in order) and calls the join
// rule's job-thread steps. Workers encode chunks; they touch only their
// chunk, their own encoder context (opened and closed holding CodecLock) and
// their chunk's packer from the join rule. At most `workers` chunks are encoded at once,
// read from the atomic whenever a chunk starts (the owner may change it while
// the job runs). Memory: at most a few chunks are alive.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Deleters.h"

class TJoinRule;

// How a codec's frames may be encoded apart.
struct TSplitRule {
  bool Allowed = false;
  int PreRoll = 0;   // frames before a chunk, encoded and dropped
  int PostRoll = 0;  // frames after a chunk, encoded and dropped
  enum TJoin { jnPlain, jnMp3, jnFlac } Join = jnPlain;  // its join rule (NewJoinRule)
  // Shortest and longest chunk, in seconds of sound (SplitChunkFrames).
  int ChunkSeconds = 10;
  int MaxChunkSeconds = 30;
};
// The rule of an opened encoder; Allowed false for codecs that are not split
// (PCM gains nothing; Vorbis, Opus and others keep state across packets).
TSplitRule SplitRuleOf(const AVCodecContext* enc);
// Frames per chunk for a stream of about totalMs of sound; 0 when the stream
// is too short to be split (under three shortest chunks).
int SplitChunkFrames(const TSplitRule& rule, int frameSize, int sampleRate, int64_t totalMs);

class TSplitEncoder {
 public:
  using TWrite = std::function<void(AVPacket* packet)>;
  // model: the stream's opened encoder, whose settings each chunk encoder
  // copies (it must outlive this object and is never fed). chunkFrames:
  // frames per chunk. write: called on the job's thread with each packet, in
  // the encoder's time base; the packet is the callee's to unref.
  TSplitEncoder(AVCodecContext* model, const TSplitRule& rule, int chunkFrames,
                const std::atomic<int>& workers, TWrite write);
  // Cancels what is left and joins the workers.
  ~TSplitEncoder();
  TSplitEncoder(const TSplitEncoder&) = delete;
  TSplitEncoder& operator=(const TSplitEncoder&) = delete;

  // One frame of frame_size samples (the last may be shorter), in the
  // encoder's format; a reference is taken. Writes what is ready; throws
  // FFmpegException when a chunk's encoder failed.
  void Add(const AVFrame* frame);
  // The end of the stream: every chunk encoded and written, the joins
  // finished. Throws FFmpegException when an encoder failed.
  void Finish();
  // Drops what is not written yet and stops the workers.
  void Cancel();
  // Chunks written so far.
  int64_t ChunksWritten() const { return Written; }

 private:
  struct TChunk {
    int64_t Index = 0;
    std::vector<FramePtr> Frames;  // pre-roll, main, post-roll
    int Pre = 0, Main = 0, Post = 0;
    int64_t KeepFrom = 0, KeepTo = INT64_MAX;  // packet timestamps kept
    int64_t FirstFrame = 0, FirstSample = 0;   // of its first own frame in the stream
    bool Last = false;                         // the stream's last chunk: kept to the end
    bool Done = false;
    std::string Error;
    std::vector<PacketPtr> Packets;  // kept, in order
  };
  void Dispatch(std::shared_ptr<TChunk> chunk);
  void Work();
  void Encode(TChunk& chunk);
  // Writes the finished chunks at the front; wait: until the front is done,
  // or (briefly) until the number of workers may have changed.
  enum TWait { wtNo, wtDone, wtBriefly };
  void WriteReady(TWait wait);
  void WriteChunk(TChunk& chunk);

  AVCodecContext* Model;
  TSplitRule Rule;
  int ChunkFrames;
  const std::atomic<int>& Workers;
  TWrite Write;
  size_t ReadyAhead = 1;  // chunks kept ready beyond the workers

  std::shared_ptr<TChunk> Filling;   // takes main frames
  std::shared_ptr<TChunk> Trailing;  // full, takes its post-roll
  int64_t NextIndex = 0;
  int64_t FramesAdded = 0, SamplesAdded = 0;
  int64_t Written = 0;

  std::mutex Lock;  // guards the queue, the chunks' Done/Error/Packets, Busy, Quit
  std::condition_variable Wake;
  std::deque<std::shared_ptr<TChunk>> Queue;     // dispatched, not started
  std::deque<std::shared_ptr<TChunk>> InFlight;  // dispatched, not written (in order)
  int Busy = 0;                                  // chunks being encoded
  bool Quit = false;
  std::vector<std::thread> Threads;

  // The codec's join rule: made before the workers start; its job-thread
  // steps on the job's thread only, NewChunk on the workers.
  std::unique_ptr<TJoinRule> Join;
};
