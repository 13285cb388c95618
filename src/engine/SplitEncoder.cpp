#include "SplitEncoder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "Mp3Repack.h"

namespace {

// How often waits look at the number of workers again.
constexpr std::chrono::milliseconds WorkersCheck{20};

// A fresh encoder with the settings of the stream's opened one.
CodecContextPtr OpenLike(AVCodecContext* model) {
  const AVCodec* codec = model->codec;
  CodecContextPtr ctx(av.avcodec_alloc_context3(codec));
  if (!ctx) return nullptr;
  ctx->sample_fmt = model->sample_fmt;
  ctx->sample_rate = model->sample_rate;
  av.av_channel_layout_copy(&ctx->ch_layout, &model->ch_layout);
  ctx->time_base = model->time_base;
  ctx->bit_rate = model->bit_rate;
  ctx->bit_rate_tolerance = model->bit_rate_tolerance;
  ctx->flags = model->flags;
  ctx->flags2 = model->flags2;
  ctx->global_quality = model->global_quality;
  ctx->compression_level = model->compression_level;
  ctx->cutoff = model->cutoff;
  ctx->profile = model->profile;
  ctx->strict_std_compliance = model->strict_std_compliance;
  ctx->bits_per_raw_sample = model->bits_per_raw_sample;
  ctx->thread_count = 1;
  // Private options exist only where the encoder has a class for them (the WMA
  // encoders' private state starts with a context pointer instead).
  if (codec && codec->priv_class && model->priv_data && ctx->priv_data)
    av.av_opt_copy(ctx->priv_data, model->priv_data);
  std::lock_guard<std::recursive_mutex> lock(CodecLock);
  if (av.avcodec_open2(ctx.get(), codec, nullptr) < 0) return nullptr;
  return ctx;
}

void CloseEncoder(CodecContextPtr& ctx) {
  std::lock_guard<std::recursive_mutex> lock(CodecLock);
  ctx.reset();
}

// ---- FLAC frame headers --------------------------------------------------------

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

}  // namespace

TSplitRule SplitRuleOf(const AVCodecContext* enc) {
  TSplitRule rule;
  if (!enc || !enc->codec || enc->frame_size <= 1 ||
      (enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE))
    return rule;
  rule.Allowed = true;
  switch (enc->codec_id) {
    case AV_CODEC_ID_MP3:
      // The psychoacoustic model and the rate control settle within about
      // half a second; the encoder's delay is about one frame of 1152
      // samples. At the low rates a frame holds 576: twice the frames.
      rule.PreRoll = enc->frame_size < 1152 ? 40 : 20;
      rule.PostRoll = enc->frame_size < 1152 ? 6 : 3;
      rule.Join = TSplitRule::jnMp3;
      break;
    case AV_CODEC_ID_MP2:
      rule.PreRoll = 3;
      rule.PostRoll = 2;
      break;
    case AV_CODEC_ID_AAC:
      // The encoder's bit demand follows the perceptual entropy it has seen,
      // which it forgets over about 500 frames: a chunk starts from where
      // the stream would be after some 14 s, so chunks are long.
      rule.PreRoll = 600;
      rule.PostRoll = 3;
      rule.ChunkSeconds = 60;
      rule.MaxChunkSeconds = 150;
      break;
    case AV_CODEC_ID_WMAV1:
    case AV_CODEC_ID_WMAV2:
      rule.PreRoll = 3;
      rule.PostRoll = 2;
      break;
    case AV_CODEC_ID_FLAC:
      rule.Join = TSplitRule::jnFlac;
      break;
    default:
      rule.Allowed = false;
  }
  return rule;
}

int SplitChunkFrames(const TSplitRule& rule, int frameSize, int sampleRate, int64_t totalMs) {
  if (!rule.Allowed || frameSize <= 0 || sampleRate <= 0 || totalMs <= 0) return 0;
  const double seconds = static_cast<double>(totalMs) / 1000.0;
  if (seconds < 3.0 * rule.ChunkSeconds) return 0;
  // Every chunk but the first pays its pre-roll (P seconds), and the last
  // one may leave a core idle while it ends: over D seconds, chunks of about
  // sqrt(2 P D) cost least. An even count lets two or four encoders end
  // together. The length depends on the stream only, not on the number of
  // workers, so the bytes are the same on every machine.
  const double preRoll = static_cast<double>(rule.PreRoll) * frameSize / sampleRate;
  const double best = std::clamp(std::sqrt(2.0 * preRoll * seconds),
                                 static_cast<double>(rule.ChunkSeconds),
                                 static_cast<double>(rule.MaxChunkSeconds));
  long count = std::max(2L, 2 * std::lround(seconds / (2.0 * best)));
  while (seconds / static_cast<double>(count) > rule.MaxChunkSeconds) count += 2;
  // A frame of room per chunk: a duration read from the container may be a
  // few frames short, and the rest would make a chunk of its own.
  const double frames = seconds / static_cast<double>(count) * sampleRate / frameSize;
  return static_cast<int>(std::ceil(frames)) + 1;
}

struct TSplitEncoder::TMp3Join {
  TMp3Repacker Repacker;
  std::deque<PacketPtr> Props;  // each frame's packet properties, without its data
};

TSplitEncoder::TSplitEncoder(AVCodecContext* model, const TSplitRule& rule, int chunkFrames,
                             const std::atomic<int>& workers, TWrite write)
    : Model(model),
      Rule(rule),
      ChunkFrames(std::max(chunkFrames, rule.PostRoll + 1)),
      Workers(workers),
      Write(std::move(write)) {
  // Short chunks keep one more ready than there are workers; a long one (a
  // minute of sound) is filled in a fraction of the time its encoding takes,
  // and holding one less saves its memory.
  const bool longChunks =
      static_cast<int64_t>(ChunkFrames) * model->frame_size >= 60LL * model->sample_rate;
  ReadyAhead = longChunks ? 0 : 1;
  if (Rule.Join == TSplitRule::jnMp3) Mp3 = std::make_unique<TMp3Join>();
  if (Rule.Join == TSplitRule::jnFlac) {
    FlacMd5.reset(av.av_md5_alloc());
    if (FlacMd5) av.av_md5_init(FlacMd5.get());
  }
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  for (unsigned i = 0; i < cores; ++i) Threads.emplace_back([this] { Work(); });
}

TSplitEncoder::~TSplitEncoder() { Cancel(); }

void TSplitEncoder::Cancel() {
  {
    std::lock_guard<std::mutex> guard(Lock);
    Quit = true;
    Queue.clear();
  }
  Wake.notify_all();
  for (std::thread& thread : Threads)
    if (thread.joinable()) thread.join();
  Threads.clear();
  std::lock_guard<std::mutex> guard(Lock);
  InFlight.clear();
  Filling.reset();
  Trailing.reset();
}

void TSplitEncoder::Work() {
  for (;;) {
    std::shared_ptr<TChunk> chunk;
    {
      std::unique_lock<std::mutex> guard(Lock);
      // The owner may give this stream more workers at any time (other
      // jobs ended): a chunk waiting for one looks again now and then.
      while (!Wake.wait_for(guard, WorkersCheck, [this] {
        return Quit || (!Queue.empty() && Busy < std::max(1, Workers.load()));
      })) {
      }
      if (Quit) return;
      chunk = Queue.front();
      Queue.pop_front();
      ++Busy;
    }
    Encode(*chunk);
    {
      std::lock_guard<std::mutex> guard(Lock);
      --Busy;
      chunk->Done = true;
    }
    Wake.notify_all();
  }
}

void TSplitEncoder::Encode(TChunk& chunk) {
  CodecContextPtr enc = OpenLike(Model);
  std::vector<PacketPtr> kept;
  std::string error;
  if (!enc) error = "Audio encoding failed";
  TMp3Unpacker unpacker;
  int64_t flacFrames = 0, flacSamples = 0;
  PacketPtr packet(av.av_packet_alloc());
  auto collect = [&] {
    int result;
    while ((result = av.avcodec_receive_packet(enc.get(), packet.get())) >= 0) {
      const bool keep = packet->pts >= chunk.KeepFrom && packet->pts < chunk.KeepTo;
      if (Rule.Join == TSplitRule::jnMp3) {
        // Every frame goes through: a dropped one holds data of the next.
        TMp3Unit unit = unpacker.Unpack(packet->data, packet->size, packet->pts, packet->duration);
        if (keep) {
          PacketPtr out(av.av_packet_alloc());
          if (!out || av.av_new_packet(out.get(), static_cast<int>(unit.Bytes.size())) < 0) {
            error = "Audio encoding failed";
            return;
          }
          std::memcpy(out->data, unit.Bytes.data(), unit.Bytes.size());
          // Side data (the samples to skip at the end) stays with the frame.
          av.av_packet_copy_props(out.get(), packet.get());
          out->pts = out->dts = unit.Pts;
          out->duration = unit.Duration;
          kept.push_back(std::move(out));
        }
        av.av_packet_unref(packet.get());
      } else if (keep && Rule.Join == TSplitRule::jnFlac && packet->size > 0) {
        // Every encoder counts its frames from 0: this chunk's frames get
        // their numbers in the stream here, off the job's thread (the frame's
        // CRC is computed again over all of it). What is no frame goes on as
        // it is.
        bool isFrame = false;
        PacketPtr numbered = NumberedFlacFrame(packet.get(), chunk.FirstFrame + flacFrames,
                                               chunk.FirstSample + flacSamples, isFrame);
        if (isFrame && !numbered) {
          error = "Audio encoding failed";
          return;
        }
        if (isFrame) {
          ++flacFrames;
          flacSamples += packet->duration;
          kept.push_back(std::move(numbered));
          av.av_packet_unref(packet.get());
        } else {
          kept.push_back(std::move(packet));
          packet.reset(av.av_packet_alloc());
        }
      } else if (keep) {
        kept.push_back(std::move(packet));
        packet.reset(av.av_packet_alloc());
      } else {
        av.av_packet_unref(packet.get());
      }
    }
    if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) error = "Audio encoding failed";
  };
  for (size_t i = 0; error.empty() && i < chunk.Frames.size(); ++i) {
    if (av.avcodec_send_frame(enc.get(), chunk.Frames[i].get()) < 0) {
      error = "Audio encoding failed";
      break;
    }
    collect();
  }
  // Every chunk's encoder is drained: how many frames an encoder holds back
  // depends on its frame size and settings, and a frame of the keep window
  // still held back would be lost. What the post-roll yields is not kept.
  if (error.empty()) {
    if (av.avcodec_send_frame(enc.get(), nullptr) < 0)
      error = "Audio encoding failed";
    else
      collect();
  }
  if (enc) CloseEncoder(enc);
  // Its frames are no longer needed: the memory goes with them.
  std::lock_guard<std::mutex> guard(Lock);
  chunk.Frames.clear();
  chunk.Error = error;
  chunk.Packets = std::move(kept);
}

void TSplitEncoder::Dispatch(std::shared_ptr<TChunk> chunk) {
  {
    std::lock_guard<std::mutex> guard(Lock);
    Queue.push_back(chunk);
    InFlight.push_back(std::move(chunk));
  }
  Wake.notify_all();
}

void TSplitEncoder::Add(const AVFrame* frame) {
  FramePtr ref(av.av_frame_alloc());
  if (!ref || av.av_frame_ref(ref.get(), frame) < 0) throw FFmpegException("Audio encoding failed");
  if (FlacMd5) HashFlacSamples(frame);
  const int64_t delay = Model->initial_padding;
  if (!Filling) {
    Filling = std::make_shared<TChunk>();
    Filling->Index = NextIndex++;
    // The pre-roll: the last frames of the chunk before.
    if (Trailing) {
      const int main = Trailing->Pre + Trailing->Main;
      for (int i = std::max(Trailing->Pre, main - Rule.PreRoll); i < main; ++i) {
        FramePtr copy(av.av_frame_alloc());
        if (!copy || av.av_frame_ref(copy.get(), Trailing->Frames[static_cast<size_t>(i)].get()) < 0)
          throw FFmpegException("Audio encoding failed");
        Filling->Frames.push_back(std::move(copy));
        ++Filling->Pre;
      }
    }
    Filling->KeepFrom = frame->pts - delay;
    Filling->FirstFrame = FramesAdded;
    Filling->FirstSample = SamplesAdded;
    if (Trailing) Trailing->KeepTo = Filling->KeepFrom;
  }
  if (Trailing && Trailing->Post < Rule.PostRoll) {
    FramePtr copy(av.av_frame_alloc());
    if (!copy || av.av_frame_ref(copy.get(), frame) < 0) throw FFmpegException("Audio encoding failed");
    Trailing->Frames.push_back(std::move(copy));
    ++Trailing->Post;
  }
  if (Trailing && Trailing->Post >= Rule.PostRoll) {
    Dispatch(Trailing);
    Trailing.reset();
  }
  Filling->Frames.push_back(std::move(ref));
  ++FramesAdded;
  SamplesAdded += frame->nb_samples;
  if (++Filling->Main == ChunkFrames) {
    Trailing = std::move(Filling);
    Filling.reset();
  }
  // Few chunks alive at once: wait for the oldest when there are more.
  WriteReady(wtNo);
  while (true) {
    const size_t most = static_cast<size_t>(std::max(1, Workers.load())) + ReadyAhead;
    size_t alive;
    {
      std::lock_guard<std::mutex> guard(Lock);
      alive = InFlight.size();
    }
    if (alive < most) break;
    WriteReady(wtBriefly);
  }
}

void TSplitEncoder::Finish() {
  if (Trailing && Filling && Trailing->Post < Rule.PostRoll) {
    // The stream ends within the post-roll: the short rest joins the chunk
    // before it, whose encoder is then drained.
    Trailing->Main += Trailing->Post;
    Trailing->Post = 0;
    for (int i = Filling->Pre + (Trailing->Main - ChunkFrames); i < Filling->Pre + Filling->Main; ++i) {
      Trailing->Frames.push_back(std::move(Filling->Frames[static_cast<size_t>(i)]));
      ++Trailing->Main;
    }
    Filling.reset();
  }
  if (Trailing) {
    if (!Filling) {
      Trailing->Last = true;
      Trailing->KeepTo = INT64_MAX;
    }
    Dispatch(Trailing);
    Trailing.reset();
  }
  if (Filling) {
    Filling->Last = true;
    Filling->KeepTo = INT64_MAX;
    Dispatch(Filling);
    Filling.reset();
  }
  while (true) {
    {
      std::lock_guard<std::mutex> guard(Lock);
      if (InFlight.empty()) break;
    }
    WriteReady(wtDone);
  }
  if (Mp3) {
    Mp3->Repacker.Finish();
    WriteChunk(*std::make_shared<TChunk>());  // what the repacker still holds
  }
}

void TSplitEncoder::WriteReady(TWait wait) {
  while (true) {
    std::shared_ptr<TChunk> front;
    {
      std::unique_lock<std::mutex> guard(Lock);
      if (InFlight.empty()) return;
      front = InFlight.front();
      if (!front->Done) {
        if (wait == wtNo) return;
        auto done = [&] { return front->Done || Quit; };
        if (wait == wtDone)
          Wake.wait(guard, done);
        else
          Wake.wait_for(guard, WorkersCheck, done);
        if (!front->Done) return;
      }
      InFlight.pop_front();
    }
    wait = wtNo;
    if (!front->Error.empty()) throw FFmpegException(front->Error);
    WriteChunk(*front);
    ++Written;
  }
}

void TSplitEncoder::WriteChunk(TChunk& chunk) {
  // The worker's frame numbers hold when the chunks before gave one frame
  // for each they were fed; otherwise they are made again here.
  const bool numbered = chunk.FirstFrame == FlacFrames && chunk.FirstSample == FlacSamples;
  for (PacketPtr& packet : chunk.Packets) {
    if (Mp3) {
      TMp3Unit unit;
      unit.Bytes.assign(packet->data, packet->data + packet->size);
      unit.Pts = packet->pts;
      unit.Duration = packet->duration;
      Mp3->Repacker.Add(std::move(unit));
      // The repacker gives one frame for each it takes, in order.
      PacketPtr props(av.av_packet_alloc());
      if (!props || av.av_packet_copy_props(props.get(), packet.get()) < 0)
        throw FFmpegException("Audio encoding failed");
      Mp3->Props.push_back(std::move(props));
    } else if (FlacMd5) {
      WriteFlac(packet.get(), numbered);
    } else {
      Write(packet.get());
    }
  }
  chunk.Packets.clear();
  if (!Mp3) return;
  TMp3Repacker::TFrame frame;
  while (Mp3->Repacker.Take(frame)) {
    PacketPtr out(av.av_packet_alloc());
    if (!out || av.av_new_packet(out.get(), static_cast<int>(frame.Bytes.size())) < 0)
      throw FFmpegException("Audio encoding failed");
    std::memcpy(out->data, frame.Bytes.data(), frame.Bytes.size());
    if (!Mp3->Props.empty()) {
      av.av_packet_copy_props(out.get(), Mp3->Props.front().get());
      Mp3->Props.pop_front();
    }
    out->pts = out->dts = frame.Pts;
    out->duration = frame.Duration;
    out->flags = AV_PKT_FLAG_KEY;
    Write(out.get());
  }
}

void TSplitEncoder::HashFlacSamples(const AVFrame* frame) {
  // The signal as the FLAC encoder hashes it: interleaved little-endian
  // samples of its bit depth (24-bit ones from the top of 32-bit words).
  const int channels = frame->ch_layout.nb_channels;
  const size_t count = static_cast<size_t>(frame->nb_samples) * static_cast<size_t>(channels);
  if (Model->bits_per_raw_sample <= 16) {
    av.av_md5_update(FlacMd5.get(), frame->data[0], count * 2);
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
  av.av_md5_update(FlacMd5.get(), bytes.data(), bytes.size());
}

void TSplitEncoder::WriteFlac(AVPacket* packet, bool numbered) {
  if (packet->size > 0) {
    bool isFrame = numbered && IsFlacFrame(packet->data, packet->size);
    PacketPtr renumbered;
    if (!isFrame) {
      renumbered = NumberedFlacFrame(packet, FlacFrames, FlacSamples, isFrame);
      if (isFrame && !renumbered) throw FFmpegException("Audio encoding failed");
    }
    if (isFrame) {
      AVPacket* frame = renumbered ? renumbered.get() : packet;
      FlacMinFrame = FlacFrames == 0 ? frame->size : std::min(FlacMinFrame, frame->size);
      FlacMaxFrame = std::max(FlacMaxFrame, frame->size);
      ++FlacFrames;
      FlacSamples += frame->duration;
      Write(frame);
      return;
    }
  }
  // The closing stream information: the whole stream's, not the last chunk's.
  size_t size = 0;
  uint8_t* info = av.av_packet_get_side_data(packet, AV_PKT_DATA_NEW_EXTRADATA, &size);
  if (info && size >= 34) {
    PutBigEndian(info + 4, static_cast<uint64_t>(FlacMinFrame), 3);
    PutBigEndian(info + 7, static_cast<uint64_t>(FlacMaxFrame), 3);
    // 36 bits of total samples after sample rate, channels and depth.
    info[13] = static_cast<uint8_t>((info[13] & 0xF0) | ((FlacSamples >> 32) & 0x0F));
    PutBigEndian(info + 14, static_cast<uint64_t>(FlacSamples) & 0xFFFFFFFFu, 4);
    av.av_md5_final(FlacMd5.get(), info + 18);
  }
  Write(packet);
}
