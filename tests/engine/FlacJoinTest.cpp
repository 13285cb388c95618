// The FLAC join rule of the split encoder on the frames of two encoder
// instances: one valid stream comes out, its frames numbered in the stream
// and its stream information the whole signal's. ffmpeg checks the CRCs and
// decodes it; md5sum hashes the signal.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "FlacJoin.h"
#include "TestSupport.h"

using namespace testing_support;

namespace {

// The packets of one FLAC encoder fed these frames, its end included.
std::vector<PacketPtr> EncodeFlac(const std::vector<FramePtr>& frames, size_t from, size_t to) {
  std::vector<PacketPtr> packets;
  CodecContextPtr enc(av.avcodec_alloc_context3(av.avcodec_find_encoder_by_name("flac")));
  enc->sample_fmt = AV_SAMPLE_FMT_S16;
  enc->sample_rate = 44100;
  enc->time_base = AVRational{1, 44100};
  av.av_channel_layout_default(&enc->ch_layout, 2);
  if (av.avcodec_open2(enc.get(), enc->codec, nullptr) < 0) return packets;
  auto collect = [&] {
    PacketPtr packet(av.av_packet_alloc());
    while (av.avcodec_receive_packet(enc.get(), packet.get()) >= 0) {
      packets.push_back(std::move(packet));
      packet.reset(av.av_packet_alloc());
    }
  };
  for (size_t i = from; i < to; ++i) {
    av.avcodec_send_frame(enc.get(), frames[i].get());
    collect();
  }
  av.avcodec_send_frame(enc.get(), nullptr);
  collect();
  return packets;
}

}  // namespace

// The split encoder counts the frames it hands out; a chunk whose encoder
// gave fewer (here: the first chunk was counted one frame longer) leaves
// the next chunk's worker numbers wrong, and the job's thread numbers its
// frames again.
TEST(FlacJoin, FramesNumberedInTheStreamWhereTheWorkersCountWasWrong) {
  ASSERT_TRUE(LoadEngineLibraries());
  TTempDir dir;
  const int frameSize = 4608;
  std::vector<FramePtr> frames;
  std::vector<uint8_t> pcm;
  uint32_t seed = 1;
  for (int f = 0; f < 6; ++f) {
    FramePtr frame(av.av_frame_alloc());
    frame->format = AV_SAMPLE_FMT_S16;
    frame->sample_rate = 44100;
    frame->nb_samples = frameSize;
    frame->pts = static_cast<int64_t>(f) * frameSize;
    av.av_channel_layout_default(&frame->ch_layout, 2);
    ASSERT_GE(av.av_frame_get_buffer(frame.get(), 0), 0);
    auto* samples = reinterpret_cast<int16_t*>(frame->data[0]);
    for (int i = 0; i < 2 * frameSize; ++i) {
      seed = seed * 1103515245u + 12345u;
      samples[i] = static_cast<int16_t>(8000 * std::sin(0.01 * (f * frameSize + i / 2)) +
                                        static_cast<int>((seed >> 16) % 512) - 256);
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples);
    pcm.insert(pcm.end(), bytes, bytes + 4 * frameSize);
    frames.push_back(std::move(frame));
  }
  std::vector<PacketPtr> first = EncodeFlac(frames, 0, 3), second = EncodeFlac(frames, 3, 6);
  ASSERT_EQ(first.size(), 4u);  // three frames and the end
  ASSERT_EQ(second.size(), 4u);

  std::unique_ptr<TJoinRule> rule = NewFlacJoin(16);
  for (const FramePtr& frame : frames) rule->AddFrame(frame.get());
  // Worker side: the first chunk keeps its frames, not its end; the second
  // believes it starts at frame 4.
  std::vector<PacketPtr> keptFirst, keptSecond;
  std::unique_ptr<TChunkPacker> packer = rule->NewChunk(0, 0);
  for (PacketPtr& packet : first)
    ASSERT_TRUE(packer->Take(packet, packet->size > 0, keptFirst));
  packer = rule->NewChunk(4, 4 * frameSize);
  for (PacketPtr& packet : second) ASSERT_TRUE(packer->Take(packet, true, keptSecond));

  std::string stream;
  std::vector<int> numbers;
  std::vector<uint8_t> info;
  auto write = [&](AVPacket* packet) {
    if (packet->size > 0) {
      numbers.push_back(packet->data[4]);  // numbers under 128 take one byte
      stream.append(reinterpret_cast<const char*>(packet->data), static_cast<size_t>(packet->size));
    }
    size_t size = 0;
    const uint8_t* side = av.av_packet_get_side_data(packet, AV_PKT_DATA_NEW_EXTRADATA, &size);
    if (side) info.assign(side, side + size);
  };
  rule->Join(keptFirst, 0, 0, write);
  rule->Join(keptSecond, 4, 4 * frameSize, write);
  rule->Finish(write);
  EXPECT_EQ(numbers, (std::vector<int>{0, 1, 2, 3, 4, 5}));
  ASSERT_EQ(info.size(), 34u);

  const std::string flac = dir.File("joined.flac"), raw = dir.File("signal.s16");
  {
    std::ofstream out(flac, std::ios::binary);
    out << "fLaC" << '\x80' << '\0' << '\0' << '\x22';
    out.write(reinterpret_cast<const char*>(info.data()), static_cast<long>(info.size()));
    out << stream;
    std::ofstream(raw, std::ios::binary)
        .write(reinterpret_cast<const char*>(pcm.data()), static_cast<long>(pcm.size()));
  }
  EXPECT_TRUE(Shell("ffmpeg -nostdin -v error -err_detect crccheck+explode -xerror -i " +
                    Quote(flac) + " -f null -"));
  EXPECT_EQ(Capture("ffmpeg -nostdin -v error -i " + Quote(flac) + " -f md5 -"),
            Capture("ffmpeg -nostdin -v error -f s16le -ar 44100 -ac 2 -i " + Quote(raw) +
                    " -f md5 -"));
  EXPECT_EQ(Probe(flac, "a:0", "stream=duration_ts"), std::to_string(6 * frameSize));
  // The stream information's MD5 is the whole signal's.
  char hex[33] = {};
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", info[18 + static_cast<size_t>(i)]);
  EXPECT_EQ(Capture("md5sum < " + Quote(raw) + " | cut -c1-32"), std::string(hex));
}
