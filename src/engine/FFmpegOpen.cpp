// Opening input and output files, and creating the output streams from the
// option state.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>

#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "InputFiles.h"
#include "ProbeStreams.h"

namespace {

// Options in the name list whose flags carry every bit of mask are copied
// from an option context to a new context.
void CopyOptions(const std::vector<std::string>& names, void* from, void* to, int mask) {
  if (!from || !to) return;
  for (const std::string& name : names) {
    const AVOption* option = av.av_opt_find(from, name.c_str(), nullptr, 0, 0);
    if (!option || (option->flags & mask) != mask) continue;
    uint8_t* value = nullptr;
    if (av.av_opt_get(from, name.c_str(), 0, &value) < 0 || !value) continue;
    av.av_opt_set(to, name.c_str(), reinterpret_cast<const char*>(value), 0);
    av.av_free(value);
  }
}

// True when CopyOptions would set any of the names on a context of from's kind.
bool AnyOptionApplies(const std::vector<std::string>& names, void* from, int mask) {
  if (!from) return false;
  for (const std::string& name : names) {
    const AVOption* option = av.av_opt_find(from, name.c_str(), nullptr, 0, 0);
    if (option && (option->flags & mask) == mask) return true;
  }
  return false;
}

// True when an opened input's format context or demuxer has an option by
// the name of any of the parameters: opening it with them would differ.
bool TakesAnyOption(AVFormatContext* ic, const AVDictionary* params) {
  const AVDictionaryEntry* entry = nullptr;
  while ((entry = av.av_dict_get(params, "", entry, AV_DICT_IGNORE_SUFFIX)))
    if (av.av_opt_find(ic, entry->key, nullptr, 0, AV_OPT_SEARCH_CHILDREN)) return true;
  return false;
}

// Stream-copy and encoding sample aspect: the nearest ratio with terms <= 255.
AVRational AspectToSar(float aspect, int width, int height) {
  double sar = (width > 0 && height > 0) ? aspect * height / static_cast<double>(width)
                                         : aspect * 3.0 / 4.0;
  AVRational q{0, 1};
  av.av_reduce(&q.num, &q.den, std::llround(sar * 255 * 255), 255 * 255, 255);
  return q;
}

bool FiltersKeepSize(const std::string& chain) {
  const std::string lower = LowerCase(chain);
  size_t pos = 0;
  while (pos <= lower.size()) {
    size_t end = lower.find(',', pos);
    if (end == std::string::npos) end = lower.size();
    std::string name = Trim(lower.substr(pos, end - pos));
    name = name.substr(0, name.find('='));
    if (name == "crop" || name == "rotate" || name == "scale" || name == "transpose") return false;
    pos = end + 1;
  }
  return true;
}

int NearestRate(const int* rates, int wanted) {
  int best = rates[0];
  for (const int* r = rates; *r; ++r)
    if (std::abs(*r - wanted) < std::abs(best - wanted)) best = *r;
  return best;
}

// The layout nearest to the wanted channel count among an encoder's layouts:
// the same count if listed, else the largest count below it, else the smallest.
const AVChannelLayout* NearestLayout(const AVChannelLayout* layouts, int channels) {
  const AVChannelLayout* below = nullptr;
  const AVChannelLayout* above = nullptr;
  for (const AVChannelLayout* l = layouts; l->nb_channels; ++l) {
    if (l->nb_channels == channels) return l;
    if (l->nb_channels < channels && (!below || l->nb_channels > below->nb_channels)) below = l;
    if (l->nb_channels > channels && (!above || l->nb_channels < above->nb_channels)) above = l;
  }
  return below ? below : above;
}

// The most channels an encoder that lists no layouts takes; 0: no limit
// known (PCM takes any count).
int MostEncoderChannels(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_WMAV1:
    case AV_CODEC_ID_WMAV2:
      return 2;
    case AV_CODEC_ID_AC3:
    case AV_CODEC_ID_EAC3:
      return 6;
    case AV_CODEC_ID_FLAC:
    case AV_CODEC_ID_AAC:
    case AV_CODEC_ID_VORBIS:
    case AV_CODEC_ID_OPUS:
    case AV_CODEC_ID_ALAC:
      return 8;
    default:
      return 0;
  }
}

// The length of a ranged file's output in ms: the range's, counted at the
// rate of the file's first audio stream (whole: the file's length ms less
// the start; -1 unknown).
int64_t RangeMilliseconds(const AVFormatContext* ic, const TSampleRange& range, int64_t ms) {
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVCodecParameters* par = ic->streams[i]->codecpar;
    if (par->codec_type != AVMEDIA_TYPE_AUDIO || par->sample_rate <= 0) continue;
    if (range.End >= 0) return (range.End - range.First) * 1000 / par->sample_rate;
    return ms < 0 ? -1 : std::max<int64_t>(ms - range.First * 1000 / par->sample_rate, 0);
  }
  return ms;
}

}  // namespace

std::string LibraryErrorText(const std::string& name, int code) {
  const char* format;
  if (code == AVERROR_INVALIDDATA || code == AVERROR(EILSEQ) || code == -42 ||
      code == AVERROR_DEMUXER_NOT_FOUND)
    format = "%s: Unknown format";
  else if (code == AVERROR(EDOM))
    format =
        "%s: Incorrect image filename syntax.\r\nUse '%%d' to specify the image number:\r\n"
        "  for img1.jpg, img2.jpg, ..., use 'img%%d.jpg';\r\n"
        "  for img001.jpg, img002.jpg, ..., use 'img%%03d.jpg'.";
  else if (code == AVERROR(EINVAL))
    format = "%s: Error while parsing header";
  else if (code == AVERROR(ENOMEM))
    format = "%s: memory allocation error occurred";
  else if (code == AVERROR(EIO))
    format = "%s: I/O error occurred\r\nUsually that means that input file is truncated and/or "
             "corrupted.";
  else if (code == AVERROR(ENOENT))
    format = "%s: no such file or directory";
  else
    // Other causes (no space left, permission denied, too many open files)
    // are told in the library's words, so that the user can act on them.
    return name + ": " + AVErrorText(code);
  return StrFormat(format, name.c_str());
}

bool TCustomFFmpeg::FindCodec(const std::string& name, AVMediaType type, bool encoder,
                              const AVCodec*& codec) {
  codec = nullptr;
  if (name.empty()) return true;
  codec = encoder ? av.avcodec_find_encoder_by_name(name.c_str())
                  : av.avcodec_find_decoder_by_name(name.c_str());
  const char* what = encoder ? "encoder" : "decoder";
  if (!codec) {
    LastError = StrFormat("Unknown %s '%s'", what, name.c_str());
    return false;
  }
  if (codec->type != type) {
    LastError = StrFormat("Invalid %s type '%s'", what, name.c_str());
    codec = nullptr;
    return false;
  }
  return true;
}

bool TCustomFFmpeg::OpenInputFile(const std::string& filename) {
  if (!OptionContexts.Format) {
    LastError = "The media libraries are not loaded";
    return false;
  }
  auto consume = [this] {
    Video.CodecName.clear();
    Audio.CodecName.clear();
    Subtitle.CodecName.clear();
    Maps.ForcedInputFormat = nullptr;
    Maps.ForcedOutputFormat = nullptr;
    Sync.VideoChannel = 0;
    MuxTime.SampleRange = TSampleRange();
    Input.TagEncoding = teAuto;
  };
  if (Input.FileCount >= MAX_FILES) {
    LastError = StrFormat("%s: Too many input files (at most %d)", filename.c_str(), MAX_FILES);
    consume();
    return false;
  }
  // A range is cut by samples, a start time by seeking: one or the other.
  const TSampleRange range = MuxTime.SampleRange;
  if (range.Set && MuxTime.StartTime != 0) {
    consume();
    throw FFmpegException(rcOption, StrFormat("%s: a sample range and a start time (ss) cannot "
                                              "both be given for one input",
                                              filename.c_str()));
  }
  // 1.-4. Demuxer parameters, forced decoders and format options.
  AVDictionary* params = nullptr;
  if (Audio.SampleRate > 0) av.av_dict_set_int(&params, "sample_rate", Audio.SampleRate, 0);
  if (Audio.Channels > 0) av.av_dict_set_int(&params, "channels", Audio.Channels, 0);
  if (Video.FrameRate.num > 0 && Video.FrameRate.den > 0)
    av.av_dict_set(&params, "framerate",
                   StrFormat("%d/%d", Video.FrameRate.num, Video.FrameRate.den).c_str(), 0);
  const int width = Video.FrameWidth + Video.PadLeft + Video.PadRight;
  const int height = Video.FrameHeight + Video.PadTop + Video.PadBottom;
  if (width > 0 && height > 0)
    av.av_dict_set(&params, "video_size", StrFormat("%dx%d", width, height).c_str(), 0);
  if (Video.PixFmt != AV_PIX_FMT_NONE)
    av.av_dict_set(&params, "pixel_format",
                   av.av_get_pix_fmt_name(static_cast<AVPixelFormat>(Video.PixFmt)), 0);
  if (Sync.VideoChannel) av.av_dict_set_int(&params, "channel", Sync.VideoChannel, 0);
  if (!Sync.VideoStandard.empty())
    av.av_dict_set(&params, "standard", Sync.VideoStandard.c_str(), 0);
  if (Video.LoopInput) av.av_dict_set(&params, "loop", "1", 0);
  DictPtr paramsOwner(params);

  const AVCodec *videoDec, *audioDec, *subtitleDec;
  if (!FindCodec(Video.CodecName, AVMEDIA_TYPE_VIDEO, false, videoDec) ||
      !FindCodec(Audio.CodecName, AVMEDIA_TYPE_AUDIO, false, audioDec) ||
      !FindCodec(Subtitle.CodecName, AVMEDIA_TYPE_SUBTITLE, false, subtitleDec)) {
    consume();
    return false;
  }
  // Opening and probing are bounded, and a stop request ends them at once.
  auto guard = std::make_unique<TInputGuard>();
  guard->SetAbortFlags(&RunState.StopRequested, RunState.OpenAbort);
  // Plain: opened as a probe opens it. Demuxer parameters count only where
  // the file's demuxer takes them (a raw format's "sample_rate").
  bool plain = !Maps.ForcedInputFormat && !videoDec && !audioDec && !subtitleDec &&
               !Counters.PgmyuvCompat && !Sync.ProgramId &&
               !AnyOptionApplies(OptionContexts.Names, OptionContexts.Format.get(),
                                 AV_OPT_FLAG_DECODING_PARAM);
  InputFormatPtr file;
  std::string tagsReadAs;
  TFileIdentity before;
  {
    // An input opened ahead is taken while it is what this open would make
    // of the file as it is now; otherwise it closes here.
    TOpenedInput ahead = std::move(Input.Ahead);
    TFileIdentity now;
    if (ahead && ahead.Guard && plain && ahead.Plain && ahead.Name == filename &&
        !TakesAnyOption(ahead.Context.get(), params) && ahead.TagEncoding == Input.TagEncoding &&
        ahead.Identity.Size >= 0 && ReadFileIdentity(filename, now) &&
        now.Unchanged(ahead.Identity)) {
      // Its byte stream calls the guard it was opened with: that one stays.
      guard = std::move(ahead.Guard);
      guard->SetAbortFlags(&RunState.StopRequested, RunState.OpenAbort);
      guard->EndProbe();
      file = std::move(ahead.Context);
      for (unsigned i = 0; i < file->nb_streams; ++i) file->streams[i]->discard = AVDISCARD_DEFAULT;
      tagsReadAs = ahead.TagsReadAs;
      before = ahead.Identity;
    }
  }
  int result = 0;
  if (!file) {
    AVFormatContext* opening = av.avformat_alloc_context();
    if (!opening) {
      LastError = LibraryErrorText(filename, AVERROR(ENOMEM));
      consume();
      return false;
    }
    CopyOptions(OptionContexts.Names, OptionContexts.Format.get(), opening,
                AV_OPT_FLAG_DECODING_PARAM);
    guard->Install(opening);
    if (videoDec) opening->video_codec_id = videoDec->id;
    if (Counters.PgmyuvCompat) opening->video_codec_id = AV_CODEC_ID_PGMYUV;
    if (audioDec) opening->audio_codec_id = audioDec->id;
    if (subtitleDec) opening->subtitle_codec_id = subtitleDec->id;

    const int paramCount = av.av_dict_count(params);
    // 5. Open (the context is freed by the library on failure). The file's
    // identity is read first: one that changes meanwhile is never taken for
    // the file that was opened.
    ReadFileIdentity(filename, before);
    params = paramsOwner.release();
    result = av.avformat_open_input(&opening, filename.c_str(), Maps.ForcedInputFormat, &params);
    paramsOwner.reset(params);
    if (result < 0) {
      LastError = GuardedOpenError(*guard, filename, result, LibraryErrorText);
      consume();
      return false;
    }
    file.reset(opening);
    // What the demuxer took of the parameters stays in it: not plain then.
    plain = plain && av.av_dict_count(params) == paramCount;

    // 6.-8. Programs, probing.
    if (Sync.ProgramId)
      for (unsigned i = 0; i < opening->nb_programs; ++i)
        if (opening->programs[i]->id != Sync.ProgramId)
          opening->programs[i]->discard = AVDISCARD_ALL;
    LastError = ProbeStreams(opening, *guard, filename, Counters.Verbose >= 0);
    if (!LastError.empty()) {
      consume();
      return false;
    }
    // Tags in a legacy encoding are read right once, here: every output
    // copies them from this context.
    tagsReadAs = RepairInputTags(opening, Input.TagEncoding);
  }
  AVFormatContext* const ic = file.get();

  // 9. Start position.
  int64_t timestamp = MuxTime.StartTime;
  if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
  const bool seeked = MuxTime.StartTime != 0;
  if (seeked) {
    av.av_seek_frame(ic, -1, timestamp, AVSEEK_FLAG_BACKWARD);
    MuxTime.StartTime = 0;
  }

  // 10. Streams: what the file tells goes back into the option fields.
  const int fileIndex = Input.FileCount;
  std::vector<CodecContextPtr> codecs;
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    AVStream* st = ic->streams[i];
    AVCodecParameters* par = st->codecpar;
    if (par->codec_type < AVMEDIA_TYPE_UNKNOWN || par->codec_type >= AVMEDIA_TYPE_NB)
      throw FFmpegException("invalid codec_type");
    CodecContextPtr dec(av.avcodec_alloc_context3(nullptr));
    if (!dec || av.avcodec_parameters_to_context(dec.get(), par) < 0) {
      LastError = LibraryErrorText(filename, AVERROR(ENOMEM));
      consume();
      return false;
    }
    dec->pkt_timebase = st->time_base;
    dec->thread_count = Counters.ThreadCount;
    const AVCodec* forced = nullptr;
    switch (par->codec_type) {
      case AVMEDIA_TYPE_VIDEO: {
        CopyOptions(OptionContexts.Names, OptionContexts.Codec[AVMEDIA_TYPE_VIDEO].get(),
                    dec.get(), AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
        Video.FrameHeight = dec->height;
        Video.FrameWidth = dec->width;
        double aspect = RatioValue(StreamSampleAspect(st, dec->sample_aspect_ratio));
        if (dec->width > 0 && dec->height > 0)
          aspect = (aspect ? aspect : 1.0) * dec->width / dec->height;
        else if (aspect == 0)
          aspect = 4.0 / 3.0;
        Video.FrameAspectRatio = static_cast<float>(aspect);
        if (dec->pix_fmt == AV_PIX_FMT_NONE) dec->pix_fmt = static_cast<AVPixelFormat>(0);
        Video.PixFmt = dec->pix_fmt;
        AVRational rfps = st->r_frame_rate;
        AVRational afps = st->avg_frame_rate;
        if (Counters.Verbose > 0 && afps.num && afps.den && rfps.num && rfps.den &&
            av.av_compare_ts(1, afps, 1, rfps) != 0)
          Log(1, StrFormat("Seems stream %d codec frame rate differs from container frame rate: "
                           "%2.2f (%d/%d) -> %2.2f (%d/%d)",
                           i, static_cast<double>(afps.num) / afps.den, afps.num, afps.den,
                           static_cast<double>(rfps.num) / rfps.den, rfps.num, rfps.den));
        if (rfps.num > 0 && rfps.den > 0) Video.FrameRate = rfps;
        forced = videoDec;
        if (Video.Disable)
          st->discard = AVDISCARD_ALL;
        else if (Video.Discard)
          st->discard = static_cast<AVDiscard>(Video.Discard);
        break;
      }
      case AVMEDIA_TYPE_AUDIO:
        CopyOptions(OptionContexts.Names, OptionContexts.Codec[AVMEDIA_TYPE_AUDIO].get(),
                    dec.get(), AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
        Audio.ChannelLayout = dec->ch_layout.order == AV_CHANNEL_ORDER_NATIVE
                                  ? static_cast<int64_t>(dec->ch_layout.u.mask)
                                  : 0;
        if (dec->ch_layout.nb_channels > 0) Audio.Channels = dec->ch_layout.nb_channels;
        if (dec->sample_rate > 0) Audio.SampleRate = dec->sample_rate;
        Audio.SampleFmt = dec->sample_fmt;
        forced = audioDec;
        if (Audio.Disable) st->discard = AVDISCARD_ALL;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        forced = subtitleDec;
        if (Subtitle.Disable) st->discard = AVDISCARD_ALL;
        break;
      default:
        break;
    }
    // Every stream takes one slot, so that a slot always belongs to the
    // stream with the same number.
    if (Input.DecoderCount < MAX_CODECS) {
      Input.Decoders.resize(static_cast<size_t>(Input.DecoderCount) + 1);
      Input.Decoders[static_cast<size_t>(Input.DecoderCount++)] = forced;
    }
    codecs.push_back(std::move(dec));
  }

  if (!tagsReadAs.empty())
    Log(1, StrFormat("Tags of '%s' read as %s", filename.c_str(), tagsReadAs.c_str()));

  // 11.-14. Register the file.
  int64_t ms = ic->duration != AV_NOPTS_VALUE && ic->duration > 0 ? ic->duration / 1000 : -1;
  if (range.Set) ms = RangeMilliseconds(ic, range, ms);
  if (ms > RunState.TotalDuration)
    RunState.TotalDuration = static_cast<int32_t>(std::min<int64_t>(ms, INT32_MAX));
  Input.TSOffsets[fileIndex] = MuxTime.InputTSOffset - (Sync.CopyTS ? 0 : timestamp);
  if (Counters.Verbose >= 0) av.av_dump_format(ic, fileIndex, filename.c_str(), 0);
  Input.Files[fileIndex] = std::move(file);
  Input.Codecs[fileIndex] = std::move(codecs);
  TFileIdentity identity;
  ReadFileIdentity(filename, identity);
  Input.Identities.resize(static_cast<size_t>(fileIndex) + 1);
  Input.Identities[static_cast<size_t>(fileIndex)] = identity;
  Input.Guards.resize(static_cast<size_t>(fileIndex) + 1);
  Input.Guards[static_cast<size_t>(fileIndex)] = std::move(guard);
  Input.CutBefore.resize(static_cast<size_t>(fileIndex) + 1);
  Input.CutBefore[static_cast<size_t>(fileIndex)] = seeked;
  Input.Ranges.resize(static_cast<size_t>(fileIndex) + 1);
  Input.Ranges[static_cast<size_t>(fileIndex)] = range;
  Input.Openings.resize(static_cast<size_t>(fileIndex) + 1);
  Input.Openings[static_cast<size_t>(fileIndex)] = {plain, before, Input.TagEncoding, tagsReadAs};
  Input.FileCount++;
  consume();
  return true;
}

void TCustomFFmpeg::HandOverInput(TOpenedInput input) { Input.Ahead = std::move(input); }

TOpenedInput TCustomFFmpeg::TakeOpenedInput() {
  TOpenedInput taken;
  if (Input.FileCount != 1 || Input.Openings.empty() || !Input.Openings[0].Plain ||
      Input.CutBefore.empty() || Input.CutBefore[0] || Input.Guards.empty())
    return taken;
  const AVFormatContext* ic = Input.Files[0].get();
  taken.Name = ic && ic->url ? ic->url : "";
  taken.Guard = std::move(Input.Guards[0]);
  taken.Context = std::move(Input.Files[0]);
  taken.Identity = Input.Openings[0].Identity;
  taken.Plain = true;
  taken.TagEncoding = Input.Openings[0].TagEncoding;
  taken.TagsReadAs = Input.Openings[0].TagsReadAs;
  Input.Codecs[0].clear();
  CloseInputFiles(Input);
  Input.Decoders.clear();
  Input.DecoderCount = 0;
  return taken;
}

bool TCustomFFmpeg::OpenOutputFile(const std::string& filename) {
  LastErrorCode = rcNone;
  if (!OptionContexts.Format) {
    LastError = "The media libraries are not loaded";
    return false;
  }
  auto clearFormats = [this] {
    Maps.ForcedOutputFormat = nullptr;
    Maps.ForcedInputFormat = nullptr;
  };
  auto fail = [&](const std::string& message) {
    LastError = message;
    clearFormats();
    return false;
  };
  // 1.-3. Crop and pad do not mix with a filter chain that resizes.
  if (!Video.Filters.empty() &&
      (Video.CropTop || Video.CropBottom || Video.CropLeft || Video.CropRight))
    return fail("Cannot enable crop options and filters at the same time.");
  if ((Video.PadTop || Video.PadBottom || Video.PadLeft || Video.PadRight) &&
      !FiltersKeepSize(Video.Filters))
    return fail(
        "Cannot enable pad options and the filters which resize frame at the same time. "
        "(crop, rotate, scale, transpose, etc.)");
  if (Output.FileCount >= MAX_FILES)
    return fail(StrFormat("%s: Too many output files (at most %d)", filename.c_str(), MAX_FILES));
  FilterSink.InUse = !Video.Filters.empty();

  // 4. Format.
  const AVOutputFormat* format = Maps.ForcedOutputFormat;
  if (!format) format = av.av_guess_format(nullptr, filename.c_str(), nullptr);
  if (!format)
    return fail(StrFormat("Unable to find a suitable output format for '%s'", filename.c_str()));
  AVFormatContext* raw = nullptr;
  if (av.avformat_alloc_output_context2(&raw, format, nullptr, filename.c_str()) < 0 || !raw)
    return fail(LibraryErrorText(filename, AVERROR(ENOMEM)));
  OutputFormatPtr oc(raw);
  // (A server feed output, step 5 of old, needs a format this generation of
  // the libraries no longer has; such a name finds no format above.)

  // 6.-8. Which kinds of stream the output gets.
  bool useVideo = StreamCopy.Video || !Video.CodecName.empty() ||
                  format->video_codec != AV_CODEC_ID_NONE;
  bool useAudio = StreamCopy.Audio || !Audio.CodecName.empty() ||
                  format->audio_codec != AV_CODEC_ID_NONE;
  bool useSubtitle = StreamCopy.Subtitle || !Subtitle.CodecName.empty() ||
                     format->subtitle_codec != AV_CODEC_ID_NONE;
  if (Input.FileCount > 0) {
    bool hasVideo = false, hasAudio = false, hasSubtitle = false;
    for (int f = 0; f < Input.FileCount; ++f) {
      const AVFormatContext* ic = Input.Files[f].get();
      for (unsigned s = 0; s < ic->nb_streams; ++s) {
        switch (ic->streams[s]->codecpar->codec_type) {
          case AVMEDIA_TYPE_VIDEO:
            // A cover picture is no video: it is only ever copied.
            if (StreamCopy.Video ||
                !(ic->streams[s]->disposition & AV_DISPOSITION_ATTACHED_PIC))
              hasVideo = true;
            break;
          case AVMEDIA_TYPE_AUDIO: hasAudio = true; break;
          case AVMEDIA_TYPE_SUBTITLE: hasSubtitle = true; break;
          case AVMEDIA_TYPE_DATA:
          case AVMEDIA_TYPE_ATTACHMENT:
          case AVMEDIA_TYPE_UNKNOWN: break;
          default:
            return fail("check_audio_video_sub_inputs fail: invalid codec_type of input file");
        }
      }
    }
    useVideo = useVideo && hasVideo;
    useAudio = useAudio && hasAudio;
    useSubtitle = useSubtitle && hasSubtitle;
  }
  useVideo = useVideo && !Video.Disable;
  useAudio = useAudio && !Audio.Disable;
  useSubtitle = useSubtitle && !Subtitle.Disable;

  // 9. Streams.
  const int fileIndex = Output.FileCount;
  Output.Codecs[fileIndex].clear();
  Output.Copy[fileIndex].clear();
  struct TStep {
    bool Wanted;
    void (TCustomFFmpeg::*Make)(AVFormatContext*, int);
    const char* Failure;
  };
  const TStep steps[] = {{useVideo, &TCustomFFmpeg::NewVideoStream, "new_video_stream fail: %s"},
                         {useAudio, &TCustomFFmpeg::NewAudioStream, "new_audio_stream fail: %s"},
                         {useSubtitle, &TCustomFFmpeg::NewSubtitleStream,
                          "new_subtitle_stream fail: %s"}};
  for (const TStep& step : steps) {
    if (!step.Wanted) continue;
    try {
      (this->*step.Make)(oc.get(), fileIndex);
    } catch (const FFmpegException& e) {
      Output.Codecs[fileIndex].clear();
      Output.Copy[fileIndex].clear();
      return fail(StrFormat(step.Failure, e.what()));
    }
  }

  // 10. Metadata: the pair given last wins over an earlier one of that key.
  for (auto pair = MuxTime.Metadata.rbegin(); pair != MuxTime.Metadata.rend(); ++pair)
    av.av_dict_set(&oc->metadata, pair->first.c_str(), pair->second.c_str(),
                   AV_DICT_DONT_OVERWRITE);
  MuxTime.Metadata.clear();
  if (MuxTime.RecordingTimestamp) {
    std::time_t seconds = static_cast<std::time_t>(MuxTime.RecordingTimestamp);
    std::tm utc;
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
    av.av_dict_set(&oc->metadata, "creation_time", text, 0);
  }

  // 11.-13. Register and open the byte stream.
  AVFormatContext* context = oc.get();
  Output.Files[fileIndex] = std::move(oc);
  Output.FileCount++;
  if ((format->flags & AVFMT_NEEDNUMBER) &&
      !av.av_filename_number_test(filename.c_str())) {
    LastError = LibraryErrorText(filename, AVERROR(EDOM));
    return false;
  }
  Output.Targets.resize(static_cast<size_t>(fileIndex) + 1);
  Output.Targets[static_cast<size_t>(fileIndex)] = TOutputTarget{filename, "", false};
  if (!(format->flags & AVFMT_NOFILE) && !OpenOutputTarget(context, filename)) {
    // Nothing was created: the output leaves the table again.
    Output.FileCount--;
    Output.Files[fileIndex].reset();
    Output.Codecs[fileIndex].clear();
    Output.Copy[fileIndex].clear();
    Output.Targets.resize(static_cast<size_t>(fileIndex));
    return fail(LastError);
  }

  // 15. Muxer parameters.
  context->max_delay = static_cast<int>(MuxTime.MuxMaxDelay * 1000000);
  AVDictionary* muxOptions = nullptr;
  av.av_dict_set_int(&muxOptions, "preload", static_cast<int64_t>(MuxTime.MuxPreload * 1000000),
                     0);
  if (Video.LoopOutput >= 0) av.av_dict_set_int(&muxOptions, "loop", Video.LoopOutput, 0);
  for (const auto& option : OptionContexts.MuxerCandidates)
    if (format->priv_class &&
        av.av_opt_find(const_cast<AVClass**>(&format->priv_class), option.first.c_str(), nullptr,
                       0, AV_OPT_SEARCH_FAKE_OBJ))
      av.av_dict_set(&muxOptions, option.first.c_str(), option.second.c_str(), 0);
  // ADTS carries tags only in an ID3v2 header, which the muxer leaves out by default.
  if (std::strcmp(format->name, "adts") == 0) av.av_dict_set(&muxOptions, "write_id3v2", "1", 0);
  Output.MuxOptions[fileIndex].reset(muxOptions);
  CopyOptions(OptionContexts.Names, OptionContexts.Format.get(), context,
              AV_OPT_FLAG_ENCODING_PARAM);
  clearFormats();
  return true;
}

void TCustomFFmpeg::NewOutputStream(AVMediaType type) {
  if (Output.FileCount == 0)
    throw FFmpegException("At least one output file must be specified");
  const int fileIndex = Output.FileCount - 1;
  AVFormatContext* oc = Output.Files[fileIndex].get();
  if (type == AVMEDIA_TYPE_VIDEO)
    NewVideoStream(oc, fileIndex);
  else if (type == AVMEDIA_TYPE_AUDIO)
    NewAudioStream(oc, fileIndex);
  else
    NewSubtitleStream(oc, fileIndex);
}

namespace {

// The new stream's bookkeeping shared by the three kinds.
AVStream* AddStream(AVFormatContext* oc, int fileIndex, TBitstreamFilterChain& pending,
                    TBitstreamFilters& table) {
  if (fileIndex >= MAX_FILES || static_cast<int>(oc->nb_streams) >= MAX_STREAMS) return nullptr;
  AVStream* st = av.avformat_new_stream(oc, nullptr);
  if (!st) return nullptr;
  st->id = static_cast<int>(oc->nb_streams) - 1;
  if (table.Table.size() <= static_cast<size_t>(fileIndex))
    table.Table.resize(static_cast<size_t>(fileIndex) + 1);
  table.Table[static_cast<size_t>(fileIndex)][static_cast<size_t>(st->index)] = std::move(pending);
  pending.clear();
  return st;
}

}  // namespace

void TCustomFFmpeg::RegisterOutputStream(AVStream* st, int fileIndex, CodecContextPtr ctx,
                                         bool copy, std::string& language) {
  // An encoder's private state can be large (FLAC's is about 7 MB) and is
  // not used before the encoder opens, when the library makes it afresh with
  // its defaults; a list of prepared tasks should not hold it.
  if (ctx->priv_data) {
    // Only an encoder with private options starts its state with an AVClass
    // pointer; another's may be smaller than a pointer (DVB subtitles: one
    // int) and must not be read as one.
    if (ctx->codec && ctx->codec->priv_class) av.av_opt_free(ctx->priv_data);
    av.av_freep(&ctx->priv_data);
  }
  if (!language.empty()) {
    av.av_dict_set(&st->metadata, "language", language.c_str(), 0);
    language.clear();
  }
  // The stream describes itself from now on (format dumps, later checks).
  av.avcodec_parameters_from_context(st->codecpar, ctx.get());
  Output.Codecs[fileIndex].push_back(std::move(ctx));
  Output.Copy[fileIndex].push_back(copy);
}

const AVCodec* TCustomFFmpeg::OutputEncoder(AVFormatContext* oc, AVMediaType type,
                                            const std::string& name, AVCodecID& id) {
  const AVCodec* codec = nullptr;
  if (!name.empty()) {
    if (!FindCodec(name, type, true, codec)) throw FFmpegException(LastError);
    if (Output.EncoderCount < MAX_CODECS) {
      if (Output.Encoders.size() <= static_cast<size_t>(Output.EncoderCount))
        Output.Encoders.resize(static_cast<size_t>(Output.EncoderCount) + 1);
      Output.Encoders[static_cast<size_t>(Output.EncoderCount)] = codec;
    }
    id = codec->id;
  } else {
    id = av.av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, type);
    codec = av.avcodec_find_encoder(id);
  }
  return codec;
}

void TCustomFFmpeg::NewVideoStream(AVFormatContext* oc, int fileIndex) {
  AVStream* st = AddStream(oc, fileIndex, BitstreamFilters.Video, BitstreamFilters);
  if (!st) {
    Video.CodecName.clear();
    throw FFmpegException("Could not alloc stream");
  }
  const bool copy = StreamCopy.Video != 0;
  CodecContextPtr ctx;
  AVCodecContext* videoOptions = OptionContexts.Codec[AVMEDIA_TYPE_VIDEO].get();
  if (copy) {
    ctx.reset(av.avcodec_alloc_context3(nullptr));
    ctx->codec_type = AVMEDIA_TYPE_VIDEO;
    ctx->sample_aspect_ratio = st->sample_aspect_ratio =
        AspectToSar(Video.FrameAspectRatio, Video.FrameWidth, Video.FrameHeight);
  } else {
    AVRational rate = Video.FrameRate.num ? Video.FrameRate : AVRational{25, 1};
    AVCodecID id = AV_CODEC_ID_NONE;
    const AVCodec* codec = OutputEncoder(oc, AVMEDIA_TYPE_VIDEO, Video.CodecName, id);
    ctx.reset(av.avcodec_alloc_context3(codec));
    ctx->codec_id = id;
    ctx->codec_type = AVMEDIA_TYPE_VIDEO;
    CopyOptions(OptionContexts.Names, videoOptions, ctx.get(),
                AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    ctx->time_base = AVRational{rate.den, rate.num};
    ctx->framerate = rate;
    ctx->width = Video.FrameWidth + Video.PadRight + Video.PadLeft;
    ctx->height = Video.FrameHeight + Video.PadTop + Video.PadBottom;
    ctx->pix_fmt = static_cast<AVPixelFormat>(Video.PixFmt);
    FitEncoderPicture(ctx.get(), codec);
    ctx->sample_aspect_ratio = st->sample_aspect_ratio =
        AspectToSar(Video.FrameAspectRatio, ctx->width, ctx->height);
    if (Video.IntraOnly) ctx->gop_size = 0;
    if (Video.QScale != 0 || Video.SameQuality) {
      ctx->flags |= AV_CODEC_FLAG_QSCALE;
      ctx->global_quality = static_cast<int>(FF_QP2LAMBDA * Video.QScale);
    }
    auto matrix = [](const std::unique_ptr<std::array<uint16_t, 64>>& m) -> uint16_t* {
      if (!m) return nullptr;
      auto* coefficients = static_cast<uint16_t*>(av.av_malloc(sizeof(uint16_t) * 64));
      if (coefficients) std::memcpy(coefficients, m->data(), sizeof(uint16_t) * 64);
      return coefficients;
    };
    ctx->intra_matrix = matrix(Video.IntraMatrix);
    ctx->inter_matrix = matrix(Video.InterMatrix);
    ctx->thread_count = Counters.ThreadCount;
    // Rate-control overrides: "start,end,q/start,end,q/...".
    std::vector<RcOverride> overrides;
    const std::string& text = Video.RcOverride;
    size_t pos = 0;
    while (pos < text.size()) {
      RcOverride item{};
      auto number = [&](bool& ok) {
        size_t start = pos;
        bool negative = pos < text.size() && text[pos] == '-';
        if (negative) ++pos;
        long value = 0;
        while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])))
          value = value * 10 + (text[pos++] - '0');
        ok = pos > start + (negative ? 1 : 0);
        if (pos < text.size()) ++pos;  // the separator
        return negative ? -value : value;
      };
      bool okStart, okEnd, okQ;
      item.start_frame = static_cast<int>(number(okStart));
      item.end_frame = static_cast<int>(number(okEnd));
      long q = number(okQ);
      if (!okStart || !okEnd) {
        Video.CodecName.clear();
        throw FFmpegException("error parsing rc_override");
      }
      if (q > 0) {
        item.qscale = static_cast<int>(q);
        item.quality_factor = 1.0f;
      } else {
        item.qscale = 0;
        item.quality_factor = static_cast<float>(-q) / 100.0f;
      }
      overrides.push_back(item);
    }
    if (!overrides.empty()) {
      auto* list = static_cast<RcOverride*>(av.av_malloc(sizeof(RcOverride) * overrides.size()));
      if (list) {
        std::copy(overrides.begin(), overrides.end(), list);
        ctx->rc_override = list;
        ctx->rc_override_count = static_cast<int>(overrides.size());
      }
    }
    if (ctx->rc_initial_buffer_occupancy == 0)
      ctx->rc_initial_buffer_occupancy = ctx->rc_buffer_size * 3 / 4;
    ctx->intra_dc_precision = Video.IntraDcPrecision - 8;
    if (Diagnostic.DoPSNR) ctx->flags |= AV_CODEC_FLAG_PSNR;
    if (Diagnostic.PassNumber == 1) ctx->flags |= AV_CODEC_FLAG_PASS1;
    if (Diagnostic.PassNumber == 2) ctx->flags |= AV_CODEC_FLAG_PASS2;
  }
  if (Video.CodecTag) ctx->codec_tag = static_cast<unsigned>(Video.CodecTag);
  if ((Sync.VideoGlobalHeader & 1) ||
      (Sync.VideoGlobalHeader == 0 && (oc->oformat->flags & AVFMT_GLOBALHEADER))) {
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    videoOptions->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (Sync.VideoGlobalHeader & 2) {
    ctx->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    videoOptions->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
  }
  std::string noLanguage;
  RegisterOutputStream(st, fileIndex, std::move(ctx), copy, noLanguage);
  Output.EncoderCount++;
  Video.Disable = false;
  Video.CodecName.clear();
  StreamCopy.Video = 0;
}

void TCustomFFmpeg::NewAudioStream(AVFormatContext* oc, int fileIndex) {
  AVStream* st = AddStream(oc, fileIndex, BitstreamFilters.Audio, BitstreamFilters);
  if (!st) {
    Audio.CodecName.clear();
    Audio.Language.clear();
    throw FFmpegException("Could not alloc stream");
  }
  const bool copy = StreamCopy.Audio != 0;
  CodecContextPtr ctx;
  AVCodecContext* audioOptions = OptionContexts.Codec[AVMEDIA_TYPE_AUDIO].get();
  int sampleRate = Audio.SampleRate;
  if (copy) {
    ctx.reset(av.avcodec_alloc_context3(nullptr));
    ctx->codec_type = AVMEDIA_TYPE_AUDIO;
    av.av_channel_layout_default(&ctx->ch_layout, Audio.Channels);
  } else {
    AVCodecID id = AV_CODEC_ID_NONE;
    const AVCodec* codec = OutputEncoder(oc, AVMEDIA_TYPE_AUDIO, Audio.CodecName, id);
    ctx.reset(av.avcodec_alloc_context3(codec));
    ctx->codec_id = id;
    ctx->codec_type = AVMEDIA_TYPE_AUDIO;
    CopyOptions(OptionContexts.Names, audioOptions, ctx.get(),
                AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    if (Audio.QScale > -99999) {
      ctx->flags |= AV_CODEC_FLAG_QSCALE;
      ctx->global_quality = static_cast<int>(FF_QP2LAMBDA * Audio.QScale);
    }
    ctx->thread_count = Counters.ThreadCount;
    // Channel layout: the given one when it has the given channel count.
    AVChannelLayout layout{};
    if (Audio.ChannelLayout &&
        av.av_channel_layout_from_mask(&layout, static_cast<uint64_t>(Audio.ChannelLayout)) == 0 &&
        layout.nb_channels == Audio.Channels) {
    } else {
      av.av_channel_layout_uninit(&layout);
      av.av_channel_layout_default(&layout, Audio.Channels);
    }
    // An encoder gets a rate and layout it supports, the nearest to those asked.
    if (codec && codec->ch_layouts) {
      bool listed = false;
      for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels && !listed; ++l)
        listed = av.av_channel_layout_compare(l, &layout) == 0;
      if (!listed) {
        const AVChannelLayout* nearest = NearestLayout(codec->ch_layouts, layout.nb_channels);
        if (nearest) {
          av.av_channel_layout_uninit(&layout);
          av.av_channel_layout_copy(&layout, nearest);
        }
      }
    }
    if (codec && codec->supported_samplerates)
      sampleRate = NearestRate(codec->supported_samplerates, sampleRate);
    if ((id == AV_CODEC_ID_WMAV1 || id == AV_CODEC_ID_WMAV2) && sampleRate > 48000)
      sampleRate = 48000;  // listed nowhere, but the most these encoders take
    const int most = MostEncoderChannels(id);
    if (most > 0 && layout.nb_channels > most) {
      av.av_channel_layout_uninit(&layout);
      av.av_channel_layout_default(&layout, most);
    }
    av.av_channel_layout_copy(&ctx->ch_layout, &layout);
    av.av_channel_layout_uninit(&layout);
    AVSampleFormat sampleFmt = static_cast<AVSampleFormat>(Audio.SampleFmt);
    if (codec && codec->sample_fmts) {
      bool listed = false;
      for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
        listed = listed || *f == sampleFmt;
      if (!listed) sampleFmt = codec->sample_fmts[0];
    }
    if (sampleFmt == AV_SAMPLE_FMT_NONE) sampleFmt = AV_SAMPLE_FMT_S16;
    ctx->sample_fmt = sampleFmt;
  }
  if (Audio.CodecTag) ctx->codec_tag = static_cast<unsigned>(Audio.CodecTag);
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) {
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    audioOptions->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  Output.EncoderCount++;
  ctx->sample_rate = sampleRate;
  ctx->time_base = AVRational{1, sampleRate > 0 ? sampleRate : 1};
  RegisterOutputStream(st, fileIndex, std::move(ctx), copy, Audio.Language);
  Audio.Disable = false;
  Audio.CodecName.clear();
  StreamCopy.Audio = 0;
}

void TCustomFFmpeg::NewSubtitleStream(AVFormatContext* oc, int fileIndex) {
  AVStream* st = AddStream(oc, fileIndex, BitstreamFilters.Subtitle, BitstreamFilters);
  if (!st) {
    Subtitle.CodecName.clear();
    throw FFmpegException("Could not alloc stream");
  }
  const bool copy = StreamCopy.Subtitle != 0;
  CodecContextPtr ctx;
  if (copy) {
    ctx.reset(av.avcodec_alloc_context3(nullptr));
  } else {
    AVCodecID id = AV_CODEC_ID_NONE;
    const AVCodec* codec = OutputEncoder(oc, AVMEDIA_TYPE_SUBTITLE, Subtitle.CodecName, id);
    ctx.reset(av.avcodec_alloc_context3(codec));
    ctx->codec_id = id;
    CopyOptions(OptionContexts.Names, OptionContexts.Codec[AVMEDIA_TYPE_SUBTITLE].get(),
                ctx.get(), AV_OPT_FLAG_SUBTITLE_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
  }
  ctx->codec_type = AVMEDIA_TYPE_SUBTITLE;
  Output.EncoderCount++;
  RegisterOutputStream(st, fileIndex, std::move(ctx), copy, Subtitle.Language);
  Subtitle.Disable = false;
  Subtitle.CodecName.clear();
  StreamCopy.Subtitle = 0;
}
