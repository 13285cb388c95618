// Joining FLAC frames that come from several encoders (JoinRule.h).
//
// FLAC frames are independent of each other, but each carries its number in
// the stream (the frame number, or the first sample's number where block
// sizes vary), under the header's CRC-8 and the frame's CRC-16; and the
// stream information at the end of the stream holds the smallest and
// largest frame, the sample count and the MD5 of the whole signal. Every
// encoder counts from 0 and knows only its chunk, so:
//  - a chunk's worker numbers its kept frames from the chunk's first frame
//    and sample in the stream, and computes both CRCs again;
//  - the job's thread checks that the chunks before gave one frame for each
//    frame they were fed (the worker's numbers hold) and numbers a chunk's
//    frames again where they did not; a packet that is no frame goes on as
//    it is;
//  - the job's thread hashes the signal as the frames are added (as the
//    encoder would: interleaved little-endian samples of its bit depth) and
//    writes the sizes, the count and the MD5 into the stream information
//    that the last chunk's encoder sends at its end (new extradata side data
//    of its last packet).
//
// Threads and ownership: as in JoinRule.h.
#pragma once
#include <memory>

#include "JoinRule.h"

// bitsPerRawSample: the encoder's bits_per_raw_sample (16 or 24).
std::unique_ptr<TJoinRule> NewFlacJoin(int bitsPerRawSample);
