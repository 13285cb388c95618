// The audio output path as the engine calls it: the volume applied to each
// decoded frame, and the stream's audio output chain (AudioChain.h) that
// does the rest.
#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "FFmpeg.h"
#include "AudioChain.h"
#include "Transcode.h"

namespace {

template <typename T>
void ScaleInteger(uint8_t* data, size_t count, int volume, int64_t low, int64_t high) {
  T* samples = reinterpret_cast<T*>(data);
  for (size_t i = 0; i < count; ++i) {
    int64_t v = (static_cast<int64_t>(samples[i]) * volume + 128) >> 8;
    samples[i] = static_cast<T>(std::clamp(v, low, high));
  }
}

template <typename T>
void ScaleFloat(uint8_t* data, size_t count, int volume) {
  T* samples = reinterpret_cast<T*>(data);
  const T factor = static_cast<T>(volume) / 256;
  for (size_t i = 0; i < count; ++i)
    samples[i] = std::clamp(samples[i] * factor, static_cast<T>(-1), static_cast<T>(1));
}

}  // namespace

void TCustomFFmpeg::ApplyVolume(AVFrame* frame) {
  if (av.av_frame_make_writable(frame) < 0) return;
  const auto format = static_cast<AVSampleFormat>(frame->format);
  const bool planar = av.av_sample_fmt_is_planar(format);
  const int channels = frame->ch_layout.nb_channels;
  const int planes = planar ? channels : 1;
  const size_t count = static_cast<size_t>(frame->nb_samples) * (planar ? 1 : channels);
  const int volume = Sync.AudioVolume;
  for (int p = 0; p < planes; ++p) {
    uint8_t* data = frame->extended_data[p];
    switch (av.av_get_packed_sample_fmt(format)) {
      case AV_SAMPLE_FMT_U8: {
        for (size_t i = 0; i < count; ++i) {
          int v = ((data[i] - 128) * volume + 128) >> 8;
          data[i] = static_cast<uint8_t>(std::clamp(v, -128, 127) + 128);
        }
        break;
      }
      case AV_SAMPLE_FMT_S16: ScaleInteger<int16_t>(data, count, volume, -32768, 32767); break;
      case AV_SAMPLE_FMT_S32: ScaleInteger<int32_t>(data, count, volume, INT32_MIN, INT32_MAX); break;
      case AV_SAMPLE_FMT_FLT: ScaleFloat<float>(data, count, volume); break;
      case AV_SAMPLE_FMT_DBL: ScaleFloat<double>(data, count, volume); break;
      default: break;
    }
  }
}

std::unique_ptr<TAudioOutputChain> TCustomFFmpeg::MakeAudioChain(TOutputStreamEntry& ost) {
  TAudioChainSettings settings;
  settings.Encoder = ost.Enc;
  settings.FileIndex = ost.FileIndex;
  settings.StreamIndex = ost.Index;
  settings.ResampleNeeded = ost.AudioResampleNeeded;
  settings.SyncMethod = Sync.AudioSyncMethod;
  settings.DriftThreshold = Sync.AudioDriftThreshold;
  settings.ExitOnError = Sync.ExitOnError;
  settings.StartTime = MuxTime.StartTime;
  settings.RecordingTime = MuxTime.RecordingTime;
  settings.Verbose = Counters.Verbose;
  settings.Split = RunState.SplitEncoding;
  settings.TotalMs = RunState.TotalDuration;
  settings.EncoderThreads = &RunState.EncoderThreads;
  TAudioChainSink sink;
  sink.Write = [this, &ost](AVPacket* packet) {
    Counters.AudioSize += packet->size;
    WriteEncoded(ost, packet);
  };
  sink.Log = [this](int level, const std::string& text) { Log(level, text); };
  return std::make_unique<TAudioOutputChain>(std::move(settings), std::move(sink));
}

void TCustomFFmpeg::DoAudioOut(TOutputStreamEntry& ost, TInputStreamEntry& ist, AVFrame* frame) {
  if (ost.Audio) ost.Audio->Push(ist, *ost.Sync, frame);
}

void TCustomFFmpeg::DrainAudio(TOutputStreamEntry& ost) {
  // A stopped job whose output is not kept needs no end of its chunks.
  if (ost.Audio) ost.Audio->Drain(RunState.StopRequested && !Output.KeepPartial);
}
