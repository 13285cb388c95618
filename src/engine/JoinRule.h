// TJoinRule: how the packets of the chunks of one split stream
// (SplitEncoder.h) become one stream, as if one encoder had made them. A
// codec that needs more than its packets laid end to end has a file of its
// own: Mp3Repack.h (main data laid out again across the joins), FlacJoin.h
// (frames numbered again, the stream information merged). The others (MP2,
// AAC, WMA) join as they are: this base class. NewJoinRule picks the rule
// from the codec's split rule.
//
// Calls, in this order for a stream:
//   job thread:    AddFrame for each frame given to the split encoder;
//   worker thread: NewChunk once per chunk, then its packer's Take for each
//                  packet that chunk's encoder makes;
//   job thread:    Join for each chunk's kept packets, chunk after chunk in
//                  stream order; Finish once at the end of the stream (not
//                  when the work is cancelled).
//
// Threads and ownership: the split encoder owns the rule. AddFrame, Join and
// Finish run on the job's thread only and may keep state across chunks.
// NewChunk may run on several workers at once: it reads nothing that the
// job's thread changes, and the packer it returns belongs to that worker
// alone. Packets written through `write` are the callee's to unref.
//
// Failures: FFmpegException ("Audio encoding failed") on the job's thread;
// a packer returns false and its worker reports the chunk failed.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "Deleters.h"

// What the worker of one chunk keeps of its encoder's packets.
class TChunkPacker {
 public:
  virtual ~TChunkPacker() = default;
  // Each packet the chunk's encoder made, in order, also those outside the
  // chunk's own frames (keep false: the pre-roll's and post-roll's). Moves
  // what the chunk keeps to the end of kept and leaves packet allocated and
  // empty for the next one. False when out of memory.
  virtual bool Take(PacketPtr& packet, bool keep, std::vector<PacketPtr>& kept);
};

class TJoinRule {
 public:
  using TWrite = std::function<void(AVPacket* packet)>;
  virtual ~TJoinRule() = default;

  // Job thread: a frame given to the split encoder, in stream order.
  virtual void AddFrame(const AVFrame* frame);
  // Worker thread: the packer of a chunk whose first own frame is frame
  // firstFrame of the stream, starting at sample firstSample.
  virtual std::unique_ptr<TChunkPacker> NewChunk(int64_t firstFrame, int64_t firstSample) const;
  // Job thread: a chunk's kept packets (the packer's), written in order;
  // the chunk's first frame and sample as NewChunk was told. The packets
  // are used up.
  virtual void Join(std::vector<PacketPtr>& packets, int64_t firstFrame, int64_t firstSample,
                    const TWrite& write);
  // Job thread: the end of the stream; what the rule still holds.
  virtual void Finish(const TWrite& write);
};

struct TSplitRule;
// The join rule of a codec's split rule (its Join); model is the stream's
// opened encoder, which must outlive the rule.
std::unique_ptr<TJoinRule> NewJoinRule(const TSplitRule& rule, const AVCodecContext* model);
