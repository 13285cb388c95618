// TCustomAVProbe: opening or attaching a file, counting its streams and
// describing it (file info, video stream info, info text, size).
#include "AVProbe.h"

#include <strings.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <vector>

#include "FFmpegLoader.h"
#include "LibAV.h"
#include "ProbeStreams.h"
#include "SourceFile.h"
#include "Text.h"

namespace {

constexpr size_t TAG_BYTES = 511;     // a 512-character field less its terminator
constexpr size_t GENRE_BYTES = 31;    // 32 characters
constexpr size_t LANGUAGE_BYTES = 3;  // 4 characters
constexpr size_t CODEC_NAME_BYTES = 31;

// Cuts UTF-8 text to at most maxBytes without splitting a character.
std::string CutText(const std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t end = maxBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

std::string Tag(const AVDictionary* metadata, const char* key) {
  const AVDictionaryEntry* entry = av.av_dict_get(metadata, key, nullptr, 0);
  return entry && entry->value ? entry->value : "";
}

// The leading number of a tag such as "2009-06-15" or "7/12"; 0 when none.
int32_t TagNumber(const std::string& text) {
  if (text.empty()) return 0;
  long value = std::strtol(text.c_str(), nullptr, 10);
  return value > 0 && value <= INT32_MAX ? static_cast<int32_t>(value) : 0;
}

int32_t ClampToInt32(int64_t value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// "%d.%.6d": whole seconds and the microsecond remainder, sign in front.
std::string SecondsText(int64_t microseconds) {
  const char* sign = microseconds < 0 ? "-" : "";
  uint64_t magnitude = microseconds < 0 ? 0 - static_cast<uint64_t>(microseconds)
                                        : static_cast<uint64_t>(microseconds);
  return StrFormat("%s%" PRIu64 ".%.6" PRIu64, sign, magnitude / 1000000, magnitude % 1000000);
}

// Seconds since 1970 as local "yyyy-mm-dd hh:nn:ss" (with the daylight
// saving time in force at that moment).
std::string LocalTimeText(int64_t seconds) {
  time_t when = static_cast<time_t>(seconds);
  struct tm local;
  if (!localtime_r(&when, &local)) return std::string();
  char text[32];
  if (std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local) == 0) return std::string();
  return text;
}

// True when no demuxer recognises the first bytes of the file: the library
// reports that case with the same code as a broken header.
bool NoFormatRecognises(const std::string& fileName) {
  AVIOContext* pb = nullptr;
  if (av.avio_open2(&pb, fileName.c_str(), AVIO_FLAG_READ, nullptr, nullptr) < 0) return false;
  const AVInputFormat* format = nullptr;
  int score = av.av_probe_input_buffer2(pb, &format, fileName.c_str(), nullptr, 0, 0);
  av.avio_closep(&pb);
  return score < 0 || !format;
}

// The message for a failed open of fileName, by the library's result code.
std::string OpenErrorText(int code, const std::string& fileName, bool formatForced) {
  const char* name = fileName.c_str();
  if (code == AVERROR(EILSEQ)) return StrFormat("%s: Unknown format", name);
  if (code == AVERROR(EDOM))
    return StrFormat(
        "%s: Incorrect image filename syntax.\r\n"
        "Use '%%d' to specify the image number:\r\n"
        "  for img1.jpg, img2.jpg, ..., use 'img%%d.jpg';\r\n"
        "  for img001.jpg, img002.jpg, ..., use 'img%%03d.jpg'.",
        name);
  if (code == AVERROR_INVALIDDATA || code == AVERROR(EINVAL)) {
    if (!formatForced && NoFormatRecognises(fileName)) return StrFormat("%s: Unknown format", name);
    return StrFormat("%s: Error while parsing header", name);
  }
  if (code == AVERROR(ENOMEM)) return StrFormat("%s: memory allocation error occurred", name);
  if (code == AVERROR(EIO))
    return StrFormat(
        "%s: I/O error occurred\r\n"
        "Usually that means that input file is truncated and/or corrupted.",
        name);
  if (code == AVERROR(ENOENT)) return StrFormat("%s: no such file or directory", name);
  return fileName + ": " + AVErrorText(code);
}

// The codec library's one-line description of a stream's codec.
std::string CodecDescription(const AVStream* stream) {
  CodecContextPtr codec(av.avcodec_alloc_context3(nullptr));
  if (!codec || av.avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0)
    return std::string();
  // A channel count without a layout is described by its default layout, as
  // the decoder will take it ("stereo" rather than "2 channels").
  if (codec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC && codec->ch_layout.nb_channels > 0) {
    const int channels = codec->ch_layout.nb_channels;
    av.av_channel_layout_uninit(&codec->ch_layout);
    av.av_channel_layout_default(&codec->ch_layout, channels);
  }
  char text[256] = {0};
  av.avcodec_string(text, sizeof(text), codec.get(), 0);
  return text;
}

}  // namespace

TCustomAVProbe::TCustomAVProbe() = default;

TCustomAVProbe::~TCustomAVProbe() { TCustomAVProbe::Close(); }

void TCustomAVProbe::CheckLibraries() {
  static const struct {
    int Index;
    const char* Message;
  } required[] = {{liAVCodec, "LibAVCodec not loaded."},
                  {liAVFormat, "LibAVFormat not loaded."},
                  {liAVUtil, "LibAVUtil not loaded."},
                  {liSWScale, "LibSwScale not loaded."}};
  for (const auto& library : required)
    if (!FFmpegLoader().LibraryLoaded(library.Index)) throw EAVProbeError(library.Message);
}

void TCustomAVProbe::Log(int level, const std::string& text) {
  if (av.av_log) av.av_log(nullptr, level, "%s", text.c_str());
}

bool TCustomAVProbe::HasFile() {
  if (Context) return true;
  Log(1, "file not loaded.\n");
  return false;
}

bool TCustomAVProbe::IsImage2() const {
  return Context && Context->iformat && Context->iformat->name &&
         strcasecmp(Context->iformat->name, "image2") == 0;
}

bool TCustomAVProbe::Open(const std::string& fileName, const std::string& formatName) {
  CheckLibraries();
  Close();
  const AVInputFormat* format = nullptr;
  if (!formatName.empty()) {
    format = av.av_find_input_format(formatName.c_str());
    if (!format) {
      LastErrorText = StrFormat("Unknown input format: %s", formatName.c_str());
      return false;
    }
  }
  // Reading a FIFO or a device to probe it blocks or never ends.
  LastErrorText = SourceFileProblem(fileName);
  if (!LastErrorText.empty()) return false;
  AVFormatContext* context = av.avformat_alloc_context();
  if (!context) {
    LastErrorText = OpenErrorText(AVERROR(ENOMEM), fileName, format != nullptr);
    return false;
  }
  // A guard per file: the file's byte stream keeps calling the one it
  // opened with, also after HandOver.
  Guard = std::make_unique<TInputGuard>();
  Guard->SetAbortFlags(nullptr, AbortFlag);
  Guard->Install(context);
  // Read first: a file that changes while it opens is never taken for this one.
  OpenedIdentity = TFileIdentity();
  ReadFileIdentity(fileName, OpenedIdentity);
  // On failure the library frees the context it was given.
  int result = av.avformat_open_input(&context, fileName.c_str(), format, nullptr);
  if (result < 0) {
    LastErrorText = Guard->Reason(fileName);
    if (LastErrorText.empty()) LastErrorText = OpenErrorText(result, fileName, format != nullptr);
    return false;
  }
  OwnedContext.reset(context);
  Context = context;
  LastErrorText = ProbeStreams(Context, *Guard, fileName, true);
  if (!LastErrorText.empty()) {
    Close();
    return false;
  }
  TagsReadAs = RepairInputTags(Context, TagEncoding);
  CountStreams();
  FormatName = formatName;
  return true;
}

void TCustomAVProbe::Attach(AVFormatContext* context) {
  CheckLibraries();
  Close();
  Context = context;
  if (Context) CountStreams();
}

TOpenedInput TCustomAVProbe::HandOver() {
  TOpenedInput input;
  if (OwnedContext && FormatName.empty() && !Moved) {
    input.Name = OwnedContext->url ? OwnedContext->url : "";
    input.Guard = std::move(Guard);
    input.Context = std::move(OwnedContext);
    input.Identity = OpenedIdentity;
    input.Plain = true;
    input.TagEncoding = TagEncoding;
    input.TagsReadAs = TagsReadAs;
  }
  Close();
  return input;
}

void TCustomAVProbe::Close() {
  FormatName.clear();
  Moved = false;
  OwnedContext.reset();
  Context = nullptr;
  Streams = Programs = -1;
  AudioStreams = VideoStreams = SubtitleStreams = -1;
  FirstAudio = FirstVideo = FirstSubtitle = -1;
}

void TCustomAVProbe::CountStreams() {
  Streams = static_cast<int>(Context->nb_streams);
  Programs = static_cast<int>(Context->nb_programs);
  AudioStreams = VideoStreams = SubtitleStreams = 0;
  FirstAudio = FirstVideo = FirstSubtitle = -1;
  for (int i = 0; i < Streams; ++i) {
    switch (Context->streams[i]->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        ++VideoStreams;
        if (FirstVideo < 0) FirstVideo = i;
        break;
      case AVMEDIA_TYPE_AUDIO:
        ++AudioStreams;
        if (FirstAudio < 0) FirstAudio = i;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        ++SubtitleStreams;
        if (FirstSubtitle < 0) FirstSubtitle = i;
        break;
      default:
        break;
    }
  }
}

std::string TCustomAVProbe::GetFileName() {
  if (!HasFile()) return std::string();
  return Context->url ? Context->url : "";
}

int64_t TCustomAVProbe::GetFileSize() {
  if (!HasFile()) return -1;
  if (Context->pb) {
    const int64_t size = av.avio_size(Context->pb);
    if (size > 0) return size;
  }
  // Formats that open their files themselves (image2) have no byte stream.
  std::error_code error;
  const std::filesystem::path path(Context->url ? Context->url : "");
  if (!path.empty() && std::filesystem::is_regular_file(path, error)) {
    const uintmax_t size = std::filesystem::file_size(path, error);
    if (!error) return static_cast<int64_t>(size);
  }
  return 0;
}

TFileInfo TCustomAVProbe::GetFileInfo() {
  TFileInfo info;
  if (!HasFile()) return info;
  info.StartTime = Context->start_time == AV_NOPTS_VALUE ? -1 : Context->start_time;
  info.Duration = Context->duration == AV_NOPTS_VALUE ? -1 : Context->duration;
  info.BitRate = ClampToInt32(Context->bit_rate);
  info.TimeStamp = 0;
  const std::string created = Tag(Context->metadata, "creation_time");
  int64_t createdUs = 0;
  if (!created.empty() && av.av_parse_time(&createdUs, created.c_str(), 0) >= 0)
    info.TimeStamp = createdUs / AV_TIME_BASE;
  info.Title = CutText(Tag(Context->metadata, "title"), TAG_BYTES);
  std::string author = Tag(Context->metadata, "artist");
  if (author.empty()) author = Tag(Context->metadata, "author");
  info.Author = CutText(author, TAG_BYTES);
  info.Copyright = CutText(Tag(Context->metadata, "copyright"), TAG_BYTES);
  info.Comment = CutText(Tag(Context->metadata, "comment"), TAG_BYTES);
  info.Album = CutText(Tag(Context->metadata, "album"), TAG_BYTES);
  std::string year = Tag(Context->metadata, "date");
  if (year.empty()) year = Tag(Context->metadata, "year");
  info.Year = TagNumber(year);
  info.Track = TagNumber(Tag(Context->metadata, "track"));
  info.Genre = CutText(Tag(Context->metadata, "genre"), GENRE_BYTES);
  return info;
}

bool TCustomAVProbe::ResolveVideoStream(int& streamIndex) {
  if (streamIndex == -1) {
    streamIndex = FirstVideo;
    if (streamIndex < 0) {
      Log(0, "no video stream.\n");
      return false;
    }
  }
  if (streamIndex < 0 || streamIndex >= Streams) {
    Log(0, StrFormat("stream index #%d is invalid.\n", streamIndex));
    return false;
  }
  if (Context->streams[streamIndex]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
    Log(0, StrFormat("stream #%d is not video stream.\n", streamIndex));
    return false;
  }
  return true;
}

TVideoStreamInfo TCustomAVProbe::GetVideoStreamInfo(int streamIndex) {
  TVideoStreamInfo info;
  if (!HasFile() || !ResolveVideoStream(streamIndex)) return info;
  const AVStream* stream = Context->streams[streamIndex];
  const AVCodecParameters* codec = stream->codecpar;
  info.Language = CutText(Tag(stream->metadata, "language"), LANGUAGE_BYTES);
  info.CodecName = CutText(av.avcodec_get_name(codec->codec_id), CODEC_NAME_BYTES);
  if (stream->start_time != AV_NOPTS_VALUE) {
    info.StartTime = stream->start_time;
    info.StartTimeUs = av.av_rescale_q(stream->start_time, stream->time_base, MICROSECONDS);
  }
  if (stream->duration != AV_NOPTS_VALUE) {
    info.Duration = stream->duration;
    info.DurationUs = av.av_rescale_q(stream->duration, stream->time_base, MICROSECONDS);
  }
  info.BitRate = ClampToInt32(codec->bit_rate);
  info.Height = codec->height;
  info.Width = codec->width;
  // An unknown sample aspect (0) means square pixels.
  double sampleAspect = RatioValue(StreamSampleAspect(stream, codec->sample_aspect_ratio));
  if (sampleAspect == 0) sampleAspect = 1.0;
  if (codec->width > 0 && codec->height > 0)
    info.DisplayAspectRatio = static_cast<float>(sampleAspect * codec->width / codec->height);
  info.PixelFormat = codec->format;
  info.RealFrameRateNum = stream->r_frame_rate.num;
  info.RealFrameRateDen = stream->r_frame_rate.den;
  return info;
}

std::string TCustomAVProbe::FormatDuration(int64_t microseconds) {
  int64_t seconds = microseconds / 1000000;
  int64_t milliseconds = (microseconds % 1000000) * 1000 / 1000000;
  return StrFormat("%.2d:%.2d:%.2d.%.3d", static_cast<int>(seconds / 3600),
                   static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60),
                   static_cast<int>(milliseconds));
}

std::string TCustomAVProbe::FormatFileSize(int64_t bytes) {
  if (bytes > 1073741824) return StrFormat("%.2f GB", bytes / 1073741824.0);
  if (bytes > 1048576) return StrFormat("%.2f MB", bytes / 1048576.0);
  if (bytes > 1024) return StrFormat("%.2f KB", bytes / 1024.0);
  return StrFormat("%" PRId64 " Byte", bytes);
}

std::string TCustomAVProbe::StreamLine(int index) {
  const AVStream* stream = Context->streams[index];
  std::string line = StrFormat("Stream #%d", index);
  if (Context->iformat && (Context->iformat->flags & AVFMT_SHOW_IDS))
    line += StrFormat("[0x%x]", static_cast<unsigned>(stream->id));
  const std::string language = Tag(stream->metadata, "language");
  if (!language.empty()) line += StrFormat("(%s)", language.c_str());
  int64_t divisor = av.av_gcd(stream->time_base.num, stream->time_base.den);
  if (divisor == 0) divisor = 1;
  line += StrFormat(", %d/%d", static_cast<int>(stream->time_base.num / divisor),
                    static_cast<int>(stream->time_base.den / divisor));
  line += ": " + CodecDescription(stream);
  if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
    // The stream no longer carries a codec time base; its average frame rate
    // is what 1 / that time base used to express.
    if (const double real = RatioValue(stream->r_frame_rate))
      line += StrFormat(", %5.2f tb(r)", real);
    else if (const double average = RatioValue(stream->avg_frame_rate))
      line += StrFormat(", %5.2f tb(c)", average);
  }
  if (stream->start_time != AV_NOPTS_VALUE)
    line += ", StartTime: " +
            SecondsText(av.av_rescale_q(stream->start_time, stream->time_base, MICROSECONDS));
  if (stream->duration == AV_NOPTS_VALUE)
    line += ", Duration: N/A";
  else
    line += ", Duration: " +
            FormatDuration(av.av_rescale_q(stream->duration, stream->time_base, MICROSECONDS));
  return line;
}

std::string TCustomAVProbe::GetInfoText() {
  if (!HasFile()) return std::string();
  std::vector<std::string> lines;
  lines.push_back(StrFormat("File Name: %s", Context->url ? Context->url : ""));
  const AVInputFormat* format = Context->iformat;
  lines.push_back(StrFormat("Format Name: %s", format && format->name ? format->name : ""));
  lines.push_back(
      StrFormat("Format Long Name: %s", format && format->long_name ? format->long_name : ""));
  lines.push_back("File Size: " + FormatFileSize(GetFileSize()));
  if (Context->start_time != AV_NOPTS_VALUE)
    lines.push_back("StartTime: " + SecondsText(Context->start_time));
  if (Context->duration == AV_NOPTS_VALUE)
    lines.push_back("Duration: N/A");
  else
    lines.push_back("Duration: " + FormatDuration(Context->duration));
  if (Context->bit_rate < 1)
    lines.push_back("Bit Rate: N/A");
  else
    lines.push_back(StrFormat("Bit Rate: %" PRId64 " Kbps", Context->bit_rate / 1000));

  const TFileInfo info = GetFileInfo();
  if (info.TimeStamp > 0) lines.push_back("Time Stamp: " + LocalTimeText(info.TimeStamp));
  const std::pair<const char*, const std::string*> tags[] = {
      {"Title", &info.Title},     {"Author", &info.Author}, {"Copyright", &info.Copyright},
      {"Comment", &info.Comment}, {"Album", &info.Album},   {"Genre", &info.Genre}};
  for (const auto& tag : tags)
    if (!tag.second->empty()) lines.push_back(StrFormat("%s: %s", tag.first, tag.second->c_str()));
  if (info.Year > 0) lines.push_back(StrFormat("Year: %d", info.Year));
  if (info.Track > 0) lines.push_back(StrFormat("Track: #%d", info.Track));

  if (Context->nb_programs == 0) {
    for (int i = 0; i < static_cast<int>(Context->nb_streams); ++i) lines.push_back(StreamLine(i));
  } else {
    for (unsigned p = 0; p < Context->nb_programs; ++p) {
      const AVProgram* program = Context->programs[p];
      std::string name = Tag(program->metadata, "service_name");
      std::string provider = Tag(program->metadata, "service_provider");
      if (name.empty()) name = "N/A";
      if (provider.empty()) provider = "N/A";
      lines.push_back(StrFormat("Program %d %s@%s", program->id, name.c_str(), provider.c_str()));
      for (unsigned s = 0; s < program->nb_stream_indexes; ++s) {
        unsigned index = program->stream_index[s];
        if (index < Context->nb_streams) lines.push_back(StreamLine(static_cast<int>(index)));
      }
    }
  }
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) text += '\n';
    text += lines[i];
  }
  return text;
}
