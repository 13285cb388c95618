// TAVProbe: seeking and decoding one video picture into a 24-bit bitmap.
#include <cstring>
#include <mutex>

#include "AVProbe.h"
#include "FFmpegLoader.h"
#include "LibAV.h"
#include "Text.h"

TAVProbe::~TAVProbe() { TAVProbe::Close(); }

void TAVProbe::Close() {
  StillImage = false;
  FrameBitmap.SetSize(0, 0);
  ToRGB.reset();
  CloseDecoder();
  TCustomAVProbe::Close();
}

void TAVProbe::CloseDecoder() {
  DecoderStream = -1;
  if (!Decoder) return;
  std::lock_guard<std::recursive_mutex> lock(CodecLock);
  Decoder.reset();
}

bool TAVProbe::OpenDecoder(int streamIndex) {
  CloseDecoder();
  const AVStream* stream = Context->streams[streamIndex];
  const AVCodec* codec = av.avcodec_find_decoder(stream->codecpar->codec_id);
  if (!codec) {
    Log(0, StrFormat("Unsupported codec (id=%d) for input file stream #%d\n",
                     static_cast<int>(stream->codecpar->codec_id), streamIndex));
    return false;
  }
  CodecContextPtr decoder(av.avcodec_alloc_context3(codec));
  bool opened = false;
  if (decoder && av.avcodec_parameters_to_context(decoder.get(), stream->codecpar) >= 0) {
    decoder->pkt_timebase = stream->time_base;
    std::lock_guard<std::recursive_mutex> lock(CodecLock);
    opened = av.avcodec_open2(decoder.get(), codec, nullptr) >= 0;
  }
  if (!opened) {
    {
      std::lock_guard<std::recursive_mutex> lock(CodecLock);
      decoder.reset();
    }
    Log(0, StrFormat("Error while opening codec for input file stream #%d\n", streamIndex));
    return false;
  }
  Decoder = std::move(decoder);
  DecoderStream = streamIndex;
  return true;
}

void TAVProbe::RefuseReadOnly(const char* message) {
  LastErrorText = message;
  Log(0, LastErrorText + "\n");
  throw EAVProbeError(LastErrorText);
}

bool TAVProbe::Seek(int streamIndex, int64_t time) {
  Moved = true;
  if (!HasFile()) {
    LastErrorText = "file not loaded.";
    return false;
  }
  if (!OwnsContext()) RefuseReadOnly("file cannot be seeked, handle is readonly.");
  if (IsImage2()) {
    Log(0, "\"image2\" format cannot to be seeked.\n");
    return true;
  }
  if (time < 0) time = 0;
  if (streamIndex == -1) {
    streamIndex = FirstVideoStreamIndex();
    if (streamIndex < 0) streamIndex = FirstAudioStreamIndex();
    if (streamIndex < 0) streamIndex = FirstSubtitleStreamIndex();
  } else if (streamIndex < 0 || streamIndex >= StreamCount()) {
    Log(0, StrFormat("stream index #%d is invalid.\n", streamIndex));
    return false;
  }

  int64_t position;
  if (streamIndex == -1) {
    // The file as a whole: the position is in microseconds.
    position = time;
    if (Context->duration > 0 && position > Context->duration) position = Context->duration;
    if (Context->start_time != AV_NOPTS_VALUE) position += Context->start_time;
  } else {
    const AVStream* stream = Context->streams[streamIndex];
    position = av.av_rescale_q(time, MICROSECONDS, stream->time_base);
    if (stream->duration > 0 && position > stream->duration) position = stream->duration;
    if (stream->start_time != AV_NOPTS_VALUE) position += stream->start_time;
  }

  if (Decoder) av.avcodec_flush_buffers(Decoder.get());
  int result;
  if (time > 0) {
    // The first key frame at or after the position; near the end there may be
    // none, and the last one before it is the closest picture there is.
    result = av.av_seek_frame(Context, streamIndex, position, 0);
    if (result < 0) result = av.av_seek_frame(Context, streamIndex, position, AVSEEK_FLAG_BACKWARD);
  } else {
    result = av.av_seek_frame(Context, streamIndex, 0, AVSEEK_FLAG_BACKWARD);
  }
  if (result < 0) {
    Log(0, StrFormat("could not seek to position %0.3f\n", time / 1000000.0));
    return false;
  }
  return true;
}

bool TAVProbe::PictureToBitmap(const AVFrame* picture) {
  const int width = picture->width, height = picture->height;
  TBitmap& bitmap = FrameBitmap;
  // The decoded size is what counts: a stream may change size mid-way.
  if (bitmap.GetWidth() != width || bitmap.GetHeight() != height) bitmap.SetSize(width, height);
  if (picture->format == AV_PIX_FMT_BGR24) {
    // The line size is negative for a picture stored bottom-up.
    for (int y = 0; y < height; ++y)
      std::memcpy(bitmap.Scanline(y),
                  picture->data[0] + static_cast<ptrdiff_t>(y) * picture->linesize[0],
                  static_cast<size_t>(width) * 3);
    return true;
  }
  // Other layouts are scaled straight into the bitmap's rows.
  ToRGB.reset(av.sws_getCachedContext(ToRGB.release(), width, height,
                                      static_cast<AVPixelFormat>(picture->format), width, height,
                                      AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr));
  uint8_t* target[4] = {bitmap.Bits(), nullptr, nullptr, nullptr};
  const int targetStride[4] = {bitmap.Stride(), 0, 0, 0};
  if (!ToRGB || av.sws_scale(ToRGB.get(), picture->data, picture->linesize, 0, height, target,
                             targetStride) <= 0) {
    Log(0, "Cannot initialize the toRGB conversion context\n");
    return false;
  }
  return true;
}

TBitmap& TAVProbe::ReadVideoFrame(int streamIndex) {
  if (Context && !OwnsContext()) RefuseReadOnly("frame cannot be read, handle is readonly.");
  Moved = true;
  TBitmap& bitmap = FrameBitmap;
  if (!HasFile() || !ResolveVideoStream(streamIndex)) {
    bitmap.SetSize(0, 0);
    return bitmap;
  }
  // A still image is decoded once.
  if (StillImage && IsImage2()) return bitmap;
  const AVCodecParameters* codec = Context->streams[streamIndex]->codecpar;
  if (codec->width == 0 || codec->height == 0 ||
      ((!Decoder || DecoderStream != streamIndex) && !OpenDecoder(streamIndex))) {
    bitmap.SetSize(0, 0);
    return bitmap;
  }
  bitmap.SetSize(Decoder->width ? Decoder->width : Decoder->coded_width,
                 Decoder->height ? Decoder->height : Decoder->coded_height);

  FramePtr picture(av.av_frame_alloc());
  PacketPtr packet(av.av_packet_alloc());
  if (!picture || !packet) {
    bitmap.SetSize(0, 0);
    return bitmap;
  }
  // Read until the decoder gives a picture. At the end of the file the
  // decoder is drained, so that pictures it still holds back are not lost.
  bool draining = false;
  for (;;) {
    if (av.avcodec_receive_frame(Decoder.get(), picture.get()) >= 0) {
      if (!PictureToBitmap(picture.get())) break;
      if (!FrameCopy) FrameCopy = std::make_unique<TBitmap>();
      FrameCopy->SetSize(bitmap.GetWidth(), bitmap.GetHeight());
      std::memcpy(FrameCopy->Bits(), bitmap.Bits(),
                  static_cast<size_t>(bitmap.Stride()) * static_cast<size_t>(bitmap.GetHeight()));
      StillImage = IsImage2();
      return bitmap;
    }
    if (draining) {
      Log(2, "stream eof reached.\n");
      // Leaves the drained decoder ready for the next Seek and read.
      av.avcodec_flush_buffers(Decoder.get());
      break;
    }
    if (av.av_read_frame(Context, packet.get()) < 0) {
      av.avcodec_send_packet(Decoder.get(), nullptr);
      draining = true;
      continue;
    }
    // A packet the decoder rejects yields no picture: read on.
    if (packet->stream_index == streamIndex) av.avcodec_send_packet(Decoder.get(), packet.get());
    av.av_packet_unref(packet.get());
  }
  std::memset(bitmap.Bits(), 0,
              static_cast<size_t>(bitmap.Stride()) * static_cast<size_t>(bitmap.GetHeight()));
  return bitmap;
}
