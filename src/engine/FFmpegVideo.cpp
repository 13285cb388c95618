// The video and subtitle output paths: frame-rate sync by duplicating or
// dropping pictures, crop, scale and pad into the encoder's geometry, the
// encoder's picture fields, and encoding.
#include <algorithm>
#include <climits>
#include <cmath>

#include "FFmpeg.h"
#include "Transcode.h"

namespace {

// Formats whose planes the crop and pad helpers can address: no hardware
// surfaces, no bit-packed pixels.
const AVPixFmtDescriptor* Addressable(int format) {
  const AVPixFmtDescriptor* desc = av.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
  if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM))) return nullptr;
  return desc;
}

// Plane pointers of a picture moved to row top, column left: a crop (or the
// interior of a padded picture) without copying. A palette plane stays.
void OffsetPlanes(const AVFrame* frame, const AVPixFmtDescriptor* desc, int top, int left,
                  uint8_t* out[4]) {
  for (int p = 0; p < 4; ++p) {
    out[p] = frame->data[p];
    if (!out[p]) continue;
    int c = 0;
    while (c < desc->nb_components && desc->comp[c].plane != p) ++c;
    if (c == desc->nb_components) continue;
    const bool chroma = (c == 1 || c == 2) && !(desc->flags & AV_PIX_FMT_FLAG_RGB);
    const int sh = chroma ? desc->log2_chroma_h : 0;
    const int sw = chroma ? desc->log2_chroma_w : 0;
    out[p] += static_cast<ptrdiff_t>(top >> sh) * frame->linesize[p] +
              static_cast<ptrdiff_t>(left >> sw) * desc->comp[c].step;
  }
}

// Paints a rectangle of a picture: 8-bit planar YUV with the pad colour,
// anything else black.
void FillRect(AVFrame* picture, const AVPixFmtDescriptor* desc, int x, int y, int width,
              int height, const int yuv[3]) {
  if (width <= 0 || height <= 0) return;
  uint8_t* data[4];
  OffsetPlanes(picture, desc, y, x, data);
  const bool planarYuv = (desc->flags & AV_PIX_FMT_FLAG_PLANAR) &&
                         !(desc->flags & AV_PIX_FMT_FLAG_RGB) && desc->nb_components >= 3 &&
                         desc->comp[0].depth == 8;
  if (!planarYuv) {
    const ptrdiff_t lines[4] = {picture->linesize[0], picture->linesize[1], picture->linesize[2],
                                picture->linesize[3]};
    av.av_image_fill_black(data, lines, static_cast<AVPixelFormat>(picture->format),
                           AVCOL_RANGE_MPEG, width, height);
    return;
  }
  for (int c = 0; c < 3; ++c) {
    const int p = desc->comp[c].plane;
    const int rows = c ? AV_CEIL_RSHIFT(height, desc->log2_chroma_h) : height;
    const int columns = c ? AV_CEIL_RSHIFT(width, desc->log2_chroma_w) : width;
    const int step = desc->comp[c].step;
    for (int row = 0; row < rows; ++row) {
      uint8_t* line = data[p] + static_cast<ptrdiff_t>(row) * picture->linesize[p] +
                      desc->comp[c].offset;
      if (step == 1)
        std::fill_n(line, columns, static_cast<uint8_t>(yuv[c]));
      else
        for (int i = 0; i < columns; ++i) line[i * step] = static_cast<uint8_t>(yuv[c]);
    }
  }
  if (desc->nb_components == 4 && desc->comp[3].depth == 8)  // opaque alpha
    for (int row = 0; row < height; ++row)
      std::fill_n(data[desc->comp[3].plane] +
                      static_cast<ptrdiff_t>(row) * picture->linesize[desc->comp[3].plane],
                  width, uint8_t{255});
}

// Rounds to the nearest integer, ties to even, kept within int.
int RoundCount(double value) {
  const double rounded = std::nearbyint(value);
  return rounded >= INT_MAX ? INT_MAX : rounded <= 0 ? 0 : static_cast<int>(rounded);
}

// The quality (lambda) the decoder found in the stream for this picture: the
// quantiser of the picture's coding parameters (exported for "sameq"), else
// the picture's own quality field.
int DecodedQuality(const AVFrame* frame) {
  const AVFrameSideData* data = av.av_frame_get_side_data(frame, AV_FRAME_DATA_VIDEO_ENC_PARAMS);
  if (!data || data->size < sizeof(AVVideoEncParams)) return frame->quality;
  const auto* params = reinterpret_cast<const AVVideoEncParams*>(data->data);
  // The picture's quantiser: the base, or the mean over its blocks.
  double qp = params->qp;
  if (params->nb_blocks > 0 &&
      params->blocks_offset + static_cast<size_t>(params->nb_blocks) * params->block_size <=
          data->size) {
    double sum = 0;
    for (unsigned i = 0; i < params->nb_blocks; ++i)
      sum += params->qp + reinterpret_cast<const AVVideoBlockParams*>(
                              data->data + params->blocks_offset + i * params->block_size)
                              ->delta_qp;
    qp = sum / params->nb_blocks;
  }
  double scale;  // on the MPEG quantiser scale (1 ... 31)
  switch (params->type) {
    case AV_VIDEO_ENC_PARAMS_MPEG2: scale = qp; break;
    // H.264 quantisers double every 6 steps; 12 is about MPEG's 1.
    case AV_VIDEO_ENC_PARAMS_H264: scale = std::pow(2.0, (qp - 12) / 6.0); break;
    default: return frame->quality;
  }
  return static_cast<int>(std::lrint(std::clamp(scale, 1.0, 255.0) * FF_QP2LAMBDA));
}

}  // namespace

void TCustomFFmpeg::FitEncoderPicture(AVCodecContext* ctx, const AVCodec* codec) {
  const char* name = codec ? codec->name : "default";
  // Rate: encoders that list their rates take the lowest listed one not
  // below the source's, so that pictures are repeated rather than dropped
  // (the highest when all lie below). MPEG-1's list ends with rates of other
  // programs (5, 10, 12, 15 fps) that its encoder refuses unless told to be
  // unofficial: only the eight standard ones count.
  if (codec && codec->supported_framerates && !Counters.ForceFps && ctx->framerate.num > 0 &&
      ctx->framerate.den > 0) {
    const AVRational* listed = codec->supported_framerates;
    int count = 0;
    while (listed[count].num) ++count;
    if (ctx->codec_id == AV_CODEC_ID_MPEG1VIDEO &&
        ctx->strict_std_compliance > FF_COMPLIANCE_UNOFFICIAL)
      count = std::min(count, 8);
    const double wanted = av_q2d(ctx->framerate) * (1 - 1e-4);  // 29.97 takes 30000/1001
    int best = -1, highest = 0;
    for (int i = 0; i < count; ++i) {
      const double rate = av_q2d(listed[i]);
      if (rate > av_q2d(listed[highest])) highest = i;
      if (rate >= wanted && (best < 0 || rate < av_q2d(listed[best]))) best = i;
    }
    const AVRational rate = count == 0 ? ctx->framerate : listed[best >= 0 ? best : highest];
    if (av_cmp_q(rate, ctx->framerate) != 0) {
      Log(1, StrFormat("Frame rate %d/%d changed to %d/%d: the %s encoder takes only its listed "
                       "rates",
                       ctx->framerate.num, ctx->framerate.den, rate.num, rate.den, name));
      ctx->framerate = rate;
      ctx->time_base = AVRational{rate.den, rate.num};
    }
  }
  // Size: RealVideo pictures come in whole macroblocks (RV1) or in steps of
  // four (RV2); the encoders refuse others. The nearest such size, at least
  // one step.
  const int step = ctx->codec_id == AV_CODEC_ID_RV10   ? 16
                   : ctx->codec_id == AV_CODEC_ID_RV20 ? 4
                                                       : 1;
  auto fit = [step](int size) {
    return size <= 0 ? size : std::max(step, (size + (step - 1) / 2) / step * step);
  };
  if (fit(ctx->width) != ctx->width || fit(ctx->height) != ctx->height) {
    Log(1, StrFormat("Picture size %dx%d changed to %dx%d: the %s encoder takes sizes in steps "
                     "of %d",
                     ctx->width, ctx->height, fit(ctx->width), fit(ctx->height), name, step));
    ctx->width = fit(ctx->width);
    ctx->height = fit(ctx->height);
  }
  // Pixel format: the source's when the encoder lists it, else its first.
  AVPixelFormat pixFmt = ctx->pix_fmt;
  if (codec && codec->pix_fmts) {
    bool listed = false;
    for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
      listed = listed || *p == pixFmt;
    if (!listed) pixFmt = codec->pix_fmts[0];
  }
  ctx->pix_fmt = pixFmt == AV_PIX_FMT_NONE ? AV_PIX_FMT_YUV420P : pixFmt;
}

int TCustomFFmpeg::VideoSyncCount(TOutputStreamEntry& ost) {
  AVCodecContext* enc = ost.Enc;
  const double ipts = static_cast<double>(ost.Sync->Pts - MuxTime.StartTime) / 1000000.0;
  const double tb = av_q2d(enc->time_base);
  const int method = Sync.VideoSyncMethod;
  // A time base finer than a millisecond is no frame rate to keep: the
  // pictures keep their own timestamps.
  if (!(method > 0 || (method != 0 && tb > 0.001))) {
    ost.SyncOpts = static_cast<int64_t>(std::nearbyint(ipts / tb));
    return 1;
  }
  const double vdelta = ipts / tb - static_cast<double>(ost.SyncOpts);
  const bool variableRate =
      method == 2 || (method < 0 && (Output.Files[ost.FileIndex]->oformat->flags & AVFMT_VARIABLE_FPS));
  int count = 1;
  if (vdelta < -1.1) {
    count = 0;
  } else if (variableRate) {
    // Drop what comes too early, re-time after a gap; never duplicate.
    if (vdelta <= -0.6)
      count = 0;
    else if (vdelta > 0.6)
      ost.SyncOpts = static_cast<int64_t>(std::nearbyint(ipts / tb));
  } else if (vdelta > 1.1) {
    count = RoundCount(vdelta);
  }
  if (count == 0) {
    Counters.DropFrames++;
    if (Counters.Verbose > 2) Log(1, "*** drop!");
  } else if (count > 1) {
    Counters.DupFrames += count - 1;
    if (Counters.Verbose > 2) Log(1, StrFormat("*** %d dup!", count - 1));
  }
  return count;
}

bool TCustomFFmpeg::VideoPictureFailed(const char* message) {
  if (Sync.ExitOnError) throw FFmpegException(message);
  Log(0, message);
  return false;
}

AVFrame* TCustomFFmpeg::FormatVideoPicture(TOutputStreamEntry& ost, AVFrame* frame) {
  AVCodecContext* enc = ost.Enc;
  const bool filtered = FilterSink.InUse;
  // 1. Crop: the picture's planes seen from the top and left bands on.
  const AVPixFmtDescriptor* inDesc = Addressable(frame->format);
  int width = frame->width, height = frame->height;
  uint8_t* formatted[4] = {frame->data[0], frame->data[1], frame->data[2], frame->data[3]};
  if (!filtered && ost.CropNeeded) {
    width -= ost.CropLeft + Video.CropRight;
    height -= ost.CropTop + Video.CropBottom;
    if (!inDesc || width <= 0 || height <= 0) {
      VideoPictureFailed("error cropping picture");
      return nullptr;
    }
    OffsetPlanes(frame, inDesc, ost.CropTop, ost.CropLeft, formatted);
  }
  // 2. The interior of the encoder's picture that the source fills.
  const int innerWidth = enc->width - ost.PadLeft - ost.PadRight;
  const int innerHeight = enc->height - ost.PadTop - ost.PadBottom;
  const bool resample =
      width != innerWidth || height != innerHeight || frame->format != enc->pix_fmt;
  if (!ost.PadNeeded && !resample) {
    if (width == frame->width && height == frame->height) return frame;
    // Cropped only: a view of the decoded picture, no copy.
    if (!ost.View) ost.View.reset(av.av_frame_alloc());
    if (!ost.View) throw FFmpegException("Cannot allocate temp picture, check pix fmt");
    av.av_frame_unref(ost.View.get());
    if (av.av_frame_ref(ost.View.get(), frame) < 0)
      throw FFmpegException("Cannot allocate temp picture, check pix fmt");
    std::copy_n(formatted, 4, ost.View->data);
    ost.View->width = width;
    ost.View->height = height;
    return ost.View.get();
  }
  const AVPixFmtDescriptor* outDesc = Addressable(enc->pix_fmt);
  if (ost.PadNeeded && (!outDesc || innerWidth <= 0 || innerHeight <= 0)) {
    VideoPictureFailed("error padding picture");
    return nullptr;
  }
  if (!ost.Picture) {
    ost.Picture.reset(av.av_frame_alloc());
    if (!ost.Picture) throw FFmpegException("Cannot allocate temp picture, check pix fmt");
    ost.Picture->format = enc->pix_fmt;
    ost.Picture->width = enc->width;
    ost.Picture->height = enc->height;
    if (av.av_frame_get_buffer(ost.Picture.get(), 0) < 0)
      throw FFmpegException("Cannot allocate temp picture, check pix fmt");
  }
  // The encoder may still hold the last picture: then this one gets a new buffer.
  if (av.av_frame_make_writable(ost.Picture.get()) < 0)
    throw FFmpegException("Cannot allocate temp picture, check pix fmt");
  AVFrame* picture = ost.Picture.get();
  uint8_t* interior[4] = {picture->data[0], picture->data[1], picture->data[2], picture->data[3]};
  if (ost.PadNeeded) OffsetPlanes(picture, outDesc, ost.PadTop, ost.PadLeft, interior);
  if (resample) {
    if (!inDesc) {
      VideoPictureFailed("error cropping picture");
      return nullptr;
    }
    ost.Scaler.reset(av.sws_getCachedContext(
        ost.Scaler.release(), width, height, static_cast<AVPixelFormat>(frame->format),
        innerWidth, innerHeight, enc->pix_fmt, Counters.SwsFlags, nullptr, nullptr, nullptr));
    if (!ost.Scaler) throw FFmpegException("Cannot get resampling context");
    av.sws_scale(ost.Scaler.get(), formatted, frame->linesize, 0, height, interior,
                 picture->linesize);
  } else {
    av.av_image_copy(interior, picture->linesize, const_cast<const uint8_t**>(formatted),
                     frame->linesize, enc->pix_fmt, width, height);
  }
  if (ost.PadNeeded) {
    const int* color = Video.PadColor;
    FillRect(picture, outDesc, 0, 0, enc->width, ost.PadTop, color);
    FillRect(picture, outDesc, 0, enc->height - ost.PadBottom, enc->width, ost.PadBottom, color);
    FillRect(picture, outDesc, 0, ost.PadTop, ost.PadLeft, innerHeight, color);
    FillRect(picture, outDesc, enc->width - ost.PadRight, ost.PadTop, ost.PadRight, innerHeight,
             color);
  }
  return picture;
}

void TCustomFFmpeg::DoVideoOut(TOutputStreamEntry& ost, TInputStreamEntry& ist, AVFrame* frame) {
  (void)ist;
  AVCodecContext* enc = ost.Enc;
  // How many times this picture is to be encoded, within the frame limit.
  int count = VideoSyncCount(ost);
  count = std::min<int64_t>(count, static_cast<int64_t>(Video.MaxFrames[0]) - ost.FrameNumber);
  if (count <= 0) return;

  AVFrame* picture = FormatVideoPicture(ost, frame);
  if (!picture) return;

  // The encoder's picture fields.
  const AVCodecContext* videoOptions = OptionContexts.Codec[AVMEDIA_TYPE_VIDEO].get();
  const int interlacing = AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
  picture->interlaced_frame = frame->interlaced_frame;
  if ((videoOptions ? videoOptions->flags : enc->flags) & interlacing)
    picture->top_field_first =
        Video.TopFieldFirst == -1 ? frame->top_field_first : Video.TopFieldFirst;
  // A fixed quantiser is the stream's quality; "sameq" takes the decoder's.
  const int streamQuality = (enc->flags & AV_CODEC_FLAG_QSCALE) ? enc->global_quality : 0;
  picture->quality = Video.SameQuality ? DecodedQuality(frame) : streamQuality;
  picture->pict_type = Video.MeThreshold == 0 ? AV_PICTURE_TYPE_NONE : frame->pict_type;

  for (int i = 0; i < count && !RunState.StopRequested; ++i) {
    if (i > 0) WaitWhilePaused();
    picture->pts = ost.SyncOpts;
    const int64_t bytes = EncodeAndWrite(ost, picture, "Video encoding failed");
    if (RunState.PreviewFlags)
      PreviewFrame(picture, av.av_rescale_q(picture->pts, enc->time_base, MICROSECONDS));
    Counters.VideoSize += bytes;
    if (!Sync.VStatsFileName.empty() && bytes > 0) WriteVideoStats(ost, static_cast<int>(bytes));
    ost.SyncOpts++;
    ost.FrameNumber++;
  }
}

void TCustomFFmpeg::SetUpSubtitleEncoder(TOutputStreamEntry& ost, TInputStreamEntry& ist) {
  AVCodecContext* enc = ost.Enc;
  // Encoders refuse to open without a time base; packets are timed by
  // DoSubtitleOut, so microseconds serve.
  if (enc->time_base.num <= 0 || enc->time_base.den <= 0) enc->time_base = MICROSECONDS;
  // Bitmap subtitles are placed on the source's canvas.
  if (enc->width <= 0 || enc->height <= 0) {
    enc->width = ist.Dec->width;
    enc->height = ist.Dec->height;
  }
}

void TCustomFFmpeg::FlushSubtitles(TOutputStreamEntry& ost) {
  if (ost.PendingClear && ost.PendingClear->size > 0) WriteFrame(ost, ost.PendingClear.get());
}

void TCustomFFmpeg::DoSubtitleOut(TOutputStreamEntry& ost, TInputStreamEntry& ist,
                                  AVSubtitle* subtitle, int64_t pts) {
  if (pts == AV_NOPTS_VALUE) {
    if (Sync.ExitOnError) throw FFmpegException("Subtitle packets must have a pts");
    Log(0, "Subtitle packets must have a pts");
    return;
  }
  // A DVB subtitle page can hold a full-screen bitmap: more room than the
  // classic 64 KiB so that such a page never fails the job.
  constexpr int bufferSize = 1024 * 1024;
  if (SubtitleBuffer.size() < bufferSize) SubtitleBuffer.resize(bufferSize);
  AVCodecContext* enc = ost.Enc;
  const AVRational milliseconds{1, 1000};
  // DVB subtitles are a pair of pages: the first draws, the second (without
  // regions) clears at the end of the display time.
  const bool dvb = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
  const unsigned rects = subtitle->num_rects;
  const uint32_t start = subtitle->start_display_time, end = subtitle->end_display_time;
  const int64_t base = av.av_rescale_q(pts, ist.St->time_base, ost.St->time_base);
  for (int i = 0; i < (dvb ? 2 : 1); ++i) {
    // The encoder takes display times counted from the packet's time.
    subtitle->start_display_time = 0;
    subtitle->end_display_time = end - std::min(start, end);
    if (i == 1) subtitle->num_rects = 0;
    const int size = av.avcodec_encode_subtitle(enc, SubtitleBuffer.data(), bufferSize, subtitle);
    subtitle->num_rects = rects;
    subtitle->start_display_time = start;
    subtitle->end_display_time = end;
    if (size < 0) throw FFmpegException("Subtitle encoding failed");
    if (size == 0) continue;
    AVPacket* pkt = Tables->OutPacket.get();
    if (av.av_new_packet(pkt, size) < 0) throw FFmpegException("Subtitle encoding failed");
    std::copy_n(SubtitleBuffer.data(), size, pkt->data);
    pkt->pts = base;
    // The display times are milliseconds: moved into the stream's time base
    // (90 ticks each at 90 kHz), whatever that base is.
    if (dvb) pkt->pts += av.av_rescale_q(i == 0 ? start : end, milliseconds, ost.St->time_base);
    pkt->dts = pkt->pts;
    if (!dvb) {
      WriteFrame(ost, pkt);
      continue;
    }
    if (i == 0) {
      // A display time (often the page's 30 s time-out) that runs past this
      // page: the last page is cleared just before this one is drawn, so that
      // the stream's times keep rising.
      if (ost.PendingClear && ost.PendingClear->size > 0) {
        AVPacket* clear = ost.PendingClear.get();
        if (clear->pts >= pkt->pts) clear->pts = clear->dts = pkt->pts - 1;
        WriteFrame(ost, clear);
      }
      WriteFrame(ost, pkt);
    } else {
      if (!ost.PendingClear) ost.PendingClear.reset(av.av_packet_alloc());
      if (!ost.PendingClear) throw FFmpegException("Subtitle encoding failed");
      av.av_packet_unref(ost.PendingClear.get());
      av.av_packet_move_ref(ost.PendingClear.get(), pkt);
    }
  }
  ost.FrameNumber++;
}
