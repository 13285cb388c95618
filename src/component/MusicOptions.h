// The music fields of an output record (cover, tags, loudness, album gain)
// set on a task's engine. Called where the record is applied; the album
// gain call reaches AlbumGain.h on the task's thread.
#pragma once
#include "FFmpeg.h"
#include "OptionRecords.h"

void ApplyMusicOptions(TCustomFFmpeg& task, const std::string& source, const TOutputOptions& o);
