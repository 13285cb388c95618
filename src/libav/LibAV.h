// The process-wide table of bound entry points. Every call into the media
// libraries and into librtshim goes through `av`: av.avcodec_open2(...).
// The table is written only by TFFmpegLoader (on the main thread, before and
// between jobs) and read by every thread afterwards; an entry is null until
// its library is loaded and bound.
#pragma once
#include "EntryPoints.h"
#include "FFmpegHeaders.h"
#include "rtshim/rtshim.h"

struct TLibAV {
#define QL_DECLARE_ENTRY(name) decltype(&::name) name = nullptr;
  QL_ALL_ENTRY_POINTS(QL_DECLARE_ENTRY)
#undef QL_DECLARE_ENTRY
};

extern TLibAV av;
