// Forgetting an engine's input files, shared by releasing the engine and
// handing its open input on.
#pragma once
#include "FFmpeg.h"

// Closes the open files (each before its guard) and forgets the per-file
// tables.
inline void CloseInputFiles(TInputFileTable& input) {
  for (auto& file : input.Files) file.reset();
  input.Guards.clear();
  input.Identities.clear();
  input.CutBefore.clear();
  input.Ranges.clear();
  input.Openings.clear();
  input.FileCount = 0;
}
