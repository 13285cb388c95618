// The video and subtitle output paths: crop, pad, scale, frame-rate sync by
// duplicating or dropping pictures, and encoding.
#include <algorithm>
#include <cmath>

#include "FFmpeg.h"
#include "Transcode.h"

namespace {

// Fills a picture with the pad colour (Y, U, V for YUV formats; black else).
void FillPicture(AVFrame* picture, const int yuv[3]) {
  const AVPixFmtDescriptor* desc = av.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture->format));
  const bool planarYuv = desc && (desc->flags & AV_PIX_FMT_FLAG_PLANAR) &&
                         !(desc->flags & AV_PIX_FMT_FLAG_RGB) && desc->nb_components >= 3 &&
                         desc->comp[0].depth == 8;
  if (!planarYuv) {
    ptrdiff_t lines[4] = {picture->linesize[0], picture->linesize[1], picture->linesize[2],
                          picture->linesize[3]};
    av.av_image_fill_black(picture->data, lines, static_cast<AVPixelFormat>(picture->format),
                           AVCOL_RANGE_MPEG, picture->width, picture->height);
    return;
  }
  for (int plane = 0; plane < 3; ++plane) {
    const int height = plane ? AV_CEIL_RSHIFT(picture->height, desc->log2_chroma_h)
                             : picture->height;
    const int width = plane ? AV_CEIL_RSHIFT(picture->width, desc->log2_chroma_w) : picture->width;
    for (int y = 0; y < height; ++y)
      std::fill_n(picture->data[plane] + static_cast<ptrdiff_t>(y) * picture->linesize[plane],
                  width, static_cast<uint8_t>(yuv[plane]));
  }
}

// Plane pointers of src moved by top rows and left columns (crop), or of
// dst into its interior (pad).
void OffsetPlanes(const AVFrame* frame, int top, int left, uint8_t* out[4]) {
  const AVPixFmtDescriptor* desc = av.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  for (int p = 0; p < 4; ++p) {
    out[p] = frame->data[p];
    if (!out[p] || !desc) continue;
    if (desc->flags & AV_PIX_FMT_FLAG_PLANAR) {
      const int sh = (p == 1 || p == 2) ? desc->log2_chroma_h : 0;
      const int sw = (p == 1 || p == 2) ? desc->log2_chroma_w : 0;
      const int step = desc->comp[p < desc->nb_components ? p : 0].step;
      out[p] += static_cast<ptrdiff_t>(top >> sh) * frame->linesize[p] + (left >> sw) * step;
    } else if (p == 0) {
      out[p] += static_cast<ptrdiff_t>(top) * frame->linesize[0] + left * desc->comp[0].step;
    }
  }
}

}  // namespace

void TCustomFFmpeg::DoVideoOut(TOutputStreamEntry& ost, TInputStreamEntry& ist, AVFrame* frame) {
  AVCodecContext* enc = ost.Enc;
  // Frame-rate sync: how many times this picture is to be encoded.
  int count = 1;
  if (Sync.VideoSyncMethod != 0) {
    const double syncIpts = static_cast<double>(ost.Sync->Pts - MuxTime.StartTime) / 1000000.0 /
                            (static_cast<double>(enc->time_base.num) / enc->time_base.den);
    const double delta = syncIpts - static_cast<double>(ost.SyncOpts);
    if (delta < -1.1) {
      count = 0;
    } else if (delta > 1.1) {
      count = static_cast<int>(std::lrint(delta));
    }
    count = std::min(count, 1000);
    if (count == 0)
      Counters.DropFrames++;
    else if (count > 1)
      Counters.DupFrames += count - 1;
  }
  if (count == 0) return;
  (void)ist;

  // The picture in the encoder's size and format: crop, scale, pad.
  AVFrame* source = frame;
  const bool direct = !ost.CropNeeded && !ost.PadNeeded && frame->width == enc->width &&
                      frame->height == enc->height && frame->format == enc->pix_fmt;
  if (!direct) {
    if (!ost.Picture) {
      ost.Picture.reset(av.av_frame_alloc());
      if (!ost.Picture) throw FFmpegException("Cannot allocate temp picture, check pix fmt");
      ost.Picture->format = enc->pix_fmt;
      ost.Picture->width = enc->width;
      ost.Picture->height = enc->height;
      if (av.av_frame_get_buffer(ost.Picture.get(), 0) < 0)
        throw FFmpegException("Cannot allocate temp picture, check pix fmt");
      if (ost.PadNeeded) FillPicture(ost.Picture.get(), Video.PadColor);
    }
    if (av.av_frame_make_writable(ost.Picture.get()) < 0)
      throw FFmpegException("Cannot allocate temp picture, check pix fmt");
    const int srcWidth = frame->width - Video.CropLeft - Video.CropRight;
    const int srcHeight = frame->height - ost.CropTop - Video.CropBottom;
    const int dstWidth = enc->width - ost.PadLeft - ost.PadRight;
    const int dstHeight = enc->height - ost.PadTop - ost.PadBottom;
    if (srcWidth <= 0 || srcHeight <= 0 || dstWidth <= 0 || dstHeight <= 0)
      throw FFmpegException("Cannot get resampling context");
    ost.Scaler.reset(av.sws_getCachedContext(
        ost.Scaler.release(), srcWidth, srcHeight, static_cast<AVPixelFormat>(frame->format),
        dstWidth, dstHeight, enc->pix_fmt, Counters.SwsFlags, nullptr, nullptr, nullptr));
    if (!ost.Scaler) throw FFmpegException("Cannot get resampling context");
    uint8_t* in[4];
    uint8_t* out[4];
    OffsetPlanes(frame, ost.CropTop, ost.CropLeft, in);
    OffsetPlanes(ost.Picture.get(), ost.PadTop, ost.PadLeft, out);
    av.sws_scale(ost.Scaler.get(), in, frame->linesize, 0, srcHeight, out,
                 ost.Picture->linesize);
    source = ost.Picture.get();
  }
  for (int i = 0; i < count && !RunState.StopRequested; ++i) {
    if (ost.FrameNumber >= Video.MaxFrames[0]) break;
    source->pts = ost.SyncOpts++;
    source->pict_type = AV_PICTURE_TYPE_NONE;
    const int64_t bytes = EncodeAndWrite(ost, source, "Video encoding failed");
    if (i == 0 && RunState.PreviewFlags)
      PreviewFrame(source, av.av_rescale_q(source->pts, enc->time_base, MICROSECONDS));
    Counters.VideoSize += bytes;
    if (!Sync.VStatsFileName.empty() && bytes > 0) WriteVideoStats(ost, static_cast<int>(bytes));
  }
}

void TCustomFFmpeg::DoSubtitleOut(TOutputStreamEntry& ost, TInputStreamEntry& ist,
                                  AVSubtitle* subtitle, int64_t pts) {
  (void)ist;
  if (pts == AV_NOPTS_VALUE) return;
  constexpr int bufferSize = 1024 * 1024;
  if (SubtitleBuffer.size() < bufferSize) SubtitleBuffer.resize(bufferSize);
  AVCodecContext* enc = ost.Enc;
  int size = av.avcodec_encode_subtitle(enc, SubtitleBuffer.data(), bufferSize, subtitle);
  if (size < 0) throw FFmpegException("Subtitle encoding failed");
  if (size == 0) return;
  AVPacket* pkt = Tables->OutPacket.get();
  if (av.av_new_packet(pkt, size) < 0) throw FFmpegException("Subtitle encoding failed");
  std::copy_n(SubtitleBuffer.data(), size, pkt->data);
  const AVRational inBase = Tables->InStreams[static_cast<size_t>(ost.SourceIndex)].St->time_base;
  pkt->pts = pkt->dts = av.av_rescale_q(pts, inBase, ost.St->time_base);
  WriteFrame(ost, pkt);
  ost.FrameNumber++;
}
