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
// their chunk's packer from the join rule. At most `workers` chunks are
// encoded at once, read from the atomic whenever a chunk starts (the owner
// may change it while the job runs).
// Memory: a chunk's encoder starts as soon as the chunk does and takes its
// frames as they are added, each frame freed once encoded. The first chunk
// is half as long as the others, so two workers run half a chunk apart and
// Add waits while more than about half a chunk (and the pre-rolls, and some
// room for chunks that encode late) waits to be encoded: the least that lets
// a worker start a chunk while the other is still encoding its own. Each
// further worker adds a chunk that waits.
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
// Frames per chunk for a stream of about totalMs of sound (the first and the
// last chunk are about half as long); 0 when the stream is too short to be
// split (under three shortest chunks).
int SplitChunkFrames(const TSplitRule& rule, int frameSize, int sampleRate, int64_t totalMs);

class TSplitEncoder {
 public:
  using TWrite = std::function<void(AVPacket* packet)>;
  // model: the stream's opened encoder, whose settings each chunk encoder
  // copies (it must outlive this object and is never fed). chunkFrames:
  // frames per chunk, the first one half as many. write: called on the
  // job's thread with each packet, in the encoder's time base; the packet is
  // the callee's to unref.
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
  // A chunk's frames (pre-roll, own, post-roll) wait in Frames until its
  // worker sends them; the post-roll ones only once the chunk is closed (at
  // the stream's end they may become its own). Guarded by Lock, but for the
  // counts and bounds the job's thread alone writes before it dispatches.
  struct TChunk {
    std::deque<FramePtr> Frames;  // added, not sent yet
    int Pre = 0, Main = 0, Post = 0;  // frames added of each kind
    int Sent = 0;                     // frames given to the encoder
    bool Closed = false;              // every frame added
    int64_t KeepFrom = 0, KeepTo = INT64_MAX;  // packet timestamps kept
    int64_t FirstFrame = 0, FirstSample = 0;   // of its first own frame in the stream
    bool Done = false;
    std::string Error;
    std::vector<PacketPtr> Packets;  // kept, in order
  };
  void Dispatch(const std::shared_ptr<TChunk>& chunk);
  // Adds a frame to a chunk (a reference is taken); pre-roll, own or post-roll.
  enum TKind { fkPre, fkMain, fkPost };
  void Push(TChunk& chunk, const AVFrame* frame, TKind kind);
  void Close(TChunk& chunk);
  void Work();
  void Encode(TChunk& chunk);
  // Frames that may wait to be encoded before Add waits, and the count at
  // which a waiting Add goes on.
  int64_t BufferLimit() const;
  int64_t ResumeAt() const;
  // Writes the finished chunks at the front; wait: until the front is done.
  void WriteReady(bool wait);
  // Waits until frames may be added again, writing what is ready meanwhile.
  void WaitForRoom();

  AVCodecContext* Model;
  TSplitRule Rule;
  int ChunkFrames;
  const std::atomic<int>& Workers;
  TWrite Write;

  std::shared_ptr<TChunk> Filling;   // takes main frames
  std::shared_ptr<TChunk> Trailing;  // full, takes its post-roll
  std::deque<FramePtr> Recent;       // the last main frames, the next pre-roll
  int64_t FramesAdded = 0, SamplesAdded = 0;
  int64_t Written = 0;

  std::mutex Lock;  // guards the queue, the chunks, Buffered, Busy, Quit
  std::condition_variable WorkWake;  // workers wait: a chunk or frames to take
  std::condition_variable JobWake;   // the job's thread waits: room, a chunk done
  std::deque<std::shared_ptr<TChunk>> Queue;     // dispatched, not started
  std::deque<std::shared_ptr<TChunk>> InFlight;  // dispatched, not written (in order)
  int64_t Buffered = 0;                          // frames added, not sent
  int Busy = 0;                                  // chunks being encoded
  bool Quit = false;
  std::vector<std::thread> Threads;

  // The codec's join rule: made before the workers start; its job-thread
  // steps on the job's thread only, NewChunk on the workers.
  std::unique_ptr<TJoinRule> Join;
};
