// The external frame-hook host, and the contract a hook library keeps.
//
// A hook library is a shared object with C entry points:
//   int  Configure(void** context, int argc, char* argv[]);   optional, 0 = success
//   void Process(void* context, THookPicture* picture, int pixFmt, int width,
//                int height, int64_t pts);                    required
//   void Release(void* context);                               optional
// argv[0] is the library's path, argv[1...] its arguments; the strings stay
// valid until Release. Process changes the picture in place; pixFmt is the
// media library's pixel-format number (AVPixelFormat), pts is microseconds.
//
// Libraries are loaded once per process by path (compared exactly) and stay
// loaded. Before a library is loaded, those of its own dependencies that lie
// in its folder are loaded from there first, as the system's loader would
// otherwise not look there.
//
// Threads: FrameHookAdd runs while options are set; it holds a process-wide
// lock, so no two hooks load or configure at once. Process and Release run
// on the converting thread of the engine that owns the list.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
// The picture a hook receives: four plane pointers and four line sizes.
struct THookPicture {
  uint8_t* Data[4];
  int LineSize[4];
};
typedef int (*TFrameHookConfigure)(void** context, int argc, char* argv[]);
typedef void (*TFrameHookProcess)(void* context, THookPicture* picture, int pixFmt, int width,
                                  int height, int64_t pts);
typedef void (*TFrameHookRelease)(void* context);
}

// One added hook: its entry points, its context and its own copy of the
// arguments that Configure was given.
struct THookEntry {
  TFrameHookConfigure Configure = nullptr;
  TFrameHookProcess Process = nullptr;
  TFrameHookRelease Release = nullptr;  // may be absent
  void* Context = nullptr;              // the library's own
  std::vector<std::string> Arguments;
};

// Loads argv[0] (once per process), configures a new entry with the
// arguments and appends it to the list. Returns 0, or: -1 the library cannot
// be loaded, -2 no arguments or an entry point missing, -12 out of memory,
// -22 Configure failed. Every failure is told through the media library's
// log (level 0) first.
int FrameHookAdd(std::vector<THookEntry>& list, int argc, char* argv[]);
// Runs every entry's Process over the picture, in the order they were added.
void FrameHookProcess(std::vector<THookEntry>& list, THookPicture* picture, int pixFmt, int width,
                      int height, int64_t pts);
// Releases every entry (Release when present); the list becomes empty. The
// libraries stay loaded.
void FrameHookRelease(std::vector<THookEntry>& list);
