/* A frame-hook library for the tests: Configure records its arguments
   (and refuses the single argument "fail"),
   Process paints the first plane with the value given as the first argument
   (128 without one) and counts the pictures, Release counts the releases. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

typedef struct {
  uint8_t* data[4];
  int linesize[4];
} HookPicture;

typedef struct {
  int value;
} Context;

static int configured, processed, released, last_argc;
static char last_argument[256];

EXPORT int Configure(void** ctx, int argc, char* argv[]) {
  if (argc > 1 && strcmp(argv[1], "fail") == 0) return 1;
  Context* c = calloc(1, sizeof(Context));
  if (!c) return -1;
  c->value = argc > 1 ? atoi(argv[1]) : 128;
  last_argc = argc;
  strncpy(last_argument, argv[argc - 1], sizeof(last_argument) - 1);
  *ctx = c;
  configured++;
  return 0;
}

EXPORT void Process(void* ctx, HookPicture* picture, int pix_fmt, int width, int height,
                    int64_t pts) {
  Context* c = ctx;
  (void)pix_fmt;
  (void)pts;
  for (int y = 0; y < height; ++y) memset(picture->data[0] + y * picture->linesize[0], c->value, width);
  processed++;
}

EXPORT void Release(void* ctx) {
  free(ctx);
  released++;
}

EXPORT int HookCounters(int which) {
  switch (which) {
    case 0: return configured;
    case 1: return processed;
    case 2: return released;
    default: return last_argc;
  }
}

EXPORT const char* HookLastArgument(void) { return last_argument; }

EXPORT void HookResetCounters(void) { configured = processed = released = last_argc = 0; }
