#include "MusicTags.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <taglib/asffile.h>
#include <taglib/asfpicture.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/commentsframe.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tiostream.h>
#include <taglib/wavfile.h>

#include "SourceFile.h"

namespace {

std::mutex TagLibLock;

TagLib::String Utf8(const std::string& text) { return TagLib::String(text, TagLib::String::UTF8); }

TagLib::ByteVector Bytes(const std::vector<uint8_t>& data) {
  return TagLib::ByteVector(reinterpret_cast<const char*>(data.data()),
                            static_cast<unsigned int>(data.size()));
}

// The ID3/FLAC/ASF picture type (they share the numbers 0..20).
int PictureType(const TCoverPicture& picture) {
  return picture.PictureType >= 0 && picture.PictureType <= 20 ? picture.PictureType : 3;
}

// TagLib's file access on a descriptor of ours: TagLib's own file stream
// drops the errors of its writes (a full disk would pass for a saved tag),
// this one keeps the first, and writes nothing more after it.
class TDescriptorStream : public TagLib::IOStream {
 public:
  TDescriptorStream(int fd, const std::string& name) : Fd(fd), Name(name) {}
  int Error = 0;  // errno of the first failed read or write

  TagLib::FileName name() const override { return Name.c_str(); }
  bool readOnly() const override { return false; }
  bool isOpen() const override { return true; }
  long tell() const override { return static_cast<long>(At); }
  long length() override {
    struct stat st;
    if (fstat(Fd, &st) == 0) return static_cast<long>(st.st_size);
    if (!Error) Error = errno;
    return 0;
  }
  void seek(long offset, Position from) override {
    const off_t base = from == Beginning ? 0 : from == Current ? At : length();
    At = std::max<off_t>(0, base + offset);
  }
  TagLib::ByteVector readBlock(unsigned long size) override {
    const off_t end = length();
    if (size == 0 || At >= end) return TagLib::ByteVector();
    // A damaged size field asks for more than there is.
    size = std::min<unsigned long>(size, static_cast<unsigned long>(end - At));
    TagLib::ByteVector data(static_cast<unsigned int>(size), '\0');
    const size_t got = ReadAt(data.data(), data.size(), At);
    data.resize(static_cast<unsigned int>(got));
    At += static_cast<off_t>(got);
    return data;
  }
  void writeBlock(const TagLib::ByteVector& data) override {
    At += static_cast<off_t>(WriteAt(data.data(), data.size(), At));
  }
  void insert(const TagLib::ByteVector& data, unsigned long start, unsigned long replace) override {
    const off_t at = static_cast<off_t>(start);
    if (data.size() > replace)
      MoveTail(at + static_cast<off_t>(replace), static_cast<off_t>(data.size() - replace));
    else if (data.size() < replace)
      removeBlock(start + data.size(), replace - data.size());
    At = at;
    writeBlock(data);
  }
  void removeBlock(unsigned long start, unsigned long size) override {
    const off_t end = length(), from = static_cast<off_t>(start + size);
    std::vector<char> block(BLOCK);
    for (off_t at = from; at < end && !Error;) {
      const size_t n = std::min<size_t>(BLOCK, static_cast<size_t>(end - at));
      if (ReadAt(block.data(), n, at) != n || WriteAt(block.data(), n, at - static_cast<off_t>(size)) != n)
        break;
      at += static_cast<off_t>(n);
    }
    if (end > from) truncate(static_cast<long>(end - static_cast<off_t>(size)));
  }
  void truncate(long size) override {
    if (!Error && ftruncate(Fd, size) != 0) Error = errno;
  }

 private:
  static constexpr size_t BLOCK = 1 << 20;
  // Moves the bytes from 'from' to the end 'by' bytes on, last block first,
  // so that nothing is overwritten before it was moved.
  void MoveTail(off_t from, off_t by) {
    std::vector<char> block(BLOCK);
    for (off_t stop = length(); stop > from && !Error;) {
      const off_t start = std::max(from, stop - static_cast<off_t>(BLOCK));
      const size_t n = static_cast<size_t>(stop - start);
      if (ReadAt(block.data(), n, start) != n || WriteAt(block.data(), n, start + by) != n) break;
      stop = start;
    }
  }
  size_t ReadAt(char* data, size_t size, off_t at) {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = pread(Fd, data + done, size - done, at + static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && !Error) Error = errno;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    return done;
  }
  size_t WriteAt(const char* data, size_t size, off_t at) {
    size_t done = 0;
    while (done < size && !Error) {
      const ssize_t n = pwrite(Fd, data + done, size - done, at + static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) Error = n < 0 ? errno : ENOSPC;
      else done += static_cast<size_t>(n);
    }
    return done;
  }

  const int Fd;
  const std::string Name;
  off_t At = 0;
};

const char* Id3FrameId(const std::string& key) {
  static const char* const Map[][2] = {
      {"title", "TIT2"},   {"artist", "TPE1"},       {"album", "TALB"},
      {"album_artist", "TPE2"}, {"composer", "TCOM"}, {"date", "TDRC"},
      {"year", "TDRC"},    {"track", "TRCK"},        {"disc", "TPOS"},
      {"genre", "TCON"},   {"copyright", "TCOP"},    {"publisher", "TPUB"},
      {"language", "TLAN"}, {"encoded_by", "TENC"},  {"performer", "TPE3"}};
  for (const auto& row : Map)
    if (strcasecmp(row[0], key.c_str()) == 0) return row[1];
  return nullptr;
}

// The generic keys as their ID3v2.4 frames, "comment" as COMM, the others
// as TXXX; the cover as APIC. All text UTF-8.
void FillId3v2(TagLib::ID3v2::Tag& tag, const TTagEdit& edit) {
  using namespace TagLib::ID3v2;
  for (const auto& pair : edit.Tags) {
    if (strcasecmp(pair.first.c_str(), "comment") == 0) {
      auto* frame = new CommentsFrame(TagLib::String::UTF8);
      frame->setLanguage("eng");
      frame->setText(Utf8(pair.second));
      tag.addFrame(frame);
    } else if (const char* id = Id3FrameId(pair.first)) {
      if (!tag.frameList(id).isEmpty()) continue;  // "year" beside "date"
      auto* frame = new TextIdentificationFrame(id, TagLib::String::UTF8);
      frame->setText(Utf8(pair.second));
      tag.addFrame(frame);
    } else {
      tag.addFrame(new UserTextIdentificationFrame(Utf8(pair.first), Utf8(pair.second),
                                                   TagLib::String::UTF8));
    }
  }
  if (edit.Cover && !edit.Cover->Empty()) {
    auto* frame = new AttachedPictureFrame;
    frame->setTextEncoding(TagLib::String::UTF8);
    frame->setMimeType(edit.Cover->Mime);
    frame->setType(static_cast<AttachedPictureFrame::Type>(PictureType(*edit.Cover)));
    frame->setDescription(Utf8(edit.Cover->Description));
    frame->setPicture(Bytes(edit.Cover->Data));
    tag.addFrame(frame);
  }
}

TTagEditOutcome LeftOut(const std::string& why) { return {teLeftOut, 0, why}; }

// TagLib's part of the edit, on the open file.
TTagEditOutcome Edit(TDescriptorStream& stream, const TTagEdit& edit) {
  const char* const unreadable = "TagLib cannot read the file";
  switch (edit.Container) {
    case tcWav: {
      // TagLib would take an RF64 file for RIFF and write 32-bit sizes into it.
      const TagLib::ByteVector head = stream.readBlock(12);
      if (head.size() < 12 || head.mid(0, 4) != "RIFF" || head.mid(8, 4) != "WAVE")
        return LeftOut("not a RIFF WAVE file (an RF64 file takes no ID3 chunk)");
      stream.seek(0, TagLib::IOStream::Beginning);
      TagLib::RIFF::WAV::File file(&stream, false);
      if (!file.isValid()) return LeftOut(unreadable);
      FillId3v2(*file.ID3v2Tag(), edit);
      // Appended as a chunk, at an even offset, padded to an even size.
      const long end = stream.length();
      const uint64_t tagSize = file.ID3v2Tag()->render(TagLib::ID3v2::v4).size();
      const uint64_t total = static_cast<uint64_t>(end) + end % 2 + 8 + tagSize + tagSize % 2;
      if (total - 8 > 0xFFFFFFFFull) return LeftOut("the file would pass 4 GiB");
      if (file.save(TagLib::RIFF::WAV::File::ID3v2, TagLib::File::StripNone, TagLib::ID3v2::v4))
        return {};
      break;
    }
    case tcMpeg: {
      // TagLib takes any file for MPEG audio; a frame of it must be found.
      TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
      if (!file.isValid() || file.firstFrameOffset() < 0) return LeftOut(unreadable);
      FillId3v2(*file.ID3v2Tag(true), edit);
      if (file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, TagLib::ID3v2::v4,
                    TagLib::File::DoNotDuplicate))
        return {};
      break;
    }
    case tcAsf: {
      TagLib::ASF::File file(&stream, false);
      if (!file.isValid()) return LeftOut(unreadable);
      if (edit.Cover && !edit.Cover->Empty()) {
        TagLib::ASF::Picture picture;
        picture.setMimeType(edit.Cover->Mime);
        picture.setType(static_cast<TagLib::ASF::Picture::Type>(PictureType(*edit.Cover)));
        picture.setDescription(Utf8(edit.Cover->Description));
        picture.setPicture(Bytes(edit.Cover->Data));
        file.tag()->addAttribute("WM/Picture", TagLib::ASF::Attribute(picture));
      }
      if (file.save()) return {};
      break;
    }
    case tcMp4: {
      TagLib::MP4::File file(&stream, false);
      if (!file.isValid() || !file.tag()) return LeftOut(unreadable);
      for (const auto& pair : edit.Tags)
        file.tag()->setItem(Utf8("----:com.apple.iTunes:" + pair.first),
                            TagLib::MP4::Item(TagLib::StringList(Utf8(pair.second))));
      if (file.save()) return {};
      break;
    }
  }
  return {teFailed, 0, "TagLib could not save the file"};
}

}  // namespace

std::string CoverPictureComment(const TCoverPicture& cover) {
  std::lock_guard<std::mutex> lock(TagLibLock);
  TagLib::FLAC::Picture picture;
  picture.setType(static_cast<TagLib::FLAC::Picture::Type>(PictureType(cover)));
  picture.setMimeType(cover.Mime);
  picture.setDescription(Utf8(cover.Description));
  picture.setWidth(cover.Width);
  picture.setHeight(cover.Height);
  picture.setColorDepth(24);
  picture.setNumColors(0);  // not indexed
  picture.setData(Bytes(cover.Data));
  const TagLib::ByteVector base64 = picture.render().toBase64();
  return std::string(base64.data(), base64.size());
}

TTagEditOutcome EditFileTags(const std::string& path, const TTagEdit& edit) {
  if (edit.Empty()) return {};
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return {teFailed, errno, SystemErrorText(errno)};
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return LeftOut("not a plain file");
  }
  TTagEditOutcome outcome;
  {
    TDescriptorStream stream(fd, path);
    std::lock_guard<std::mutex> lock(TagLibLock);
    outcome = Edit(stream, edit);
    if (stream.Error) outcome = {teFailed, stream.Error, SystemErrorText(stream.Error)};
  }
  if (close(fd) != 0 && outcome.Result != teFailed)
    outcome = {teFailed, errno, SystemErrorText(errno)};
  return outcome;
}

bool Mp4KnownKey(const std::string& key) {
  static const char* const Known[] = {
      "title", "artist", "album_artist", "composer", "album", "date", "encoding_tool", "encoder",
      "comment", "genre", "copyright", "grouping", "lyrics", "description", "synopsis", "show",
      "episode_id", "network", "keywords", "episode_sort", "season_number", "media_type",
      "hd_video", "gapless_playback", "compilation", "track", "disc", "tmpo",
      // Written elsewhere in the file, or by the muxer itself.
      "major_brand", "minor_version", "compatible_brands", "creation_time", "language",
      "iTunSMPB"};
  for (const char* k : Known)
    if (key == k) return true;
  return false;
}
