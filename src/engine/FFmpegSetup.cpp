// The set-up of a conversion: per-run tables, stream mapping, codec opening,
// metadata and headers.
#include <atomic>
#include <climits>
#include <cstring>

#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "Transcode.h"

TOutputStreamEntry::~TOutputStreamEntry() {
  // The chain's workers end before the encoder they copy from goes.
  Audio.reset();
  if (Pass1Log && av.my_fclose) av.my_fclose(Pass1Log);
}

namespace {

std::atomic<int64_t> DecoderOpens{0};  // see DecodersOpened

void DumpOutput(AVFormatContext* oc, int index) {
  av.av_dump_format(oc, index, oc->url ? oc->url : "", 1);
}

// Reads a whole pass-2 statistics file into an av_malloc'd, zero-terminated text.
char* ReadStatistics(const std::string& name) {
  FILE* f = av.my_fopen(name.c_str(), "r");
  if (!f) throw FFmpegException(StrFormat("Cannot read log file %s for pass-2 encoding", name.c_str()));
  av.my_fseek(f, 0, SEEK_END);
  long size = av.my_ftell(f);
  av.my_fseek(f, 0, SEEK_SET);
  if (size < 0) size = 0;
  auto* text = static_cast<char*>(av.av_malloc(static_cast<size_t>(size) + 1));
  if (!text) {
    av.my_fclose(f);
    throw FFmpegException("Could not allocate log buffer");
  }
  size_t read = av.my_fread(text, 1, static_cast<size_t>(size), f);
  av.my_fclose(f);
  text[read] = 0;
  return text;
}

}  // namespace

int64_t TCustomFFmpeg::DecodersOpened() { return DecoderOpens.load(); }

void TCustomFFmpeg::TranscodeSetup() {
  TTranscodeTables& T = *Tables;
  T.Packet.reset(av.av_packet_alloc());
  T.OutPacket.reset(av.av_packet_alloc());
  T.Decoded.reset(av.av_frame_alloc());
  if (!T.Packet || !T.OutPacket || !T.Decoded) throw FFmpegException("av_mallocz fail");

  // 1.-2. Input files and streams.
  int streamCount = 0;
  for (int f = 0; f < Input.FileCount; ++f) {
    TInputFileEntry file;
    file.FirstIndex = streamCount;
    file.StreamCount = static_cast<int>(Input.Files[f]->nb_streams);
    streamCount += file.StreamCount;
    T.Files.push_back(file);
  }
  T.InStreams.resize(static_cast<size_t>(streamCount));
  for (int f = 0; f < Input.FileCount; ++f) {
    for (int s = 0; s < T.Files[f].StreamCount; ++s) {
      TInputStreamEntry& ist = T.InStreams[static_cast<size_t>(T.Files[f].FirstIndex + s)];
      ist.FileIndex = f;
      ist.Index = s;
      ist.St = Input.Files[f]->streams[s];
      ist.Dec = Input.Codecs[f][static_cast<size_t>(s)].get();
      if (Sync.RateEmu) ist.RateEmuStart = av.av_gettime_relative();
    }
  }

  // 3.-5. Output streams and maps.
  int outCount = 0;
  for (int i = 0; i < Output.FileCount; ++i) {
    AVFormatContext* oc = Output.Files[i].get();
    if (oc->nb_streams == 0) {
      DumpOutput(oc, i);
      throw FFmpegException(StrFormat("Output file #%d does not contain any stream", i));
    }
    outCount += static_cast<int>(oc->nb_streams);
  }
  const std::vector<TStreamMap>& maps = Maps.StreamMaps;
  if (!maps.empty() && static_cast<int>(maps.size()) != outCount)
    throw FFmpegException("Number of stream maps must match number of output streams");
  auto validStream = [this](int file, int stream) {
    return file >= 0 && file < Input.FileCount && stream >= 0 &&
           stream < static_cast<int>(Input.Files[file]->nb_streams);
  };
  for (const TStreamMap& map : maps) {
    if (!validStream(map.FileIndex, map.StreamIndex))
      throw FFmpegException(
          StrFormat("Could not find input stream #%d.%d", map.FileIndex, map.StreamIndex));
    if (!validStream(map.SyncFileIndex, map.SyncStreamIndex))
      throw FFmpegException(StrFormat("Could not find sync stream #%d.%d", map.SyncFileIndex,
                                      map.SyncStreamIndex));
  }

  // 6. Output stream table and the source of each stream.
  int n = 0;
  for (int i = 0; i < Output.FileCount; ++i) {
    AVFormatContext* oc = Output.Files[i].get();
    for (unsigned s = 0; s < oc->nb_streams; ++s, ++n) {
      auto entry = std::make_unique<TOutputStreamEntry>();
      TOutputStreamEntry& ost = *entry;
      ost.FileIndex = i;
      ost.Index = static_cast<int>(s);
      ost.St = oc->streams[s];
      ost.Enc = Output.Codecs[i][s].get();
      ost.Copy = Output.Copy[i][s];
      const AVMediaType type = ost.Enc->codec_type;
      int source = -1;
      if (!maps.empty()) {
        const TStreamMap& map = maps[static_cast<size_t>(n)];
        source = T.Files[map.FileIndex].FirstIndex + map.StreamIndex;
        if (T.InStreams[static_cast<size_t>(source)].St->codecpar->codec_type != type) {
          DumpOutput(oc, i);
          throw FFmpegException(StrFormat("Codec type mismatch for mapping #%d.%d -> #%d.%d",
                                          map.FileIndex, map.StreamIndex, i, s));
        }
      } else {
        auto fits = [&](int index, bool unused) {
          const TInputStreamEntry& ist = T.InStreams[static_cast<size_t>(index)];
          // A cover picture is never encoded as a video.
          const bool cover = ist.St->disposition & AV_DISPOSITION_ATTACHED_PIC;
          return (!unused || ist.Discard) && ist.St->codecpar->codec_type == type &&
                 (ost.Copy || !cover);
        };
        if (Sync.ProgramId) {
          for (int f = 0; f < Input.FileCount && source < 0; ++f) {
            const AVFormatContext* ic = Input.Files[f].get();
            for (unsigned p = 0; p < ic->nb_programs && source < 0; ++p) {
              const AVProgram* program = ic->programs[p];
              if (program->id != Sync.ProgramId) continue;
              for (unsigned k = 0; k < program->nb_stream_indexes && source < 0; ++k) {
                int index = T.Files[f].FirstIndex + static_cast<int>(program->stream_index[k]);
                if (fits(index, true)) source = index;
              }
            }
          }
        } else {
          for (int k = 0; k < streamCount && source < 0; ++k)
            if (fits(k, true)) source = k;
          // Every stream of that type is taken: the last one is shared.
          for (int k = streamCount - 1; k >= 0 && source < 0; --k)
            if (fits(k, false)) source = k;
        }
        if (source < 0) {
          DumpOutput(oc, i);
          throw FFmpegException(
              StrFormat("Could not find input stream matching output stream #%d.%d", i, s));
        }
      }
      ost.SourceIndex = source;
      T.InStreams[static_cast<size_t>(source)].Discard = false;
      if (maps.empty()) {
        ost.Sync = &T.InStreams[static_cast<size_t>(source)];
      } else {
        const TStreamMap& map = maps[static_cast<size_t>(n)];
        ost.Sync = &T.InStreams[static_cast<size_t>(T.Files[map.SyncFileIndex].FirstIndex +
                                                    map.SyncStreamIndex)];
      }
      T.OutStreams.push_back(std::move(entry));
    }
  }

  // 7. Stream parameters.
  n = 0;
  for (auto& entry : T.OutStreams) {
    TOutputStreamEntry& ost = *entry;
    TInputStreamEntry& ist = T.InStreams[static_cast<size_t>(ost.SourceIndex)];
    AVCodecContext* enc = ost.Enc;
    AVCodecContext* dec = ist.Dec;
    const AVCodecParameters* in = ist.St->codecpar;
    AVDictionaryEntry* language = av.av_dict_get(ist.St->metadata, "language", nullptr, 0);
    if (language && !av.av_dict_get(ost.St->metadata, "language", nullptr, 0))
      av.av_dict_set(&ost.St->metadata, "language", language->value, 0);
    ost.St->disposition = ist.St->disposition;

    if (ost.Copy) {
      AVCodecParameters* par = ost.St->codecpar;
      const unsigned forcedTag = enc->codec_tag;
      if (av.avcodec_parameters_copy(par, in) < 0) throw FFmpegException("av_mallocz fail");
      const AVOutputFormat* format = Output.Files[ost.FileIndex]->oformat;
      par->codec_tag = forcedTag;
      if (!forcedTag) {
        const AVCodecTag* const* tags = format->codec_tag;
        if (!tags || av.av_codec_get_id(tags, in->codec_tag) == in->codec_id ||
            av.av_codec_get_tag(tags, in->codec_id) == 0)
          par->codec_tag = in->codec_tag;
        else
          par->codec_tag = 0;
      }
      ost.St->time_base = ist.St->time_base;
      switch (in->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
          if (Sync.AudioVolume != 256)
            throw FFmpegException(
                "-acodec copy and -vol are incompatible (frames are not decoded)");
          if ((par->block_align == 1 && par->codec_id == AV_CODEC_ID_MP3) ||
              par->codec_id == AV_CODEC_ID_AC3)
            par->block_align = 0;
          break;
        case AVMEDIA_TYPE_VIDEO:
          if (OnCustomHook)
            throw FFmpegException(
                "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
          if (Counters.UsingVHook)
            throw FFmpegException(
                "-vcodec copy and -vhook are incompatible (frames are not decoded)");
          if (RunState.PreviewFlags)
            throw FFmpegException(
                "-vcodec copy and PostHooks are incompatible (frames are not decoded)");
          break;
        case AVMEDIA_TYPE_SUBTITLE:
          break;
        default:
          throw FFmpegException("invalid codec_type of output stream");
      }
      // The encoder context mirrors the copied parameters for the report.
      av.avcodec_parameters_to_context(enc, par);
    } else {
      switch (enc->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
          ost.AudioResampleNeeded =
              enc->sample_rate != dec->sample_rate || Sync.AudioSyncMethod > 1;
          break;
        case AVMEDIA_TYPE_VIDEO: {
          const TVideoOptions& v = Video;
          // "sameq" reads each picture's quantiser from the decoder.
          if (v.SameQuality) dec->export_side_data |= AV_CODEC_EXPORT_DATA_VIDEO_ENC_PARAMS;
          ost.CropNeeded = (v.CropTop + v.CropBottom + v.CropLeft + v.CropRight) != 0;
          ost.PadNeeded = (v.PadTop + v.PadBottom + v.PadLeft + v.PadRight) != 0;
          ost.CropTop = v.CropTop;
          ost.CropLeft = v.CropLeft;
          ost.PadTop = v.PadTop;
          ost.PadBottom = v.PadBottom;
          ost.PadLeft = v.PadLeft;
          ost.PadRight = v.PadRight;
          int64_t swsFlags = Counters.SwsFlags;
          if (OptionContexts.Scaler &&
              av.av_opt_get_int(OptionContexts.Scaler.get(), "sws_flags", 0, &swsFlags) >= 0)
            Counters.SwsFlags = static_cast<int>(swsFlags);
          if (FilterSink.InUse) {
            LastError.clear();
            if (ConfigureFilters(ist, ost) < 0)
              throw FFmpegException(LastError.empty() ? std::string("Error opening filters!")
                                                      : "Error opening filters: " + LastError);
          }
          break;
        }
        case AVMEDIA_TYPE_SUBTITLE:
          SetUpSubtitleEncoder(ost, ist);
          break;
        default:
          throw FFmpegException("invalid codec_type of output stream");
      }
      ist.DecodingNeeded = true;
      ost.EncodingNeeded = true;
      if (enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)) {
        std::string name = (Diagnostic.PassLogFile.empty() ? std::string("ffmpeg2pass")
                                                            : Diagnostic.PassLogFile) +
                           "-" + std::to_string(n) + ".log";
        if (name.size() >= 1024) name.resize(1023);
        if (enc->flags & AV_CODEC_FLAG_PASS1) {
          ost.Pass1Log = av.my_fopen(name.c_str(), "w");
          if (!ost.Pass1Log)
            throw FFmpegException(
                StrFormat("Cannot write log file %s for pass-1 encoding", name.c_str()));
        } else {
          enc->stats_in = ReadStatistics(name);
        }
      }
    }
    // Six bytes a pixel. The size comes from the input's header, which may
    // state any number, even a negative one: counted in 64 bits and capped.
    if (enc->codec_type == AVMEDIA_TYPE_VIDEO && enc->width > 0 && enc->height > 0) {
      const int64_t pixels = static_cast<int64_t>(enc->width) * enc->height;
      const int size = pixels > (INT_MAX - 200) / 6 ? INT_MAX : static_cast<int>(6 * pixels + 200);
      BitstreamFilters.BufferSize = std::max(BitstreamFilters.BufferSize, size);
    }
    ++n;
  }

  // 9.-10. Format descriptions and the stream mapping report.
  for (int i = 0; i < Output.FileCount; ++i) DumpOutput(Output.Files[i].get(), i);
  if (Counters.Verbose >= 0 && OnLog) {
    Log(1, "Stream mapping:");
    for (auto& entry : T.OutStreams) {
      const TOutputStreamEntry& ost = *entry;
      const TInputStreamEntry& ist = T.InStreams[static_cast<size_t>(ost.SourceIndex)];
      std::string line = StrFormat("  Stream #%d.%d -> #%d.%d", ist.FileIndex, ist.Index,
                                   ost.FileIndex, ost.Index);
      if (ost.Sync != &ist)
        line += StrFormat(" [sync #%d.%d]", ost.Sync->FileIndex, ost.Sync->Index);
      Log(1, line);
    }
  }

  // 11. Encoders.
  n = 0;
  for (auto& entry : T.OutStreams) {
    TOutputStreamEntry& ost = *entry;
    const int number = n++;
    if (!ost.EncodingNeeded) continue;
    const AVCodec* codec = static_cast<size_t>(number) < Output.Encoders.size()
                               ? Output.Encoders[static_cast<size_t>(number)]
                               : nullptr;
    if (!codec) codec = av.avcodec_find_encoder(ost.Enc->codec_id);
    if (!codec)
      throw FFmpegException(rcCodec, StrFormat("Unsupported codec for output stream #%d.%d",
                                               ost.FileIndex, ost.Index));
    // Names no option context knew may be the encoder's own options (the
    // rate control "vbr" of libopus and libfdk_aac): it gets those it has.
    AVDictionary* ownOptions = nullptr;
    if (codec->priv_class)
      for (const auto& option : OptionContexts.MuxerCandidates)
        if (av.av_opt_find(const_cast<AVClass**>(&codec->priv_class), option.first.c_str(),
                           nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
          av.av_dict_set(&ownOptions, option.first.c_str(), option.second.c_str(), 0);
    DictPtr ownOwner(ownOptions);
    {
      std::lock_guard<std::recursive_mutex> lock(CodecLock);
      ownOptions = ownOwner.release();
      const int opened = av.avcodec_open2(ost.Enc, codec, &ownOptions);
      ownOwner.reset(ownOptions);
      if (opened < 0)
        throw FFmpegException(
            rcCodec,
            StrFormat("Error while opening codec for output stream #%d.%d - maybe incorrect "
                      "parameters such as bit_rate, rate, width or height",
                      ost.FileIndex, ost.Index));
      OpenedEncoders.push_front(&Output.Codecs[ost.FileIndex][static_cast<size_t>(ost.Index)]);
    }
    Counters.ExtraSize += ost.Enc->extradata_size;
    if (av.avcodec_parameters_from_context(ost.St->codecpar, ost.Enc) < 0)
      throw FFmpegException("av_mallocz fail");
    ost.St->time_base = ost.Enc->time_base;
    if (ost.Enc->codec_type == AVMEDIA_TYPE_AUDIO)
      ost.Audio = MakeAudioChain(ost);
  }

  // 12. Decoders.
  for (size_t k = 0; k < T.InStreams.size(); ++k) {
    TInputStreamEntry& ist = T.InStreams[k];
    if (!ist.DecodingNeeded) continue;
    const AVCodec* codec = k < Input.Decoders.size() ? Input.Decoders[k] : nullptr;
    if (!codec) codec = av.avcodec_find_decoder(ist.Dec->codec_id);
    if (!codec)
      throw FFmpegException(rcCodec, StrFormat("Unsupported codec (id=%d) for input stream #%d.%d",
                                               ist.Dec->codec_id, ist.FileIndex, ist.Index));
    std::lock_guard<std::recursive_mutex> lock(CodecLock);
    if (av.avcodec_open2(ist.Dec, codec, nullptr) < 0)
      throw FFmpegException(rcCodec, StrFormat("Error while opening codec for input stream #%d.%d",
                                               ist.FileIndex, ist.Index));
    OpenedDecoders.push_front(&Input.Codecs[ist.FileIndex][static_cast<size_t>(ist.Index)]);
    ++DecoderOpens;
  }

  // 13. Timestamps.
  for (TInputStreamEntry& ist : T.InStreams) {
    ist.Pts = 0;
    ist.NextPts = AV_NOPTS_VALUE;
    ist.IsStart = true;
  }
  SetUpRanges();

  // 14. Metadata: the maps given, else the tags of the first input on every
  // output, so that a conversion keeps the user's tags.
  for (const TMetaDataMap& map : Maps.MetaDataMaps) {
    if (map.OutFile < 0 || map.OutFile >= Output.FileCount)
      throw FFmpegException(StrFormat("Invalid output file index %d map_meta_data(%d,%d)",
                                      map.OutFile, map.OutFile, map.InFile));
    if (map.InFile < 0 || map.InFile >= Input.FileCount)
      throw FFmpegException(StrFormat("Invalid input file index %d map_meta_data(%d,%d)",
                                      map.InFile, map.OutFile, map.InFile));
    av.av_dict_copy(&Output.Files[map.OutFile]->metadata, Input.Files[map.InFile]->metadata, 0);
  }
  if (Maps.MetaDataMaps.empty() && Input.FileCount > 0) {
    for (auto& entry : T.OutStreams) {
      TOutputStreamEntry& ost = *entry;
      const TInputStreamEntry& ist = T.InStreams[static_cast<size_t>(ost.SourceIndex)];
      AVFormatContext* oc = Output.Files[ost.FileIndex].get();
      // Tags given with "metadata" stay; some containers keep tags per stream.
      av.av_dict_copy(&oc->metadata, Input.Files[0]->metadata, AV_DICT_DONT_OVERWRITE);
      if (ist.FileIndex == 0)
        av.av_dict_copy(&oc->metadata, ist.St->metadata, AV_DICT_DONT_OVERWRITE);
      av.av_dict_copy(&ost.St->metadata, ist.St->metadata, AV_DICT_DONT_OVERWRITE);
    }
  }
  // A tag given with an empty value ("metadata=cuesheet=") kept the input's
  // tag of that key out: neither goes to the output.
  for (auto& entry : T.OutStreams) {
    AVFormatContext* oc = Output.Files[entry->FileIndex].get();
    std::vector<std::string> empty;
    const AVDictionaryEntry* tag = nullptr;
    while ((tag = av.av_dict_get(oc->metadata, "", tag, AV_DICT_IGNORE_SUFFIX)))
      if (!tag->value || !*tag->value) empty.push_back(tag->key);
    for (const std::string& key : empty) {
      av.av_dict_set(&oc->metadata, key.c_str(), nullptr, 0);
      av.av_dict_set(&entry->St->metadata, key.c_str(), nullptr, 0);
    }
  }

  // Bitstream filter chains, fed with each stream's final parameters.
  for (auto& entry : T.OutStreams) {
    TOutputStreamEntry& ost = *entry;
    static const TBitstreamFilterChain none;
    const TBitstreamFilterChain& chain =
        static_cast<size_t>(ost.FileIndex) < BitstreamFilters.Table.size()
            ? BitstreamFilters.Table[static_cast<size_t>(ost.FileIndex)][static_cast<size_t>(ost.Index)]
            : none;
    const AVCodecParameters* par = ost.St->codecpar;
    AVRational timeBase = ost.St->time_base;
    for (const AVBitStreamFilter* filter : chain) {
      AVBSFContext* bsf = nullptr;
      if (av.av_bsf_alloc(filter, &bsf) < 0) throw FFmpegException("av_mallocz fail");
      BSFPtr owner(bsf);
      av.avcodec_parameters_copy(bsf->par_in, par);
      bsf->time_base_in = timeBase;
      int result = av.av_bsf_init(bsf);
      if (result < 0) throw FFmpegException(BitstreamFilterError(ost, filter->name, result));
      PacketPtr out(av.av_packet_alloc());
      if (!out) throw FFmpegException("av_mallocz fail");
      par = bsf->par_out;
      timeBase = bsf->time_base_out;
      ost.Bitstream.push_back(std::move(owner));
      ost.BitstreamOut.push_back(std::move(out));
    }
    if (!ost.Bitstream.empty()) {
      av.avcodec_parameters_copy(ost.St->codecpar, par);
      ost.St->time_base = timeBase;
    }
  }

  // 15.-16. Headers and the session description.
  bool sdp = Output.FileCount > 0;
  PrepareMusicOutputs();
  for (int i = 0; i < Output.FileCount; ++i) {
    AVFormatContext* oc = Output.Files[i].get();
    AVDictionary* options = nullptr;
    av.av_dict_copy(&options, Output.MuxOptions[i].get(), 0);
    int result = av.avformat_write_header(oc, &options);
    av.av_dict_free(&options);
    if (result < 0)
      throw OutputWriteFailure(
          oc, result,
          StrFormat("Could not write header for output file #%d (incorrect codec parameters ?)",
                    i));
    sdp = sdp && std::strcmp(oc->oformat->name, "rtp") == 0;
  }
  WriteCoverPackets();
  if (sdp && OnLog) {
    std::vector<AVFormatContext*> files;
    for (int i = 0; i < Output.FileCount; ++i) files.push_back(Output.Files[i].get());
    char text[2048] = {0};
    av.av_sdp_create(files.data(), Output.FileCount, text, sizeof(text));
    Log(1, "SDP: " + Trim(text));
  }

  // 17. The main loop's start.
  LoopStartTime = av.av_gettime_relative();
}
