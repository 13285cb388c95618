// PaintHook.so, the demonstration hook: draws a picture with a mask colour
// and/or a styled text at fixed positions on every picture.
//   -i FILE -mc RRGGBB -ix X -iy Y    the picture; pixels of the mask colour
//                                     (default FFFFFF) stay clear
//   -t TEXT -tx X -ty Y               the text, in colour -fc RRGGBB (white),
//   -fn FONT -fs SIZE -fst STYLE      font, size (16) and style letters:
//                                     B bold, U underline, S strike-out
#include <cstdlib>
#include <memory>

#include "HookSupport.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct TLayer {
  TArgbImage Image;
  int X = 0, Y = 0;
};

struct TPaintHook {
  std::vector<TLayer> Layers;
  bool Warned = false;
};

int Number(std::map<std::string, std::string>& options, const char* name, int fallback) {
  return options.count(name) ? std::atoi(options[name].c_str()) : fallback;
}

}  // namespace

EXPORT int Configure(void** context, int argc, char* argv[]) {
  std::map<std::string, std::string> options;
  if (!ParseHookOptions(argc, argv, options) || (!options.count("-i") && !options.count("-t"))) {
    HookError("PaintHook", "usage: -i FILE [-mc RRGGBB -ix X -iy Y] | -t TEXT [-tx X -ty Y "
                           "-fc RRGGBB -fn FONT -fs SIZE -fst BUS]");
    return -1;
  }
  auto hook = std::make_unique<TPaintHook>();
  if (options.count("-i")) {
    TLayer layer;
    if (!LoadArgbImage(options["-i"], layer.Image)) {
      HookError("PaintHook", "cannot load the picture " + options["-i"]);
      return -1;
    }
    const uint32_t mask = ParseRgb(options.count("-mc") ? options["-mc"] : "FFFFFF", 0xffffffff);
    for (uint32_t& p : layer.Image.Pixels)
      if ((p | 0xff000000u) == mask) p = 0;
    layer.X = Number(options, "-ix", 0);
    layer.Y = Number(options, "-iy", 0);
    hook->Layers.push_back(std::move(layer));
  }
  if (options.count("-t")) {
    TLayer layer;
    TTextStyle style;
    style.Color = ParseRgb(options.count("-fc") ? options["-fc"] : "FFFFFF", 0xffffffff);
    const std::string styles = options.count("-fst") ? options["-fst"] : "";
    style.Bold = styles.find_first_of("Bb") != std::string::npos;
    style.Underline = styles.find_first_of("Uu") != std::string::npos;
    style.StrikeOut = styles.find_first_of("Ss") != std::string::npos;
    const std::string font = options.count("-fn") ? options["-fn"] : "";
    if (!RenderText(options["-t"], font, Number(options, "-fs", 16), HookDir(argv[0]), style,
                    layer.Image)) {
      HookError("PaintHook", "cannot draw the text with the font " + font);
      return -1;
    }
    layer.X = Number(options, "-tx", 0);
    layer.Y = Number(options, "-ty", 0);
    hook->Layers.push_back(std::move(layer));
  }
  *context = hook.release();
  return 0;
}

EXPORT void Process(void* context, THookPicture* picture, int pixFmt, int width, int height,
                    int64_t) {
  auto* hook = static_cast<TPaintHook*>(context);
  THookCanvas canvas(picture, pixFmt, width, height);
  if (!canvas.Supported()) {
    if (!hook->Warned) HookError("PaintHook", "pictures of this pixel format are left alone");
    hook->Warned = true;
    return;
  }
  for (const TLayer& layer : hook->Layers) canvas.Blend(layer.Image, layer.X, layer.Y);
}

EXPORT void Release(void* context) { delete static_cast<TPaintHook*>(context); }
