// The stream probe of an opened input, shared by the engine and the media
// probe.
#pragma once
#include <string>

#include "FFmpegHeaders.h"

class TInputGuard;

// Reads the parameters of an opened input's streams (holding CodecLock) and
// ends the guard's probing limits; the reason it failed, "" when it did not:
// the guard's (a demuxer may take an interrupted read for the end of the
// file), else, where strict, the library's failure.
std::string ProbeStreams(AVFormatContext* context, TInputGuard& guard, const std::string& name,
                         bool strict);
