#include "JoinRule.h"

#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "FlacJoin.h"
#include "Mp3Repack.h"
#include "SplitEncoder.h"

bool TChunkPacker::Take(PacketPtr& packet, bool keep, std::vector<PacketPtr>& kept) {
  if (!keep) {
    av.av_packet_unref(packet.get());
    return true;
  }
  kept.push_back(std::move(packet));
  packet.reset(av.av_packet_alloc());
  return packet != nullptr;
}

void TJoinRule::AddFrame(const AVFrame*) {}

std::unique_ptr<TChunkPacker> TJoinRule::NewChunk(int64_t, int64_t) const {
  return std::make_unique<TChunkPacker>();
}

void TJoinRule::Join(std::vector<PacketPtr>& packets, int64_t, int64_t, const TWrite& write) {
  for (PacketPtr& packet : packets) write(packet.get());
  packets.clear();
}

void TJoinRule::Finish(const TWrite&) {}

std::unique_ptr<TJoinRule> NewJoinRule(const TSplitRule& rule, const AVCodecContext* model) {
  switch (rule.Join) {
    case TSplitRule::jnMp3:
      return NewMp3Join();
    case TSplitRule::jnFlac:
      return NewFlacJoin(model->bits_per_raw_sample);
    case TSplitRule::jnPlain:
      break;
  }
  return std::make_unique<TJoinRule>();
}
