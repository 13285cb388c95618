// Album gain: an album is a set of source files its owner names before
// their tasks run (the files of one folder, say). The first task of an album
// that needs the album's level measures every source of it once (on its own
// thread, while the album's other tasks wait for the result); each task then
// tags its output with the album's gain and peak.
//
// An album is an object its owner keeps (a batch holds its own albums and
// hands each task a reference); the named registry below serves owners that
// name albums instead. Thread-safe. Measuring blocks for the time of a decode of
// the album's files; a stop flag ends it.
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "Music.h"

// One album: its sources, and what was measured of them.
struct TAlbumGroup;
std::shared_ptr<TAlbumGroup> MakeAlbum(const std::vector<std::string>& sources);
// Adds a source to an album not measured yet; false once it was measured.
bool AddToAlbum(TAlbumGroup& album, const std::string& source);
// The album's measure as AlbumLoudness below, for an album held directly.
bool AlbumGroupLoudness(TAlbumGroup& album, const std::string& source,
                        const TLoudnessMeasure& track, const TMusicOptions& options,
                        TLoudnessMeasure& result, const std::atomic<bool>* stop,
                        const TMeasureLog& log = nullptr);

// Names an album (replacing an album of that name) and its sources.
void DefineAlbum(const std::string& name, const std::vector<std::string>& sources);
void ForgetAlbum(const std::string& name);

// The album's measure, as the tasks' outputs will have it (levelled with
// options when they level). track: the asking task's own measure of its
// output, for its source. False when the album is unknown, the source is
// not one of it, or nothing could be measured. The measuring of the other
// members reports to log (may be unset), each line naming its member.
bool AlbumLoudness(const std::string& name, const std::string& source,
                   const TLoudnessMeasure& track, const TMusicOptions& options,
                   TLoudnessMeasure& album, const std::atomic<bool>* stop,
                   const TMeasureLog& log = nullptr);

