// Tags and covers the muxers of the libraries leave out, written through
// TagLib: an ID3v2 tag (text and APIC) in a WAV file's "ID3 " chunk and in
// front of raw MPEG audio (MP2), a WM/Picture attribute in an ASF header,
// MP4 freeform ("----:com.apple.iTunes:KEY") tags, and the cover as a FLAC
// picture block for Ogg's METADATA_BLOCK_PICTURE comment (the muxer writes
// that one). Texts are UTF-8.
//
// Threads: any. TagLib keeps lazily filled tables shared by all its objects
// (frame and key maps), so every call here takes one process-wide lock for
// its TagLib work; the jobs of several threads tag their files one at a time.
#pragma once
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
  ckFileEdit = 3        // written into the finished file (MP2, WAV, WMA: EditFileTags)
};
TCoverKind CoverKindOf(const AVFormatContext* oc);

// The cover as a FLAC picture block (no block header), base64: the value
// of a METADATA_BLOCK_PICTURE comment.
std::string CoverPictureComment(const TCoverPicture& picture);

// The container of a finished file that is edited.
enum TTagContainer : int {
  tcWav = 0,   // tags and cover as an ID3v2 "ID3 " chunk; LIST/INFO stays
  tcMpeg = 1,  // tags and cover as an ID3v2 tag in front of the frames
  tcAsf = 2,   // the cover as WM/Picture (the muxer wrote the tags)
  tcMp4 = 3    // the tags as freeform items (the muxer wrote the others)
};

struct TTagEdit {
  TTagContainer Container = tcWav;
  std::vector<std::pair<std::string, std::string>> Tags;  // key, UTF-8 value
  const TCoverPicture* Cover = nullptr;                   // null or empty: none
  bool Empty() const { return Tags.empty() && (!Cover || Cover->Empty()); }
};

enum TTagEditResult : int {
  teWritten = 0,  // saved
  teLeftOut = 1,  // the file is as it was: TagLib cannot read it, or the
                  // format cannot take the tag (RF64, a WAV past 4 GiB)
  teFailed = 2    // a read or write failed: the file may be damaged
};

struct TTagEditOutcome {
  TTagEditResult Result = teWritten;
  int Error = 0;     // errno of a failed read or write (teFailed)
  std::string Text;  // why, in English (teLeftOut, teFailed)
};

// Adds the tags and the cover to the finished file at path (a plain file,
// opened read-write on a descriptor of its own; nothing else may write it
// meanwhile) and saves it. Blocks for the time of the edit: TagLib moves
// the data behind a tag that grows in front of it.
TTagEditOutcome EditFileTags(const std::string& path, const TTagEdit& edit);

// The metadata keys the MP4 muxer writes in atoms of their own.
bool Mp4KnownKey(const std::string& key);
