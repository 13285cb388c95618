// Small writers for what the muxers of the libraries leave out: the cover
// as a FLAC picture block (Ogg comments), an "id3 " chunk at the end of a
// WAV file, a WM/Picture attribute in an ASF header, and MP4 freeform
// ("----") tags. The file editors work on a finished output through its own
// descriptor (read and write, seekable); each returns false with a reason
// and leaves the file as a valid file of its format when it cannot edit it
// (checked before anything is written; a failed write is a failed output).
// Plain functions, any thread.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Music.h"

struct AVFormatContext;

// How a muxer takes a cover picture.
enum TCoverKind : int {
  ckNone = 0,           // the format holds none
  ckStream = 1,         // an attached-picture stream (MP3, FLAC, MP4/M4A)
  ckVorbisComment = 2,  // METADATA_BLOCK_PICTURE on the audio stream (Ogg)
  ckOwnWriter = 3       // our writers (MP2's ID3 header, WAV, WMA)
};
TCoverKind CoverKindOf(const AVFormatContext* oc);

// The FLAC PICTURE metadata block's body (no block header).
std::vector<uint8_t> FlacPictureBlock(const TCoverPicture& picture);
std::string Base64(const std::vector<uint8_t>& data);

// Appends an "id3 " chunk holding tag to a RIFF/WAVE file and corrects the
// RIFF size. Refuses an RF64 file or one that would pass 4 GiB.
bool AppendWavId3Chunk(int fd, const std::vector<uint8_t>& tag, std::string& error);

// Adds a WM/Picture attribute to an ASF file's header (the Extended Content
// Description Object when it fits, else the Metadata Library Object of the
// Header Extension), moving the data behind the header.
bool InsertAsfPicture(int fd, const TCoverPicture& picture, std::string& error);

// Adds freeform "----" (com.apple.iTunes) tags to the ilst box of an MP4
// file whose moov box comes last.
bool AddMp4FreeformTags(int fd, const std::vector<std::pair<std::string, std::string>>& tags,
                        std::string& error);
// The metadata keys the MP4 muxer writes in atoms of their own.
bool Mp4KnownKey(const std::string& key);
