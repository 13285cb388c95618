// watermark.so: puts a picture into the bottom-right corner of every
// picture, 8 pixels from the edges.
//   -f FILE   the watermark (GIF with a transparent background, or any
//             picture file)
//   -m MODE   0 (default): relief, each opaque watermark pixel brightens or
//             darkens the picture by how far it is from middle grey;
//             1: the watermark itself, half transparent
#include <cstdlib>
#include <memory>

#include "HookSupport.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int MARGIN = 8;

struct TWatermarkHook {
  TArgbImage Mark;
  int Mode = 0;
  bool Warned = false;
};

}  // namespace

EXPORT int Configure(void** context, int argc, char* argv[]) {
  std::map<std::string, std::string> options;
  if (!ParseHookOptions(argc, argv, options) || !options.count("-f")) {
    HookError("watermark", "usage: -f FILE [-m 0|1]");
    return -1;
  }
  auto hook = std::make_unique<TWatermarkHook>();
  if (!LoadArgbImage(options["-f"], hook->Mark)) {
    HookError("watermark", "cannot load the picture " + options["-f"]);
    return -1;
  }
  hook->Mode = options.count("-m") ? std::atoi(options["-m"].c_str()) : 0;
  if (hook->Mode != 0 && hook->Mode != 1) {
    HookError("watermark", "-m takes 0 or 1");
    return -1;
  }
  *context = hook.release();
  return 0;
}

EXPORT void Process(void* context, THookPicture* picture, int pixFmt, int width, int height,
                    int64_t) {
  auto* hook = static_cast<TWatermarkHook*>(context);
  THookCanvas canvas(picture, pixFmt, width, height);
  if (!canvas.Supported()) {
    if (!hook->Warned) HookError("watermark", "pictures of this pixel format are left alone");
    hook->Warned = true;
    return;
  }
  const int x = width - MARGIN - hook->Mark.Width, y = height - MARGIN - hook->Mark.Height;
  if (hook->Mode == 0)
    canvas.Emboss(hook->Mark, x, y);
  else
    canvas.Blend(hook->Mark, x, y, 0.5);
}

EXPORT void Release(void* context) { delete static_cast<TWatermarkHook*>(context); }
