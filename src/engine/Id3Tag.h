// ID3v2.4 tags, for containers whose muxer writes none of their own.
#pragma once
#include <cstdint>
#include <vector>

struct AVDictionary;
struct TCoverPicture;

// The tag for the generic metadata keys (title, artist, album, date, track,
// genre, comment ...); other keys become user-defined text frames. Empty
// when there is nothing to write. A picture (may be null) becomes an APIC
// frame with its MIME type and picture type.
std::vector<uint8_t> MakeId3v2Tag(const AVDictionary* metadata,
                                  const TCoverPicture* picture = nullptr);
