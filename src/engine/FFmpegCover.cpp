// Cover art: the picture a source carries (an attached picture of any
// container the libraries read: ID3 APIC, FLAC PICTURE, MP4 covr, Ogg
// METADATA_BLOCK_PICTURE, ASF WM/Picture, a WAV id3 chunk), or a folder
// picture beside it, handed on as the same bytes to each output format that
// holds one. The muxers of MP3, FLAC and MP4 write it themselves from an
// attached-picture stream; Ogg takes it as a METADATA_BLOCK_PICTURE comment;
// MP2, WAV and WMA get it through TagLib once the muxer is done (MusicTags.h).
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "FFmpeg.h"
#include "MusicTags.h"
#include "Transcode.h"

namespace {

// Pictures larger than this are not taken from a folder (a scan, not a cover).
constexpr int64_t MAX_FOLDER_PICTURE = 16 << 20;

const char* const PictureTypes[] = {
    "Other",          "32x32 pixels 'file icon'", "Other file icon", "Cover (front)",
    "Cover (back)",   "Leaflet page",             "Media (e.g. label side of CD)",
    "Lead artist/lead performer/soloist",         "Artist/performer", "Conductor",
    "Band/Orchestra", "Composer",                 "Lyricist/text writer",
    "Recording Location", "During recording",     "During performance",
    "Movie/video screen capture", "A bright coloured fish", "Illustration",
    "Band/artist logotype", "Publisher/Studio logotype"};

const char* MimeOf(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_MJPEG: return "image/jpeg";
    case AV_CODEC_ID_PNG: return "image/png";
    case AV_CODEC_ID_BMP: return "image/bmp";
    case AV_CODEC_ID_GIF: return "image/gif";
    default: return nullptr;
  }
}

// The picture's kind from its first bytes. A container's label (a MIME
// type, a codec) is only what its writer claimed: the bytes decide.
AVCodecID SniffPicture(const uint8_t* d, size_t size) {
  if (size > 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF) return AV_CODEC_ID_MJPEG;
  if (size > 8 && std::memcmp(d, "\x89PNG\r\n\x1a\n", 8) == 0) return AV_CODEC_ID_PNG;
  if (size > 10 && (std::memcmp(d, "GIF87a", 6) == 0 || std::memcmp(d, "GIF89a", 6) == 0))
    return AV_CODEC_ID_GIF;
  if (size > 26 && d[0] == 'B' && d[1] == 'M') return AV_CODEC_ID_BMP;
  return AV_CODEC_ID_NONE;
}
AVCodecID SniffPicture(const std::vector<uint8_t>& d) { return SniffPicture(d.data(), d.size()); }

uint32_t LittleEndian(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

uint32_t BigEndian(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}

// Width and height from a PNG's IHDR, a GIF's screen, a BMP's info header or
// a JPEG's frame header; left as they were when the bytes do not say.
void PictureSize(const std::vector<uint8_t>& d, AVCodecID id, int& width, int& height) {
  if (id == AV_CODEC_ID_PNG && d.size() >= 24) {
    width = static_cast<int>(BigEndian(&d[16], 4));
    height = static_cast<int>(BigEndian(&d[20], 4));
    return;
  }
  if (id == AV_CODEC_ID_GIF && d.size() >= 10) {
    width = static_cast<int>(LittleEndian(&d[6], 2));
    height = static_cast<int>(LittleEndian(&d[8], 2));
    return;
  }
  if (id == AV_CODEC_ID_BMP && d.size() >= 26) {
    // The height is negative for a picture stored top-down.
    width = static_cast<int>(static_cast<int32_t>(LittleEndian(&d[18], 4)));
    const int32_t h = static_cast<int32_t>(LittleEndian(&d[22], 4));
    height = h == INT32_MIN ? 0 : std::abs(h);
    return;
  }
  if (id != AV_CODEC_ID_MJPEG) return;
  size_t at = 2;
  while (at + 9 < d.size()) {
    if (d[at] != 0xFF) return;
    const uint8_t marker = d[at + 1];
    const size_t length = BigEndian(&d[at + 2], 2);
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                       marker != 0xCC;
    if (frame) {
      height = static_cast<int>(BigEndian(&d[at + 5], 2));
      width = static_cast<int>(BigEndian(&d[at + 7], 2));
      return;
    }
    at += 2 + length;
  }
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& data) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
      st.st_size > MAX_FOLDER_PICTURE)
    return false;
  std::ifstream in(path, std::ios::binary);
  data.resize(static_cast<size_t>(st.st_size));
  return static_cast<bool>(in.read(reinterpret_cast<char*>(data.data()), st.st_size));
}

// "folder.jpg", "cover.jpg" (any case; also .jpeg and .png) beside a file.
std::string FolderPicture(const std::string& source) {
  const size_t slash = source.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : source.substr(0, slash ? slash : 1);
  DIR* dir = opendir(folder.c_str());
  if (!dir) return "";
  static const char* const Names[] = {"folder.jpg", "cover.jpg", "folder.jpeg", "cover.jpeg",
                                      "folder.png", "cover.png"};
  std::string found;
  size_t rank = sizeof(Names) / sizeof(Names[0]);
  while (const dirent* entry = readdir(dir))
    for (size_t i = 0; i < rank; ++i)
      if (strcasecmp(entry->d_name, Names[i]) == 0) {
        found = folder + "/" + entry->d_name;
        rank = i;
        break;
      }
  closedir(dir);
  return found;
}

bool OneOf(const char* name, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (std::strcmp(name, n) == 0) return true;
  return false;
}

}  // namespace

TCoverKind CoverKindOf(const AVFormatContext* oc) {
  const char* name = oc->oformat->name;
  if (OneOf(name, {"mp3", "flac", "ipod", "mp4", "mov", "3gp", "3g2", "psp"})) return ckStream;
  if (OneOf(name, {"ogg", "oga", "opus", "spx"})) return ckVorbisComment;
  if (OneOf(name, {"mp2", "wav", "asf", "asf_stream"})) return ckFileEdit;
  return ckNone;
}

// Whether an output format takes a picture of that kind: the MP4 muxer
// writes JPEG, PNG and BMP covers only; the others take any of ours.
bool CoverTakes(const AVFormatContext* oc, AVCodecID id) {
  if (OneOf(oc->oformat->name, {"ipod", "mp4", "mov", "3gp", "3g2", "psp"}))
    return id == AV_CODEC_ID_MJPEG || id == AV_CODEC_ID_PNG || id == AV_CODEC_ID_BMP;
  return MimeOf(id) != nullptr;
}

bool TCustomFFmpeg::FindCover(TCoverPicture& cover) {
  cover = TCoverPicture();
  // The front cover when a source says which picture is which, else the first.
  const AVStream* best = nullptr;
  AVCodecID bestId = AV_CODEC_ID_NONE;
  for (int f = 0; f < Input.FileCount; ++f) {
    const AVFormatContext* ic = Input.Files[f].get();
    for (unsigned s = 0; s < ic->nb_streams; ++s) {
      const AVStream* st = ic->streams[s];
      if (!(st->disposition & AV_DISPOSITION_ATTACHED_PIC) || st->attached_pic.size <= 0)
        continue;
      const AVCodecID id =
          SniffPicture(st->attached_pic.data, static_cast<size_t>(st->attached_pic.size));
      if (!MimeOf(id)) {
        // Text or noise under a picture's label would fail the headers of
        // some muxers and be carried unreadable by others.
        Log(0, StrFormat("The picture in '%s' is no JPEG, PNG, GIF or BMP picture; it is left out",
                         ic->url ? ic->url : "input"));
        continue;
      }
      if (id != st->codecpar->codec_id)
        Log(1, StrFormat("The picture in '%s' is labelled %s but is %s; it is kept as %s",
                         ic->url ? ic->url : "input", av.avcodec_get_name(st->codecpar->codec_id),
                         av.avcodec_get_name(id), MimeOf(id)));
      const AVDictionaryEntry* kind = av.av_dict_get(st->metadata, "comment", nullptr, 0);
      const bool front = kind && strcasecmp(kind->value, "Cover (front)") == 0;
      if (!best || front) {
        best = st;
        bestId = id;
      }
      if (front) break;
    }
  }
  if (best) {
    const AVPacket& pic = best->attached_pic;
    cover.Data.assign(pic.data, pic.data + pic.size);
    cover.CodecId = bestId;
    cover.Mime = MimeOf(bestId);
    // The demuxer's size holds only when it read the picture as what it is.
    if (best->codecpar->codec_id == bestId) {
      cover.Width = best->codecpar->width;
      cover.Height = best->codecpar->height;
    }
    // "Other" is what most writers put when they say nothing: the one
    // picture of a file is its cover.
    cover.PictureType = 3;
    if (const AVDictionaryEntry* kind = av.av_dict_get(best->metadata, "comment", nullptr, 0))
      for (int t = 1; t < static_cast<int>(sizeof(PictureTypes) / sizeof(PictureTypes[0])); ++t)
        if (strcasecmp(kind->value, PictureTypes[t]) == 0) cover.PictureType = t;
    if (const AVDictionaryEntry* title = av.av_dict_get(best->metadata, "title", nullptr, 0))
      cover.Description = title->value;
  } else if (Music.FolderCover && Input.FileCount > 0 && Input.Files[0]->url) {
    const std::string picture = FolderPicture(LocalPath(Input.Files[0]->url));
    if (picture.empty() || !ReadWholeFile(picture, cover.Data)) return false;
    const AVCodecID id = SniffPicture(cover.Data);
    if (!MimeOf(id)) {
      cover = TCoverPicture();
      return false;
    }
    cover.CodecId = id;
    cover.Mime = MimeOf(id);
    Log(1, StrFormat("Cover picture from '%s'", picture.c_str()));
  }
  if (cover.Empty()) return false;
  if (cover.Width <= 0 || cover.Height <= 0)
    PictureSize(cover.Data, static_cast<AVCodecID>(cover.CodecId), cover.Width, cover.Height);
  if (cover.Width <= 0 || cover.Height <= 0) {
    // A picture whose size cannot be read is no picture a player shows (and
    // an attached-picture stream without a size fails the muxer's header).
    Log(0, StrFormat("The cover picture of '%s' is damaged (no size in it); it is left out",
                     Input.FileCount > 0 && Input.Files[0]->url ? Input.Files[0]->url : "input"));
    cover = TCoverPicture();
    return false;
  }
  return true;
}

void TCustomFFmpeg::PrepareCovers() {
  TCoverPicture& cover = Music.Run.Cover;
  Music.Run.CoverStreams.assign(static_cast<size_t>(Output.FileCount), -1);
  Music.Run.CoverInFile.assign(static_cast<size_t>(Output.FileCount), false);
  if (!Music.KeepCover || !FindCover(cover)) return;
  for (int i = 0; i < Output.FileCount; ++i) {
    AVFormatContext* oc = Output.Files[i].get();
    bool hasAudio = false, hasPicture = false;
    for (unsigned s = 0; s < oc->nb_streams; ++s) {
      hasAudio = hasAudio || oc->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
      hasPicture = hasPicture || oc->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    }
    // A video output carries pictures of its own; only music takes the cover.
    if (!hasAudio || hasPicture) continue;
    if (CoverKindOf(oc) != ckNone && !CoverTakes(oc, static_cast<AVCodecID>(cover.CodecId))) {
      Log(0, StrFormat("The %s format holds no %s picture; the cover of '%s' is left out",
                       oc->oformat->name, cover.Mime.c_str(),
                       Input.Files[0]->url ? Input.Files[0]->url : "input"));
      continue;
    }
    switch (CoverKindOf(oc)) {
      case ckStream: {
        AVStream* st = av.avformat_new_stream(oc, nullptr);
        if (!st) throw FFmpegException("av_mallocz fail");
        st->id = st->index;
        st->disposition = AV_DISPOSITION_ATTACHED_PIC;
        st->time_base = AVRational{1, 90000};
        AVCodecParameters* par = st->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = static_cast<AVCodecID>(cover.CodecId);
        par->width = cover.Width;
        par->height = cover.Height;
        // The picture type, as the ID3 and MP4 writers read it.
        av.av_dict_set(&st->metadata, "comment", PictureTypes[cover.PictureType], 0);
        if (!cover.Description.empty())
          av.av_dict_set(&st->metadata, "title", cover.Description.c_str(), 0);
        Music.Run.CoverStreams[static_cast<size_t>(i)] = st->index;
        break;
      }
      case ckVorbisComment: {
        const std::string block = CoverPictureComment(cover);
        for (unsigned s = 0; s < oc->nb_streams; ++s)
          if (oc->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            av.av_dict_set(&oc->streams[s]->metadata, "METADATA_BLOCK_PICTURE", block.c_str(), 0);
        break;
      }
      case ckFileEdit:
        Music.Run.CoverInFile[static_cast<size_t>(i)] = true;  // FinishMusicOutputs
        break;
      case ckNone:
        Log(1, StrFormat("The %s format holds no cover picture; the cover is left out",
                         oc->oformat->name));
        break;
    }
  }
}

void TCustomFFmpeg::WriteCoverPackets() {
  const TCoverPicture& cover = Music.Run.Cover;
  for (int i = 0; i < Output.FileCount && i < static_cast<int>(Music.Run.CoverStreams.size()); ++i) {
    const int stream = Music.Run.CoverStreams[static_cast<size_t>(i)];
    if (stream < 0) continue;
    PacketPtr pkt(av.av_packet_alloc());
    if (!pkt || av.av_new_packet(pkt.get(), static_cast<int>(cover.Data.size())) < 0)
      throw FFmpegException("av_mallocz fail");
    std::memcpy(pkt->data, cover.Data.data(), cover.Data.size());
    pkt->stream_index = stream;
    pkt->pts = pkt->dts = 0;
    pkt->flags |= AV_PKT_FLAG_KEY;
    // Before any sound: the MP3 and FLAC muxers hold the sound back until
    // they have every picture.
    const int result = av.av_write_frame(Output.Files[i].get(), pkt.get());
    if (result < 0) throw FFmpegException(LibraryErrorText("av_write_frame()", result));
  }
}
