// The video filter graph: decoded pictures of an encoded video stream pass
// through a "buffer" source named "src", an automatic "scale" when the sizes
// call for one, the user's chain and a sink named "out" that accepts only the
// encoder's pixel format.
#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "Transcode.h"

namespace {

const char* PAD_RESIZE_MESSAGE =
    "Cannot enable pad options and the filters which resize frame at the same time. "
    "(crop, rotate, scale, transpose, etc.)";

}  // namespace

int TCustomFFmpeg::ConfigureFilters(TInputStreamEntry& ist, TOutputStreamEntry& ost) {
  const TVideoOptions& v = Video;
  if (v.CropTop + v.CropBottom + v.CropLeft + v.CropRight != 0) {
    LastError = "Cannot enable crop options and filters at the same time.";
    return -1;
  }
  AVCodecContext* dec = ist.Dec;
  AVCodecContext* enc = ost.Enc;
  // The filter library may load only now, on first use.
  if (!FFmpegLoader().NeedLibrary(liAVFilter, LastError)) return -1;
  FilterGraphPtr graph(av.avfilter_graph_alloc());
  if (!graph) return -1;
  const int swsFlags = Counters.SwsFlags;
  graph->scale_sws_opts = av.av_strdup(StrFormat("sws_flags=%d", swsFlags).c_str());

  const AVRational timeBase = ist.St->time_base;
  AVRational sar = dec->sample_aspect_ratio;
  if (sar.num <= 0 || sar.den <= 0) sar = AVRational{0, 1};
  const std::string sourceArgs =
      StrFormat("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", dec->width,
                dec->height, dec->pix_fmt, timeBase.num, timeBase.den, sar.num, sar.den);
  AVFilterContext* source = nullptr;
  AVFilterContext* sink = nullptr;
  if (av.avfilter_graph_create_filter(&source, av.avfilter_get_by_name("buffer"), "src",
                                      sourceArgs.c_str(), nullptr, graph.get()) < 0)
    return -1;
  sink = av.avfilter_graph_alloc_filter(graph.get(), av.avfilter_get_by_name("buffersink"), "out");
  if (!sink) return -1;
  const AVPixelFormat formats[] = {enc->pix_fmt, AV_PIX_FMT_NONE};
  if (av.av_opt_set_bin(sink, "pix_fmts", reinterpret_cast<const uint8_t*>(formats),
                        sizeof(formats[0]), AV_OPT_SEARCH_CHILDREN) < 0 ||
      av.avfilter_init_str(sink, nullptr) < 0)
    return -1;

  AVFilterContext* last = source;
  const int wantWidth = enc->width - v.PadLeft - v.PadRight;
  const int wantHeight = enc->height - v.PadTop - v.PadBottom;
  if (wantWidth != dec->width || wantHeight != dec->height) {
    AVFilterContext* scale = nullptr;
    const std::string args = StrFormat("%d:%d:flags=%d", wantWidth, wantHeight, swsFlags);
    if (av.avfilter_graph_create_filter(&scale, av.avfilter_get_by_name("scale"), nullptr,
                                        args.c_str(), nullptr, graph.get()) < 0 ||
        av.avfilter_link(last, 0, scale, 0) < 0)
      return -1;
    last = scale;
  }
  if (!v.Filters.empty()) {
    AVFilterInOut* outputs = av.avfilter_inout_alloc();
    AVFilterInOut* inputs = av.avfilter_inout_alloc();
    if (!outputs || !inputs) {
      av.avfilter_inout_free(&outputs);
      av.avfilter_inout_free(&inputs);
      return -1;
    }
    outputs->name = av.av_strdup("in");
    outputs->filter_ctx = last;
    outputs->pad_idx = 0;
    inputs->name = av.av_strdup("out");
    inputs->filter_ctx = sink;
    inputs->pad_idx = 0;
    const int result =
        av.avfilter_graph_parse_ptr(graph.get(), v.Filters.c_str(), &inputs, &outputs, nullptr);
    av.avfilter_inout_free(&outputs);
    av.avfilter_inout_free(&inputs);
    if (result < 0) return -1;
  } else if (av.avfilter_link(last, 0, sink, 0) < 0) {
    return -1;
  }
  if (av.avfilter_graph_config(graph.get(), nullptr) < 0) return -1;

  const int width = av.av_buffersink_get_w(sink);
  const int height = av.av_buffersink_get_h(sink);
  if (v.PadTop + v.PadBottom + v.PadLeft + v.PadRight != 0 &&
      (width != v.FrameWidth || height != v.FrameHeight)) {
    LastError = PAD_RESIZE_MESSAGE;
    return -1;
  }
  enc->width = width + v.PadLeft + v.PadRight;
  enc->height = height + v.PadTop + v.PadBottom;
  ost.FilterGraph = std::move(graph);
  ost.FilterSource = source;
  ost.FilterSink = sink;
  return 0;
}

void TCustomFFmpeg::FilterVideo(TOutputStreamEntry& ost, TInputStreamEntry& ist, AVFrame* frame) {
  // A null frame closes the source: the chain gives out what it still holds.
  if (av.av_buffersrc_add_frame_flags(ost.FilterSource, frame, AV_BUFFERSRC_FLAG_KEEP_REF) < 0)
    throw FFmpegException("Error while filtering video");
  if (!ost.Filtered) ost.Filtered.reset(av.av_frame_alloc());
  AVFrame* filtered = ost.Filtered.get();
  while (av.av_buffersink_get_frame(ost.FilterSink, filtered) >= 0) {
    if (filtered->pts != AV_NOPTS_VALUE)
      ist.Pts = av.av_rescale_q(filtered->pts, av.av_buffersink_get_time_base(ost.FilterSink),
                                MICROSECONDS);
    if (filtered->sample_aspect_ratio.num) ost.Enc->sample_aspect_ratio = filtered->sample_aspect_ratio;
    DoVideoOut(ost, ist, filtered);
    av.av_frame_unref(filtered);
  }
}
