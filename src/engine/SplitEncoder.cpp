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
      // the stream would be after some 14 s, so chunks are long. Half a
      // chunk and two pre-rolls wait while a chunk is encoded: at most 110 s
      // a chunk keeps that near 85 s of sound (some 30 MB in the encoder's
      // float samples).
      rule.PreRoll = 600;
      rule.PostRoll = 3;
      rule.ChunkSeconds = 60;
      rule.MaxChunkSeconds = 110;
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
  // Every chunk but the first pays its pre-roll (P seconds): over D seconds,
  // chunks of about sqrt(2 P D) cost least. The first and the last chunk are
  // half as long (TSplitEncoder), so that two encoders run half a chunk
  // apart, end together, and only half a chunk waits while the other is
  // encoded. The length depends on the stream only, not on the number of
  // workers, so the bytes are the same on every machine.
  const double preRoll = static_cast<double>(rule.PreRoll) * frameSize / sampleRate;
  const double best = std::clamp(std::sqrt(2.0 * preRoll * seconds),
                                 static_cast<double>(rule.ChunkSeconds),
                                 static_cast<double>(rule.MaxChunkSeconds));
  long count = std::max(2L, std::lround(seconds / best));
  while (seconds / static_cast<double>(count) > rule.MaxChunkSeconds) ++count;
  // A frame of room per chunk: a duration read from the container may be a
  // few frames short, and the rest would make a chunk of its own.
  const double frames = seconds / static_cast<double>(count) * sampleRate / frameSize;
  return static_cast<int>(std::ceil(frames)) + 1;
}

TSplitEncoder::TSplitEncoder(AVCodecContext* model, const TSplitRule& rule, int chunkFrames,
                             const std::atomic<int>& workers, TWrite write)
    : Model(model),
      Rule(rule),
      ChunkFrames(std::max(chunkFrames, 2 * (rule.PostRoll + 1))),
      Workers(workers),
      Write(std::move(write)) {
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
  WorkWake.notify_all();
  JobWake.notify_all();
  for (std::thread& thread : Threads)
    if (thread.joinable()) thread.join();
  Threads.clear();
  std::lock_guard<std::mutex> guard(Lock);
  InFlight.clear();
  Filling.reset();
  Trailing.reset();
  Recent.clear();
}

int64_t TSplitEncoder::BufferLimit() const {
  // A worker starts a chunk once the one before was added whole. Two
  // workers run half a chunk apart: when one starts a chunk, the other has
  // half of its own left, and the new one's pre-roll comes on top (and the
  // pre-roll the other had to encode first). Each further worker adds a
  // chunk that waits whole.
  const int workers = std::max(1, Workers.load());
  const int64_t half = ChunkFrames / 2;
  const int64_t waiting = workers <= 2 ? half : (workers - 1) * static_cast<int64_t>(ChunkFrames) - half;
  // Chunks do not encode equally fast: some room (a quarter of a chunk, at
  // most 8 s of sound) keeps the worker on the newest chunk fed while the
  // other runs late.
  const int64_t room = std::min<int64_t>(
      ChunkFrames / 4, 8LL * Model->sample_rate / std::max(1, Model->frame_size));
  return waiting + room + 2 * Rule.PreRoll + Rule.PostRoll + 1;
}

int64_t TSplitEncoder::ResumeAt() const {
  // A waiting Add goes on once a few frames are free, not at every one.
  return BufferLimit() - std::max(1, ChunkFrames / 16);
}

void TSplitEncoder::Work() {
  for (;;) {
    std::shared_ptr<TChunk> chunk;
    {
      std::unique_lock<std::mutex> guard(Lock);
      // The owner may give this stream more workers at any time (other
      // jobs ended): a chunk waiting for one looks again now and then.
      while (!WorkWake.wait_for(guard, WorkersCheck, [this] {
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
    JobWake.notify_all();
    WorkWake.notify_all();
  }
}

void TSplitEncoder::Encode(TChunk& chunk) {
  CodecContextPtr enc = OpenLike(Model);
  std::vector<PacketPtr> kept;
  std::string error;
  if (!enc) error = "Audio encoding failed";
  const std::unique_ptr<TChunkPacker> packer = Join->NewChunk(chunk.FirstFrame, chunk.FirstSample);
  PacketPtr packet(av.av_packet_alloc());
  // The keep window as the chunk had it when its last frame was taken: its
  // end is known before any post-roll frame is added.
  int64_t keepFrom = 0, keepTo = INT64_MAX;
  auto collect = [&] {
    int result;
    while ((result = av.avcodec_receive_packet(enc.get(), packet.get())) >= 0) {
      const bool keep = packet->pts >= keepFrom && packet->pts < keepTo;
      if (!packer->Take(packet, keep, kept)) {
        error = "Audio encoding failed";
        return;
      }
    }
    if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) error = "Audio encoding failed";
  };
  bool quit = false;
  while (error.empty()) {
    FramePtr frame;
    bool resume = false;
    {
      std::unique_lock<std::mutex> guard(Lock);
      WorkWake.wait(guard, [&] {
        return Quit || (chunk.Closed && chunk.Frames.empty()) ||
               (!chunk.Frames.empty() && (chunk.Closed || chunk.Sent < chunk.Pre + chunk.Main));
      });
      if (Quit) {
        quit = true;
        break;
      }
      keepFrom = chunk.KeepFrom;
      keepTo = chunk.KeepTo;
      if (chunk.Frames.empty()) break;  // closed, every frame sent
      frame = std::move(chunk.Frames.front());
      chunk.Frames.pop_front();
      ++chunk.Sent;
      resume = --Buffered == ResumeAt();
    }
    if (resume) JobWake.notify_all();
    if (av.avcodec_send_frame(enc.get(), frame.get()) < 0) {
      error = "Audio encoding failed";
      break;
    }
    frame.reset();
    collect();
  }
  // Every chunk's encoder is drained: how many frames an encoder holds back
  // depends on its frame size and settings, and a frame of the keep window
  // still held back would be lost. What the post-roll yields is not kept.
  if (error.empty() && !quit) {
    if (av.avcodec_send_frame(enc.get(), nullptr) < 0)
      error = "Audio encoding failed";
    else
      collect();
  }
  if (enc) CloseEncoder(enc);
  std::lock_guard<std::mutex> guard(Lock);
  // A failed chunk's frames are not waited for: the job's thread may go on
  // to the failure.
  Buffered -= static_cast<int64_t>(chunk.Frames.size());
  chunk.Frames.clear();
  chunk.Error = quit && error.empty() ? "Audio encoding failed" : error;
  chunk.Packets = std::move(kept);
}

void TSplitEncoder::Dispatch(const std::shared_ptr<TChunk>& chunk) {
  {
    std::lock_guard<std::mutex> guard(Lock);
    Queue.push_back(chunk);
    InFlight.push_back(chunk);
  }
  WorkWake.notify_all();
}

void TSplitEncoder::Push(TChunk& chunk, const AVFrame* frame, TKind kind) {
  FramePtr ref(av.av_frame_clone(frame));
  if (!ref) throw FFmpegException("Audio encoding failed");
  bool wake;
  {
    std::lock_guard<std::mutex> guard(Lock);
    (kind == fkPre ? chunk.Pre : kind == fkMain ? chunk.Main : chunk.Post)++;
    // A chunk that failed takes no more: it is not waited for.
    if (chunk.Done || !chunk.Error.empty()) return;
    wake = chunk.Frames.empty();
    chunk.Frames.push_back(std::move(ref));
    ++Buffered;
  }
  if (wake) WorkWake.notify_all();
}

void TSplitEncoder::Close(TChunk& chunk) {
  {
    std::lock_guard<std::mutex> guard(Lock);
    chunk.Closed = true;
  }
  WorkWake.notify_all();
}

void TSplitEncoder::Add(const AVFrame* frame) {
  Join->AddFrame(frame);
  const int64_t delay = Model->initial_padding;
  if (!Filling) {
    Filling = std::make_shared<TChunk>();
    Filling->KeepFrom = frame->pts - delay;
    Filling->FirstFrame = FramesAdded;
    Filling->FirstSample = SamplesAdded;
    if (Trailing) {
      // The pre-roll: the last frames of the chunk before. Its end is set
      // before it takes a post-roll frame.
      {
        std::lock_guard<std::mutex> guard(Lock);
        Trailing->KeepTo = Filling->KeepFrom;
      }
      const size_t count = std::min(Recent.size(), static_cast<size_t>(std::max(0, Trailing->Main)));
      for (size_t i = Recent.size() - count; i < Recent.size(); ++i)
        Push(*Filling, Recent[i].get(), fkPre);
    } else {
      Dispatch(Filling);
    }
  }
  if (Trailing && Trailing->Post < Rule.PostRoll) Push(*Trailing, frame, fkPost);
  if (Trailing && Trailing->Post >= Rule.PostRoll) {
    Close(*Trailing);
    Trailing.reset();
    Dispatch(Filling);
  }
  Push(*Filling, frame, fkMain);
  if (Rule.PreRoll > 0) {
    FramePtr ref(av.av_frame_clone(frame));
    if (!ref) throw FFmpegException("Audio encoding failed");
    Recent.push_back(std::move(ref));
    if (Recent.size() > static_cast<size_t>(Rule.PreRoll)) Recent.pop_front();
  }
  ++FramesAdded;
  SamplesAdded += frame->nb_samples;
  // The first chunk is half as long as the others (SplitChunkFrames).
  if (Filling->Main == (Filling->FirstFrame == 0 ? ChunkFrames / 2 : ChunkFrames)) {
    Trailing = std::move(Filling);
    Filling.reset();
  }
  WaitForRoom();
}

void TSplitEncoder::WaitForRoom() {
  for (;;) {
    WriteReady(false);
    std::unique_lock<std::mutex> guard(Lock);
    // Few chunks alive at once, and at most the buffered frames.
    const size_t most = static_cast<size_t>(std::max(1, Workers.load())) + 2;
    auto room = [&] { return Buffered <= BufferLimit() && InFlight.size() <= most; };
    if (room()) return;
    JobWake.wait_for(guard, WorkersCheck, [&] {
      return Quit || room() || (!InFlight.empty() && InFlight.front()->Done);
    });
    if (Quit) return;
  }
}

void TSplitEncoder::Finish() {
  {
    std::lock_guard<std::mutex> guard(Lock);
    if (Trailing && Filling && Trailing->Post < Rule.PostRoll) {
      // The stream ends within the post-roll: the short rest (the frames the
      // chunk before took as its post-roll) becomes that chunk's own, and its
      // encoder is then drained. The rest's chunk was not dispatched yet
      // (that waits for the post-roll), and the chunk before sent none of
      // its post-roll frames (that waits for its close).
      Trailing->Main += Trailing->Post;
      Trailing->Post = 0;
      Buffered -= static_cast<int64_t>(Filling->Frames.size());
      Filling.reset();
    }
    // The last chunk is kept to the end.
    if (Filling)
      Filling->KeepTo = INT64_MAX;
    else if (Trailing)
      Trailing->KeepTo = INT64_MAX;
  }
  if (Trailing) Close(*Trailing);
  if (Filling) Close(*Filling);
  Trailing.reset();
  Filling.reset();
  Recent.clear();
  while (true) {
    {
      std::lock_guard<std::mutex> guard(Lock);
      if (InFlight.empty()) break;
    }
    WriteReady(true);
  }
  Join->Finish(Write);
}

void TSplitEncoder::WriteReady(bool wait) {
  while (true) {
    std::shared_ptr<TChunk> front;
    {
      std::unique_lock<std::mutex> guard(Lock);
      if (InFlight.empty()) return;
      front = InFlight.front();
      if (!front->Done) {
        if (!wait) return;
        JobWake.wait(guard, [&] { return front->Done || Quit; });
        if (!front->Done) return;
      }
      InFlight.pop_front();
    }
    wait = false;
    if (!front->Error.empty()) throw FFmpegException(front->Error);
    Join->Join(front->Packets, front->FirstFrame, front->FirstSample, Write);
    ++Written;
  }
}
