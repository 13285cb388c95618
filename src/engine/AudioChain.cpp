#include "AudioChain.h"

#include <algorithm>
#include <cmath>

#include "FFmpeg.h"
#include "SplitEncoder.h"
#include "Transcode.h"

namespace {

// Largest audio packet of the old sample path: the cap on silence added per
// call, counted in bytes of interleaved 16-bit samples.
constexpr int MAX_AUDIO_PACKET_SIZE = 131072;

// A damaged input can decode to NaN, infinite or absurdly large samples,
// which some encoders refuse outright (WMA fails the whole job): NaN becomes
// silence and the rest is held to twice full scale.
template <typename T>
void ClearNonFinite(uint8_t* data, size_t count) {
  T* samples = reinterpret_cast<T*>(data);
  for (size_t i = 0; i < count; ++i) {
    const T v = samples[i];
    samples[i] = std::isnan(v) ? 0 : std::clamp(v, static_cast<T>(-2), static_cast<T>(2));
  }
}

// A frame in the encoder's sample format, layout and rate with room for the
// given samples; the failure text is raised when it cannot be made.
FramePtr EncoderAudioFrame(const AVCodecContext* enc, int samples, const char* failure) {
  FramePtr frame(av.av_frame_alloc());
  if (!frame) throw FFmpegException(failure);
  frame->format = enc->sample_fmt;
  frame->nb_samples = samples;
  frame->sample_rate = enc->sample_rate;
  if (av.av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout) < 0 ||
      av.av_frame_get_buffer(frame.get(), 0) < 0)
    throw FFmpegException(failure);
  return frame;
}

// A mix for layouts the resampler cannot mix by itself (channels without
// names, more than a named layout holds): output channel o takes the mean of
// the input channels i with i mod outputs = o. Row stride: inputs.
std::vector<double> EvenMix(int inputs, int outputs) {
  std::vector<double> matrix(static_cast<size_t>(inputs) * static_cast<size_t>(outputs), 0.0);
  for (int o = 0; o < outputs; ++o) {
    int count = 0;
    for (int i = o % std::max(inputs, 1); i < inputs; i += outputs) ++count;
    for (int i = o % std::max(inputs, 1); i < inputs; i += outputs)
      matrix[static_cast<size_t>(o) * inputs + i] = 1.0 / count;
  }
  return matrix;
}

// A resampler from the input's format, rate and layout to the encoder's;
// with an even mix when asked. Null when the library refuses it.
SwrPtr NewResampler(AVCodecContext* enc, AVChannelLayout& in, AVSampleFormat format,
                    int rate, bool evenMix) {
  SwrContext* swr = nullptr;
  int result = av.swr_alloc_set_opts2(&swr, &enc->ch_layout, enc->sample_fmt, enc->sample_rate,
                                      &in, format, rate, 0, nullptr);
  SwrPtr owner(swr);
  if (result < 0 || !swr) return nullptr;
  // The resampling filter of the old engine: 16 taps, 2^10 phases, cut-off 0.8.
  av.av_opt_set_int(swr, "filter_size", 16, 0);
  av.av_opt_set_int(swr, "phase_shift", 10, 0);
  av.av_opt_set_int(swr, "linear_interp", 0, 0);
  av.av_opt_set_double(swr, "cutoff", 0.8, 0);
  if (evenMix) {
    const std::vector<double> matrix = EvenMix(in.nb_channels, enc->ch_layout.nb_channels);
    if (av.swr_set_matrix(swr, matrix.data(), in.nb_channels) < 0) return nullptr;
  }
  if (av.swr_init(swr) < 0) return nullptr;
  return owner;
}

}  // namespace

TAudioOutputChain::TAudioOutputChain(TAudioChainSettings settings, TAudioChainSink sink)
    : Settings(std::move(settings)),
      Sink(std::move(sink)),
      Enc(Settings.Encoder),
      ResampleNeeded(Settings.ResampleNeeded) {
  Fifo.reset(av.av_audio_fifo_alloc(Enc->sample_fmt, Enc->ch_layout.nb_channels, 1024));
  if (!Fifo) throw FFmpegException("av_fifo_init fail");
  const TSplitRule rule = SplitRuleOf(Enc);
  const int chunkFrames =
      SplitChunkFrames(rule, Enc->frame_size, Enc->sample_rate, Settings.TotalMs);
  if (Settings.Split && chunkFrames > 0 && Settings.EncoderThreads) {
    Splitter = std::make_unique<TSplitEncoder>(Enc, rule, chunkFrames, *Settings.EncoderThreads,
                                               Sink.Write);
    if (Settings.Verbose > 0)
      Log(1, StrFormat("Stream #%d.%d is encoded in chunks of %d frames (%.1f s) on several encoders",
                       Settings.FileIndex, Settings.StreamIndex, chunkFrames,
                       static_cast<double>(chunkFrames) * Enc->frame_size / Enc->sample_rate));
  } else {
    Packet.reset(av.av_packet_alloc());
    if (!Packet) throw FFmpegException("Audio encoding failed");
  }
}

TAudioOutputChain::~TAudioOutputChain() {
  Splitter.reset();
  av.av_channel_layout_uninit(&ResamplerInLayout);
}

int64_t TAudioOutputChain::Position() const {
  return SamplesOut + (Fifo ? av.av_audio_fifo_size(Fifo.get()) : 0);
}

void TAudioOutputChain::Log(int level, const std::string& text) const {
  if (Sink.Log) Sink.Log(level, text);
}

void TAudioOutputChain::MakeResampler(const AVFrame* frame) {
    AVChannelLayout in{};
  // Up to eight channels without names are taken in the default order of
  // their count; more stay unnamed and are mixed evenly.
  if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
    av.av_channel_layout_default(&in, frame->ch_layout.nb_channels);
  else
    av.av_channel_layout_copy(&in, &frame->ch_layout);
  const bool same = Resampler && ResamplerInFormat == frame->format &&
                    ResamplerInRate == frame->sample_rate &&
                    av.av_channel_layout_compare(&ResamplerInLayout, &in) == 0;
  if (same) {
    av.av_channel_layout_uninit(&in);
    return;
  }
  if (in.nb_channels != Enc->ch_layout.nb_channels) ResampleNeeded = true;
  if (ResampleNeeded && frame->format != AV_SAMPLE_FMT_S16 && Settings.Verbose > 0)
    Log(1, "Warning, using s16 intermediate sample format for resampling");
  const auto format = static_cast<AVSampleFormat>(frame->format);
  // Unnamed channels of another count than the encoder's have no mix in the
  // library; nor have some unusual layouts: both get the even one.
  const bool unnamed = in.order == AV_CHANNEL_ORDER_UNSPEC ||
                       Enc->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC;
  SwrPtr owner;
  if (!unnamed || in.nb_channels == Enc->ch_layout.nb_channels)
    owner = NewResampler(Enc, in, format, frame->sample_rate, false);
  if (!owner) owner = NewResampler(Enc, in, format, frame->sample_rate, true);
  if (!owner) {
    av.av_channel_layout_uninit(&in);
    throw FFmpegException(StrFormat("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                                    frame->ch_layout.nb_channels, frame->sample_rate,
                                    Enc->ch_layout.nb_channels, Enc->sample_rate));
  }
  Resampler = std::move(owner);
  ResamplerInFormat = frame->format;
  ResamplerInRate = frame->sample_rate;
  av.av_channel_layout_uninit(&ResamplerInLayout);
  ResamplerInLayout = in;
}

void TAudioOutputChain::Push(TInputStreamEntry& ist, const TInputStreamEntry& sync, AVFrame* frame) {
    MakeResampler(frame);
  SwrContext* swr = Resampler.get();
  const int rate = Enc->sample_rate;
  const int inChannels = frame->ch_layout.nb_channels;
  const int bytesPerSample = av.av_get_bytes_per_sample(static_cast<AVSampleFormat>(frame->format));
  const bool planarIn = av.av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame->format));
  int inSamples = frame->nb_samples;
  int skip = 0;  // input samples dropped from the front

  // Synchronisation with the input clock.
  // The input position in output samples; from the frame's own timestamp
  // when there is one, which is exact where microseconds would round.
  double position = static_cast<double>(sync.Pts - Settings.StartTime) / 1000000.0 * rate;
  if (&sync == &ist && ist.SamplePos != AV_NOPTS_VALUE && frame->sample_rate > 0) {
    // A ranged stream counts its samples from the range's start.
    position = static_cast<double>(ist.SamplePos) * rate / frame->sample_rate -
               static_cast<double>(Settings.StartTime) * rate / 1000000.0;
  } else if (&sync == &ist && ist.FramePts != AV_NOPTS_VALUE) {
    const AVRational tb = ist.St->time_base;
    position = static_cast<double>(ist.FramePts) * tb.num * rate / tb.den -
               static_cast<double>(Settings.StartTime) * rate / 1000000.0;
  }
  const int64_t fifo = av.av_audio_fifo_size(Fifo.get());
  if (Settings.SyncMethod == 0) {
    SamplesOut = std::llrint(position) - fifo;
  } else {
    const double delta = position - static_cast<double>(SamplesOut) - static_cast<double>(fifo);
    const double idelta = delta * frame->sample_rate / rate;
    int64_t sampleDelta = static_cast<int64_t>(idelta);
    if (std::fabs(delta) > 50) {
      if (ist.IsStart || std::fabs(delta) > Settings.DriftThreshold * rate) {
        if (sampleDelta < 0) {
          skip = static_cast<int>(std::min<int64_t>(-sampleDelta, inSamples));
          inSamples -= skip;
          if (Settings.Verbose > 2)
            Log(1, StrFormat("discarding %d audio samples", static_cast<int>(-delta)));
          if (inSamples == 0) return;
          ist.IsStart = false;
        } else {
          const int64_t cap = MAX_AUDIO_PACKET_SIZE / (2 * std::max(inChannels, 1));
          if (sampleDelta + inSamples <= cap)
            ist.IsStart = false;
          else
            sampleDelta = std::max<int64_t>(cap - inSamples, 0);
          if (sampleDelta > 0 && av.swr_inject_silence(swr, static_cast<int>(sampleDelta)) < 0)
            throw FFmpegException("av_audio_convert() failed");
          if (Settings.Verbose > 2)
            Log(1, StrFormat("adding %d audio samples of silence", static_cast<int>(delta)));
        }
      } else if (Settings.SyncMethod > 1) {
        const int comp = static_cast<int>(
            std::clamp<double>(std::trunc(delta), -Settings.SyncMethod, Settings.SyncMethod));
        if (Settings.Verbose > 2)
          Log(1, StrFormat("compensating audio timestamp drift:%f compensation:%d in:%d", delta,
                    comp, rate));
        av.swr_set_compensation(swr, comp, rate);
      }
    }
  }

  // Conversion of layout, rate and format. Every plane is passed, however
  // many: a missing plane would read as the end of the input.
  const int planes = planarIn ? inChannels : 1;
  InputPlanes.resize(static_cast<size_t>(std::max(planes, 1)));
  for (int p = 0; p < planes; ++p)
    InputPlanes[static_cast<size_t>(p)] =
        frame->extended_data[p] +
        static_cast<size_t>(skip) * bytesPerSample * (planarIn ? 1 : inChannels);
  const int capacity = av.swr_get_out_samples(swr, inSamples);
  if (!Convert(InputPlanes.data(), inSamples, capacity)) return;
  Frames(false);
}

bool TAudioOutputChain::Convert(const uint8_t** in, int inSamples, int capacity) {
    // Nothing past the recording time goes into the FIFO. The main loop checks
  // the time between packets only, and one chunk resampled by a large factor
  // (a 1 Hz input for an 8 kHz encoder) is minutes of sound by itself.
  if (Settings.RecordingTime != UNLIMITED_RECORDING_TIME) {
    const double end = static_cast<double>(Settings.RecordingTime) / 1000000.0 * Enc->sample_rate;
    const double room = std::ceil(end) - static_cast<double>(SamplesOut) -
                        av.av_audio_fifo_size(Fifo.get());
    if (room < capacity) capacity = room > 0 ? static_cast<int>(room) : 0;
  }
  if (capacity <= 0) return true;
  // The conversion buffer belongs to the stream and only grows.
  if (!Converted || Converted->nb_samples < capacity)
    Converted = EncoderAudioFrame(Enc, capacity, "av_malloc failed");
  int converted = av.swr_convert(Resampler.get(), Converted->extended_data, capacity, in, inSamples);
  if (converted < 0) {
    if (Settings.ExitOnError) throw FFmpegException("av_audio_convert() failed");
    Log(0, "av_audio_convert() failed");
    return false;
  }
  const auto format = av.av_get_packed_sample_fmt(Enc->sample_fmt);
  if (converted > 0 && (format == AV_SAMPLE_FMT_FLT || format == AV_SAMPLE_FMT_DBL)) {
    const bool planar = av.av_sample_fmt_is_planar(Enc->sample_fmt);
    const int channels = Enc->ch_layout.nb_channels;
    const size_t count = static_cast<size_t>(converted) * (planar ? 1 : channels);
    for (int p = 0; p < (planar ? channels : 1); ++p) {
      if (format == AV_SAMPLE_FMT_FLT)
        ClearNonFinite<float>(Converted->extended_data[p], count);
      else
        ClearNonFinite<double>(Converted->extended_data[p], count);
    }
  }
  if (converted > 0 && av.av_audio_fifo_write(Fifo.get(),
                                              reinterpret_cast<void**>(Converted->extended_data),
                                              converted) < converted)
    throw FFmpegException("av_fifo_realloc2() failed");
  return true;
}

void TAudioOutputChain::Frames(bool last) {
  AVAudioFifo* fifo = Fifo.get();
  // Sample-by-sample encoders (PCM) take each chunk whole as one frame.
  const bool whole = Enc->frame_size <= 1 ||
                     (Enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
  while (true) {
    const int available = av.av_audio_fifo_size(fifo);
    int count = whole ? available : Enc->frame_size;
    if (available == 0 || (!last && available < count)) break;
    count = std::min(count, available);
    // One encoder frame per stream, reused; it only grows. While an encoder
    // (or a chunk) still holds the last one, a fresh buffer is taken: its
    // content is about to be replaced, so nothing is copied.
    if (!EncoderFrame || EncoderFrameCapacity < count ||
        !av.av_frame_is_writable(EncoderFrame.get())) {
      EncoderFrameCapacity = std::max(count, EncoderFrameCapacity);
      EncoderFrame = EncoderAudioFrame(Enc, EncoderFrameCapacity, "Audio encoding failed");
    }
    AVFrame* frame = EncoderFrame.get();
    frame->nb_samples = count;
    av.av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->extended_data), count);
    // Frames reach the encoder in order: the clock never goes back.
    int64_t pts = SamplesOut;
    if (NextPts != AV_NOPTS_VALUE && pts < NextPts) pts = NextPts;
    frame->pts = pts;
    NextPts = pts + count;
    SamplesOut += count;
    SamplesEncoded += count;
    if (Splitter)
      Splitter->Add(frame);
    else
      Encode(frame);
  }
}

void TAudioOutputChain::Drain(bool dropSplitWork) {
  if (Resampler) {
    // What the resampler still holds, then the short last frame.
    const int capacity = av.swr_get_out_samples(Resampler.get(), 0);
    Convert(nullptr, 0, capacity);
  }
  // One MP2 frame alone is no stream the libraries read back (their reader
  // wants a second frame to trust the first): a stream of one frame or less
  // gets silence up to two.
  const int frame = Enc->frame_size;
  if (Enc->codec_id == AV_CODEC_ID_MP2 && frame > 0) {
    const int64_t total = SamplesEncoded + av.av_audio_fifo_size(Fifo.get());
    if (total > 0 && total <= frame) {
      const int count = static_cast<int>(2 * frame - total);
      FramePtr silence = EncoderAudioFrame(Enc, count, "Audio encoding failed");
      av.av_samples_set_silence(silence->extended_data, 0, count, Enc->ch_layout.nb_channels,
                                Enc->sample_fmt);
      if (av.av_audio_fifo_write(Fifo.get(), reinterpret_cast<void**>(silence->extended_data),
                                 count) < count)
        throw FFmpegException("av_fifo_realloc2() failed");
    }
  }
  Frames(true);
  if (!Splitter) {
    Encode(nullptr);
    return;
  }
  // A stopped job's output is removed unless kept: its chunks need not end.
  if (dropSplitWork)
    Splitter->Cancel();
  else
    Splitter->Finish();
}

void TAudioOutputChain::Encode(const AVFrame* frame) {
  int result = av.avcodec_send_frame(Enc, frame);
  if (result == AVERROR_EOF) return;  // already drained
  if (result < 0) throw FFmpegException("Audio encoding failed");
  AVPacket* packet = Packet.get();
  while (true) {
    result = av.avcodec_receive_packet(Enc, packet);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) break;
    if (result < 0) throw FFmpegException("Audio encoding failed");
    Sink.Write(packet);
  }
}
