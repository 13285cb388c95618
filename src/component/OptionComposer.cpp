// Composition rules of the output options dialog.
#include "OptionComposer.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include "EditNumber.h"
#include "SampleRange.h"
#include "Text.h"

namespace {

// ---- Text helpers ----------------------------------------------------------------

template <size_t N>
int ValidIndex(const std::array<const char*, N>& items, int index, int fallback = 0) {
  (void)items;
  return index >= 0 && index < static_cast<int>(N) ? index : fallback;
}

// Edits are read with the blanks around their text ignored: the settings
// dialog hands over bit rates such as "128 ".
int IntOr(const std::string& text, int fallback) {
  int value = fallback;
  return ReadNumber(text, value) ? value : fallback;
}

double RealOr(const std::string& text, double fallback) {
  double value = fallback;
  return ReadNumber(text, value) ? value : fallback;
}

std::string RealText(double value) {
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof(buf), value);
  return std::string(buf, result.ptr);
}

// A kbit/s edit in bit/s; a value whose bit rate does not fit the record
// counts as unreadable.
int BitsPerSecond(const std::string& kilobits, int fallback) {
  const int64_t bits = static_cast<int64_t>(IntOr(kilobits, fallback)) * 1000;
  if (bits > INT_MAX || bits < INT_MIN) return fallback * 1000;
  return static_cast<int>(bits);
}

int ClampToInt(int64_t value) {
  return static_cast<int>(std::clamp<int64_t>(value, INT_MIN, INT_MAX));
}

// Rounded toward zero to an even number, as the picture's chroma planes need.
int EvenTowardZero(int value) { return value - value % 2; }

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// ---- Output naming -----------------------------------------------------------------



// A source's folder below an added folder, as a relative path that stays
// below the output folder: empty, "." and ".." parts are dropped.
std::string SafeRelativeFolder(const std::string& folder) {
  std::string safe;
  size_t start = 0;
  while (start <= folder.size()) {
    size_t end = folder.find('/', start);
    if (end == std::string::npos) end = folder.size();
    const std::string part = folder.substr(start, end - start);
    if (!part.empty() && part != "." && part != "..") safe += (safe.empty() ? "" : "/") + part;
    start = end + 1;
  }
  return safe;
}

// Whether the output goes below the output folder in the source's own sub-folder.
bool KeepsTree(const TComposerState& state) {
  return state.Output.Folder != SAME_AS_INPUT &&
         !SafeRelativeFolder(state.Source.RelativeFolder).empty();
}

// The output name without "_(new)" and suffix.
std::string OutputBase(const TComposerState& state) {
  const std::string& source = state.Source.FileName;
  std::string folder = state.Output.Folder;
  if (!state.Output.PatternName.empty()) {
    if (folder == SAME_AS_INPUT) {
      const size_t slash = source.rfind('/');
      folder = slash == std::string::npos ? "" : source.substr(0, slash + 1);
    }
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder + state.Output.PatternName;
  }
  if (folder == SAME_AS_INPUT) return WithoutExtension(source);
  const std::string name = WithoutExtension(NameOf(source));
  if (KeepsTree(state)) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    folder += SafeRelativeFolder(state.Source.RelativeFolder) + "/";
  }
  // An empty folder means the current folder; a folder without its trailing
  // delimiter must not be glued to the file name.
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string OutputName(const TComposerState& state, const std::string& suffix) {
  const std::string base = OutputBase(state);
  const size_t slash = base.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : base.substr(0, slash + 1);
  const std::string stem = base.substr(folder.size());
  // The source's name is cut at a character where the whole name would pass
  // the folder's limit: the job would convert it all, then fail to name it.
  const size_t limit = FileNameLimit(folder.empty() ? "." : folder);
  // A pattern's name keeps room for " (2)" .. " (9)" whether it takes one or
  // not, so the copies of one name share its cut.
  const bool numbered = !state.Output.PatternName.empty();
  const auto named = [&](const std::string& tag) {
    const size_t fixed = (numbered ? std::max<size_t>(tag.size(), 4) : tag.size()) + suffix.size();
    return folder + CutUtf8(stem, limit > fixed ? limit - fixed : 0) + tag + suffix;
  };
  const auto taken = [&state](const std::string& name) {
    const TOutputControls& o = state.Output;
    if (o.Reserved.count(name) || (o.ReservedByOwner && o.ReservedByOwner->count(name)))
      return true;
    TFileIdentity existing;
    if (!ReadFileIdentity(name, existing)) return false;
    for (const TFileIdentity& source : o.Sources)
      if (source.SameFile(existing)) return true;
    if (o.SourcesOfOwner)
      for (const TFileIdentity& source : *o.SourcesOfOwner)
        if (source.SameFile(existing)) return true;
    // A FIFO, device, socket or folder is no earlier output: writing through
    // it could block the job, replacing it would lose it.
    struct stat st;
    if (stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return true;
    return !state.Output.Overwrite && !(o.MayReplace && o.MayReplace(name));
  };
  if ((state.Output.PlainName || numbered) && !taken(named(""))) return named("");
  if (numbered) {
    std::string name = named(" (2)");
    for (int64_t n = 3; taken(name); ++n) name = named(" (" + std::to_string(n) + ")");
    return name;
  }
  std::string name = named("_(new)");
  for (int64_t n = 1; taken(name); ++n) name = named("_(new_" + std::to_string(n) + ")");
  return name;
}

// ---- External hook lines -------------------------------------------------------------

// Free text must stay one argument of one line: line breaks and "|" (the
// engine's other argument separator) become blanks.
std::string HookText(const std::string& text) {
  std::string t = text;
  for (char& c : t)
    if (c == '|' || c == '\r' || c == '\n' || c == '\t') c = ' ';
  t = Trim(t);
  return t.empty() ? DEFAULT_HOOK_TEXT : t;
}

// One "vhook=" line. The engine splits the value at "|" when it holds one,
// else at blanks, so "|" separates whenever an argument contains a blank.
std::string HookLine(const std::vector<std::string>& parts) {
  bool blank = false;
  for (const std::string& part : parts) blank = blank || part.find(' ') != std::string::npos;
  std::string line = "vhook=";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) line += blank ? "|" : " ";
    line += parts[i];
  }
  return line + "\r\n";
}

uint32_t LittleEndian(const unsigned char* p, int bytes) {
  uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

// Width and height from a BMP file's header; false when it is not one.
bool BitmapSize(const std::string& path, int& width, int& height) {
  std::ifstream file(path, std::ios::binary);
  unsigned char header[26];
  if (!file.read(reinterpret_cast<char*>(header), sizeof(header))) return false;
  if (header[0] != 'B' || header[1] != 'M') return false;
  const uint32_t infoSize = LittleEndian(header + 14, 4);
  int64_t w, h;
  if (infoSize == 12) {
    w = LittleEndian(header + 18, 2);
    h = LittleEndian(header + 20, 2);
  } else if (infoSize >= 40) {
    w = static_cast<int32_t>(LittleEndian(header + 18, 4));
    h = std::llabs(static_cast<int32_t>(LittleEndian(header + 22, 4)));  // < 0: top-down rows
  } else {
    return false;
  }
  if (w <= 0 || h <= 0 || w > INT_MAX || h > INT_MAX) return false;
  width = static_cast<int>(w);
  height = static_cast<int>(h);
  return true;
}

// The "vhook=" lines of the ticked boxes that are enabled.
std::string HookLines(const TComposerState& state, const THookEnabled& enabled) {
  const THookControls& hooks = state.Hooks;
  if (!hooks.External) return "";
  const std::string p = HookFolder(hooks);
  std::string lines;
  if (hooks.Imlib2Img && enabled.Imlib2Img) {
    const bool dancing = hooks.ImgDancing;
    lines += HookLine({p + "imlib2.so", "-i", p + "imlib2.jpg", "-x",
                       dancing ? "(W-w)*(0.5+0.5*sin(N/47*PI))" : "W-w", "-y",
                       dancing ? "(H-h)*(0.5+0.5*cos(N/97*PI))" : "H-h"});
  }
  if (hooks.Imlib2Txt && enabled.Imlib2Txt) {
    lines += HookLine({p + "imlib2.so", "-R", "255", "-G", "255", "-B", "255", "-F",
                       "Tahoma.ttf/16", "-t", HookText(hooks.Imlib2Text), "-x", "10", "-y",
                       hooks.TxtScrolling ? "(H-25)*(0.5+0.50*cos(N/97*PI))" : "10"});
  }
  if (hooks.WaterMark && enabled.WaterMark) {
    lines += HookLine(
        {p + "watermark.so", "-f", p + "watermark.gif", "-m", hooks.WaterMarkMode ? "1" : "0"});
  }
  if (hooks.PaintHookImg && enabled.PaintHookImg) {
    int pictureWidth = 64, pictureHeight = 64;
    BitmapSize(p + "PaintHook.bmp", pictureWidth, pictureHeight);
    // Without a video stream no picture is ever hooked; the corner is as good as any.
    const int64_t x =
        state.Source.HasVideo ? int64_t{state.Source.VideoWidth} - pictureWidth - 10 : 0;
    const int64_t y =
        state.Source.HasVideo ? int64_t{state.Source.VideoHeight} - pictureHeight - 10 : 0;
    lines += HookLine({p + "PaintHook.so", "-i", p + "PaintHook.bmp", "-mc", "FFFFFF", "-ix",
                       std::to_string(x), "-iy", std::to_string(y)});
  }
  if (hooks.PaintHookTxt && enabled.PaintHookTxt) {
    lines += HookLine({p + "PaintHook.so", "-t", HookText(hooks.PaintHookText), "-tx", "10", "-ty",
                       "10", "-fc", "FFFFFF", "-fn", "Tahoma", "-fs", "16", "-fst", "BU"});
  }
  return lines;
}

// ---- Video filters ---------------------------------------------------------------------

std::string FilterChain(const TFilterControls& filters) {
  std::vector<std::string> chain;
  if (filters.VertFlip) chain.push_back("vflip");
  if (filters.HoriFlip) chain.push_back("hflip");
  if (filters.Negate) chain.push_back("negate");
  if (filters.Scale.Checked && !Trim(filters.Scale.Text).empty())
    chain.push_back("scale=" + Trim(filters.Scale.Text));
  // The edit holds degrees; the rotate filter takes its angle in radians.
  if (filters.Rotate.Checked)
    chain.push_back("rotate=" + RealText(RealOr(filters.Rotate.Text, 45)) + "*PI/180");
  if (filters.SetPTS.Checked && !Trim(filters.SetPTS.Text).empty())
    chain.push_back("setpts=" + Trim(filters.SetPTS.Text));
  std::string text;
  for (const std::string& filter : chain) text += (text.empty() ? "" : ",") + filter;
  return text;
}

// ---- Format presets ----------------------------------------------------------------------

// Settings a container needs, by the format's extension; they replace what
// the other controls chose. The AAC encoder is the library's own "aac".
void ApplyFormatPreset(const std::string& ext, int norm, TOutputOptions& o, std::string& suffix) {
  if (ext == ".flv" || ext == ".swf") {
    const int rate = o.AudioSampleRate;
    if (rate != 11025 && rate != 22050 && rate != 44100) o.AudioSampleRate = 22050;
  } else if (ext == ".ogg") {
    o.VideoCodec = "libtheora";
    o.AudioCodec = "flac";
  } else if (ext == ".psp") {
    o.FileFormat = "psp";
    o.VideoCodec = "mpeg4";
    o.AudioCodec = "aac";
    o.AudioSampleRate = 24000;
    o.FrameRate = "15000/1001";
    suffix = "_psp.mp4";
  } else if (ext == ".ipod") {
    o.VideoCodec = "mpeg4";
    o.AudioCodec = "aac";
    o.FrameSize = "320x240";
    suffix = "_ipod.mp4";
  } else if (ext == ".rm10") {
    o.VideoCodec = "rv10";
    suffix = "_rv10.rm";
  } else if (ext == ".rm20") {
    o.VideoCodec = "rv20";
    suffix = "_rv20.rm";
  } else if (ext == ".wmv") {
    o.VideoCodec = "wmv2";
    o.AudioCodec = "wmav2";
  } else if (ext == ".mkv") {
    o.VideoCodec = "libx264";
  } else if (ext == ".wma") {
    o.DisableVideo = true;
    o.AudioCodec = "wmav2";
  } else if (ext == ".opus") {
    o.AudioCodec = "libopus";
    if (o.AudioBitrate <= 0) o.AudioBitrate = 128000;
  } else if (ext == ".vorbis") {
    // Without a bit rate the encoder's own quality scale (about 112 kbit/s).
    o.AudioCodec = "libvorbis";
    o.FileFormat = "ogg";
    suffix = ".ogg";
  } else if (ext == ".flac") {
    o.AudioCodec = "flac";
  } else if (ext == ".m4a") {
    o.AudioCodec = "aac";
    o.FileFormat = "ipod";
  } else if (ext == ".3gp") {
    // The container's own default (AMR-NB) has no encoder in these libraries;
    // AAC is the one it takes that they have.
    o.AudioCodec = "aac";
    o.AudioChannels = 1;
    o.AudioSampleRate = 8000;
    o.AudioBitrate = 7400;
    o.FrameSize = "128x96";
  } else if (ext == ".vcd" || ext == ".svcd" || ext == ".dvd") {
    o.Target = ext == ".vcd" ? tkVCD : ext == ".svcd" ? tkSVCD : tkDVD;
    o.Norm = ValidIndex(NormItems, norm);
    o.DefaultNorm = tnPAL;
    const char* normSuffix = o.Norm == tnPAL    ? "_pal.mpg"
                             : o.Norm == tnNTSC ? "_ntsc.mpg"
                                                : "_auto.mpg";
    suffix = "_" + ext.substr(1) + normSuffix;
  }
}

void ReadEdges(const TEdgeControls& edges, int& top, int& bottom, int& left, int& right) {
  top = EvenTowardZero(IntOr(edges.Top, 0));
  bottom = EvenTowardZero(IntOr(edges.Bottom, 0));
  left = EvenTowardZero(IntOr(edges.Left, 0));
  right = EvenTowardZero(IntOr(edges.Right, 0));
}

std::string FormatExtension(const TComposerState& state) {
  return "." +
         LowerCase(FormatItems[ValidIndex(FormatItems, state.Output.Format, DEFAULT_FORMAT_INDEX)]);
}

void UpdateCutClipEnabled(TClipControls& clip) {
  clip.Enabled = clip.Bar.SelEnd >= 1 && clip.Bar.SelStart < clip.Bar.SelEnd;
}

}  // namespace

// ---- Driving the controls ------------------------------------------------------------------

int ItemIndex(const char* const* items, size_t count, const std::string& text) {
  const std::string wanted = LowerCase(text);
  for (size_t i = 0; i < count; ++i)
    if (LowerCase(items[i]) == wanted) return static_cast<int>(i);
  return -1;
}

bool SelectFormat(TComposerState& state, const std::string& item) {
  const int index = ItemIndex(FormatItems, item);
  if (index < 0) return false;
  state.Output.Format = index;
  return true;
}

void ApplyAudioSettings(TComposerState& state, int channels, int sampleRate,
                        const std::string& bitRate) {
  state.Audio.Channels = ValidIndex(AudioChannelItems, channels);
  state.Audio.SampleRate = ValidIndex(SampleRateItems, sampleRate);
  state.Audio.BitRate.Text = bitRate;
}

void LoadSource(TComposerState& state, const TSourceFacts& source) {
  state.Source = source;
  TClipControls& clip = state.Clip;
  clip = TClipControls();
  TTimeBar& bar = clip.Bar;
  // A still image has no time to cut.
  bar.HasSlider = source.FormatName != "image2";
  if (!bar.HasSlider) return;
  while (source.Duration / bar.Step > 32767) bar.Step *= 10;
  bar.Max = static_cast<int>(std::max<int64_t>(0, source.Duration / bar.Step));
  bar.LineSize = bar.Max > 10000 ? 1000 : bar.Max > 1000 ? 100 : bar.Max > 100 ? 10 : 1;
  bar.PageSize = 5 * bar.LineSize;
}

void SetTimeBarPosition(TClipControls& clip, int position) {
  clip.Bar.Position = std::clamp(position, 0, clip.Bar.Max);
}

int TimeBarPositionAt(const TTimeBar& bar, double seconds) {
  if (!std::isfinite(seconds) || seconds <= 0) return 0;
  const double position = std::round(seconds * 1e6 / static_cast<double>(bar.Step));
  return position >= bar.Max ? bar.Max : static_cast<int>(position);
}

void SetClipStart(TClipControls& clip) {
  clip.Bar.SelStart = clip.Bar.Position;
  clip.StartText = TimeText(clip.Bar.Position * clip.Bar.Step);
  UpdateCutClipEnabled(clip);
}

void SetClipEnd(TClipControls& clip) {
  clip.Bar.SelEnd = clip.Bar.Position;
  clip.EndText = TimeText(clip.Bar.Position * clip.Bar.Step);
  UpdateCutClipEnabled(clip);
}

int TickFrequency(const TTimeBar& bar, int widthPixels) {
  const int ticks = std::max(1, (widthPixels - 12) / 10);
  return std::max(1, bar.Max / ticks);
}

std::string TimeText(int64_t microseconds) {
  return StrFormat("%lld.%.3lld", static_cast<long long>(microseconds / 1000000),
                   static_cast<long long>((microseconds / 1000) % 1000));
}

bool ClipRange(const TComposerState& state, TClipRange& range) {
  const TClipControls& clip = state.Clip;
  if (clip.Exact) {
    if (clip.EndMs <= clip.StartMs) return false;
    range.Start = ClampToInt(clip.StartMs);
    range.End = ClampToInt(clip.EndMs);
    return true;
  }
  const TTimeBar& bar = clip.Bar;
  if (!clip.Enabled || !clip.Checked || bar.SelEnd <= 0 || bar.SelStart >= bar.SelEnd) return false;
  int64_t start = bar.SelStart * bar.Step / 1000;
  int64_t end = bar.SelEnd * bar.Step / 1000;
  const int64_t duration = state.Source.Duration / 1000;
  if (start < 0 || start >= duration) start = 0;
  if (start >= end || end > duration) end = duration;
  if (end <= start) return false;  // no known duration to cut from
  range.Start = ClampToInt(start);
  range.End = ClampToInt(end);
  return true;
}

bool SetClipSeconds(TComposerState& state, double start, double end, std::string& why) {
  const double duration = static_cast<double>(state.Source.Duration) / 1e6;
  if (state.Source.Duration <= 0) {
    why = "cannot cut a clip: the file's duration is unknown";
    return false;
  }
  start = std::max(0.0, start);
  end = end < 0 ? duration : std::min(end, duration);
  if (start >= duration) {
    why = StrFormat("cannot cut a clip: the start %.3f s lies at or after the end (%.3f s)", start,
                    duration);
    return false;
  }
  const auto startMs = static_cast<int64_t>(start * 1000 + 0.5);
  const auto endMs = static_cast<int64_t>(end * 1000 + 0.5);
  if (endMs <= startMs) {
    why = "cannot cut a clip: it ends before it starts";
    return false;
  }
  TClipControls& clip = state.Clip;
  clip.Enabled = clip.Checked = clip.Exact = true;
  clip.StartMs = startMs;
  clip.EndMs = endMs;
  clip.StartText = TimeText(startMs * 1000);
  clip.EndText = TimeText(endMs * 1000);
  return true;
}

std::string HookFolder(const THookControls& hooks) {
  if (hooks.Folder.empty()) return ExecutableDir() + "vhook/";
  return hooks.Folder.back() == '/' ? hooks.Folder : hooks.Folder + "/";
}

THookEnabled HookControlsEnabled(const THookControls& hooks) {
  THookEnabled enabled;
  if (!hooks.External) return enabled;
  // Each box needs its library in the hook folder; the system's loader finds
  // what those libraries depend on.
  const std::string folder = HookFolder(hooks);
  const bool imlib2 = Exists(folder + "imlib2.so");
  const bool waterMark = Exists(folder + "watermark.so");
  const bool paintHook = Exists(folder + "PaintHook.so");
  enabled.Imlib2Img = enabled.Imlib2Txt = imlib2;
  enabled.WaterMark = waterMark;
  enabled.PaintHookImg = enabled.PaintHookTxt = paintHook;
  enabled.Behavior = (hooks.Imlib2Img && imlib2) || (hooks.Imlib2Txt && imlib2) ||
                     (hooks.WaterMark && waterMark) || (hooks.PaintHookImg && paintHook) ||
                     (hooks.PaintHookTxt && paintHook);
  return enabled;
}

// ---- Composing -----------------------------------------------------------------------------

void ComposeOutput(const TComposerState& state, TOutputOptions& o) {
  o = TOutputOptions();
  const std::string ext = FormatExtension(state);
  std::string suffix = ext;

  const int channels = ValidIndex(AudioChannelItems, state.Audio.Channels);
  if (channels > 0) o.AudioChannels = channels;  // 1 mono, 2 stereo
  const int rate = ValidIndex(SampleRateItems, state.Audio.SampleRate);
  if (rate > 0) o.AudioSampleRate = IntOr(SampleRateItems[rate], 22050);
  if (state.Audio.Volume.Checked) o.AudioVolume = IntOr(state.Audio.Volume.Text, -1);

  const int size = ValidIndex(FrameSizeItems, state.Video.FrameSize);
  if (size > 0) {
    const std::string item = FrameSizeItems[size];
    o.FrameSize = item.substr(0, item.find(' '));
  }
  const int frameRate = ValidIndex(FrameRateItems, state.Video.FrameRate);
  if (frameRate > 0) o.FrameRate = FrameRateItems[frameRate];
  const int aspect = ValidIndex(AspectRatioItems, state.Video.AspectRatio);
  if (aspect > 0) o.FrameAspectRatio = AspectRatioItems[aspect];

  if (state.Video.BitRate.Checked) o.VideoBitrate = BitsPerSecond(state.Video.BitRate.Text, 200);
  if (state.Audio.BitRate.Checked) o.AudioBitrate = BitsPerSecond(state.Audio.BitRate.Text, 64);

  switch (ValidIndex(VideoCodecItems, state.Video.Codec)) {
    case 1:  // DivX
      o.VideoCodec = "mpeg4";
      o.VideoTag = "DIVX";
      break;
    case 2:
      o.VideoCodec = "libxvid";
      break;
    case 3:
      o.VideoCodec = "libx264";
      break;
  }
  switch (ValidIndex(AudioCodecItems, state.Audio.Codec)) {
    case 1:
      o.AudioCodec = "aac";
      break;
    case 2:
      o.AudioCodec = "ac3";
      break;
    case 3:
      o.AudioCodec = "flac";
      break;
    case 4:
      o.AudioCodec = "libmp3lame";
      break;
  }

  TClipRange clip;
  if (ClipRange(state, clip)) o.RecordingTime = clip.End - clip.Start;

  // The hook folder is looked into once per record.
  const THookControls& hooks = state.Hooks;
  const THookEnabled enabled = HookControlsEnabled(hooks);
  o.ExtOptions = HookLines(state, enabled);
  o.BeforeHook = enabled.Behavior && hooks.Behavior == hbBeforeHook;
  if (enabled.Behavior && hooks.Behavior == hbPTSs) o.PTSs = hooks.PTSs;
  o.CustomHook = !hooks.External;
  o.CopyTimestamp = state.Output.CopyTimestamp;

  o.VideoFilters = FilterChain(state.Filters);
  ApplyFormatPreset(ext, state.Output.Norm, o, suffix);
  o.Timestamp = 0;  // stamped with the time the output is set up

  if (state.Crop.Checked) ReadEdges(state.Crop, o.CropTop, o.CropBottom, o.CropLeft, o.CropRight);
  if (state.Pad.Checked) {
    ReadEdges(state.Pad, o.PadTop, o.PadBottom, o.PadLeft, o.PadRight);
    o.PadColor = 0;
  }

  o.FileExt = suffix;
  o.FileName = OutputName(state, suffix);
  o.Overwrite = state.Output.Overwrite ||
                (state.Output.MayReplace && Exists(o.FileName) && state.Output.MayReplace(o.FileName));
  o.CreateFolder =
      KeepsTree(state) || state.Output.PatternName.find('/') != std::string::npos;

  const TMusicControls& music = state.Music;
  o.FolderCover = music.FolderCover;
  o.KeepTime = music.KeepTime;
  o.Normalize = music.Normalize;
  const double target = RealOr(music.Target, -16.0);
  o.LoudnessTarget = std::isfinite(target) ? std::clamp(target, -70.0, 0.0) : -16.0;
  o.ReplayGain = music.ReplayGain;
  o.GainAlbum = music.Album;
}

void ComposeInput(const TComposerState& state, TInputOptions& o) {
  o = TInputOptions();
  o.FileName = state.Source.FileName;
  o.FileFormat = state.Source.ForcedFormat;
  TClipRange clip;
  if (ClipRange(state, clip)) o.StartTime = clip.Start;
  // Audio-only containers: leave any video stream (cover art) unread.
  const std::string ext = FormatExtension(state);
  for (const char* audioOnly :
       {".aac", ".ac3", ".mp2", ".mp3", ".wav", ".wma", ".opus", ".vorbis", ".flac", ".m4a"})
    if (ext == audioOnly) o.ExtOptions = "vn=1";
}

void FormatAudioPreset(const std::string& format, std::string& encoder, std::string& container,
                       std::string& suffix) {
  const int index = ItemIndex(FormatItems, format);
  const std::string ext = "." + LowerCase(FormatItems[ValidIndex(FormatItems, index, DEFAULT_FORMAT_INDEX)]);
  TOutputOptions o;
  suffix = ext;
  ApplyFormatPreset(ext, tnAuto, o, suffix);
  encoder = o.AudioCodec;
  container = o.FileFormat;
}

std::string SampleRangeOptionLine(int64_t first, int64_t end) {
  return "sample_range=" + SampleRangeText(first, end);
}

void AddSampleRange(TInputOptions& options, int64_t first, int64_t end) {
  const std::string line = SampleRangeOptionLine(first, end);
  options.ExtOptions += (options.ExtOptions.empty() ? "" : "\r\n") + line;
}
