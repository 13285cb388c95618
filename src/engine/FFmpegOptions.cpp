// The option vocabulary: SetOption's dispatch list and its handlers.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>

#include "FFmpeg.h"

// ---- Value conversions -----------------------------------------------------

namespace {

bool ParseInteger(const std::string& text, int64_t minimum, int64_t maximum, int64_t& out) {
  size_t i = 0, n = text.size();
  while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  if (i < n && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= n) return false;
  uint64_t value = 0;
  const uint64_t limit = negative ? static_cast<uint64_t>(-(minimum + 1)) + 1
                                  : static_cast<uint64_t>(maximum);
  for (; i < n; ++i) {
    int digit;
    char c = text[i];
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return false;
    if (value > (limit - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base))
      return false;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  out = negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
  return true;
}

// Decimal floating point, independent of the process locale. Returns the
// number of characters read (0: none).
size_t ParseFloatPrefix(const char* first, const char* last, double& out) {
  const char* p = first;
  if (p < last && *p == '+') ++p;
  auto result = std::from_chars(p, last, out);
  if (result.ec != std::errc() || result.ptr == p) return 0;
  return static_cast<size_t>(result.ptr - first);
}

}  // namespace

int StrToInt(const std::string& text) {
  int64_t value;
  if (!ParseInteger(text, INT32_MIN, INT32_MAX, value))
    throw EConvertError(StrFormat("'%s' is not a valid integer value", text.c_str()));
  return static_cast<int>(value);
}

int64_t StrToInt64(const std::string& text) {
  int64_t value;
  if (!ParseInteger(text, INT64_MIN, INT64_MAX, value))
    throw EConvertError(StrFormat("'%s' is not a valid integer value", text.c_str()));
  return value;
}

double StrToFloat(const std::string& text) {
  std::string trimmed = Trim(text);
  double value = 0;
  const char* first = trimmed.data();
  const char* last = first + trimmed.size();
  if (trimmed.empty() || ParseFloatPrefix(first, last, value) != trimmed.size())
    throw EConvertError(StrFormat("'%s' is not a valid floating point value", text.c_str()));
  return value;
}

long ReadBasedNumber(const std::string& text, size_t& pos) {
  if (pos >= text.size()) return 0;
  const char* start = text.c_str() + pos;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(start, &end, 0);
  pos += static_cast<size_t>(end - start);
  return value;
}

void ColorToYUV(int rgb, int yuv[3]) {
  // BT.601 in fixed point with 10 fractional bits.
  const int r = rgb & 0xff, g = (rgb >> 8) & 0xff, b = (rgb >> 16) & 0xff;
  yuv[0] = ((307 * r + 602 * g + 117 * b + 512) >> 10) & 0xff;
  yuv[1] = (((-173 * r - 340 * g + 512 * b + 511) >> 10) + 128) & 0xff;
  yuv[2] = (((512 * r - 429 * g - 84 * b + 511) >> 10) + 128) & 0xff;
}

// ---- Dispatch ---------------------------------------------------------------

namespace {

enum class TKind {
  Ignored, Refused, Bool, True, Int, Int64, Float, String, Handler
};

using THandler = void (*)(TCustomFFmpeg& e, const std::string& name, const std::string& value);

struct TOptionDef {
  const char* Name;
  TKind Kind;
  THandler Handler;
};

bool ToBool(const std::string& value) { return value != "0"; }

int64_t ParseTime(const std::string& name, const std::string& value, bool duration) {
  int64_t us = 0;
  if (av.av_parse_time(&us, value.c_str(), duration ? 1 : 0) < 0)
    throw FFmpegException(StrFormat("Invalid %s specification for %s: %s",
                                    duration ? "duration" : "date", name.c_str(),
                                    value.c_str()));
  return us;
}

}  // namespace

// The handler table is built inside a member so that its lambdas may reach
// the engine's private handlers.
void TCustomFFmpeg::SetOption(const std::string& name, const std::string& value) {
  // Values are parsed and checked by the libraries: nothing works without them.
  if (!OptionContexts.Codec[AVMEDIA_TYPE_VIDEO])
    throw FFmpegException("The media libraries are not loaded");
#define H(...)                                                    \
  [](TCustomFFmpeg& e, const std::string& n, const std::string& v) { \
    (void)n, (void)v;                                               \
    __VA_ARGS__;                                                    \
  }
  static const TOptionDef Options[] = {
      {"L", TKind::Ignored, nullptr},
      {"h", TKind::Ignored, nullptr},
      {"version", TKind::Ignored, nullptr},
      {"formats", TKind::Ignored, nullptr},
      {"f", TKind::Handler, H(e.SetFormat(v))},
      {"i", TKind::Ignored, nullptr},
      {"y", TKind::Ignored, nullptr},
      {"map", TKind::Handler, H(e.AddStreamMap(v))},
      {"map_meta_data", TKind::Handler, H(e.AddMetaDataMap(v))},
      {"t", TKind::Handler, H({
         int64_t ms = ParseTime(n, v, true) / 1000;
         e.SetRecordingTime(static_cast<int32_t>(ms > INT32_MAX ? INT32_MAX : ms));
       })},
      {"fs", TKind::Handler, H(e.Counters.LimitFileSize = StrToInt64(v))},
      {"ss", TKind::Handler, H(e.MuxTime.StartTime = ParseTime(n, v, true))},
      {"sample_range", TKind::Handler, H(e.SetSampleRange(v))},
      {"itsoffset", TKind::Handler, H(e.MuxTime.InputTSOffset = ParseTime(n, v, true))},
      {"itsscale", TKind::Handler, H(e.SetTimeScale(v))},
      {"timestamp", TKind::Handler, H({
         double us = static_cast<double>(ParseTime(n, v, false));
         e.MuxTime.RecordingTimestamp = std::llround(us / 1000000.0);
       })},
      {"metadata", TKind::Handler, H({
         size_t eq = v.find('=');
         if (eq == std::string::npos) throw FFmpegException("Missing =");
         e.AddMetadata(v.substr(0, eq), v.substr(eq + 1));
       })},
      {"dframes", TKind::Handler, H(e.Video.MaxFrames[2] = StrToInt(v))},
      {"benchmark", TKind::Ignored, nullptr},
      {"dump", TKind::Handler, H(e.Diagnostic.PacketDump = ToBool(v))},
      {"hex", TKind::Handler, H(e.Diagnostic.HexDump = ToBool(v))},
      {"re", TKind::Handler, H(e.Sync.RateEmu = ToBool(v))},
      {"loop_input", TKind::Handler, H(e.Video.LoopInput = ToBool(v))},
      {"loop_output", TKind::Handler, H(e.Video.LoopOutput = StrToInt(v))},
      {"v", TKind::Handler, H(e.SetVerbose(StrToInt(v)))},
      {"target", TKind::Handler, H({
         std::string t = Trim(v), norm = "auto", type = t;
         if (t.compare(0, 4, "pal-") == 0) {
           norm = "pal";
           type = t.substr(4);
         } else if (t.compare(0, 5, "ntsc-") == 0) {
           norm = "ntsc";
           type = t.substr(5);
         } else if (t.compare(0, 5, "film-") == 0) {
           norm = "film";
           type = t.substr(5);
         }
         e.SetTarget(type, norm, "ntsc");
       })},
      {"threads", TKind::Refused, nullptr},
      {"vsync", TKind::Handler, H(e.Sync.VideoSyncMethod = StrToInt(v))},
      {"async", TKind::Handler, H(e.Sync.AudioSyncMethod = StrToInt(v))},
      {"adrift_threshold", TKind::Handler,
       H(e.Sync.AudioDriftThreshold = static_cast<float>(StrToFloat(v)))},
      {"vglobal", TKind::Handler, H(e.Sync.VideoGlobalHeader = StrToInt(v))},
      {"copyts", TKind::Handler, H(e.Sync.CopyTS = true)},
      {"shortest", TKind::Handler, H(e.Sync.Shortest = ToBool(v))},
      {"dts_delta_threshold", TKind::Handler,
       H(e.Counters.DtsDeltaThreshold = static_cast<float>(StrToFloat(v)))},
      {"programid", TKind::Handler, H(e.Sync.ProgramId = StrToInt(v))},
      {"tag_encoding", TKind::Handler, H({
         if (!ParseTagEncoding(Trim(v), e.Input.TagEncoding))
           throw FFmpegException(StrFormat(
               "Invalid tag encoding '%s' (auto, latin1, gbk, big5, shift-jis or euc-kr)",
               v.c_str()));
       })},
      {"xerror", TKind::Handler, H(e.Sync.ExitOnError = true)},
      {"copyinkf", TKind::Handler, H(e.Sync.CopyInitialNonKeyFrames = StrToInt(v))},
      {"b", TKind::Handler, H(e.SetBitRate(n, v))},
      {"vb", TKind::Handler, H(e.SetBitRate(n, v))},
      {"vframes", TKind::Handler, H(e.Video.MaxFrames[0] = StrToInt(v))},
      {"r", TKind::Handler, H(e.SetFrameRate(v))},
      {"s", TKind::Handler, H(e.SetFrameSize(v))},
      {"aspect", TKind::Handler, H(e.SetFrameAspectRatio(v))},
      {"pix_fmt", TKind::Handler, H({
         if (v == "list")
           e.ListFormats(true);
         else
           e.Video.PixFmt = av.av_get_pix_fmt(v.c_str());
       })},
      {"croptop", TKind::Handler, H(e.SetCropTop(StrToInt(v)))},
      {"cropbottom", TKind::Handler, H(e.SetCropBottom(StrToInt(v)))},
      {"cropleft", TKind::Handler, H(e.SetCropLeft(StrToInt(v)))},
      {"cropright", TKind::Handler, H(e.SetCropRight(StrToInt(v)))},
      {"padtop", TKind::Handler, H(e.SetPadTop(StrToInt(v)))},
      {"padbottom", TKind::Handler, H(e.SetPadBottom(StrToInt(v)))},
      {"padleft", TKind::Handler, H(e.SetPadLeft(StrToInt(v)))},
      {"padright", TKind::Handler, H(e.SetPadRight(StrToInt(v)))},
      {"padcolor", TKind::Handler, H(e.SetPadColor(StrToInt(v)))},
      {"intra", TKind::Handler, H(e.Video.IntraOnly = ToBool(v))},
      {"vn", TKind::Handler, H(e.Video.Disable = ToBool(v))},
      {"vdt", TKind::Handler, H(e.Video.Discard = StrToInt(v))},
      {"qscale", TKind::Handler, H({
         double q = StrToFloat(v);
         if (!(q > 0.0 && q <= 255)) throw FFmpegException("qscale must be > 0.0 and <= 255");
         e.Video.QScale = static_cast<float>(q);
       })},
      {"rc_override", TKind::Handler, H(e.Video.RcOverride = v)},
      {"vcodec", TKind::Handler, H(e.SetVideoCodec(v))},
      {"me_threshold", TKind::Handler, H(e.Video.MeThreshold = StrToInt(v))},
      {"sameq", TKind::Handler, H(e.Video.SameQuality = ToBool(v))},
      {"pass", TKind::Handler, H({
         int pass = StrToInt(v);
         if (pass != 1 && pass != 2) throw FFmpegException("pass number can be only 1 or 2");
         e.Diagnostic.PassNumber = pass;
       })},
      {"passlogfile", TKind::Handler, H(e.Diagnostic.PassLogFile = v)},
      {"deinterlace", TKind::Handler, H(e.Video.Deinterlace = ToBool(v))},
      {"psnr", TKind::Handler, H(e.Diagnostic.DoPSNR = ToBool(v))},
      {"vstats", TKind::Handler, H(e.SetVStats(false, v))},
      {"vstats_file", TKind::Handler, H(e.SetVStats(true, v))},
      {"vhook", TKind::Handler, H(e.SetVHook(v))},
      {"vfilters", TKind::Handler, H(e.SetVideoFilters(v))},
      {"intra_matrix", TKind::Handler, H(e.SetMatrix(e.Video.IntraMatrix, v))},
      {"inter_matrix", TKind::Handler, H(e.SetMatrix(e.Video.InterMatrix, v))},
      {"top", TKind::Handler, H(e.Video.TopFieldFirst = StrToInt(v))},
      {"dc", TKind::Handler, H(e.Video.IntraDcPrecision = StrToInt(v))},
      {"vtag", TKind::Handler, H(e.SetVideoTag(v))},
      {"newvideo", TKind::Handler, H(e.NewOutputStream(AVMEDIA_TYPE_VIDEO))},
      {"qphist", TKind::Handler, H(e.Video.QpHist = ToBool(v))},
      {"force_fps", TKind::Handler, H(e.Counters.ForceFps = ToBool(v))},
      {"ab", TKind::Handler, H(e.SetBitRate(n, v))},
      {"aframes", TKind::Handler, H(e.Video.MaxFrames[1] = StrToInt(v))},
      {"aq", TKind::Handler, H(e.Audio.QScale = static_cast<float>(StrToFloat(v)))},
      {"ar", TKind::Handler, H(e.SetAudioRate(StrToInt(v)))},
      {"ac", TKind::Handler, H(e.SetAudioChannels(StrToInt(v)))},
      {"an", TKind::Handler, H(e.Audio.Disable = ToBool(v))},
      {"acodec", TKind::Handler, H(e.SetAudioCodec(v))},
      {"atag", TKind::Handler, H(e.SetAudioTag(v))},
      {"vol", TKind::Handler, H(e.Sync.AudioVolume = StrToInt(v))},
      {"newaudio", TKind::Handler, H(e.NewOutputStream(AVMEDIA_TYPE_AUDIO))},
      {"alang", TKind::Handler, H(e.Audio.Language = v)},
      {"sample_fmt", TKind::Handler, H({
         if (v == "list")
           e.ListFormats(false);
         else
           e.Audio.SampleFmt = av.av_get_sample_fmt(v.c_str());
       })},
      {"sn", TKind::Handler, H(e.Subtitle.Disable = ToBool(v))},
      {"scodec", TKind::Handler, H(e.SetSubtitleCodec(v))},
      {"newsubtitle", TKind::Handler, H(e.NewOutputStream(AVMEDIA_TYPE_SUBTITLE))},
      {"slang", TKind::Handler, H(e.Subtitle.Language = v)},
      {"vc", TKind::Handler, H(e.Sync.VideoChannel = StrToInt(v))},
      {"tvstd", TKind::Handler, H(e.Sync.VideoStandard = v)},
      {"isync", TKind::Handler, H(e.Counters.InputSync = ToBool(v))},
      {"muxdelay", TKind::Handler,
       H(e.MuxTime.MuxMaxDelay = static_cast<float>(StrToFloat(v)))},
      {"muxpreload", TKind::Handler,
       H(e.MuxTime.MuxPreload = static_cast<float>(StrToFloat(v)))},
      {"absf", TKind::Handler, H(e.AddBitstreamFilter(n, v))},
      {"vbsf", TKind::Handler, H(e.AddBitstreamFilter(n, v))},
      {"sbsf", TKind::Handler, H(e.AddBitstreamFilter(n, v))},
      {"apre", TKind::Ignored, nullptr},
      {"vpre", TKind::Ignored, nullptr},
      {"spre", TKind::Ignored, nullptr},
  };
#undef H

  for (const TOptionDef& option : Options) {
    if (name != option.Name) continue;
    switch (option.Kind) {
      case TKind::Ignored:
        Log(1, "Do nothing: option - " + name);
        return;
      case TKind::Refused:
        throw FFmpegException("TODO: option - " + name);
      default:
        option.Handler(*this, name, value);
        return;
    }
  }
  SetGenericOption(name, value);
}

// ---- Handlers ---------------------------------------------------------------

void TCustomFFmpeg::SetFormat(const std::string& value) {
  if (value.empty()) return;
  std::string format = value;
  if (format == "pgmyuv") {
    format = "image2";
    Counters.PgmyuvCompat = true;
    Log(1, "pgmyuv format is deprecated, use image2");
  }
  const AVInputFormat* in = av.av_find_input_format(format.c_str());
  const AVOutputFormat* out = av.av_guess_format(format.c_str(), nullptr, nullptr);
  if (!in && !out)
    throw FFmpegException(StrFormat("Unknown input or output format: %s", format.c_str()));
  Maps.ForcedInputFormat = in;
  Maps.ForcedOutputFormat = out;
}

void TCustomFFmpeg::SetInputFormat(const std::string& value) {
  if (value.empty()) return;
  std::string format = value;
  if (format == "pgmyuv") {
    format = "image2";
    Counters.PgmyuvCompat = true;
    Log(1, "pgmyuv format is deprecated, use image2");
  }
  const AVInputFormat* in = av.av_find_input_format(format.c_str());
  if (!in) throw FFmpegException(StrFormat("Unknown input format: %s", format.c_str()));
  Maps.ForcedInputFormat = in;
}

void TCustomFFmpeg::SetOutputFormat(const std::string& value) {
  if (value.empty()) return;
  std::string format = value;
  if (format == "pgmyuv") {
    format = "image2";
    Counters.PgmyuvCompat = true;
    Log(1, "pgmyuv format is deprecated, use image2");
  }
  const AVOutputFormat* out = av.av_guess_format(format.c_str(), nullptr, nullptr);
  if (!out) throw FFmpegException(StrFormat("Unknown output format: %s", format.c_str()));
  Maps.ForcedOutputFormat = out;
}

void TCustomFFmpeg::AddStreamMap(const std::string& value) {
  if (Maps.StreamMaps.size() >= MAX_STREAM_MAPS)
    throw FFmpegException(StrFormat("Too many stream maps (at most %d)", MAX_STREAM_MAPS));
  TStreamMap map;
  size_t pos = 0;
  map.FileIndex = static_cast<int>(ReadBasedNumber(value, pos));
  if (pos < value.size()) ++pos;
  map.StreamIndex = static_cast<int>(ReadBasedNumber(value, pos));
  if (pos < value.size()) {
    ++pos;
    map.SyncFileIndex = static_cast<int>(ReadBasedNumber(value, pos));
    if (pos < value.size()) ++pos;
    map.SyncStreamIndex = static_cast<int>(ReadBasedNumber(value, pos));
  } else {
    map.SyncFileIndex = map.FileIndex;
    map.SyncStreamIndex = map.StreamIndex;
  }
  Maps.StreamMaps.push_back(map);
}

void TCustomFFmpeg::AddMetaDataMap(const std::string& value) {
  if (Maps.MetaDataMaps.size() >= MAX_META_DATA_MAPS)
    throw FFmpegException(
        StrFormat("Too many metadata maps (at most %d)", MAX_META_DATA_MAPS));
  TMetaDataMap map;
  size_t pos = 0;
  map.OutFile = static_cast<int>(ReadBasedNumber(value, pos));
  if (pos < value.size()) ++pos;
  map.InFile = static_cast<int>(ReadBasedNumber(value, pos));
  Maps.MetaDataMaps.push_back(map);
}

void TCustomFFmpeg::SetTimeScale(const std::string& value) {
  size_t pos = 0;
  long stream = ReadBasedNumber(value, pos);
  if (pos < value.size()) ++pos;
  double scale = 0;
  const char* first = value.c_str() + pos;
  ParseFloatPrefix(first, value.c_str() + value.size(), scale);
  if (stream < 0 || stream >= MAX_STREAMS)
    throw FFmpegException(StrFormat("stream index over MAX_STREAMS(%d)", MAX_STREAMS));
  if (Input.FileCount >= MAX_FILES)
    throw FFmpegException(StrFormat("Too many input files (at most %d)", MAX_FILES));
  if (Input.TSScales.size() <= static_cast<size_t>(Input.FileCount))
    Input.TSScales.resize(static_cast<size_t>(Input.FileCount) + 1);
  Input.TSScales[static_cast<size_t>(Input.FileCount)][static_cast<size_t>(stream)] = scale;
}

void TCustomFFmpeg::SetBitRate(const std::string& name, const std::string& value) {
  if (value.empty()) return;
  if (!SetGenericOption(name, value) || !OnLog) return;
  AVCodecContext* ctx = OptionContexts.Codec[name == "ab" ? AVMEDIA_TYPE_AUDIO
                                                          : AVMEDIA_TYPE_VIDEO].get();
  int64_t bitRate = 0;
  if (ctx && av.av_opt_get_int(ctx, "b", 0, &bitRate) >= 0 && bitRate < 1000)
    Log(1,
        "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, "
        "not kbits/s");
}

void TCustomFFmpeg::SetFrameRate(const std::string& value) {
  if (value.empty()) return;
  AVRational rate;
  if (av.av_parse_video_rate(&rate, value.c_str()) < 0)
    throw FFmpegException("Incorrect frame rate");
  Video.FrameRate = rate;
}

void TCustomFFmpeg::SetFrameSize(const std::string& value) {
  if (value.empty()) return;
  int width = 0, height = 0;
  if (av.av_parse_video_size(&width, &height, value.c_str()) < 0)
    throw FFmpegException("Incorrect frame size");
  if ((width % 2) != 0 || (height % 2) != 0)
    throw FFmpegException("Frame size must be a multiple of 2");
  Video.FrameWidth = width;
  Video.FrameHeight = height;
}

void TCustomFFmpeg::SetFrameAspectRatio(const std::string& value) {
  if (value.empty()) return;
  double ratio = 0;
  size_t colon = value.find(':');
  if (colon != std::string::npos) {
    auto part = [](const std::string& text) {
      try {
        return StrToInt(text);
      } catch (const EConvertError&) {
        return 0;
      }
    };
    int x = part(value.substr(0, colon)), y = part(value.substr(colon + 1));
    ratio = y > 0 ? static_cast<double>(x) / y : 0;
  } else {
    try {
      ratio = StrToFloat(value);
    } catch (const EConvertError&) {
      ratio = 0;
    }
  }
  // A negative or infinite ratio is as unusable as 0.
  if (!(ratio > 0) || !std::isfinite(ratio))
    throw FFmpegException("Incorrect aspect ratio specification.");
  Video.FrameAspectRatio = static_cast<float>(ratio);
}

void TCustomFFmpeg::SetCrop(int& field, int value, int& dimension, const char* side,
                            bool vertical) {
  if (value < 0) return;
  if (value % 2 != 0)
    throw FFmpegException(StrFormat("%s crop size must be a multiple of 2", side));
  if (value >= dimension)
    throw FFmpegException(
        StrFormat("%s crop dimensions are outside the range of the original image.\n"
                  "Remember to crop first and scale second.",
                  vertical ? "Vertical" : "Horizontal"));
  field = value;
  dimension -= value;
}

void TCustomFFmpeg::SetCropTop(int value) {
  SetCrop(Video.CropTop, value, Video.FrameHeight, "Top", true);
}
void TCustomFFmpeg::SetCropBottom(int value) {
  SetCrop(Video.CropBottom, value, Video.FrameHeight, "Bottom", true);
}
void TCustomFFmpeg::SetCropLeft(int value) {
  SetCrop(Video.CropLeft, value, Video.FrameWidth, "Left", false);
}
void TCustomFFmpeg::SetCropRight(int value) {
  SetCrop(Video.CropRight, value, Video.FrameWidth, "Right", false);
}

void TCustomFFmpeg::SetPad(int& field, int value, const char* side) {
  if (value < 0) return;
  if (value % 2 != 0)
    throw FFmpegException(StrFormat("%s pad size must be a multiple of 2", side));
  field = value;
}

void TCustomFFmpeg::SetPadTop(int value) { SetPad(Video.PadTop, value, "Top"); }
void TCustomFFmpeg::SetPadBottom(int value) { SetPad(Video.PadBottom, value, "Bottom"); }
void TCustomFFmpeg::SetPadLeft(int value) { SetPad(Video.PadLeft, value, "Left"); }
void TCustomFFmpeg::SetPadRight(int value) { SetPad(Video.PadRight, value, "Right"); }

void TCustomFFmpeg::SetPadColor(int rgb) { ColorToYUV(rgb, Video.PadColor); }

void TCustomFFmpeg::SetAudioRate(int rate) {
  if (rate > 0) Audio.SampleRate = rate;
}

void TCustomFFmpeg::SetAudioChannels(int channels) {
  if (channels > 0) Audio.Channels = channels;
}

void TCustomFFmpeg::SetVideoFilters(const std::string& value) {
  if (!value.empty()) Video.Filters = value;
}

void TCustomFFmpeg::SetCodecName(std::string& name, int& copyFlag, const std::string& value) {
  if (value.empty()) return;
  name.clear();
  if (value == "copy")
    copyFlag = 1;
  else
    name = value;
}

void TCustomFFmpeg::SetVideoCodec(const std::string& value) {
  SetCodecName(Video.CodecName, StreamCopy.Video, value);
}
void TCustomFFmpeg::SetAudioCodec(const std::string& value) {
  SetCodecName(Audio.CodecName, StreamCopy.Audio, value);
}
void TCustomFFmpeg::SetSubtitleCodec(const std::string& value) {
  SetCodecName(Subtitle.CodecName, StreamCopy.Subtitle, value);
}

namespace {
int FourCC(const std::string& value, const char* what) {
  if (value.size() != 4)
    throw EAssertionFailed(StrFormat("%s tag parameter must be 4 chars", what));
  const auto* c = reinterpret_cast<const unsigned char*>(value.data());
  return static_cast<int>(c[0] | (c[1] << 8) | (c[2] << 16) | (static_cast<unsigned>(c[3]) << 24));
}
}  // namespace

void TCustomFFmpeg::SetVideoTag(const std::string& value) {
  if (!value.empty()) Video.CodecTag = FourCC(value, "video");
}
void TCustomFFmpeg::SetAudioTag(const std::string& value) {
  if (!value.empty()) Audio.CodecTag = FourCC(value, "audio");
}

void TCustomFFmpeg::SetMatrix(std::unique_ptr<std::array<uint16_t, 64>>& matrix,
                              const std::string& value) {
  if (!matrix) matrix = std::make_unique<std::array<uint16_t, 64>>();
  matrix->fill(0);
  const char* p = value.c_str();
  for (int i = 0; i < 64; ++i) {
    (*matrix)[i] = static_cast<uint16_t>(std::strtol(p, nullptr, 10));
    if (i == 63) break;
    p = std::strchr(p, ',');
    if (!p)
      throw FFmpegException(
          StrFormat("Syntax error in matrix \"%s\" at coeff %d", value.c_str(), i));
    ++p;
  }
}

void TCustomFFmpeg::ListFormats(bool pixel) {
  if (!OnLog) return;
  char line[256];
  const int count = pixel ? static_cast<int>(AV_PIX_FMT_NB) : static_cast<int>(AV_SAMPLE_FMT_NB);
  for (int i = -1; i < count; ++i) {
    if (pixel) {
      if (i >= 0 && !av.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(i))) continue;
      av.av_get_pix_fmt_string(line, sizeof(line), static_cast<AVPixelFormat>(i));
    } else {
      av.av_get_sample_fmt_string(line, sizeof(line), static_cast<AVSampleFormat>(i));
    }
    Log(1, Trim(line));
  }
}

void TCustomFFmpeg::SetVStats(bool fromValue, const std::string& value) {
  if (fromValue) {
    Sync.VStatsFileName = value;
    return;
  }
  std::time_t now = std::time(nullptr);
  std::tm local;
  localtime_r(&now, &local);
  char stamp[16];
  std::strftime(stamp, sizeof(stamp), "%H%M%S", &local);
  Sync.VStatsFileName = StrFormat("%svstats_%s.log", ExecutableDir().c_str(), stamp);
}

void TCustomFFmpeg::SetVHook(const std::string& value) {
  AddFrameHook(value);
  Counters.UsingVHook = true;
}

void TCustomFFmpeg::AddBitstreamFilter(const std::string& name, const std::string& value) {
  if (value.empty() || value[0] == '=') return;
  const std::string filterName = value.substr(0, value.find('='));
  const AVBitStreamFilter* filter = av.av_bsf_get_by_name(filterName.c_str());
  if (!filter)
    throw FFmpegException(StrFormat("Unknown bitstream filter %s", Trim(value).c_str()));
  TBitstreamFilterChain& chain = name[0] == 'v'   ? BitstreamFilters.Video
                                 : name[0] == 'a' ? BitstreamFilters.Audio
                                                  : BitstreamFilters.Subtitle;
  chain.push_back(filter);
}

// ---- Generic fallback -------------------------------------------------------

bool TCustomFFmpeg::SetGenericOption(const std::string& rawName, const std::string& rawValue) {
  const std::string name = Trim(rawName), value = Trim(rawValue);
  if (name.empty() || value.empty()) return false;
  AVCodecContext* video = OptionContexts.Codec[AVMEDIA_TYPE_VIDEO].get();
  if (!video) return false;  // no option contexts before Reset

  static const int Masks[OPTION_CONTEXT_COUNT] = {AV_OPT_FLAG_VIDEO_PARAM,
                                                  AV_OPT_FLAG_AUDIO_PARAM, 0,
                                                  AV_OPT_FLAG_SUBTITLE_PARAM, 0};
  bool found = false;
  int result = 0;
  std::string setName = name;  // the library's name of the option that took the value
  for (int type = 0; type < OPTION_CONTEXT_COUNT; ++type) {
    if (!av.av_opt_find(video, name.c_str(), nullptr, Masks[type], 0)) continue;
    found = true;
    result = av.av_opt_set(OptionContexts.Codec[type].get(), name.c_str(), value.c_str(), 0);
    if (result < 0) break;
  }
  auto trySet = [&](void* ctx, const std::string& optionName) {
    if (found || !ctx) return;
    result = av.av_opt_set(ctx, optionName.c_str(), value.c_str(), 0);
    found = result != AVERROR_OPTION_NOT_FOUND;
    if (found) setName = optionName;
  };
  trySet(OptionContexts.Format.get(), name);
  trySet(OptionContexts.Scaler.get(), name);
  if (!found && name.size() > 1) {
    const int prefixed = name[0] == 'a'   ? AVMEDIA_TYPE_AUDIO
                         : name[0] == 'v' ? AVMEDIA_TYPE_VIDEO
                         : name[0] == 's' ? AVMEDIA_TYPE_SUBTITLE
                                          : -1;
    if (prefixed >= 0) trySet(OptionContexts.Codec[prefixed].get(), name.substr(1));
  }
  if (!found) {
    auto& candidates = OptionContexts.MuxerCandidates;
    auto known = std::find_if(candidates.begin(), candidates.end(),
                              [&](const auto& pair) { return pair.first == name; });
    if (known != candidates.end())
      known->second = value;
    else
      candidates.emplace_back(name, value);
    return false;
  }
  if (result < 0) {
    av.av_log(nullptr, AV_LOG_PANIC, "Invalid value \"%s\" for option \"%s\"\n", value.c_str(),
              name.c_str());
    return false;
  }
  std::vector<std::string>& names = OptionContexts.Names;
  if (std::find(names.begin(), names.end(), setName) == names.end()) names.push_back(setName);

  int64_t debug = 0;
  bool debugOn = (av.av_opt_get_int(video, "debug", 0, &debug) >= 0 && debug != 0);
  if (!debugOn && OptionContexts.Format &&
      av.av_opt_get_int(OptionContexts.Format.get(), "fdebug", 0, &debug) >= 0 && debug != 0)
    debugOn = true;
  if (debugOn) {
    if (OptionContexts.SetLogLevel)
      OptionContexts.SetLogLevel(2);
    else
      av.av_log_set_level(2);
  }
  return true;
}
