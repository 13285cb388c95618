#include "SplitEncoder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "JoinRule.h"

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
  Join = NewJoinRule(Rule, model);
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
  const std::unique_ptr<TChunkPacker> packer = Join->NewChunk(chunk.FirstFrame, chunk.FirstSample);
  PacketPtr packet(av.av_packet_alloc());
  auto collect = [&] {
    int result;
    while ((result = av.avcodec_receive_packet(enc.get(), packet.get())) >= 0) {
      const bool keep = packet->pts >= chunk.KeepFrom && packet->pts < chunk.KeepTo;
      if (!packer->Take(packet, keep, kept)) {
        error = "Audio encoding failed";
        return;
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
  Join->AddFrame(frame);
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
  Join->Finish(Write);
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
  Join->Join(chunk.Packets, chunk.FirstFrame, chunk.FirstSample, Write);
}
