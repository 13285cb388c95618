// The main loop of a conversion: input choice, packet reading, timestamp
// repair, decoding and dispatch, stream copy, the packet writer and the flush.
#include <cmath>
#include <thread>

#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "Transcode.h"

namespace {

int FrameLimitIndex(AVMediaType type) {
  switch (type) {
    case AVMEDIA_TYPE_VIDEO: return 0;
    case AVMEDIA_TYPE_AUDIO: return 1;
    case AVMEDIA_TYPE_SUBTITLE: return 3;
    default: return 2;
  }
}

double Seconds(int64_t value, AVRational base) {
  return static_cast<double>(value) * base.num / base.den;
}

uint64_t ReadLE(const uint8_t* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

// Multiplies a timestamp by a scale, rounding half to even.
int64_t Scaled(int64_t ts, double scale) {
  return static_cast<int64_t>(std::nearbyint(static_cast<double>(ts) * scale));
}

}  // namespace

void TCustomFFmpeg::Transcode() {
  Tables = std::make_unique<TTranscodeTables>();
  try {
    TranscodeSetup();
    MainLoop();
    EndOfLoop();
  } catch (...) {
    Tables.reset();
    throw;
  }
  Tables.reset();
}

void TCustomFFmpeg::WaitWhilePaused() {
  std::unique_lock<std::mutex> lock(RunState.GateLock);
  RunState.Gate.wait(lock, [this] { return !RunState.Paused || RunState.StopRequested; });
}

void TCustomFFmpeg::MainLoop() {
  TTranscodeTables& T = *Tables;
  // The first packet is reported at once: a job shows that it runs (and an
  // owner may hold it there) before its first interval has passed.
  T.LastReportTime = LoopStartTime - RunState.ReportInterval - 1;
  AVPacket* pkt = T.Packet.get();
  while (!RunState.StopRequested) {
    WaitWhilePaused();
    if (RunState.StopRequested) break;

    // 1.-4. The input that feeds the output stream furthest behind.
    double iptsMin = 1e100, optsMin = 1e100;
    int file = -1;
    for (auto& entry : T.OutStreams) {
      TOutputStreamEntry& ost = *entry;
      const TInputStreamEntry& ist = T.InStreams[static_cast<size_t>(ost.SourceIndex)];
      const AVMediaType type = ost.Enc->codec_type;
      double opts;
      // Encoded streams count what their encoder was given: the muxed time
      // lags behind it by the encoder's delay, which would overshoot "t".
      if (type == AVMEDIA_TYPE_VIDEO && !ost.Copy)
        opts = Seconds(ost.SyncOpts, ost.Enc->time_base);
      else if (type == AVMEDIA_TYPE_AUDIO && ost.EncodingNeeded && ost.Enc->sample_rate > 0)
        opts = static_cast<double>(ost.Audio ? ost.Audio->Position() : 0) / ost.Enc->sample_rate;
      else
        opts = ost.MuxTimestamp == AV_NOPTS_VALUE ? 0 : Seconds(ost.MuxTimestamp, ost.St->time_base);
      const double ipts = static_cast<double>(ist.Pts);
      if (!T.Files[static_cast<size_t>(ist.FileIndex)].Eof) {
        if (ipts < iptsMin) {
          iptsMin = ipts;
          if (Counters.InputSync) file = ist.FileIndex;
        }
        if (opts < optsMin) {
          optsMin = opts;
          if (!Counters.InputSync) file = ist.FileIndex;
        }
      }
      if (ost.FrameNumber >= Video.MaxFrames[FrameLimitIndex(type)]) {
        file = -1;
        break;
      }
    }
    if (file < 0) break;
    if (optsMin >= static_cast<double>(MuxTime.RecordingTime) / 1000000.0) break;
    AVFormatContext* first = Output.Files[0].get();
    if (Counters.LimitFileSize && first->pb &&
        av.avio_seek(first->pb, 0, SEEK_CUR) > Counters.LimitFileSize)
      break;

    // 5.-7. One packet.
    AVFormatContext* ic = Input.Files[file].get();
    int result = av.av_read_frame(ic, pkt);
    if (result == AVERROR(EAGAIN)) {
      av.av_usleep(10000);
      continue;
    }
    if (result < 0) {
      // The end of the file, or a read error that ends what can be read.
      if (result != AVERROR_EOF && !RunState.StopRequested) NoteReadError(file, result);
      T.Files[static_cast<size_t>(file)].Eof = true;
      if (Sync.Shortest) break;
      continue;
    }
    const TInputFileEntry& fileEntry = T.Files[static_cast<size_t>(file)];
    if (pkt->stream_index < fileEntry.StreamCount) {
      if (Diagnostic.PacketDump)
        av.av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, pkt, Diagnostic.HexDump,
                            ic->streams[pkt->stream_index]);
      const int istIndex = fileEntry.FirstIndex + pkt->stream_index;
      TInputStreamEntry& ist = T.InStreams[static_cast<size_t>(istIndex)];
      if (!ist.Discard) {
        // The packet's place in its source, before any offset or scale.
        const int64_t readPts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        const int64_t readDuration = pkt->duration;
        // 8.-10. Offset, scale and discontinuities.
        const AVRational tb = ist.St->time_base;
        const int64_t offset = av.av_rescale_q(Input.TSOffsets[file], MICROSECONDS, tb);
        if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += offset;
        if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += offset;
        const double scale = pkt->stream_index < MAX_STREAMS &&
                                     file < static_cast<int>(Input.TSScales.size())
                                 ? Input.TSScales[static_cast<size_t>(file)][pkt->stream_index]
                                 : 0;
        if (scale != 0) {
          if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = Scaled(pkt->pts, scale);
          if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = Scaled(pkt->dts, scale);
        }
        if (pkt->dts != AV_NOPTS_VALUE && ist.NextPts != AV_NOPTS_VALUE &&
            (ic->iformat->flags & AVFMT_TS_DISCONT)) {
          const int64_t pktDts = av.av_rescale_q(pkt->dts, tb, MICROSECONDS);
          const int64_t delta = pktDts - ist.NextPts;
          if ((std::llabs(delta) > static_cast<int64_t>(Counters.DtsDeltaThreshold * 1000000.0) ||
               pktDts + 1 < ist.Pts) &&
              !Sync.CopyTS) {
            Input.TSOffsets[file] -= delta;
            if (Counters.Verbose > 2)
              Log(1, StrFormat("timestamp discontinuity %lld, new offset= %lld",
                               static_cast<long long>(delta),
                               static_cast<long long>(Input.TSOffsets[file])));
            const int64_t shift = av.av_rescale_q(delta, MICROSECONDS, tb);
            pkt->dts -= shift;
            if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= shift;
          }
        }
        // 11. Decode and dispatch.
        if (OutputPacket(ist, istIndex, pkt) < 0) {
          NoteDamagedPacket(ist, readPts, readDuration);
          const std::string text =
              StrFormat("Error while decoding stream #%d.%d", ist.FileIndex, ist.Index);
          if (Sync.ExitOnError) {
            av.av_packet_unref(pkt);
            throw FFmpegException(text);
          }
          if (Counters.Verbose >= 0) Log(1, text);
          av.av_packet_unref(pkt);
          continue;
        }
        if (ist.DecodingNeeded) NoteGoodPacket(ist, readPts, readDuration);
      }
    }
    av.av_packet_unref(pkt);

    // 13. Progress.
    const int64_t now = av.av_gettime_relative();
    if (now - T.LastReportTime > RunState.ReportInterval) {
      T.LastReportTime = now;
      PrintReport(false);
    }
  }
}

int TCustomFFmpeg::OutputPacket(TInputStreamEntry& ist, int istIndex, const AVPacket* pkt) {
  TTranscodeTables& T = *Tables;
  if (ist.NextPts == AV_NOPTS_VALUE) ist.NextPts = ist.Pts;
  if (pkt && pkt->dts != AV_NOPTS_VALUE)
    ist.NextPts = ist.Pts = av.av_rescale_q(pkt->dts, ist.St->time_base, MICROSECONDS);
  const AVMediaType type = ist.St->codecpar->codec_type;
  const bool inTime = MuxTime.StartTime == 0 || ist.Pts >= MuxTime.StartTime;

  // Copied streams take the packet as it is.
  if (pkt && inTime)
    for (auto& entry : T.OutStreams)
      if (entry->SourceIndex == istIndex && !entry->EncodingNeeded) CopyPacket(*entry, ist, pkt);

  int status = 0;
  if (ist.DecodingNeeded) {
    status = DecodePacket(ist, pkt);
  } else if (pkt) {
    // A stream-copy source: its clock runs on the packets' durations.
    int64_t duration = 0;
    if (pkt->duration > 0)
      duration = av.av_rescale_q(pkt->duration, ist.St->time_base, MICROSECONDS);
    else if (type == AVMEDIA_TYPE_AUDIO && ist.St->codecpar->sample_rate > 0)
      duration = static_cast<int64_t>(1000000) * ist.St->codecpar->frame_size /
                 ist.St->codecpar->sample_rate;
    ist.NextPts += duration;
  }
  // A decoder that fails at the end still leaves the encoders to be drained.
  if (!pkt) FlushEncoders(ist, istIndex);
  return status;
}

int TCustomFFmpeg::DecodePacket(TInputStreamEntry& ist, const AVPacket* pkt) {
  TTranscodeTables& T = *Tables;
  const AVMediaType type = ist.St->codecpar->codec_type;
  AVCodecContext* dec = ist.Dec;
  if (type == AVMEDIA_TYPE_SUBTITLE) {
    if (!pkt) return 0;
    AVSubtitle subtitle{};
    int got = 0;
    if (av.avcodec_decode_subtitle2(dec, &subtitle, &got, const_cast<AVPacket*>(pkt)) < 0)
      return -1;
    if (got) {
      // Freed also when the output path raises.
      struct TSubtitleOwner {
        AVSubtitle* Subtitle;
        ~TSubtitleOwner() { av.avsubtitle_free(Subtitle); }
      } owner{&subtitle};
      DispatchFrame(ist, nullptr, &subtitle, pkt);
    }
    return 0;
  }
  if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO) return -1;
  int result = av.avcodec_send_packet(dec, pkt);
  if (result < 0 && result != AVERROR_EOF) return -1;
  AVFrame* frame = T.Decoded.get();
  while ((result = av.avcodec_receive_frame(dec, frame)) >= 0) {
    // The decoder's own timestamp when it has one, else the running clock.
    const int64_t ts = frame->best_effort_timestamp;
    ist.FramePts = ts;
    ist.Pts = ts != AV_NOPTS_VALUE ? av.av_rescale_q(ts, ist.St->time_base, MICROSECONDS)
                                   : ist.NextPts;
    int64_t duration = 0;
    if (type == AVMEDIA_TYPE_AUDIO) {
      if (frame->sample_rate > 0)
        duration = static_cast<int64_t>(frame->nb_samples) * 1000000 / frame->sample_rate;
    } else {
      AVRational rate = dec->framerate.num > 0 ? dec->framerate : ist.St->avg_frame_rate;
      if (rate.num > 0 && rate.den > 0)
        duration = static_cast<int64_t>(1000000) * rate.den * (2 + frame->repeat_pict) /
                   (2 * rate.num);
    }
    ist.NextPts = ist.Pts + duration;
    DispatchFrame(ist, frame, nullptr, pkt);
    av.av_frame_unref(frame);
  }
  return result == AVERROR(EAGAIN) || result == AVERROR_EOF ? 0 : -1;
}

void TCustomFFmpeg::DispatchFrame(TInputStreamEntry& ist, AVFrame* frame, AVSubtitle* subtitle,
                                  const AVPacket* pkt) {
  TTranscodeTables& T = *Tables;
  const AVMediaType type = ist.St->codecpar->codec_type;
  // A range is cut first: the volume and the level see only what is kept.
  if (type == AVMEDIA_TYPE_AUDIO && frame && ist.Range && !CutToRange(ist, frame)) return;
  if (type == AVMEDIA_TYPE_AUDIO && Sync.AudioVolume != 256 && frame) ApplyVolume(frame);
  if (type == AVMEDIA_TYPE_AUDIO && frame) ApplyLoudnessGain(frame);
  if (Sync.RateEmu) {
    const int64_t ahead = ist.Pts - (av.av_gettime_relative() - ist.RateEmuStart);
    if (ahead > 1000) std::this_thread::sleep_for(std::chrono::milliseconds(ahead / 1000));
  }
  if (frame && !CutToClip(ist, frame)) return;
  // Pictures before the start are hooked too, though not encoded.
  if (type == AVMEDIA_TYPE_VIDEO && frame) frame = PreProcessVideoFrame(ist, frame);
  if (MuxTime.StartTime != 0 && ist.Pts < MuxTime.StartTime) return;
  const int istIndex = static_cast<int>(&ist - T.InStreams.data());
  for (auto& entry : T.OutStreams) {
    TOutputStreamEntry& ost = *entry;
    if (ost.SourceIndex != istIndex || !ost.EncodingNeeded) continue;
    switch (ost.Enc->codec_type) {
      case AVMEDIA_TYPE_AUDIO:
        if (frame) DoAudioOut(ost, ist, frame);
        break;
      case AVMEDIA_TYPE_VIDEO:
        if (!frame) break;
        if (ost.FilterGraph)
          FilterVideo(ost, ist, frame);
        else
          DoVideoOut(ost, ist, frame);
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        if (subtitle) DoSubtitleOut(ost, ist, subtitle, pkt ? pkt->pts : AV_NOPTS_VALUE);
        break;
      default:
        throw FFmpegException("invalid codec_type");
    }
  }
}

bool TCustomFFmpeg::CutToClip(TInputStreamEntry& ist, AVFrame* frame) {
  const AVMediaType type = ist.St->codecpar->codec_type;
  if (type == AVMEDIA_TYPE_VIDEO) {
    // The end: audio is cut to the sample in its path, pictures here.
    if (MuxTime.RecordingTime != UNLIMITED_RECORDING_TIME && ist.Pts >= MuxTime.RecordingTime)
      return false;
    return !(ist.FileIndex < static_cast<int>(Input.CutBefore.size()) &&
             Input.CutBefore[static_cast<size_t>(ist.FileIndex)] && ist.Pts < 0);
  }
  if (type != AVMEDIA_TYPE_AUDIO || ist.Pts >= 0 || frame->sample_rate <= 0 ||
      ist.FileIndex >= static_cast<int>(Input.CutBefore.size()) ||
      !Input.CutBefore[static_cast<size_t>(ist.FileIndex)])
    return true;
  // Timestamps count from the start position: samples before 0 go.
  const int64_t skip = av.av_rescale_q(-ist.Pts, MICROSECONDS, AVRational{1, frame->sample_rate});
  if (skip >= frame->nb_samples) return false;
  if (skip <= 0) return true;
  const auto format = static_cast<AVSampleFormat>(frame->format);
  const int channels = frame->ch_layout.nb_channels;
  const bool planar = av.av_sample_fmt_is_planar(format);
  const size_t bytes = static_cast<size_t>(skip) * av.av_get_bytes_per_sample(format) *
                       static_cast<size_t>(planar ? 1 : channels);
  for (int p = 0; p < (planar ? channels : 1); ++p) frame->extended_data[p] += bytes;
  for (int p = 0; p < AV_NUM_DATA_POINTERS && p < (planar ? channels : 1); ++p)
    frame->data[p] = frame->extended_data[p];
  frame->nb_samples -= static_cast<int>(skip);
  const AVRational tb = ist.St->time_base;
  if (ist.FramePts != AV_NOPTS_VALUE)
    ist.FramePts += av.av_rescale_q(skip, AVRational{1, frame->sample_rate}, tb);
  ist.Pts = 0;
  return true;
}

void TCustomFFmpeg::FlushEncoders(TInputStreamEntry& ist, int istIndex) {
  for (auto& entry : Tables->OutStreams) {
    TOutputStreamEntry& ost = *entry;
    if (ost.SourceIndex != istIndex || !ost.EncodingNeeded) continue;
    if (ost.Enc->codec_type == AVMEDIA_TYPE_AUDIO)
      DrainAudio(ost);
    else if (ost.Enc->codec_type == AVMEDIA_TYPE_VIDEO) {
      if (ost.FilterGraph) FilterVideo(ost, ist, nullptr);
      Counters.VideoSize += EncodeAndWrite(ost, nullptr, "Video encoding failed");
    } else if (ost.Enc->codec_type == AVMEDIA_TYPE_SUBTITLE) {
      FlushSubtitles(ost);
    }
  }
}

void TCustomFFmpeg::CopyPacket(TOutputStreamEntry& ost, TInputStreamEntry& ist,
                               const AVPacket* pkt) {
  if (ost.FrameNumber == 0 && !(pkt->flags & AV_PKT_FLAG_KEY) && !Sync.CopyInitialNonKeyFrames)
    return;
  const AVMediaType type = ost.St->codecpar->codec_type;
  if (type == AVMEDIA_TYPE_AUDIO) {
    Counters.AudioSize += pkt->size;
  } else if (type == AVMEDIA_TYPE_VIDEO) {
    Counters.VideoSize += pkt->size;
    ost.SyncOpts++;
  }
  AVPacket* out = Tables->OutPacket.get();
  if (av.av_packet_ref(out, pkt) < 0) throw FFmpegException("av_mallocz fail");
  const AVRational in = ist.St->time_base, to = ost.St->time_base;
  out->stream_index = ost.Index;
  out->pts = pkt->pts != AV_NOPTS_VALUE ? av.av_rescale_q(pkt->pts, in, to) : AV_NOPTS_VALUE;
  out->dts = pkt->dts == AV_NOPTS_VALUE ? av.av_rescale_q(ist.Pts, MICROSECONDS, to)
                                        : av.av_rescale_q(pkt->dts, in, to);
  out->duration = av.av_rescale_q(pkt->duration, in, to);
  WriteFrame(ost, out);
  ost.FrameNumber++;
}

int64_t TCustomFFmpeg::EncodeAndWrite(TOutputStreamEntry& ost, const AVFrame* frame,
                                      const char* failure) {
  AVCodecContext* enc = ost.Enc;
  int result = av.avcodec_send_frame(enc, frame);
  if (result == AVERROR_EOF) return 0;  // already drained
  if (result < 0) throw FFmpegException(failure);
  int64_t bytes = 0;
  AVPacket* pkt = Tables->OutPacket.get();
  while (true) {
    result = av.avcodec_receive_packet(enc, pkt);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) break;
    if (result < 0) throw FFmpegException(failure);
    bytes += pkt->size;
    WriteEncoded(ost, pkt);
  }
  return bytes;
}

void TCustomFFmpeg::WriteEncoded(TOutputStreamEntry& ost, AVPacket* pkt) {
  AVCodecContext* enc = ost.Enc;
  size_t sideSize = 0;
  const uint8_t* stats = av.av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &sideSize);
  if (stats && sideSize >= 6) {
    ost.LastQuality = static_cast<int>(ReadLE(stats, 4));
    ost.LastPictType = stats[4];
    const int errors = std::min<int>(stats[5], 4);
    for (int i = 0; i < errors && sideSize >= 8 + 8 * static_cast<size_t>(i + 1); ++i)
      ost.LastErrors[i] = static_cast<int64_t>(ReadLE(stats + 8 + 8 * i, 8));
  }
  if (ost.Pass1Log && enc->stats_out) av.my_fprintf(ost.Pass1Log, "%s", enc->stats_out);
  pkt->stream_index = ost.Index;
  av.av_packet_rescale_ts(pkt, enc->time_base, ost.St->time_base);
  const bool payload = pkt->size > 0;
  WriteFrame(ost, pkt);
  // Video counts the pictures given to the encoder (DoVideoOut). A packet
  // without payload (the FLAC encoder's closing stream information) is no
  // frame: a source without samples must not pass for converted.
  if (enc->codec_type != AVMEDIA_TYPE_VIDEO && payload) ost.FrameNumber++;
}

std::string BitstreamFilterError(const TOutputStreamEntry& ost, const char* filter, int code) {
  return LibraryErrorText(StrFormat("%s failed for stream %d, codec %s", filter, ost.Index,
                                    ost.Copy ? "copy" : av.avcodec_get_name(ost.Enc->codec_id)),
                          code);
}

void TCustomFFmpeg::WriteFrame(TOutputStreamEntry& ost, AVPacket* pkt) { FilterAndWrite(ost, 0, pkt); }

void TCustomFFmpeg::FilterAndWrite(TOutputStreamEntry& ost, size_t filter, AVPacket* packet) {
  packet->stream_index = ost.Index;
  if (filter == ost.Bitstream.size()) {
    int64_t start = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    if (start != AV_NOPTS_VALUE) {
      int64_t end = start + (packet->duration > 0 ? packet->duration : 0);
      if (ost.MuxTimestamp == AV_NOPTS_VALUE || end > ost.MuxTimestamp) ost.MuxTimestamp = end;
    }
    int result = av.av_interleaved_write_frame(Output.Files[ost.FileIndex].get(), packet);
    if (result < 0)
      throw OutputWriteFailure(Output.Files[ost.FileIndex].get(), result,
                               LibraryErrorText("av_interleaved_write_frame()", result));
    return;
  }
  // Each filter may turn one packet into several.
  AVBSFContext* bsf = ost.Bitstream[filter].get();
  int result = av.av_bsf_send_packet(bsf, packet);
  if (result < 0) {
    if (Sync.ExitOnError || OnLog) {
      std::string text = BitstreamFilterError(ost, bsf->filter->name, result);
      if (Sync.ExitOnError) {
        av.av_packet_unref(packet);
        throw FFmpegException(text);
      }
      Log(0, text);
    }
    FilterAndWrite(ost, filter + 1, packet);  // the packet goes on as it was
    return;
  }
  AVPacket* out = ost.BitstreamOut[filter].get();
  while (av.av_bsf_receive_packet(bsf, out) >= 0) FilterAndWrite(ost, filter + 1, out);
}

void TCustomFFmpeg::EndOfLoop() {
  TTranscodeTables& T = *Tables;
  if (!RunState.StopRequested) NoteSourceEnds();
  // 1. Flush decoders and encoders.
  for (size_t i = 0; i < T.InStreams.size(); ++i)
    if (T.InStreams[i].DecodingNeeded &&
        OutputPacket(T.InStreams[i], static_cast<int>(i), nullptr) < 0)
      NoteDamagedPacket(T.InStreams[i]);
  CheckRanges();
  // Whether the outputs got what they are for: audio or pictures (a cover is
  // no picture) where they have such streams, else anything (subtitles).
  bool media = false, gotMedia = false, gotAny = false;
  for (const auto& entry : T.OutStreams) {
    const AVMediaType type = entry->St->codecpar->codec_type;
    const bool sound = (type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO) &&
                       !(entry->St->disposition & AV_DISPOSITION_ATTACHED_PIC);
    media = media || sound;
    gotMedia = gotMedia || (sound && entry->FrameNumber > 0);
    gotAny = gotAny || entry->FrameNumber > 0;
  }
  Result.Received = media ? gotMedia : gotAny;
  // 2. Trailers.
  for (int i = 0; i < Output.FileCount; ++i) {
    int result = av.av_write_trailer(Output.Files[i].get());
    if (result < 0)
      throw OutputWriteFailure(Output.Files[i].get(), result,
                               LibraryErrorText("av_write_trailer()", result));
  }
  FinishMusicOutputs();
  // 3. The last report.
  PrintReport(true);
  // The byte streams are closed here so that a failed final write fails the
  // job instead of leaving a truncated file behind.
  for (int i = 0; i < Output.FileCount; ++i) CloseOutputBytes(i);
  // 4.-5. Codecs.
  CloseOpenedCodecs();
  // 6. Finished normally unless a stop was requested.
  RunState.FinishedNormally = !RunState.StopRequested;
}

void TCustomFFmpeg::CloseOutputBytes(int file) {
  AVFormatContext* oc = Output.Files[file].get();
  if (!oc->pb || (oc->oformat->flags & AVFMT_NOFILE)) return;
  int result = oc->pb->error;
  const int closed = av.avio_closep(&oc->pb);
  if (result >= 0) result = closed;
  if (result < 0)
    throw OutputWriteFailure(oc, result, LibraryErrorText(oc->url ? oc->url : "output", result));
}

void TCustomFFmpeg::CloseOpenedCodecs() {
  for (CodecContextPtr* slot : OpenedEncoders) {
    if (!*slot) continue;
    av.av_freep(&(*slot)->stats_in);
    std::lock_guard<std::recursive_mutex> lock(CodecLock);
    slot->reset();
  }
  OpenedEncoders.clear();
  for (CodecContextPtr* slot : OpenedDecoders) {
    std::lock_guard<std::recursive_mutex> lock(CodecLock);
    slot->reset();
  }
  OpenedDecoders.clear();
}

FFmpegException OutputWriteFailure(const AVFormatContext* oc, int result,
                                   const std::string& otherwise) {
  const int error = oc && oc->pb && oc->pb->error < 0 ? oc->pb->error : result;
  const TReasonCode code = ReasonOfWriteErrno(AVUNERROR(error), rcNone);
  if (code == rcNone && error != AVERROR(EIO)) return FFmpegException(rcOutputWrite, otherwise);
  return FFmpegException(code == rcNone ? rcOutputWrite : code,
                         StrFormat("Could not write '%s': %s", oc && oc->url ? oc->url : "output",
                                   AVErrorText(error).c_str()));
}
