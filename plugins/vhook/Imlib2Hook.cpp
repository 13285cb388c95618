// imlib2.so: draws a picture and/or a text on every picture, at a position
// given by two expressions evaluated per picture.
//   -i FILE          the picture (JPEG, PNG, GIF, BMP ...)
//   -t TEXT          the text, drawn with -F FONT/SIZE (default: the
//                    stand-in font at 16) in the colour -R -G -B (0-255,
//                    white) with opacity -A (0-255, opaque)
//   -x EXPR -y EXPR  top-left corner (default 0); variables: N the picture's
//                    number (from 0), W and H its size, w and h the drawing's
//                    size, T its time in seconds; PI, E and the functions of
//                    TExpression.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "Expression.h"
#include "HookSupport.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct TImlib2Hook {
  TArgbImage Drawing;
  TExpression X, Y;
  int64_t Number = 0;
  bool Warned = false;
};

// A position in pixels: far outside any picture stays far outside.
int Pixels(double value) { return static_cast<int>(std::lround(std::clamp(value, -1e6, 1e6))); }

int Channel(const std::map<std::string, std::string>& options, const char* name, int fallback) {
  auto found = options.find(name);
  if (found == options.end()) return fallback;
  return std::max(0, std::min(255, std::atoi(found->second.c_str())));
}

}  // namespace

EXPORT int Configure(void** context, int argc, char* argv[]) {
  std::map<std::string, std::string> options;
  if (!ParseHookOptions(argc, argv, options)) {
    HookError("imlib2", "arguments come in pairs: -option value");
    return -1;
  }
  auto hook = std::make_unique<TImlib2Hook>();
  const std::string dir = HookDir(argv[0]);
  if (options.count("-i")) {
    if (!LoadArgbImage(options["-i"], hook->Drawing)) {
      HookError("imlib2", "cannot load the picture " + options["-i"]);
      return -1;
    }
  } else if (options.count("-t")) {
    std::string font = options.count("-F") ? options["-F"] : "";
    int size = 16;
    const size_t slash = font.rfind('/');
    if (slash != std::string::npos) {
      size = std::atoi(font.c_str() + slash + 1);
      font.resize(slash);
    }
    TTextStyle style;
    style.Color = static_cast<uint32_t>(Channel(options, "-A", 255)) << 24 |
                  static_cast<uint32_t>(Channel(options, "-R", 255)) << 16 |
                  static_cast<uint32_t>(Channel(options, "-G", 255)) << 8 |
                  static_cast<uint32_t>(Channel(options, "-B", 255));
    if (!RenderText(options["-t"], font, size, dir, style, hook->Drawing)) {
      HookError("imlib2", "cannot draw the text with the font " + font);
      return -1;
    }
  } else {
    HookError("imlib2", "nothing to draw: give -i FILE or -t TEXT");
    return -1;
  }
  for (auto [name, expression] : {std::make_pair("-x", &hook->X), std::make_pair("-y", &hook->Y)}) {
    const std::string text = options.count(name) ? options[name] : "0";
    if (!expression->Parse(text)) {
      HookError("imlib2", std::string(name) + " " + text + ": " + expression->ErrorText());
      return -1;
    }
  }
  *context = hook.release();
  return 0;
}

EXPORT void Process(void* context, THookPicture* picture, int pixFmt, int width, int height,
                    int64_t pts) {
  auto* hook = static_cast<TImlib2Hook*>(context);
  THookCanvas canvas(picture, pixFmt, width, height);
  const std::map<std::string, double> variables = {
      {"N", static_cast<double>(hook->Number++)}, {"W", width}, {"H", height},
      {"w", hook->Drawing.Width}, {"h", hook->Drawing.Height}, {"T", pts / 1000000.0}};
  if (!canvas.Supported()) {
    if (!hook->Warned) HookError("imlib2", "pictures of this pixel format are left alone");
    hook->Warned = true;
    return;
  }
  canvas.Blend(hook->Drawing, Pixels(hook->X.Evaluate(variables)),
               Pixels(hook->Y.Evaluate(variables)));
}

EXPORT void Release(void* context) { delete static_cast<TImlib2Hook*>(context); }
