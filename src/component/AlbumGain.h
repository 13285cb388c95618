// Album gain: an album is a set of source files its owner names before
// their tasks run (the files of one folder, say). The first task of an album
// that needs the album's level measures every source of it once (on its own
// thread, while the album's other tasks wait for the result); each task then
// tags its output with the album's gain and peak.
//
// Process-wide, thread-safe. Measuring blocks for the time of a decode of
// the album's files; a stop flag ends it.
#pragma once
#include <atomic>
#include <string>
#include <vector>

#include "Music.h"

// Names an album (replacing an album of that name) and its sources.
void DefineAlbum(const std::string& name, const std::vector<std::string>& sources);
void ForgetAlbum(const std::string& name);
// Defines the album unless it is known with these sources already (then
// what was measured of it stays).
void EnsureAlbum(const std::string& name, const std::vector<std::string>& sources);

// The album's measure, as the tasks' outputs will have it (levelled with
// options when they level). track: the asking task's own measure of its
// output, for its source. False when the album is unknown, the source is
// not one of it, or nothing could be measured. The measuring of the other
// members reports to log (may be unset), each line naming its member.
bool AlbumLoudness(const std::string& name, const std::string& source,
                   const TLoudnessMeasure& track, const TMusicOptions& options,
                   TLoudnessMeasure& album, const std::atomic<bool>* stop,
                   const TMeasureLog& log = nullptr);

// The albums of a list of files: those that share a folder, in the order of
// the list; folders with a single file make no album.
std::vector<std::vector<std::string>> AlbumsByFolder(const std::vector<std::string>& files);
