#include "Mp3Repack.h"

#include <algorithm>
#include <cstring>

#include "FFmpeg.h"
#include "FFmpegLoader.h"

namespace {

// What a frame header tells.
struct THeader {
  bool Valid = false;
  bool Mpeg1 = false;
  bool Mono = false;
  bool Crc = false;
  int BitrateIndex = 0;
  int SampleRate = 0;
  bool Padding = false;
  int HeadBytes = 0;  // header, CRC and side information
  int FrameBytes = 0;
};

const int MPEG1_KBPS[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
const int MPEG2_KBPS[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};

int FrameBytes(bool mpeg1, int kbps, int rate, bool padding) {
  return (mpeg1 ? 144000 : 72000) * kbps / rate + (padding ? 1 : 0);
}

THeader ReadHeader(const uint8_t* p, int size) {
  THeader h;
  if (size < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return h;
  const int version = (p[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
  const int layer = (p[1] >> 1) & 3;    // 1: layer III
  if (version == 1 || layer != 1) return h;
  h.Mpeg1 = version == 3;
  h.Crc = !(p[1] & 1);
  h.BitrateIndex = p[2] >> 4;
  const int rateIndex = (p[2] >> 2) & 3;
  if (h.BitrateIndex == 0 || h.BitrateIndex == 15 || rateIndex == 3) return h;
  const int rates[3] = {44100, 48000, 32000};
  h.SampleRate = rates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
  h.Padding = (p[2] >> 1) & 1;
  h.Mono = (p[3] >> 6) == 3;
  const int side = h.Mpeg1 ? (h.Mono ? 17 : 32) : (h.Mono ? 9 : 17);
  h.HeadBytes = 4 + (h.Crc ? 2 : 0) + side;
  const int kbps = (h.Mpeg1 ? MPEG1_KBPS : MPEG2_KBPS)[h.BitrateIndex];
  h.FrameBytes = FrameBytes(h.Mpeg1, kbps, h.SampleRate, h.Padding);
  h.Valid = h.FrameBytes >= h.HeadBytes && size >= h.HeadBytes;
  return h;
}

uint32_t Bits(const uint8_t* p, int at, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i)
    value = (value << 1) | ((p[(at + i) >> 3] >> (7 - ((at + i) & 7))) & 1);
  return value;
}

void PutBits(uint8_t* p, int at, int count, uint32_t value) {
  for (int i = 0; i < count; ++i) {
    const int bit = (value >> (count - 1 - i)) & 1;
    uint8_t& byte = p[(at + i) >> 3];
    const int shift = 7 - ((at + i) & 7);
    byte = static_cast<uint8_t>((byte & ~(1 << shift)) | (bit << shift));
  }
}

// The side information's start within the frame, in bytes.
int SideStart(const THeader& h) { return 4 + (h.Crc ? 2 : 0); }

int MainDataBegin(const uint8_t* frame, const THeader& h) {
  return static_cast<int>(Bits(frame + SideStart(h), 0, h.Mpeg1 ? 9 : 8));
}

void SetMainDataBegin(uint8_t* frame, const THeader& h, int value) {
  PutBits(frame + SideStart(h), 0, h.Mpeg1 ? 9 : 8, static_cast<uint32_t>(value));
}

// Bytes of main data the frame's granules take (the sum of part2_3_length).
int MainDataBytes(const uint8_t* frame, const THeader& h) {
  const uint8_t* side = frame + SideStart(h);
  const int channels = h.Mono ? 1 : 2;
  int bits = 0;
  if (h.Mpeg1) {
    const int first = 9 + (h.Mono ? 5 : 3) + 4 * channels;
    for (int entry = 0; entry < 2 * channels; ++entry)
      bits += static_cast<int>(Bits(side, first + 59 * entry, 12));
  } else {
    const int first = 8 + (h.Mono ? 1 : 2);
    for (int entry = 0; entry < channels; ++entry)
      bits += static_cast<int>(Bits(side, first + 63 * entry, 12));
  }
  return (bits + 7) / 8;
}

// The CRC-16 of a protected frame: over the header's last two bytes and the
// side information (polynomial 0x8005, starting at 0xFFFF).
void UpdateCrc(uint8_t* frame, const THeader& h) {
  if (!h.Crc) return;
  uint16_t crc = 0xFFFF;
  auto feed = [&crc](uint8_t byte) {
    for (int i = 7; i >= 0; --i) {
      const bool top = ((crc >> 15) & 1) ^ ((byte >> i) & 1);
      crc = static_cast<uint16_t>(crc << 1);
      if (top) crc ^= 0x8005;
    }
  };
  feed(frame[2]);
  feed(frame[3]);
  for (int i = SideStart(h); i < h.HeadBytes; ++i) feed(frame[i]);
  frame[4] = static_cast<uint8_t>(crc >> 8);
  frame[5] = static_cast<uint8_t>(crc);
}

}  // namespace

TMp3Unit TMp3Unpacker::Unpack(const uint8_t* data, int size, int64_t pts, int64_t duration) {
  TMp3Unit unit;
  unit.Pts = pts;
  unit.Duration = duration;
  const THeader h = ReadHeader(data, size);
  if (!h.Valid) {
    unit.Layer3 = false;
    unit.Bytes.assign(data, data + size);
    return unit;
  }
  const int begin = MainDataBegin(data, h);
  const int bytes = MainDataBytes(data, h);
  const uint8_t* payload = data + h.HeadBytes;
  const int payloadSize = size - h.HeadBytes;
  unit.Bytes.assign(data, data + h.HeadBytes);
  SetMainDataBegin(unit.Bytes.data(), h, 0);
  // The main data: the reservoir's last "begin" bytes, then this payload.
  for (int i = 0; i < bytes; ++i) {
    const int at = i - begin;  // negative: in the reservoir
    uint8_t byte = 0;
    if (at < 0) {
      const int back = static_cast<int>(Reservoir.size()) + at;
      if (back >= 0) byte = Reservoir[static_cast<size_t>(back)];
    } else if (at < payloadSize) {
      byte = payload[at];
    }
    unit.Bytes.push_back(byte);
  }
  Reservoir.insert(Reservoir.end(), payload, payload + std::max(payloadSize, 0));
  const size_t keep = 512;
  if (Reservoir.size() > keep) Reservoir.erase(Reservoir.begin(), Reservoir.end() - keep);
  return unit;
}

void TMp3Repacker::Add(TMp3Unit unit) {
  TSlot slot;
  slot.Pts = unit.Pts;
  slot.Duration = unit.Duration;
  const THeader h = unit.Layer3 ? ReadHeader(unit.Bytes.data(), static_cast<int>(unit.Bytes.size()))
                                : THeader();
  if (!h.Valid) {
    // Nothing of the reservoir can cross it: everything before it leaves.
    Release(true);
    TFrame frame;
    frame.Bytes = std::move(unit.Bytes);
    frame.Pts = unit.Pts;
    frame.Duration = unit.Duration;
    Ready.push_back(std::move(frame));
    DataEnd = PayloadEnd;
    return;
  }
  MaxBack = h.Mpeg1 ? 511 : 255;
  slot.Head.assign(unit.Bytes.begin(), unit.Bytes.begin() + h.HeadBytes);
  const int bytes = static_cast<int>(unit.Bytes.size()) - h.HeadBytes;
  // Where the data can start: after the data before it, at most MaxBack
  // bytes before this frame's payload.
  const int64_t start = std::max(DataEnd, PayloadEnd - MaxBack);
  THeader head = h;
  int capacity = head.FrameBytes - head.HeadBytes;
  // A frame whose data does not fit before its end gets a higher bit rate.
  while (start + bytes > PayloadEnd + capacity && head.BitrateIndex < 14) {
    ++head.BitrateIndex;
    const int kbps = (head.Mpeg1 ? MPEG1_KBPS : MPEG2_KBPS)[head.BitrateIndex];
    head.FrameBytes = FrameBytes(head.Mpeg1, kbps, head.SampleRate, head.Padding);
    capacity = head.FrameBytes - head.HeadBytes;
  }
  if (start + bytes > PayloadEnd + capacity) ++CutCount;
  if (head.BitrateIndex != h.BitrateIndex) {
    ++EnlargedCount;
    slot.Head[2] = static_cast<uint8_t>((slot.Head[2] & 0x0F) | (head.BitrateIndex << 4));
  }
  SetMainDataBegin(slot.Head.data(), head, static_cast<int>(PayloadEnd - start));
  UpdateCrc(slot.Head.data(), head);
  slot.PayloadStart = PayloadEnd;
  slot.Payload.assign(static_cast<size_t>(capacity), 0);
  Slots.push_back(std::move(slot));
  PayloadEnd += capacity;
  // Lay the data into the payloads it covers (earlier frames and this one).
  const uint8_t* data = unit.Bytes.data() + h.HeadBytes;
  const int64_t end = std::min<int64_t>(start + bytes, PayloadEnd);
  for (TSlot& s : Slots) {
    const int64_t from = std::max(start, s.PayloadStart);
    const int64_t to = std::min<int64_t>(end, s.PayloadStart + static_cast<int64_t>(s.Payload.size()));
    for (int64_t at = from; at < to; ++at)
      s.Payload[static_cast<size_t>(at - s.PayloadStart)] = data[at - start];
  }
  DataEnd = end;
  Release(false);
}

void TMp3Repacker::Release(bool all) {
  // A frame is final when no later frame's data can still start in it.
  const int64_t laidUpTo = std::max(DataEnd, PayloadEnd - MaxBack);
  while (!Slots.empty()) {
    TSlot& s = Slots.front();
    if (!all && s.PayloadStart + static_cast<int64_t>(s.Payload.size()) > laidUpTo) break;
    TFrame frame;
    frame.Bytes = std::move(s.Head);
    frame.Bytes.insert(frame.Bytes.end(), s.Payload.begin(), s.Payload.end());
    frame.Pts = s.Pts;
    frame.Duration = s.Duration;
    Ready.push_back(std::move(frame));
    Slots.pop_front();
  }
}

void TMp3Repacker::Finish() { Release(true); }

bool TMp3Repacker::Take(TFrame& frame) {
  if (Ready.empty()) return false;
  frame = std::move(Ready.front());
  Ready.pop_front();
  return true;
}

// ---- The join rule of the split encoder ----------------------------------------

namespace {

// A worker's chunk: every frame its encoder made goes through the unpacker
// (a dropped one holds data of the next); the kept ones leave self-contained.
class TMp3Chunk : public TChunkPacker {
 public:
  bool Take(PacketPtr& packet, bool keep, std::vector<PacketPtr>& kept) override {
    TMp3Unit unit = Unpacker.Unpack(packet->data, packet->size, packet->pts, packet->duration);
    if (keep) {
      PacketPtr out(av.av_packet_alloc());
      if (!out || av.av_new_packet(out.get(), static_cast<int>(unit.Bytes.size())) < 0)
        return false;
      std::memcpy(out->data, unit.Bytes.data(), unit.Bytes.size());
      // Side data (the samples to skip at the end) stays with the frame.
      av.av_packet_copy_props(out.get(), packet.get());
      out->pts = out->dts = unit.Pts;
      out->duration = unit.Duration;
      kept.push_back(std::move(out));
    }
    av.av_packet_unref(packet.get());
    return true;
  }

 private:
  TMp3Unpacker Unpacker;
};

// The job's thread: the chunks' self-contained frames laid out as one stream.
class TMp3Join : public TJoinRule {
 public:
  std::unique_ptr<TChunkPacker> NewChunk(int64_t, int64_t) const override {
    return std::make_unique<TMp3Chunk>();
  }

  void Join(std::vector<PacketPtr>& packets, int64_t, int64_t, const TWrite& write) override {
    for (PacketPtr& packet : packets) {
      TMp3Unit unit;
      unit.Bytes.assign(packet->data, packet->data + packet->size);
      unit.Pts = packet->pts;
      unit.Duration = packet->duration;
      Repacker.Add(std::move(unit));
      // Never a damaged frame written as if whole: the job fails instead
      // (converting on one core, without the split, avoids the join).
      if (Repacker.Cut() > 0)
        throw FFmpegException(rcInternal,
                              "The MP3 chunks could not be joined: a frame's data did not fit "
                              "at the highest bit rate");
      // The repacker gives one frame for each it takes, in order.
      PacketPtr props(av.av_packet_alloc());
      if (!props || av.av_packet_copy_props(props.get(), packet.get()) < 0)
        throw FFmpegException("Audio encoding failed");
      Props.push_back(std::move(props));
    }
    packets.clear();
    WriteReady(write);
  }

  void Finish(const TWrite& write) override {
    Repacker.Finish();
    WriteReady(write);  // what the repacker still holds
  }

 private:
  void WriteReady(const TWrite& write) {
    TMp3Repacker::TFrame frame;
    while (Repacker.Take(frame)) {
      PacketPtr out(av.av_packet_alloc());
      if (!out || av.av_new_packet(out.get(), static_cast<int>(frame.Bytes.size())) < 0)
        throw FFmpegException("Audio encoding failed");
      std::memcpy(out->data, frame.Bytes.data(), frame.Bytes.size());
      if (!Props.empty()) {
        av.av_packet_copy_props(out.get(), Props.front().get());
        Props.pop_front();
      }
      out->pts = out->dts = frame.Pts;
      out->duration = frame.Duration;
      out->flags = AV_PKT_FLAG_KEY;
      write(out.get());
    }
  }

  TMp3Repacker Repacker;
  std::deque<PacketPtr> Props;  // each frame's packet properties, without its data
};

}  // namespace

std::unique_ptr<TJoinRule> NewMp3Join() { return std::make_unique<TMp3Join>(); }
