// Target presets: every option a disc format needs, in one step.
#include <cmath>

#include "FFmpeg.h"

namespace {

enum TNorm { nmPAL, nmNTSC, nmFILM };

// 25000 -> PAL, 29970 or 23976 -> NTSC; anything else decides nothing.
bool NormFromRate(double milliFps, TNorm& norm) {
  const long rate = std::lround(milliFps);
  if (rate == 25000) {
    norm = nmPAL;
    return true;
  }
  if (rate == 29970 || rate == 23976) {
    norm = nmNTSC;
    return true;
  }
  return false;
}

}  // namespace

void TCustomFFmpeg::SetTarget(const std::string& type, const std::string& normText,
                              const std::string& fallbackNorm) {
  TNorm norm;
  if (normText == "pal") {
    norm = nmPAL;
  } else if (normText == "ntsc") {
    norm = nmNTSC;
  } else if (normText == "film") {
    norm = nmFILM;
  } else {
    if (Video.FrameRate.den == 0) throw FFmpegException("frame_rate is invalid.");
    bool found = NormFromRate(Video.FrameRate.num * 1000.0 / Video.FrameRate.den, norm);
    for (int i = 0; i < Input.FileCount && !found; ++i) {
      const AVFormatContext* ic = Input.Files[i].get();
      if (!ic) continue;
      for (unsigned j = 0; j < ic->nb_streams && !found; ++j) {
        const AVStream* st = ic->streams[j];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        AVRational rate = st->r_frame_rate.den ? st->r_frame_rate : st->avg_frame_rate;
        if (rate.num > 0 && rate.den > 0) found = NormFromRate(rate.num * 1000.0 / rate.den, norm);
      }
    }
    if (!found) norm = fallbackNorm == "film" ? nmFILM : fallbackNorm == "ntsc" ? nmNTSC : nmPAL;
    if (Counters.Verbose > 0)
      Log(1, StrFormat("Assuming %s for target.", norm == nmPAL ? "PAL" : "NTSC"));
  }

  const bool pal = norm == nmPAL;
  const char* rate = norm == nmPAL ? "25" : norm == nmNTSC ? "30000/1001" : "24000/1001";
  const char* gop = pal ? "15" : "18";
  auto defaultAspect = [this](const char* aspect) {
    if (Video.FrameAspectRatio != 0) return;
    Log(1, StrFormat("Assuming %s for aspect ratio", aspect));
    SetFrameAspectRatio(aspect);
  };

  if (type == "vcd") {
    SetVideoCodec("mpeg1video");
    SetAudioCodec("mp2");
    SetOutputFormat("vcd");
    SetFrameSize(pal ? "352x288" : "352x240");
    SetFrameRate(rate);
    SetGenericOption("g", gop);
    SetGenericOption("b", "1150000");
    SetGenericOption("maxrate", "1150000");
    SetGenericOption("minrate", "1150000");
    SetGenericOption("bufsize", "327680");
    SetGenericOption("ab", "224000");
    Audio.SampleRate = 44100;
    Audio.Channels = 2;
    SetGenericOption("packetsize", "2324");
    SetGenericOption("muxrate", "1411200");
    MuxTime.MuxPreload = 0.44f;
    defaultAspect("4:3");
  } else if (type == "svcd") {
    SetVideoCodec("mpeg2video");
    SetAudioCodec("mp2");
    SetOutputFormat("svcd");
    SetFrameSize(pal ? "480x576" : "480x480");
    SetFrameRate(rate);
    SetGenericOption("g", gop);
    SetGenericOption("b", "2040000");
    SetGenericOption("maxrate", "2516000");
    SetGenericOption("minrate", "0");
    SetGenericOption("bufsize", "1835008");
    SetGenericOption("flags", "+scan_offset");
    SetGenericOption("ab", "224000");
    Audio.SampleRate = 44100;
    if (Audio.Channels == 1) Audio.Channels = 2;
    SetGenericOption("packetsize", "2324");
    defaultAspect("4:3");
  } else if (type == "dvd") {
    SetVideoCodec("mpeg2video");
    SetAudioCodec("ac3");
    SetOutputFormat("dvd");
    SetFrameSize(pal ? "720x576" : "720x480");
    SetFrameRate(rate);
    SetGenericOption("g", gop);
    SetGenericOption("b", "6000000");
    SetGenericOption("maxrate", "9000000");
    SetGenericOption("minrate", "0");
    SetGenericOption("bufsize", "1835008");
    SetGenericOption("ab", "448000");
    Audio.SampleRate = 48000;
    if (Audio.Channels == 1) Audio.Channels = 2;
    SetGenericOption("packetsize", "2048");
    SetGenericOption("muxrate", "10080000");
    defaultAspect("16:9");
  } else if (type == "dv" || type == "dv50") {
    SetOutputFormat("dv");
    SetFrameSize(pal ? "720x576" : "720x480");
    SetOption("pix_fmt", type == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
    SetFrameRate(rate);
    Audio.SampleRate = 48000;
    Audio.Channels = 2;
  } else {
    throw FFmpegException("Unknown target type");
  }
}
