#include "Id3Tag.h"

#include <cstring>
#include <string>

#include "LibAV.h"
#include "Music.h"

namespace {

void PutSyncSafe(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 21; shift >= 0; shift -= 7) out.push_back((value >> shift) & 0x7f);
}

void PutFrame(std::vector<uint8_t>& out, const char* id, const std::vector<uint8_t>& body) {
  out.insert(out.end(), id, id + 4);
  PutSyncSafe(out, static_cast<uint32_t>(body.size()));
  out.push_back(0);
  out.push_back(0);
  out.insert(out.end(), body.begin(), body.end());
}

const char* FrameId(const char* key) {
  static const char* const Map[][2] = {
      {"title", "TIT2"},   {"artist", "TPE1"},       {"album", "TALB"},
      {"album_artist", "TPE2"}, {"composer", "TCOM"}, {"date", "TDRC"},
      {"year", "TDRC"},    {"track", "TRCK"},        {"disc", "TPOS"},
      {"genre", "TCON"},   {"copyright", "TCOP"},    {"publisher", "TPUB"},
      {"language", "TLAN"}, {"encoded_by", "TENC"},  {"performer", "TPE3"}};
  for (const auto& row : Map)
    if (strcasecmp(row[0], key) == 0) return row[1];
  return nullptr;
}

}  // namespace

std::vector<uint8_t> MakeId3v2Tag(const AVDictionary* metadata, const TCoverPicture* picture) {
  std::vector<uint8_t> frames;
  const AVDictionaryEntry* tag = nullptr;
  while ((tag = av.av_dict_get(metadata, "", tag, AV_DICT_IGNORE_SUFFIX))) {
    if (!tag->value || !*tag->value) continue;
    std::vector<uint8_t> body{3};  // UTF-8
    if (strcasecmp(tag->key, "comment") == 0) {
      body.insert(body.end(), {'e', 'n', 'g', 0});
      body.insert(body.end(), tag->value, tag->value + std::strlen(tag->value));
      PutFrame(frames, "COMM", body);
      continue;
    }
    const char* id = FrameId(tag->key);
    if (!id) {
      // TXXX: description, zero, value.
      body.insert(body.end(), tag->key, tag->key + std::strlen(tag->key) + 1);
      id = "TXXX";
    }
    body.insert(body.end(), tag->value, tag->value + std::strlen(tag->value));
    PutFrame(frames, id, body);
  }
  if (picture && !picture->Empty()) {
    // APIC: encoding, MIME type, picture type, description, the bytes.
    std::vector<uint8_t> body{3};
    body.insert(body.end(), picture->Mime.begin(), picture->Mime.end());
    body.push_back(0);
    body.push_back(static_cast<uint8_t>(picture->PictureType));
    body.insert(body.end(), picture->Description.begin(), picture->Description.end());
    body.push_back(0);
    body.insert(body.end(), picture->Data.begin(), picture->Data.end());
    PutFrame(frames, "APIC", body);
  }
  if (frames.empty()) return frames;
  std::vector<uint8_t> out{'I', 'D', '3', 4, 0, 0};
  PutSyncSafe(out, static_cast<uint32_t>(frames.size()));
  out.insert(out.end(), frames.begin(), frames.end());
  return out;
}
