#include "HookSupport.h"

#include <Imlib2.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#ifndef QUELLON_HOOK_FONT
#error "QUELLON_HOOK_FONT: the stand-in font file, set by the build"
#endif

namespace {

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file of a font name: as given, with ".ttf" added, beside the hook or
// in the system's TrueType folders; the stand-in when none exists.
std::string FontFile(const std::string& name, const std::string& hookDir) {
  std::vector<std::string> names = {name};
  if (name.find('.') == std::string::npos) {
    names.push_back(name + ".ttf");
    names.push_back(name + ".TTF");
  }
  for (const std::string& n : names) {
    if (n.empty()) continue;
    if (n.find('/') != std::string::npos) {
      if (IsFile(n)) return n;
      continue;
    }
    for (const std::string& dir : {hookDir, std::string("/usr/share/fonts/truetype/"),
                                   std::string("/usr/local/share/fonts/")})
      if (!dir.empty() && IsFile(dir + n)) return dir + n;
  }
  return QUELLON_HOOK_FONT;
}

// Makes image current in Imlib2's context and copies its pixels out.
void CopyPixels(Imlib_Image source, TArgbImage& image) {
  imlib_context_set_image(source);
  image.Width = imlib_image_get_width();
  image.Height = imlib_image_get_height();
  const bool alpha = imlib_image_has_alpha();
  const uint32_t* data = imlib_image_get_data_for_reading_only();
  image.Pixels.assign(data, data + static_cast<size_t>(image.Width) * image.Height);
  if (!alpha)
    for (uint32_t& p : image.Pixels) p |= 0xff000000u;
}

}  // namespace

bool ParseHookOptions(int argc, char* argv[], std::map<std::string, std::string>& options) {
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc || argv[i][0] != '-') return false;
    options[argv[i]] = argv[i + 1];
  }
  return true;
}

std::string HookDir(const char* argv0) {
  const std::string path = argv0 ? argv0 : "";
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

bool LoadArgbImage(const std::string& path, TArgbImage& image) {
  Imlib_Image loaded = imlib_load_image_immediately_without_cache(path.c_str());
  if (!loaded) return false;
  CopyPixels(loaded, image);
  imlib_free_image_and_decache();
  return image.Width > 0 && image.Height > 0;
}

bool RenderText(const std::string& text, const std::string& font, int size,
                const std::string& hookDir, const TTextStyle& style, TArgbImage& image) {
  size = std::clamp(size, 4, 400);
  const std::string file = FontFile(font, hookDir);
  Imlib_Font loaded = imlib_load_font((file + "/" + std::to_string(size)).c_str());
  if (!loaded) return false;
  imlib_context_set_font(loaded);
  int width = 0, height = 0;
  imlib_get_text_size(text.c_str(), &width, &height);
  const int ascent = imlib_get_maximum_font_ascent();
  const int extra = style.Bold ? 1 : 0;
  width += extra + 2;
  height += 2;
  if (width <= 2 || height <= 2) {
    imlib_free_font();
    return false;
  }
  Imlib_Image canvas = imlib_create_image(width, height);
  if (!canvas) {
    imlib_free_font();
    return false;
  }
  imlib_context_set_image(canvas);
  imlib_image_set_has_alpha(1);
  imlib_image_clear();
  imlib_context_set_blend(1);
  imlib_context_set_color(static_cast<int>((style.Color >> 16) & 255),
                          static_cast<int>((style.Color >> 8) & 255),
                          static_cast<int>(style.Color & 255),
                          static_cast<int>(style.Color >> 24));
  for (int dx = 0; dx <= extra; ++dx) imlib_text_draw(1 + dx, 1, text.c_str());
  const int thickness = std::max(1, size / 14);
  if (style.Underline) imlib_image_fill_rectangle(1, std::min(1 + ascent + thickness, height - thickness), width - 2, thickness);
  if (style.StrikeOut) imlib_image_fill_rectangle(1, 1 + ascent * 2 / 3, width - 2, thickness);
  CopyPixels(canvas, image);
  imlib_free_image();
  imlib_free_font();
  return true;
}

uint32_t ParseRgb(const std::string& text, uint32_t fallback) {
  if (text.size() != 6 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return fallback;
  return 0xff000000u | static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
}

void HookError(const char* hook, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", hook, message.c_str());
}
