// Progress reports, the final summary and the per-frame statistics file.
#include <cmath>

#include "FFmpeg.h"
#include "Transcode.h"

namespace {

double Psnr(double d) { return -10.0 * std::log(d) / std::log(10.0); }

// Appends to a report line of at most 1024 bytes.
struct TReportText {
  char Text[1024] = {0};
  size_t Length = 0;
  template <typename... Args>
  void Append(const char* format, Args... args) {
    if (Length + 1 >= sizeof(Text)) return;
    int n = av.my_snprintf(Text + Length, sizeof(Text) - Length, format, args...);
    if (n > 0) Length = std::min(sizeof(Text) - 1, Length + static_cast<size_t>(n));
  }
};

}  // namespace

void TCustomFFmpeg::PrintReport(bool last) {
  TTranscodeTables& T = *Tables;
  AVFormatContext* first = Output.Files[0].get();
  int64_t size = 0;
  if (first->pb) {
    size = av.avio_size(first->pb);
    if (size < 0) size = av.avio_seek(first->pb, 0, SEEK_CUR);
  } else if (!Music.Run.ClosedSizes.empty()) {
    size = Music.Run.ClosedSizes[0];  // closed for its tags: the size with them
  }
  if (size < 0) size = 0;
  TReportText text;
  double time = 1e10;
  bool videoSeen = false;
  int frameNumber = -1, fps = -1;
  float quality = -1.0f;
  for (auto& entry : T.OutStreams) {
    TOutputStreamEntry& ost = *entry;
    AVCodecContext* enc = ost.Enc;
    const float q = ost.Copy ? -1.0f : static_cast<float>(ost.LastQuality) / FF_QP2LAMBDA;
    if (enc && enc->codec_type == AVMEDIA_TYPE_VIDEO) {
      if (videoSeen) {
        text.Append("q=%2.1f ", q);
      } else {
        const float elapsed =
            static_cast<float>(av.av_gettime_relative() - LoopStartTime) / 1000000.0f;
        frameNumber = ost.FrameNumber;
        if (frameNumber < 1) return;
        fps = elapsed > 1 ? static_cast<int>(frameNumber / elapsed + 0.5f) : 0;
        quality = q;
        text.Append("frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, quality);
        if (last) text.Append("L");
        if (Video.QpHist) {
          const int qp = static_cast<int>(std::lrint(quality));
          if (qp >= 0 && qp < static_cast<int>(QuantiserHistogram.size())) QuantiserHistogram[qp]++;
          for (int j = 0; j < 32; ++j)
            text.Append("%X", static_cast<int>(std::lrint(std::log2(QuantiserHistogram[j] + 1))));
        }
        if (enc->flags & AV_CODEC_FLAG_PSNR) {
          double errorSum = 0, scaleSum = 0;
          text.Append("PSNR=");
          for (int plane = 0; plane < 3; ++plane) {
            double error = last ? static_cast<double>(enc->error[plane])
                                : static_cast<double>(ost.LastErrors[plane]);
            double scale = static_cast<double>(enc->width) * enc->height * 255.0 * 255.0;
            if (last) scale *= frameNumber;
            if (plane) scale /= 4;
            errorSum += error;
            scaleSum += scale;
            text.Append("%c:%2.2f ", "YUV"[plane], Psnr(error / scale));
          }
          text.Append("*:%2.2f ", Psnr(errorSum / scaleSum));
        }
        videoSeen = true;
      }
    }
    if (ost.MuxTimestamp != AV_NOPTS_VALUE) {
      const double t = static_cast<double>(ost.MuxTimestamp) * ost.St->time_base.num /
                       ost.St->time_base.den;
      if (t > 0 && t < time) time = t;
    }
  }
  if (time < 0.01) time = 0.01;
  if (OnProgress || Counters.Verbose > 0 || last) {
    const double bitRate = static_cast<double>(size) * 8 / time / 1000;
    text.Append("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", static_cast<double>(size) / 1024,
                time, bitRate);
    if (Counters.Verbose > 1)
      text.Append(" dup=%d drop=%d", Counters.DupFrames, Counters.DropFrames);
    if (OnProgress) {
      // Before any stream has a time the duration is unknown: 0 is reported.
      const int32_t current = time >= 1e9 ? 0 : static_cast<int32_t>(time * 1000);
      OnProgress(this, frameNumber, fps, current, quality, static_cast<float>(bitRate), size,
                 RunState.TotalDuration);
    } else if (Counters.Verbose >= 0 && OnLog) {
      Log(1, text.Text);
    }
  }
  if (last && Counters.Verbose >= 0 && OnLog) {
    const int64_t raw = Counters.VideoSize + Counters.AudioSize + Counters.ExtraSize;
    const double overhead = raw > 0 ? static_cast<double>(size - raw) * 100.0 / raw : 0.0;
    Log(1, StrFormat("video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %.2f%%\r\n",
                     static_cast<double>(Counters.VideoSize) / 1024,
                     static_cast<double>(Counters.AudioSize) / 1024,
                     static_cast<double>(Counters.ExtraSize) / 1024, overhead));
  }
}

void TCustomFFmpeg::WriteVideoStats(TOutputStreamEntry& ost, int frameSize) {
  if (!Sync.VStatsFile) {
    Sync.VStatsFile = av.my_fopen(Sync.VStatsFileName.c_str(), "w");
    if (!Sync.VStatsFile) throw FFmpegException("fopen fail: " + Sync.VStatsFileName);
  }
  AVCodecContext* enc = ost.Enc;
  if (enc->codec_type != AVMEDIA_TYPE_VIDEO) return;
  FILE* f = Sync.VStatsFile;
  av.my_fprintf(f, "frame= %5d q= %2.1f ", ost.FrameNumber,
                static_cast<double>(ost.LastQuality) / FF_QP2LAMBDA);
  if (enc->flags & AV_CODEC_FLAG_PSNR)
    av.my_fprintf(f, "PSNR= %6.2f ",
                  Psnr(static_cast<double>(ost.LastErrors[0]) /
                       (static_cast<double>(enc->width) * enc->height * 255.0 * 255.0)));
  av.my_fprintf(f, "f_size= %6d ", frameSize);
  double time = static_cast<double>(ost.SyncOpts) * enc->time_base.num / enc->time_base.den;
  if (time < 0.01) time = 0.01;
  const double bitRate =
      frameSize * 8 / (static_cast<double>(enc->time_base.num) / enc->time_base.den) / 1000;
  const double averageBitRate = static_cast<double>(Counters.VideoSize) * 8 / time / 1000;
  av.my_fprintf(f, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
                static_cast<double>(Counters.VideoSize) / 1024, time, bitRate, averageBitRate);
  av.my_fprintf(f, "type= %c\n",
                av.av_get_picture_type_char(static_cast<AVPictureType>(ost.LastPictType)));
}
