// Owners for library objects: each deleter calls through the bound table.
// These are the only places where a media-library object is freed.
#pragma once
#include <memory>

#include "LibAV.h"

// Once its library is unloaded (entry null) a deleter frees nothing: the
// object is left to the end of the process rather than called through null.
template <typename Entry, typename Object>
void FreeIfBound(Entry entry, Object object) {
  if (entry) entry(object);
}

struct TCodecContextFree {
  void operator()(AVCodecContext* p) const { FreeIfBound(av.avcodec_free_context, &p); }
};
struct TInputFormatClose {
  void operator()(AVFormatContext* p) const { FreeIfBound(av.avformat_close_input, &p); }
};
// An output context: its byte stream is closed unless the format writes no
// file, then the context with its streams and metadata is freed.
struct TOutputFormatFree {
  void operator()(AVFormatContext* p) const {
    if (!av.avformat_free_context) return;
    if (p->pb && p->oformat && !(p->oformat->flags & AVFMT_NOFILE)) av.avio_closep(&p->pb);
    av.avformat_free_context(p);
  }
};
struct TFormatContextFree {
  void operator()(AVFormatContext* p) const { FreeIfBound(av.avformat_free_context, p); }
};
struct TSwsFree {
  void operator()(SwsContext* p) const { FreeIfBound(av.sws_freeContext, p); }
};
struct TSwrFree {
  void operator()(SwrContext* p) const { FreeIfBound(av.swr_free, &p); }
};
struct TFrameFree {
  void operator()(AVFrame* p) const { FreeIfBound(av.av_frame_free, &p); }
};
struct TPacketFree {
  void operator()(AVPacket* p) const { FreeIfBound(av.av_packet_free, &p); }
};
struct TAudioFifoFree {
  void operator()(AVAudioFifo* p) const { FreeIfBound(av.av_audio_fifo_free, p); }
};
struct TBSFFree {
  void operator()(AVBSFContext* p) const { FreeIfBound(av.av_bsf_free, &p); }
};
struct TFilterGraphFree {
  void operator()(AVFilterGraph* p) const { FreeIfBound(av.avfilter_graph_free, &p); }
};
struct TDictFree {
  void operator()(AVDictionary* p) const { FreeIfBound(av.av_dict_free, &p); }
};
struct TAVMemFree {
  void operator()(void* p) const { FreeIfBound(av.av_free, p); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, TCodecContextFree>;
using InputFormatPtr = std::unique_ptr<AVFormatContext, TInputFormatClose>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, TOutputFormatFree>;
using FormatContextPtr = std::unique_ptr<AVFormatContext, TFormatContextFree>;
using SwsPtr = std::unique_ptr<SwsContext, TSwsFree>;
using SwrPtr = std::unique_ptr<SwrContext, TSwrFree>;
using FramePtr = std::unique_ptr<AVFrame, TFrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, TPacketFree>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, TAudioFifoFree>;
using BSFPtr = std::unique_ptr<AVBSFContext, TBSFFree>;
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, TFilterGraphFree>;
using DictPtr = std::unique_ptr<AVDictionary, TDictFree>;
template <typename T>
using AVMemPtr = std::unique_ptr<T, TAVMemFree>;

// The library's microsecond time base (its own AV_TIME_BASE_Q is C only).
constexpr AVRational MICROSECONDS = {1, AV_TIME_BASE};
// A stream's sample aspect ratio: its own, else its codec's.
inline AVRational StreamSampleAspect(const AVStream* st, AVRational codecAspect) {
  return st->sample_aspect_ratio.num ? st->sample_aspect_ratio : codecAspect;
}
// A ratio as a number; 0 when unknown.
inline double RatioValue(AVRational r) {
  return r.num && r.den ? static_cast<double>(r.num) / r.den : 0;
}

// The library's text for an error code ("Invalid argument", ...).
std::string AVErrorText(int code);
