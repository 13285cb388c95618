// What the hook libraries share: their arguments, their pictures and texts
// (loaded and drawn with Imlib2 while the hook is configured, so that
// Process never calls Imlib2), and the font that stands in for the one a
// hook line names when that font is not installed.
//
// Threads: the engine configures hooks one at a time (Imlib2 keeps one
// global context); Process of a configured hook uses only its own copies.
#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "HookPicture.h"

// "-name value" pairs of a hook's arguments (argv[1...]); false when one has
// no value.
bool ParseHookOptions(int argc, char* argv[], std::map<std::string, std::string>& options);
// The folder of argv[0], with a trailing '/' ("" for none).
std::string HookDir(const char* argv0);

// Loads a picture file (JPEG, GIF with transparency, BMP, PNG ...).
bool LoadArgbImage(const std::string& path, TArgbImage& image);

struct TTextStyle {
  uint32_t Color = 0xffffffff;  // 0xAARRGGBB
  bool Bold = false, Underline = false, StrikeOut = false;
};
// Draws a UTF-8 text on a clear picture just large enough for it. font is a
// font file name (".ttf" may be left out, looked for beside the hook, in the
// system's font folders or as a path); when none is found, the stand-in
// font is used at the same size.
bool RenderText(const std::string& text, const std::string& font, int size,
                const std::string& hookDir, const TTextStyle& style, TArgbImage& image);
// "RRGGBB" (hexadecimal) as an opaque 0xFFRRGGBB; fallback when unreadable.
uint32_t ParseRgb(const std::string& text, uint32_t fallback);
// Reports a configuration problem of a hook on the standard error.
void HookError(const char* hook, const std::string& message);
