// Loudness: an EBU R128 measuring pass over a job's source (through the
// libraries' ebur128 filter, on a second demuxer of the same file), then a
// gain on the decoded audio that brings it to the target without its true
// peak passing the limit; ReplayGain 2.0 tags of the audio the output holds.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "Transcode.h"

namespace {

double ToDb(double linear) { return linear > 0 ? 20.0 * std::log10(linear) : -200.0; }
double FromDb(double db) { return std::pow(10.0, db / 20.0); }

// The largest absolute sample of a frame, in full scale.
double FramePeak(const AVFrame* frame) {
  const auto format = static_cast<AVSampleFormat>(frame->format);
  const bool planar = av.av_sample_fmt_is_planar(format);
  const int channels = frame->ch_layout.nb_channels;
  const int planes = planar ? channels : 1;
  const size_t count = static_cast<size_t>(frame->nb_samples) * (planar ? 1 : channels);
  double peak = 0;
  for (int p = 0; p < planes; ++p) {
    const uint8_t* data = frame->extended_data[p];
    for (size_t i = 0; i < count; ++i) {
      double v = 0;
      switch (av.av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_U8: v = (data[i] - 128) / 128.0; break;
        case AV_SAMPLE_FMT_S16: v = reinterpret_cast<const int16_t*>(data)[i] / 32768.0; break;
        case AV_SAMPLE_FMT_S32: v = reinterpret_cast<const int32_t*>(data)[i] / 2147483648.0; break;
        case AV_SAMPLE_FMT_FLT: v = reinterpret_cast<const float*>(data)[i]; break;
        case AV_SAMPLE_FMT_DBL: v = reinterpret_cast<const double*>(data)[i]; break;
        default: break;
      }
      v = std::fabs(v);
      if (std::isfinite(v) && v > peak) peak = v;
    }
  }
  return peak;
}

template <typename T>
void ScaleFloat(uint8_t* data, size_t count, double gain) {
  T* p = reinterpret_cast<T*>(data);
  for (size_t i = 0; i < count; ++i) p[i] = static_cast<T>(p[i] * gain);
}

template <typename T>
void ScaleInteger(uint8_t* data, size_t count, double gain, double low, double high) {
  T* p = reinterpret_cast<T*>(data);
  for (size_t i = 0; i < count; ++i)
    p[i] = static_cast<T>(std::clamp(std::nearbyint(p[i] * gain), low, high));
}

// One ebur128 meter, built on the first frame's format.
class TLoudnessMeter {
 public:
  bool Push(const AVFrame* frame, std::string& error) {
    if (!Graph && !Build(frame, error)) return false;
    if (frame) {
      if (frame->format != Format || frame->sample_rate != Rate ||
          frame->ch_layout.nb_channels != Channels)
        return true;  // a change of format mid-stream: the rest is not measured
      SamplePeak = std::max(SamplePeak, FramePeak(frame));
      Samples += frame->nb_samples;
    }
    AVFrame* copy = nullptr;
    if (frame) {
      copy = av.av_frame_clone(frame);
      if (!copy) {
        error = "out of memory";
        return false;
      }
    }
    FramePtr owner(copy);
    if (av.av_buffersrc_add_frame_flags(Source, copy, 0) < 0) {
      error = "the loudness meter refused the audio";
      return false;
    }
    Drain();
    return true;
  }

  TLoudnessMeasure Result() const {
    TLoudnessMeasure m;
    m.Valid = Samples > 0 && std::isfinite(Integrated) && Integrated > -70.0;
    m.Integrated = Integrated;
    // The filter's peak texts have three decimals: never below the exact
    // sample peak, and rounded up.
    m.TruePeak = std::max(SamplePeak, TruePeak + 0.0005);
    m.SamplePeak = SamplePeak;
    m.Seconds = Rate > 0 ? static_cast<double>(Samples) / Rate : 0;
    return m;
  }

 private:
  bool Build(const AVFrame* frame, std::string& error) {
    if (!frame) {
      error = "no audio";
      return false;
    }
    Format = frame->format;
    Rate = frame->sample_rate;
    Channels = frame->ch_layout.nb_channels;
    AVChannelLayout layout{};
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE)
      av.av_channel_layout_copy(&layout, &frame->ch_layout);
    else
      av.av_channel_layout_default(&layout, Channels);
    char layoutText[128] = {0};
    av.av_channel_layout_describe(&layout, layoutText, sizeof(layoutText));
    av.av_channel_layout_uninit(&layout);
    // The filter library may load only now, on first use.
    if (!FFmpegLoader().NeedLibrary(liAVFilter, error)) return false;
    Graph.reset(av.avfilter_graph_alloc());
    if (!Graph) {
      error = "out of memory";
      return false;
    }
    Graph->nb_threads = 1;
    const std::string args = StrFormat(
        "time_base=1/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s", Rate, Rate,
        av.av_get_sample_fmt_name(static_cast<AVSampleFormat>(Format)), layoutText);
    AVFilterContext* meter = nullptr;
    if (av.avfilter_graph_create_filter(&Source, av.avfilter_get_by_name("abuffer"), "in",
                                        args.c_str(), nullptr, Graph.get()) < 0 ||
        av.avfilter_graph_create_filter(&meter, av.avfilter_get_by_name("ebur128"), "meter",
                                        "metadata=1:peak=true", nullptr, Graph.get()) < 0 ||
        av.avfilter_graph_create_filter(&Sink, av.avfilter_get_by_name("abuffersink"), "out",
                                        nullptr, nullptr, Graph.get()) < 0 ||
        av.avfilter_link(Source, 0, meter, 0) < 0 || av.avfilter_link(meter, 0, Sink, 0) < 0 ||
        av.avfilter_graph_config(Graph.get(), nullptr) < 0) {
      error = "the libraries' ebur128 filter cannot be set up";
      Graph.reset();
      return false;
    }
    Out.reset(av.av_frame_alloc());
    return Out != nullptr;
  }

  void Drain() {
    while (av.av_buffersink_get_frame(Sink, Out.get()) >= 0) {
      const AVDictionaryEntry* e = av.av_dict_get(Out->metadata, "lavfi.r128.I", nullptr, 0);
      if (e) Integrated = std::strtod(e->value, nullptr);
      e = av.av_dict_get(Out->metadata, "lavfi.r128.true_peak", nullptr, 0);
      if (e) TruePeak = std::max(TruePeak, std::strtod(e->value, nullptr));
      av.av_frame_unref(Out.get());
    }
  }

  FilterGraphPtr Graph;
  AVFilterContext* Source = nullptr;
  AVFilterContext* Sink = nullptr;
  FramePtr Out;
  int Format = -1, Rate = 0, Channels = 0;
  double Integrated = -70.0, TruePeak = 0, SamplePeak = 0;
  int64_t Samples = 0;
};

// Decodes one stream of an opened file into a meter. from/length in µs of
// the stream's own time (offset added), length < 0 for all of it; or, with
// a range, exactly the range's samples (offset and length unused).
bool MeasureStream(AVFormatContext* ic, int stream, int64_t offset, int64_t length,
                   const std::atomic<bool>* stop, const std::function<void()>& wait,
                   TLoudnessMeasure& out, std::string& error, int64_t* refused = nullptr,
                   const TSampleRange* range = nullptr) {
  AVStream* st = ic->streams[stream];
  const AVCodec* codec = av.avcodec_find_decoder(st->codecpar->codec_id);
  CodecContextPtr dec(av.avcodec_alloc_context3(codec));
  if (!codec || !dec || av.avcodec_parameters_to_context(dec.get(), st->codecpar) < 0) {
    error = "no decoder for the audio";
    return false;
  }
  dec->pkt_timebase = st->time_base;
  {
    std::lock_guard<std::recursive_mutex> lock(CodecLock);
    if (av.avcodec_open2(dec.get(), codec, nullptr) < 0) {
      error = "the audio decoder cannot be opened";
      return false;
    }
  }
  PacketPtr pkt(av.av_packet_alloc());
  FramePtr frame(av.av_frame_alloc());
  if (!pkt || !frame) {
    error = "out of memory";
    return false;
  }
  TLoudnessMeter meter;
  std::unique_ptr<TRangeCutter> cutter;
  if (range) {
    cutter = std::make_unique<TRangeCutter>(*range, st);
    if (range->First > 0 && RangeSeekExact(st) && SeekBeforeSample(ic, stream, range->First))
      cutter->Sought();
  }
  bool atEnd = false, ended = false;
  auto take = [&]() {
    int received;
    while ((received = av.avcodec_receive_frame(dec.get(), frame.get())) >= 0) {
      const int64_t ts = frame->best_effort_timestamp;
      if (cutter) {
        const TRangeCutter::TVerdict verdict = cutter->Cut(frame.get(), ts);
        if (verdict == TRangeCutter::cvRestart) {
          // The seek did not land exactly: from the start again.
          av.av_frame_unref(frame.get());
          if (!SeekToStart(ic, stream)) {
            error = "the range's start cannot be found";
            return false;
          }
          av.avcodec_flush_buffers(dec.get());
          cutter->Restarted();
          continue;
        }
        if (verdict == TRangeCutter::cvKeep && !meter.Push(frame.get(), error)) return false;
        ended = ended || cutter->Passed();
        av.av_frame_unref(frame.get());
        continue;
      }
      const int64_t at = ts == AV_NOPTS_VALUE
                             ? 0
                             : av.av_rescale_q(ts, st->time_base, AVRational{1, 1000000}) + offset;
      const int64_t span = frame->sample_rate > 0
                               ? static_cast<int64_t>(frame->nb_samples) * 1000000 / frame->sample_rate
                               : 0;
      bool keep = at + span > 0;
      if (length >= 0 && at >= length) {
        keep = false;
        ended = true;
      }
      if (keep && !meter.Push(frame.get(), error)) return false;
      av.av_frame_unref(frame.get());
    }
    // Decoders of the older kind tell of a refused packet here.
    if (received != AVERROR(EAGAIN) && received != AVERROR_EOF && refused) ++*refused;
    return true;
  };
  while (!atEnd && !ended) {
    if (stop && *stop) {
      error = "stopped";
      return false;
    }
    if (wait) wait();
    const int result = av.av_read_frame(ic, pkt.get());
    if (result == AVERROR(EAGAIN)) continue;
    if (result < 0) {
      atEnd = true;
      break;
    }
    if (pkt->stream_index == stream && av.avcodec_send_packet(dec.get(), pkt.get()) < 0 &&
        refused)
      ++*refused;
    av.av_packet_unref(pkt.get());
    if (!take()) return false;
  }
  av.avcodec_send_packet(dec.get(), nullptr);
  if (!take() || !meter.Push(nullptr, error)) return false;
  std::lock_guard<std::recursive_mutex> lock(CodecLock);
  dec.reset();
  out = meter.Result();
  if (!out.Valid) {
    error = "the audio is silent or too short to measure";
    return false;
  }
  return true;
}

// Opens a file for a measuring pass; forced: the input format of the job.
bool OpenForMeasure(const std::string& path, const AVInputFormat* forced, InputFormatPtr& file,
                    std::string& error) {
  AVFormatContext* ic = nullptr;
  const int result = av.avformat_open_input(&ic, path.c_str(), forced, nullptr);
  if (result < 0) {
    error = LibraryErrorText(path, result);
    return false;
  }
  file.reset(ic);
  std::lock_guard<std::recursive_mutex> lock(CodecLock);
  if (av.avformat_find_stream_info(ic, nullptr) < 0) {
    error = StrFormat("%s: could not find codec parameters", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool MeasureFileLoudness(const std::string& path, TLoudnessMeasure& out, std::string& error,
                         const std::atomic<bool>* stop, const TMeasureLog& log) {
  const TLogSubject subject(path);
  InputFormatPtr file;
  if (!OpenForMeasure(path, nullptr, file, error)) return false;
  const int stream =
      av.av_find_best_stream(file.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (stream < 0) {
    error = path + ": no audio stream";
    return false;
  }
  const int64_t start = file->start_time != AV_NOPTS_VALUE ? file->start_time : 0;
  int64_t refused = 0;
  const bool measured = MeasureStream(file.get(), stream, -start, -1, stop, nullptr, out, error,
                                      &refused);
  if (refused > 0 && log)
    log(0, StrFormat("'%s': %lld damaged packet%s skipped while measuring its loudness",
                     path.c_str(), static_cast<long long>(refused), refused == 1 ? "" : "s"));
  return measured;
}

TLoudnessMeasure CombineLoudness(const std::vector<TLoudnessMeasure>& tracks) {
  // The tracks' energies weighted by length; as R128's relative gate does
  // with blocks, tracks 10 LU below that level are then left out.
  auto level = [&tracks](double gate, double& seconds) {
    double energy = 0;
    seconds = 0;
    for (const TLoudnessMeasure& t : tracks) {
      if (!t.Valid || t.Integrated < gate) continue;
      energy += t.Seconds * std::pow(10.0, t.Integrated / 10.0);
      seconds += t.Seconds;
    }
    return seconds > 0 && energy > 0 ? 10.0 * std::log10(energy / seconds) : -200.0;
  };
  TLoudnessMeasure album;
  double seconds = 0;
  const double ungated = level(-70.0, seconds);
  album.Integrated = level(ungated - 10.0, seconds);
  album.Seconds = seconds;
  album.Valid = seconds > 0;
  for (const TLoudnessMeasure& t : tracks) {
    if (!t.Valid) continue;
    album.TruePeak = std::max(album.TruePeak, t.TruePeak);
    album.SamplePeak = std::max(album.SamplePeak, t.SamplePeak);
  }
  return album;
}

double LevelGainDb(const TLoudnessMeasure& source, const TMusicOptions& options) {
  if (!options.Normalize || !source.Valid) return 0;
  double gain = options.TargetLufs - source.Integrated;
  const double room = options.TruePeakLimit - ToDb(source.TruePeak);
  return std::min(gain, room);
}

TLoudnessMeasure LevelledMeasure(const TLoudnessMeasure& source, const TMusicOptions& options) {
  TLoudnessMeasure out = source;
  const double gain = LevelGainDb(source, options);
  out.Integrated += gain;
  out.TruePeak *= FromDb(gain);
  out.SamplePeak *= FromDb(gain);
  return out;
}

std::string ReplayGainText(double gainDb) { return StrFormat("%.2f dB", gainDb); }
std::string ReplayPeakText(double peak) { return StrFormat("%.6f", peak); }

void TCustomFFmpeg::MeasureJobLoudness() {
  // The source of the first encoded audio stream.
  TTranscodeTables& T = *Tables;
  const TInputStreamEntry* ist = nullptr;
  for (const auto& entry : T.OutStreams)
    if (entry->EncodingNeeded && entry->Enc->codec_type == AVMEDIA_TYPE_AUDIO) {
      ist = &T.InStreams[static_cast<size_t>(entry->SourceIndex)];
      break;
    }
  if (!ist) return;
  const AVFormatContext* source = Input.Files[ist->FileIndex].get();
  std::string error;
  InputFormatPtr file;
  TLoudnessMeasure measure;
  bool measured = false;
  if (source->url && OpenForMeasure(source->url, source->iformat, file, error)) {
    int stream = ist->Index;
    if (stream >= static_cast<int>(file->nb_streams) ||
        file->streams[stream]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
      stream = av.av_find_best_stream(file.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    const TSampleRange* given = static_cast<size_t>(ist->FileIndex) < Input.Ranges.size() &&
                                        Input.Ranges[static_cast<size_t>(ist->FileIndex)].Set
                                    ? &Input.Ranges[static_cast<size_t>(ist->FileIndex)]
                                    : nullptr;
    const int rate = stream >= 0 ? file->streams[stream]->codecpar->sample_rate : 0;
    if (stream >= 0 && given && rate > 0) {
      // The job's range, and "t" from its start.
      TSampleRange range = *given;
      if (MuxTime.RecordingTime != UNLIMITED_RECORDING_TIME) {
        const int64_t end =
            range.First + av.av_rescale_q(MuxTime.RecordingTime, MICROSECONDS, AVRational{1, rate});
        if (range.End < 0 || end < range.End) range.End = end;
      }
      measured = MeasureStream(file.get(), stream, 0, -1, &RunState.StopRequested,
                               [this] { WaitWhilePaused(); }, measure, error, nullptr, &range);
    } else if (stream >= 0) {
      // The job's clip: the start its input was opened at, and "t".
      const int64_t offset = Input.TSOffsets[ist->FileIndex];
      if (offset < 0) av.av_seek_frame(file.get(), -1, -offset, AVSEEK_FLAG_BACKWARD);
      const int64_t length =
          MuxTime.RecordingTime == UNLIMITED_RECORDING_TIME ? -1 : MuxTime.RecordingTime;
      measured = MeasureStream(file.get(), stream, offset, length, &RunState.StopRequested,
                               [this] { WaitWhilePaused(); }, measure, error);
    } else {
      error = "no audio stream";
    }
  }
  file.reset();
  if (RunState.StopRequested) return;
  if (!measured) {
    Log(0, StrFormat("Loudness of '%s' not measured (%s); the audio is converted as it is",
                     source->url ? source->url : "input", error.c_str()));
    return;
  }
  const double gainDb = LevelGainDb(measure, Music);
  Music.Run.Gain = FromDb(gainDb);
  const TLoudnessMeasure track = LevelledMeasure(measure, Music);
  Music.Run.Track = track;
  if (Music.Normalize) {
    Log(1, StrFormat("Loudness %.1f LUFS, true peak %.1f dBTP: gain %+.2f dB", measure.Integrated,
                     ToDb(measure.TruePeak), gainDb));
    if (gainDb < Music.TargetLufs - measure.Integrated - 0.05)
      Log(1, StrFormat("The true peak limit of %.1f dBTP holds the level at %.1f LUFS",
                       Music.TruePeakLimit, track.Integrated));
  }
  // Tags of the level the output has; a source's old ReplayGain tags do not
  // fit audio that was levelled.
  std::vector<std::pair<std::string, std::string>> tags;
  if (Music.ReplayGain) {
    tags.emplace_back("REPLAYGAIN_TRACK_GAIN",
                      ReplayGainText(REPLAYGAIN_REFERENCE_LUFS - track.Integrated));
    tags.emplace_back("REPLAYGAIN_TRACK_PEAK", ReplayPeakText(track.SamplePeak));
    TLoudnessMeasure album;
    const TMeasureLog log = [this](int level, const std::string& text) { Log(level, text); };
    if (Music.AlbumLoudness && Music.AlbumLoudness(track, album, log) && album.Valid) {
      tags.emplace_back("REPLAYGAIN_ALBUM_GAIN",
                        ReplayGainText(REPLAYGAIN_REFERENCE_LUFS - album.Integrated));
      tags.emplace_back("REPLAYGAIN_ALBUM_PEAK", ReplayPeakText(album.SamplePeak));
    }
  }
  const bool levelled = gainDb != 0;
  for (int i = 0; i < Output.FileCount; ++i) {
    AVFormatContext* oc = Output.Files[i].get();
    std::vector<AVDictionary**> dicts{&oc->metadata};
    for (unsigned s = 0; s < oc->nb_streams; ++s)
      if (oc->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
        dicts.push_back(&oc->streams[s]->metadata);
    for (AVDictionary** dict : dicts) {
      if (levelled || Music.ReplayGain)
        for (const char* key : {"REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_PEAK",
                                "REPLAYGAIN_ALBUM_GAIN", "REPLAYGAIN_ALBUM_PEAK"})
          av.av_dict_set(dict, key, nullptr, 0);
      for (const auto& tag : tags) av.av_dict_set(dict, tag.first.c_str(), tag.second.c_str(), 0);
    }
  }
}

void TCustomFFmpeg::ApplyLoudnessGain(AVFrame* frame) {
  const double gain = Music.Run.Gain;
  if (gain == 1.0 || av.av_frame_make_writable(frame) < 0) return;
  const auto format = static_cast<AVSampleFormat>(frame->format);
  const bool planar = av.av_sample_fmt_is_planar(format);
  const int channels = frame->ch_layout.nb_channels;
  const int planes = planar ? channels : 1;
  const size_t count = static_cast<size_t>(frame->nb_samples) * (planar ? 1 : channels);
  for (int p = 0; p < planes; ++p) {
    uint8_t* data = frame->extended_data[p];
    switch (av.av_get_packed_sample_fmt(format)) {
      case AV_SAMPLE_FMT_U8:
        for (size_t i = 0; i < count; ++i)
          data[i] = static_cast<uint8_t>(
              std::clamp(std::nearbyint((data[i] - 128) * gain), -128.0, 127.0) + 128);
        break;
      case AV_SAMPLE_FMT_S16: ScaleInteger<int16_t>(data, count, gain, -32768, 32767); break;
      case AV_SAMPLE_FMT_S32:
        ScaleInteger<int32_t>(data, count, gain, INT32_MIN, INT32_MAX);
        break;
      case AV_SAMPLE_FMT_FLT: ScaleFloat<float>(data, count, gain); break;
      case AV_SAMPLE_FMT_DBL: ScaleFloat<double>(data, count, gain); break;
      default: break;
    }
  }
}
