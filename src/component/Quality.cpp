// Quality per format: the text, the checks against the bound encoder, and
// the engine's options (see Quality.h).
#include "Quality.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "EditNumber.h"
#include "LibAV.h"
#include "OptionComposer.h"
#include "Text.h"

namespace {

const char* const NOT_UNDERSTOOD =
    "give V0-V9 (MP3 VBR), a bit rate such as 192k (Opus: 96k:vbr, 96k:cvbr or 96k:cbr), "
    "q and the encoder's quality (q5) or level0-level8 (FLAC)";

// A real without the locale, which may use a decimal comma ("0.5", "-1").
std::string RealText(double value) {
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof(buf), value);
  return std::string(buf, result.ptr);
}

bool AllDigits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

std::string UpperCase(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// The bit rates of MPEG audio layer II (kbit/s): MPEG-1 (32, 44.1 and 48 kHz)
// and the half rates of MPEG-2. The encoder takes no other.
constexpr std::array<int, 14> MP2_RATES_MPEG1 = {32,  48,  56,  64,  80,  96,  112,
                                                 128, 160, 192, 224, 256, 320, 384};
constexpr std::array<int, 14> MP2_RATES_MPEG2 = {8,  16, 24, 32,  40,  48,  56,
                                                 64, 80, 96, 112, 128, 144, 160};

std::string RateList(const std::array<int, 14>& rates) {
  std::string text;
  for (int rate : rates) text += (text.empty() ? "" : " ") + std::to_string(rate) + "k";
  return text;
}

bool Listed(const std::array<int, 14>& rates, int kbps) {
  return std::find(rates.begin(), rates.end(), kbps) != rates.end();
}

}  // namespace

bool ParseQuality(const std::string& text, TQuality& quality, std::string& why) {
  const std::string t = LowerCase(Trim(text));
  TQuality q;
  if (t.empty() || t == "auto") {
    quality = q;
    return true;
  }
  auto refuse = [&](const std::string& reason) {
    why = "quality '" + Trim(text) + "': " + reason;
    return false;
  };
  if (t[0] == 'v') {
    const std::string number = t.substr(1);
    int v = -1;
    if (!AllDigits(number) || !ReadNumber(number, v) || v > 9)
      return refuse("LAME's VBR scale runs from V0 (best) to V9 (smallest)");
    q.Mode = qmLameVbr;
    q.Value = v;
  } else if (StartsWith(t, "level")) {
    const std::string number = t.substr(5);
    int level = -1;
    if (!AllDigits(number) || !ReadNumber(number, level))
      return refuse("a compression level is level0 to level8");
    q.Mode = qmLevel;
    q.Value = level;
  } else if (t[0] == 'q') {
    const std::string number = t.substr(1);
    double value = 0;
    // The number as written: no blanks or '+' inside "q5".
    if (number.empty() || number[0] == '+' || Trim(number) != number || !ReadNumber(number, value))
      return refuse("an encoder quality is q and a number, e.g. q5 or q-1");
    q.Mode = qmQuality;
    q.Value = value;
  } else {
    const size_t colon = t.find(':');
    const std::string rate = t.substr(0, colon);
    if (rate.size() < 2 || rate.back() != 'k') {
      if (AllDigits(rate)) return refuse("a bit rate needs its unit: " + rate + "k");
      return refuse(std::string("not understood; ") + NOT_UNDERSTOOD);
    }
    int kbps = 0;
    if (!AllDigits(rate.substr(0, rate.size() - 1)) ||
        !ReadNumber(rate.substr(0, rate.size() - 1), kbps) || kbps <= 0)
      return refuse("a bit rate is a whole number of kbit/s above 0 and a k, e.g. 192k");
    q.Mode = qmBitRate;
    q.Value = kbps;
    if (colon != std::string::npos) {
      const std::string mode = t.substr(colon + 1);
      if (mode == "vbr")
        q.Vbr = vmOn;
      else if (mode == "cvbr")
        q.Vbr = vmConstrained;
      else if (mode == "cbr")
        q.Vbr = vmOff;
      else
        return refuse("after the bit rate comes :vbr, :cvbr or :cbr, not ':" + mode + "'");
    }
  }
  quality = q;
  return true;
}

std::string QualityText(const TQuality& q) {
  switch (q.Mode) {
    case qmDefault: return "";
    case qmLameVbr: return "V" + std::to_string(static_cast<int>(q.Value));
    case qmQuality: return "q" + RealText(q.Value);
    case qmLevel: return "level" + std::to_string(static_cast<int>(q.Value));
    case qmBitRate: break;
  }
  static const char* const modes[] = {"", ":vbr", ":cvbr", ":cbr"};
  return std::to_string(static_cast<int>(q.Value)) + "k" + modes[q.Vbr];
}

bool QualityOfFormat(const std::string& text, const std::string& format, TQuality& quality,
                     std::string& why) {
  if (text.find('=') == std::string::npos) return ParseQuality(text, quality, why);
  TQuality found;
  std::vector<int> named;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find(',', at);
    if (end == std::string::npos) end = text.size();
    const std::string entry = Trim(text.substr(at, end - at));
    at = end + 1;
    if (entry.empty()) continue;
    const size_t eq = entry.find('=');
    if (eq == std::string::npos) {
      why = "quality list entry '" + entry + "': give FORMAT=QUALITY, e.g. mp3=V2";
      return false;
    }
    const std::string name = Trim(entry.substr(0, eq));
    const int index = ItemIndex(FormatItems, name);
    if (index < 0) {
      why = "quality list entry '" + entry + "': unknown format '" + name + "'";
      return false;
    }
    if (std::find(named.begin(), named.end(), index) != named.end()) {
      why = "the quality list names " + UpperCase(name) + " twice";
      return false;
    }
    named.push_back(index);
    TQuality q;
    if (!ParseQuality(entry.substr(eq + 1), q, why)) {
      why = UpperCase(name) + " " + why;
      return false;
    }
    if (index == ItemIndex(FormatItems, format)) found = q;
  }
  quality = found;
  return true;
}

bool QualitySettingsFor(const TQualityTarget& target, const TQuality& q, TQualitySettings& settings,
                        std::string& why) {
  settings = TQualitySettings();
  if (q.Mode == qmDefault) return true;
  const std::string format = LowerCase(target.Format);
  const std::string& encoder = target.Encoder;
  const std::string name = UpperCase(target.Format);
  if (format == "wav") {
    why = "WAV is uncompressed PCM and takes no quality ('" + QualityText(q) + "' given)";
    return false;
  }
  if (encoder.empty()) {
    why = "the libraries have no encoder for " + name + ": its quality cannot be set";
    return false;
  }
  const std::string given = QualityText(q);
  auto refuse = [&](const std::string& takes) {
    why = name + " (" + encoder + ") cannot take the quality '" + given + "': it takes " + takes;
    return false;
  };
  const int kbps = static_cast<int>(q.Value);
  const int rate = target.SampleRate;
  const bool opus = encoder == "libopus";
  if (q.Mode == qmBitRate && q.Vbr != vmDefault && !opus)
    return refuse("a bit rate without :vbr, :cvbr or :cbr (those are Opus's)");
  // The bit rate alone, within [least, most] kbit/s.
  auto bitRate = [&](int least, int most, const std::string& takes) {
    if (q.Mode != qmBitRate) return refuse(takes);
    if (kbps < least || kbps > most) return refuse(takes);
    settings.BitRate = kbps * 1000;
    return true;
  };

  if (encoder == "libmp3lame") {
    // LAME rounds a bit rate it cannot write to the nearest one it can:
    // refused instead where the sample rate is known. Below 32 kHz the
    // frames are MPEG-2 (at most 160k) or, below 16 kHz, MPEG-2.5 (64k).
    const int least = rate >= 32000 ? 32 : 8;
    const int most = rate == 0 ? 320 : rate >= 32000 ? 320 : rate >= 16000 ? 160 : 64;
    const std::string takes = "V0-V9 or a bit rate of " + std::to_string(least) + "k-" +
                              std::to_string(most) + "k" +
                              (rate ? " at " + std::to_string(rate) + " Hz" : "");
    if (q.Mode == qmLameVbr) {
      settings.Lines.push_back("aq=" + std::to_string(kbps));
      return true;
    }
    return bitRate(least, most, takes);
  }
  if (encoder == "libshine") return bitRate(8, 320, "a bit rate of 8k-320k (no VBR)");
  if (encoder == "aac") {
    const std::string takes = "q0.1-q2 (its VBR quality) or a bit rate of 8k-512k";
    if (q.Mode == qmQuality) {
      if (!(q.Value >= 0.1 && q.Value <= 2)) return refuse(takes);
      settings.Lines.push_back("aq=" + RealText(q.Value));
      return true;
    }
    return bitRate(8, 512, takes);
  }
  if (encoder == "libfdk_aac") {
    const std::string takes = "q1-q5 (its VBR modes) or a bit rate of 8k-512k";
    if (q.Mode == qmQuality) {
      if (q.Value != std::floor(q.Value) || q.Value < 1 || q.Value > 5) return refuse(takes);
      settings.Lines.push_back("vbr=" + std::to_string(static_cast<int>(q.Value)));
      return true;
    }
    return bitRate(8, 512, takes);
  }
  if (encoder == "libvorbis") {
    const std::string takes = "q-1 to q10 (its quality scale) or a bit rate of 32k-500k";
    if (q.Mode == qmQuality) {
      if (!(q.Value >= -1 && q.Value <= 10)) return refuse(takes);
      settings.Lines.push_back("aq=" + RealText(q.Value));
      return true;
    }
    return bitRate(32, 500, takes);
  }
  if (opus) {
    // 6 kbit/s to 256 kbit/s a channel; a mono output takes at most 256k.
    const int most = target.Channels == 1 ? 256 : 510;
    if (!bitRate(6, most,
                 "a bit rate of 6k-" + std::to_string(most) +
                     "k, after it :vbr (the default), :cvbr or :cbr"))
      return false;
    static const char* const modes[] = {"", "on", "constrained", "off"};
    if (q.Vbr != vmDefault) settings.Lines.push_back(std::string("vbr=") + modes[q.Vbr]);
    return true;
  }
  if (encoder == "flac") {
    const std::string takes = "level0-level8 (lossless: no bit rate)";
    if (q.Mode != qmLevel || q.Value > 8) return refuse(takes);
    settings.Lines.push_back("compression_level=" + std::to_string(kbps));
    return true;
  }
  if (encoder == "mp2" || encoder == "mp2fixed" || encoder == "libtwolame") {
    // Only the listed rates: 32 kHz and up MPEG-1, below it the half rates
    // (the encoder takes 8 and 11 kHz as 16 kHz).
    std::string takes;
    bool listed = false;
    if (rate >= 32000) {
      takes = "one of " + RateList(MP2_RATES_MPEG1) + " at " + std::to_string(rate) + " Hz";
      listed = Listed(MP2_RATES_MPEG1, kbps);
    } else if (rate > 0) {
      takes = "one of " + RateList(MP2_RATES_MPEG2) + " at " + std::to_string(rate) + " Hz";
      listed = Listed(MP2_RATES_MPEG2, kbps);
    } else {
      takes = "one of " + RateList(MP2_RATES_MPEG1) + " (32 kHz and up) or " +
              RateList(MP2_RATES_MPEG2) + " (below)";
      listed = Listed(MP2_RATES_MPEG1, kbps) || Listed(MP2_RATES_MPEG2, kbps);
    }
    if (!listed) return refuse(takes);
    return bitRate(kbps, kbps, takes);
  }
  if (encoder == "wmav1" || encoder == "wmav2")
    return bitRate(24, 384, "a bit rate of 24k-384k");
  if (encoder.compare(0, 3, "pcm") == 0) {
    why = name + " (" + encoder + ") is uncompressed PCM and takes no quality ('" + given +
          "' given)";
    return false;
  }
  // The other formats' sound (AC3, the video formats): a bit rate.
  return bitRate(8, 1536, "a bit rate (8k-1536k)");
}

std::string FormatEncoder(const std::string& format) {
  if (ItemIndex(FormatItems, format) < 0 || !av.avcodec_find_encoder) return "";
  std::string encoder, container, suffix;
  FormatAudioPreset(format, encoder, container, suffix);
  const AVCodec* codec = nullptr;
  if (!encoder.empty()) {
    codec = av.avcodec_find_encoder_by_name(encoder.c_str());
  } else {
    const std::string file = "x" + suffix;
    const AVOutputFormat* muxer =
        av.av_guess_format(container.empty() ? nullptr : container.c_str(), file.c_str(), nullptr);
    if (!muxer) return "";
    const AVCodecID id = av.av_guess_codec(muxer, nullptr, file.c_str(), nullptr, AVMEDIA_TYPE_AUDIO);
    if (id != AV_CODEC_ID_NONE) codec = av.avcodec_find_encoder(id);
  }
  return codec && av.av_codec_is_encoder(codec) ? codec->name : "";
}

bool ComposeQuality(const std::string& text, const std::string& format, int sampleRate,
                    int channels, TQualitySettings& settings, std::string& why) {
  settings = TQualitySettings();
  TQuality quality;
  if (!QualityOfFormat(text, format, quality, why)) return false;
  if (quality.Mode == qmDefault) return true;
  TQualityTarget target;
  target.Format = format;
  target.Encoder = FormatEncoder(format);
  target.SampleRate = sampleRate;
  target.Channels = channels;
  return QualitySettingsFor(target, quality, settings, why);
}
