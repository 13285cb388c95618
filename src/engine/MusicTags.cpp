#include "MusicTags.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

void PutBE(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void PutLE(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
uint64_t GetLE(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint64_t GetBE(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}
void SetLE(uint8_t* p, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}
void SetBE(uint8_t* p, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) p[i] = static_cast<uint8_t>(value);
}

bool ReadAt(int fd, void* data, size_t size, off_t at) {
  auto* p = static_cast<uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = pread(fd, p, size, at);
    if (n <= 0) return false;
    p += n, at += n, size -= static_cast<size_t>(n);
  }
  return true;
}
bool WriteAt(int fd, const void* data, size_t size, off_t at) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = pwrite(fd, p, size, at);
    if (n <= 0) return false;
    p += n, at += n, size -= static_cast<size_t>(n);
  }
  return true;
}
off_t FileSize(int fd) { return lseek(fd, 0, SEEK_END); }

// Moves the bytes from 'from' to the end of the file 'by' bytes on, last
// block first so that nothing is overwritten before it was moved.
bool ShiftTail(int fd, off_t from, off_t by, std::string& error) {
  const off_t end = FileSize(fd);
  std::vector<uint8_t> block(1 << 20);
  for (off_t stop = end; stop > from;) {
    const off_t start = std::max(from, stop - static_cast<off_t>(block.size()));
    const size_t size = static_cast<size_t>(stop - start);
    if (!ReadAt(fd, block.data(), size, start) || !WriteAt(fd, block.data(), size, start + by)) {
      error = "cannot move the file's data";
      return false;
    }
    stop = start;
  }
  return true;
}

std::vector<uint8_t> Utf16(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < text.size();) {
    uint32_t c = static_cast<uint8_t>(text[i]);
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra) c &= 0x3F >> extra;
    ++i;
    for (; extra > 0 && i < text.size(); --extra, ++i) c = (c << 6) | (text[i] & 0x3F);
    if (c >= 0x10000) {
      c -= 0x10000;
      PutLE(out, 0xD800 + (c >> 10), 2);
      PutLE(out, 0xDC00 + (c & 0x3FF), 2);
    } else {
      PutLE(out, c, 2);
    }
  }
  PutLE(out, 0, 2);
  return out;
}

// GUIDs as they are stored (the first three fields little-endian).
const uint8_t ASF_HEADER[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const uint8_t ASF_FILE_PROPERTIES[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                         0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const uint8_t ASF_EXTENDED_CONTENT[16] = {0x40, 0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11,
                                          0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8, 0x50};
const uint8_t ASF_HEADER_EXTENSION[16] = {0xB5, 0x03, 0xBF, 0x5F, 0x2E, 0xA9, 0xCF, 0x11,
                                          0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const uint8_t ASF_METADATA_LIBRARY[16] = {0x94, 0x1C, 0x23, 0x44, 0x98, 0x94, 0xD1, 0x49,
                                          0xA1, 0x41, 0x1D, 0x13, 0x4E, 0x45, 0x70, 0x54};

// Offset of the first object with that GUID among the objects in [from, to).
size_t FindAsfObject(const std::vector<uint8_t>& h, size_t from, size_t to, const uint8_t* guid) {
  for (size_t at = from; at + 24 <= to;) {
    const uint64_t size = GetLE(&h[at + 16], 8);
    if (std::memcmp(&h[at], guid, 16) == 0) return at;
    if (size < 24 || at + size > to) break;
    at += size;
  }
  return std::string::npos;
}

}  // namespace

std::vector<uint8_t> FlacPictureBlock(const TCoverPicture& p) {
  std::vector<uint8_t> out;
  PutBE(out, static_cast<uint32_t>(p.PictureType), 4);
  PutBE(out, p.Mime.size(), 4);
  out.insert(out.end(), p.Mime.begin(), p.Mime.end());
  PutBE(out, p.Description.size(), 4);
  out.insert(out.end(), p.Description.begin(), p.Description.end());
  PutBE(out, static_cast<uint32_t>(p.Width), 4);
  PutBE(out, static_cast<uint32_t>(p.Height), 4);
  PutBE(out, 24, 4);  // colour depth
  PutBE(out, 0, 4);   // palette size (not indexed)
  PutBE(out, p.Data.size(), 4);
  out.insert(out.end(), p.Data.begin(), p.Data.end());
  return out;
}

std::string Base64(const std::vector<uint8_t>& data) {
  static const char Table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  for (size_t i = 0; i < data.size(); i += 3) {
    const uint32_t n = (static_cast<uint32_t>(data[i]) << 16) |
                       (i + 1 < data.size() ? data[i + 1] << 8 : 0) |
                       (i + 2 < data.size() ? data[i + 2] : 0);
    out += Table[(n >> 18) & 63];
    out += Table[(n >> 12) & 63];
    out += i + 1 < data.size() ? Table[(n >> 6) & 63] : '=';
    out += i + 2 < data.size() ? Table[n & 63] : '=';
  }
  return out;
}

bool AppendWavId3Chunk(int fd, const std::vector<uint8_t>& tag, std::string& error) {
  uint8_t head[12];
  if (!ReadAt(fd, head, sizeof(head), 0) || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "WAVE", 4) != 0) {
    error = "not a RIFF WAVE file (an RF64 file takes no ID3 chunk)";
    return false;
  }
  off_t end = FileSize(fd);
  const bool pad = end % 2 != 0;  // chunks start at even offsets
  const uint64_t total = static_cast<uint64_t>(end) + (pad ? 1 : 0) + 8 + tag.size() + tag.size() % 2;
  if (total - 8 > 0xFFFFFFFFull) {
    error = "the file would pass 4 GiB";
    return false;
  }
  std::vector<uint8_t> chunk;
  if (pad) chunk.push_back(0);
  chunk.insert(chunk.end(), {'i', 'd', '3', ' '});
  PutLE(chunk, tag.size(), 4);
  chunk.insert(chunk.end(), tag.begin(), tag.end());
  if (tag.size() % 2) chunk.push_back(0);
  uint8_t riff[4];
  SetLE(riff, total - 8, 4);
  if (!WriteAt(fd, chunk.data(), chunk.size(), end) || !WriteAt(fd, riff, 4, 4)) {
    error = "cannot write the ID3 chunk";
    return false;
  }
  return true;
}

bool InsertAsfPicture(int fd, const TCoverPicture& picture, std::string& error) {
  uint8_t top[30];
  if (!ReadAt(fd, top, sizeof(top), 0) || std::memcmp(top, ASF_HEADER, 16) != 0) {
    error = "not an ASF file";
    return false;
  }
  const uint64_t headerSize = GetLE(top + 16, 8);
  const off_t fileSize = FileSize(fd);
  if (headerSize < 30 || headerSize > static_cast<uint64_t>(fileSize) || headerSize > (64u << 20)) {
    error = "the ASF header is damaged";
    return false;
  }
  std::vector<uint8_t> h(static_cast<size_t>(headerSize));
  if (!ReadAt(fd, h.data(), h.size(), 0)) {
    error = "cannot read the ASF header";
    return false;
  }
  // WM/Picture: type, data size, MIME and description (UTF-16), the bytes.
  std::vector<uint8_t> value;
  value.push_back(static_cast<uint8_t>(picture.PictureType));
  PutLE(value, picture.Data.size(), 4);
  const std::vector<uint8_t> mime = Utf16(picture.Mime), description = Utf16(picture.Description);
  value.insert(value.end(), mime.begin(), mime.end());
  value.insert(value.end(), description.begin(), description.end());
  value.insert(value.end(), picture.Data.begin(), picture.Data.end());
  const std::vector<uint8_t> name = Utf16("WM/Picture");

  const size_t props = FindAsfObject(h, 30, h.size(), ASF_FILE_PROPERTIES);
  if (props == std::string::npos || props + 48 > h.size()) {
    error = "the ASF header has no file properties";
    return false;
  }
  // Where the new bytes go, and which sizes grow with them.
  size_t insertAt = 0;
  std::vector<uint8_t> added;
  std::vector<size_t> sizeFields;  // QWORD object sizes that contain the insertion
  bool newHeaderObject = false;
  size_t extensionDataSize = std::string::npos;  // DWORD of the Header Extension
  const size_t ecd = FindAsfObject(h, 30, h.size(), ASF_EXTENDED_CONTENT);
  if (value.size() <= 0xFFFF) {
    PutLE(added, name.size(), 2);
    added.insert(added.end(), name.begin(), name.end());
    PutLE(added, 1, 2);  // byte array
    PutLE(added, value.size(), 2);
    added.insert(added.end(), value.begin(), value.end());
    if (ecd != std::string::npos) {
      const uint64_t size = GetLE(&h[ecd + 16], 8);
      insertAt = ecd + static_cast<size_t>(size);
      sizeFields.push_back(ecd + 16);
      SetLE(&h[ecd + 24], GetLE(&h[ecd + 24], 2) + 1, 2);
    } else {
      std::vector<uint8_t> object(ASF_EXTENDED_CONTENT, ASF_EXTENDED_CONTENT + 16);
      PutLE(object, 26 + added.size(), 8);
      PutLE(object, 1, 2);
      object.insert(object.end(), added.begin(), added.end());
      added.swap(object);
      insertAt = h.size();
      newHeaderObject = true;
    }
  } else {
    // Too large for a 16-bit value length: a Metadata Library record.
    const size_t ext = FindAsfObject(h, 30, h.size(), ASF_HEADER_EXTENSION);
    if (ext == std::string::npos || ext + 46 > h.size()) {
      error = "the ASF header has no header extension";
      return false;
    }
    std::vector<uint8_t> record;
    PutLE(record, 0, 2);  // language list index
    PutLE(record, 0, 2);  // stream number: the file
    PutLE(record, name.size(), 2);
    PutLE(record, 1, 2);  // byte array
    PutLE(record, value.size(), 4);
    record.insert(record.end(), name.begin(), name.end());
    record.insert(record.end(), value.begin(), value.end());
    const uint64_t extSize = GetLE(&h[ext + 16], 8);
    const size_t library = FindAsfObject(h, ext + 46, ext + static_cast<size_t>(extSize),
                                         ASF_METADATA_LIBRARY);
    sizeFields.push_back(ext + 16);
    extensionDataSize = ext + 42;
    if (library != std::string::npos) {
      insertAt = library + static_cast<size_t>(GetLE(&h[library + 16], 8));
      sizeFields.push_back(library + 16);
      SetLE(&h[library + 24], GetLE(&h[library + 24], 2) + 1, 2);
      added = record;
    } else {
      added.assign(ASF_METADATA_LIBRARY, ASF_METADATA_LIBRARY + 16);
      PutLE(added, 26 + record.size(), 8);
      PutLE(added, 1, 2);
      added.insert(added.end(), record.begin(), record.end());
      insertAt = ext + static_cast<size_t>(extSize);
    }
  }
  if (insertAt > h.size() || headerSize + added.size() > 0xFFFFFFFFull) {
    error = "the ASF header is damaged";
    return false;
  }
  const uint64_t grow = added.size();
  for (size_t field : sizeFields) SetLE(&h[field], GetLE(&h[field], 8) + grow, 8);
  if (extensionDataSize != std::string::npos)
    SetLE(&h[extensionDataSize], GetLE(&h[extensionDataSize], 4) + grow, 4);
  SetLE(&h[16], headerSize + grow, 8);
  if (newHeaderObject) SetLE(&h[24], GetLE(&h[24], 4) + 1, 4);
  SetLE(&h[props + 40], static_cast<uint64_t>(fileSize) + grow, 8);
  h.insert(h.begin() + static_cast<std::ptrdiff_t>(insertAt), added.begin(), added.end());
  if (!ShiftTail(fd, static_cast<off_t>(headerSize), static_cast<off_t>(grow), error)) return false;
  if (!WriteAt(fd, h.data(), h.size(), 0)) {
    error = "cannot write the ASF header";
    return false;
  }
  return true;
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

bool AddMp4FreeformTags(int fd, const std::vector<std::pair<std::string, std::string>>& tags,
                        std::string& error) {
  if (tags.empty()) return true;
  // The top-level boxes: moov must be the last one, so that it can grow
  // without moving the media data.
  const off_t fileSize = FileSize(fd);
  off_t at = 0, moov = -1;
  uint64_t moovSize = 0;
  while (at + 8 <= fileSize) {
    uint8_t box[8];
    if (!ReadAt(fd, box, 8, at)) break;
    uint64_t size = GetBE(box, 4);
    if (size == 1 || size < 8) {
      error = "an MP4 box of 64-bit size";
      return false;
    }
    if (std::memcmp(box + 4, "moov", 4) == 0) {
      moov = at;
      moovSize = size;
    }
    at += static_cast<off_t>(size);
  }
  if (moov < 0 || moov + static_cast<off_t>(moovSize) != fileSize || moovSize > (64u << 20)) {
    error = "the MP4 file's moov box does not come last";
    return false;
  }
  std::vector<uint8_t> m(static_cast<size_t>(moovSize));
  if (!ReadAt(fd, m.data(), m.size(), moov)) {
    error = "cannot read the moov box";
    return false;
  }
  // moov > udta > meta (a full box) > ilst.
  auto child = [&](size_t parent, size_t first, const char* type) -> size_t {
    const size_t end = parent + static_cast<size_t>(GetBE(&m[parent], 4));
    for (size_t p = first; p + 8 <= end;) {
      const size_t size = static_cast<size_t>(GetBE(&m[p], 4));
      if (size < 8 || p + size > end) break;
      if (std::memcmp(&m[p + 4], type, 4) == 0) return p;
      p += size;
    }
    return std::string::npos;
  };
  const size_t udta = child(0, 8, "udta");
  const size_t meta = udta == std::string::npos ? udta : child(udta, udta + 8, "meta");
  const size_t ilst = meta == std::string::npos ? meta : child(meta, meta + 12, "ilst");
  if (ilst == std::string::npos) {
    error = "the MP4 file has no tag list";
    return false;
  }
  std::vector<uint8_t> added;
  for (const auto& tag : tags) {
    std::vector<uint8_t> atom;
    auto box = [&](const char* type, const std::vector<uint8_t>& body) {
      PutBE(atom, 8 + body.size(), 4);
      atom.insert(atom.end(), type, type + 4);
      atom.insert(atom.end(), body.begin(), body.end());
    };
    std::vector<uint8_t> mean{0, 0, 0, 0}, name{0, 0, 0, 0}, data{0, 0, 0, 1, 0, 0, 0, 0};
    const std::string domain = "com.apple.iTunes";
    mean.insert(mean.end(), domain.begin(), domain.end());
    name.insert(name.end(), tag.first.begin(), tag.first.end());
    data.insert(data.end(), tag.second.begin(), tag.second.end());
    box("mean", mean);
    box("name", name);
    box("data", data);
    PutBE(added, 8 + atom.size(), 4);
    added.insert(added.end(), {'-', '-', '-', '-'});
    added.insert(added.end(), atom.begin(), atom.end());
  }
  const size_t insertAt = ilst + static_cast<size_t>(GetBE(&m[ilst], 4));
  for (size_t box : {size_t{0}, udta, meta, ilst}) {
    const uint64_t size = GetBE(&m[box], 4) + added.size();
    if (size > 0xFFFFFFFFull) {
      error = "the moov box would pass 4 GiB";
      return false;
    }
    SetBE(&m[box], size, 4);
  }
  m.insert(m.begin() + static_cast<std::ptrdiff_t>(insertAt), added.begin(), added.end());
  if (!WriteAt(fd, m.data(), m.size(), moov)) {
    error = "cannot write the moov box";
    return false;
  }
  return true;
}
