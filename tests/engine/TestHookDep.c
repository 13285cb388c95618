/* A frame-hook library that needs a library of its own folder: Process
   paints the first plane with the value that library gives. */
#include <stdint.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

int HookHelperValue(void);

typedef struct {
  uint8_t* data[4];
  int linesize[4];
} HookPicture;

EXPORT void Process(void* ctx, HookPicture* picture, int pix_fmt, int width, int height,
                    int64_t pts) {
  (void)ctx;
  (void)pix_fmt;
  (void)pts;
  for (int y = 0; y < height; ++y)
    memset(picture->data[0] + y * picture->linesize[0], HookHelperValue(), width);
}
