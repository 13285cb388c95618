// ID3v2.4 tags, for containers whose muxer writes none of their own.
#pragma once
#include <cstdint>
#include <vector>

struct AVDictionary;

// The tag for the generic metadata keys (title, artist, album, date, track,
// genre, comment ...); other keys become user-defined text frames. Empty
// when there is nothing to write.
std::vector<uint8_t> MakeId3v2Tag(const AVDictionary* metadata);
