// Joining MPEG audio layer III frames that come from several encoders.
//
// A layer III frame may begin its main data in the payload of earlier frames
// (the bit reservoir: up to 511 bytes back, 255 for the half-rate versions).
// Frames cut from the outputs of several encoder instances do not fit
// together as they are: the first frame after a join points into frames that
// were dropped. So each encoder's frames are first made self-contained
// (TMp3Unpacker: the frame's own main data follows its side information),
// and the joined stream is then laid out anew (TMp3Repacker): each frame's
// main data goes as early as the reservoir allows into the payloads of the
// frames before it. A frame whose data still does not fit is written at the
// next higher bit rate (every frame carries its own bit rate, so this is a
// valid stream; it happens only at a join).
//
// NewMp3Join wraps the two for the split encoder (JoinRule.h): each chunk's
// worker unpacks every frame its encoder made and keeps its own ones; the
// job's thread repacks the kept frames of chunk after chunk and writes them
// as packets with the properties (side data) each frame had.
//
// Threads: an unpacker or repacker is used by one thread and makes no
// library calls; the join rule follows JoinRule.h.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "JoinRule.h"

// One frame on its own: header, CRC and side information, then all of its
// main data (a "main data begin" of 0); not a playable frame.
struct TMp3Unit {
  std::vector<uint8_t> Bytes;
  int64_t Pts = 0, Duration = 0;
  bool Layer3 = true;  // false: not a layer III frame; passed on unchanged
};

// Makes the frames of one encoder's output self-contained. Feed every frame
// the encoder made, in order, dropped ones included (their payload holds
// main data of the frames after them).
class TMp3Unpacker {
 public:
  TMp3Unit Unpack(const uint8_t* data, int size, int64_t pts, int64_t duration);

 private:
  std::vector<uint8_t> Reservoir;  // the last payload bytes of the stream
};

// Lays self-contained frames out as one stream of playable frames.
class TMp3Repacker {
 public:
  void Add(TMp3Unit unit);
  // The end of the stream: every frame may leave.
  void Finish();
  struct TFrame {
    std::vector<uint8_t> Bytes;
    int64_t Pts = 0, Duration = 0;
  };
  // The next frame ready to leave (in order); false when none is ready.
  bool Take(TFrame& frame);
  // Frames written at a higher bit rate than the encoder gave them.
  int Enlarged() const { return EnlargedCount; }
  // Frames whose data did not fit even at the highest bit rate: the data
  // was cut short, so the stream is damaged there (the join fails).
  int Cut() const { return CutCount; }

 private:
  struct TSlot {
    std::vector<uint8_t> Head;     // header, CRC and side information
    std::vector<uint8_t> Payload;  // the frame's payload, filled as data is laid
    int64_t PayloadStart = 0;      // in the stream of payload bytes
    int64_t Pts = 0, Duration = 0;
    bool Layer3 = true;
  };
  void Release(bool all);

  std::deque<TSlot> Slots;  // laid, not yet final
  std::deque<TFrame> Ready;
  int64_t PayloadEnd = 0;  // end of the payload stream laid so far
  int64_t DataEnd = 0;     // end of the main data laid so far
  int MaxBack = 511;       // of the stream's version
  int EnlargedCount = 0;
  int CutCount = 0;
};

// The split encoder's join rule for MPEG audio layer III.
std::unique_ptr<TJoinRule> NewMp3Join();
