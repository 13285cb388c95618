// The input-side fuzz entry: the bytes of one input are taken as a media file
// and go through what the application does with a file a user adds: the
// probe describes it, an engine converts its first seconds.
//
// Layout of an input: byte 0 picks the file's extension, byte 1 the output
// and extras (see FuzzInput.cpp), the rest is the file. Shorter inputs are
// ignored. The seed corpus (make_corpus.sh) writes its media files behind
// such a two-byte header.
//
// Threads: one call at a time. The media libraries are loaded on the first
// call, from "LibAV" beside the executable, and stay loaded. Files go into a
// private temporary folder that is removed at exit.
#pragma once
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
