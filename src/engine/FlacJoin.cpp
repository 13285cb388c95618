#include "FlacJoin.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "FFmpeg.h"
#include "FFmpegLoader.h"

namespace {

// Table-driven CRCs of FLAC frames: CRC-8 (polynomial 0x07) of the header,
// CRC-16 (0x8005) of the whole frame, both starting at 0. The CRC-16 runs
// over every byte of every frame, eight bytes a step: Crc16[k][b] is the
// CRC of byte b followed by k zero bytes.
struct TCrcTables {
  uint8_t Crc8[256];
  uint16_t Crc16[8][256];
  TCrcTables() {
    for (int i = 0; i < 256; ++i) {
      uint8_t c8 = static_cast<uint8_t>(i);
      uint16_t c16 = static_cast<uint16_t>(i << 8);
      for (int bit = 0; bit < 8; ++bit) {
        c8 = static_cast<uint8_t>((c8 & 0x80) ? (c8 << 1) ^ 0x07 : c8 << 1);
        c16 = static_cast<uint16_t>((c16 & 0x8000) ? (c16 << 1) ^ 0x8005 : c16 << 1);
      }
      Crc8[i] = c8;
      Crc16[0][i] = c16;
    }
    for (int k = 1; k < 8; ++k)
      for (int i = 0; i < 256; ++i) {
        const uint16_t prev = Crc16[k - 1][i];
        Crc16[k][i] = static_cast<uint16_t>((prev << 8) ^ Crc16[0][prev >> 8]);
      }
  }
};
const TCrcTables& Crcs() {
  static const TCrcTables tables;
  return tables;
}

uint8_t Crc8(const uint8_t* data, size_t size) {
  uint8_t crc = 0;
  for (size_t i = 0; i < size; ++i) crc = Crcs().Crc8[crc ^ data[i]];
  return crc;
}

uint16_t Crc16(const uint8_t* data, size_t size) {
  const auto& t = Crcs().Crc16;
  uint16_t crc = 0;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    const uint8_t* b = data + i;
    crc = static_cast<uint16_t>(t[7][(crc >> 8) ^ b[0]] ^ t[6][(crc & 0xFF) ^ b[1]] ^ t[5][b[2]] ^
                                t[4][b[3]] ^ t[3][b[4]] ^ t[2][b[5]] ^ t[1][b[6]] ^ t[0][b[7]]);
  }
  for (; i < size; ++i) crc = static_cast<uint16_t>((crc << 8) ^ t[0][(crc >> 8) ^ data[i]]);
  return crc;
}

// The frame or sample number in FLAC's UTF-8-like coding.
std::vector<uint8_t> CodeNumber(uint64_t value) {
  if (value < 0x80) return {static_cast<uint8_t>(value)};
  int bytes = 2;
  while (bytes < 7 && value >= (uint64_t{1} << (5 * bytes + 1))) ++bytes;
  std::vector<uint8_t> out(static_cast<size_t>(bytes));
  for (int i = bytes - 1; i > 0; --i) {
    out[static_cast<size_t>(i)] = static_cast<uint8_t>(0x80 | (value & 0x3F));
    value >>= 6;
  }
  out[0] = static_cast<uint8_t>(((0xFF00 >> bytes) & 0xFF) | value);
  return out;
}

// Length of a coded number that starts with this byte; 0 when invalid.
int CodedLength(uint8_t first) {
  if (first < 0x80) return 1;
  for (int bytes = 2; bytes <= 7; ++bytes)
    if ((first & (0xFF00 >> (bytes + 1)) & 0xFF) == ((0xFF00 >> bytes) & 0xFF)) return bytes;
  return 0;
}

// Whether the bytes start with a FLAC frame's sync code.
bool IsFlacFrame(const uint8_t* data, int size) {
  return size >= 8 && data[0] == 0xFF && (data[1] & 0xFE) == 0xF8;
}

// The frame with its number set to number; empty when it is no FLAC frame.
std::vector<uint8_t> Renumber(const uint8_t* data, int size, uint64_t number, bool& variable) {
  if (!IsFlacFrame(data, size)) return {};
  variable = data[1] & 1;
  const int coded = CodedLength(data[4]);
  if (coded == 0) return {};
  int header = 4 + coded;
  const int blockCode = data[2] >> 4, rateCode = data[2] & 0x0F;
  header += blockCode == 6 ? 1 : blockCode == 7 ? 2 : 0;
  header += rateCode == 12 ? 1 : (rateCode == 13 || rateCode == 14) ? 2 : 0;
  if (header + 1 + 2 > size) return {};
  std::vector<uint8_t> out(data, data + 4);
  const std::vector<uint8_t> code = CodeNumber(number);
  out.insert(out.end(), code.begin(), code.end());
  out.insert(out.end(), data + 4 + coded, data + header);
  out.push_back(Crc8(out.data(), out.size()));
  out.insert(out.end(), data + header + 1, data + size - 2);
  const uint16_t crc = Crc16(out.data(), out.size());
  out.push_back(static_cast<uint8_t>(crc >> 8));
  out.push_back(static_cast<uint8_t>(crc));
  return out;
}

// The FLAC frame in packet as a new packet with its number in the stream
// (the frame number, or the sample number where block sizes vary). isFrame
// false: the packet is no frame (nothing is made); true with a null result:
// out of memory.
PacketPtr NumberedFlacFrame(const AVPacket* packet, int64_t frameNumber, int64_t sampleNumber,
                            bool& isFrame) {
  bool variable = false;
  std::vector<uint8_t> frame =
      Renumber(packet->data, packet->size, static_cast<uint64_t>(frameNumber), variable);
  if (variable)
    frame = Renumber(packet->data, packet->size, static_cast<uint64_t>(sampleNumber), variable);
  isFrame = !frame.empty();
  if (!isFrame) return nullptr;
  PacketPtr out(av.av_packet_alloc());
  if (!out || av.av_new_packet(out.get(), static_cast<int>(frame.size())) < 0 ||
      av.av_packet_copy_props(out.get(), packet) < 0)
    return nullptr;
  std::memcpy(out->data, frame.data(), frame.size());
  return out;
}

void PutBigEndian(uint8_t* at, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    at[i] = static_cast<uint8_t>(value);
    value >>= 8;
  }
}


// A worker's chunk: its kept frames get their numbers in the stream, off the
// job's thread (the frame's CRC is computed again over all of it).
class TFlacChunk : public TChunkPacker {
 public:
  TFlacChunk(int64_t firstFrame, int64_t firstSample)
      : FirstFrame(firstFrame), FirstSample(firstSample) {}

  bool Take(PacketPtr& packet, bool keep, std::vector<PacketPtr>& kept) override {
    if (!keep || packet->size <= 0) return TChunkPacker::Take(packet, keep, kept);
    // Every encoder counts its frames from 0. What is no frame goes on as
    // it is.
    bool isFrame = false;
    PacketPtr numbered =
        NumberedFlacFrame(packet.get(), FirstFrame + Frames, FirstSample + Samples, isFrame);
    if (isFrame && !numbered) return false;
    if (!isFrame) return TChunkPacker::Take(packet, keep, kept);
    ++Frames;
    Samples += packet->duration;
    kept.push_back(std::move(numbered));
    av.av_packet_unref(packet.get());
    return true;
  }

 private:
  int64_t FirstFrame, FirstSample;
  int64_t Frames = 0, Samples = 0;  // kept so far
};

class TFlacJoin : public TJoinRule {
 public:
  explicit TFlacJoin(int bitsPerRawSample) : BitsPerRawSample(bitsPerRawSample) {
    Md5.reset(av.av_md5_alloc());
    if (!Md5) throw FFmpegException("Audio encoding failed");
    av.av_md5_init(Md5.get());
  }

  void AddFrame(const AVFrame* frame) override {
    // The signal as the FLAC encoder hashes it: interleaved little-endian
    // samples of its bit depth (24-bit ones from the top of 32-bit words).
    const int channels = frame->ch_layout.nb_channels;
    const size_t count = static_cast<size_t>(frame->nb_samples) * static_cast<size_t>(channels);
    if (BitsPerRawSample <= 16) {
      av.av_md5_update(Md5.get(), frame->data[0], count * 2);
      return;
    }
    std::vector<uint8_t> bytes(count * 3);
    const auto* samples = reinterpret_cast<const int32_t*>(frame->data[0]);
    for (size_t i = 0; i < count; ++i) {
      const int32_t v = samples[i] >> 8;
      bytes[3 * i] = static_cast<uint8_t>(v);
      bytes[3 * i + 1] = static_cast<uint8_t>(v >> 8);
      bytes[3 * i + 2] = static_cast<uint8_t>(v >> 16);
    }
    av.av_md5_update(Md5.get(), bytes.data(), bytes.size());
  }

  std::unique_ptr<TChunkPacker> NewChunk(int64_t firstFrame, int64_t firstSample) const override {
    return std::make_unique<TFlacChunk>(firstFrame, firstSample);
  }

  void Join(std::vector<PacketPtr>& packets, int64_t firstFrame, int64_t firstSample,
            const TWrite& write) override {
    // The worker's frame numbers hold when the chunks before gave one frame
    // for each they were fed; otherwise they are made again here.
    const bool numbered = firstFrame == Frames && firstSample == Samples;
    for (PacketPtr& packet : packets) Write(packet.get(), numbered, write);
    packets.clear();
  }

  void Finish(const TWrite&) override {}

 private:
  // numbered: the worker gave the frame its number in the stream already.
  void Write(AVPacket* packet, bool numbered, const TWrite& write) {
    if (packet->size > 0) {
      bool isFrame = numbered && IsFlacFrame(packet->data, packet->size);
      PacketPtr renumbered;
      if (!isFrame) {
        renumbered = NumberedFlacFrame(packet, Frames, Samples, isFrame);
        if (isFrame && !renumbered) throw FFmpegException("Audio encoding failed");
      }
      if (isFrame) {
        AVPacket* frame = renumbered ? renumbered.get() : packet;
        MinFrame = Frames == 0 ? frame->size : std::min(MinFrame, frame->size);
        MaxFrame = std::max(MaxFrame, frame->size);
        ++Frames;
        Samples += frame->duration;
        write(frame);
        return;
      }
    }
    // The closing stream information: the whole stream's, not the last chunk's.
    size_t size = 0;
    uint8_t* info = av.av_packet_get_side_data(packet, AV_PKT_DATA_NEW_EXTRADATA, &size);
    if (info && size >= 34) {
      PutBigEndian(info + 4, static_cast<uint64_t>(MinFrame), 3);
      PutBigEndian(info + 7, static_cast<uint64_t>(MaxFrame), 3);
      // 36 bits of total samples after sample rate, channels and depth.
      info[13] = static_cast<uint8_t>((info[13] & 0xF0) | ((Samples >> 32) & 0x0F));
      PutBigEndian(info + 14, static_cast<uint64_t>(Samples) & 0xFFFFFFFFu, 4);
      av.av_md5_final(Md5.get(), info + 18);
    }
    write(packet);
  }

  const int BitsPerRawSample;
  std::unique_ptr<AVMD5, TAVMemFree> Md5;  // of the signal so far
  int64_t Frames = 0, Samples = 0;         // written so far
  int MinFrame = 0, MaxFrame = 0;          // bytes
};

}  // namespace

std::unique_ptr<TJoinRule> NewFlacJoin(int bitsPerRawSample) {
  return std::make_unique<TFlacJoin>(bitsPerRawSample);
}
