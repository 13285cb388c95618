// Thin forwarding layer over the C runtime; see rtshim.h.
#include "rtshim.h"

#include <stdlib.h>
#include <string.h>

#define RTSHIM_EXPORT __attribute__((visibility("default")))

RTSHIM_EXPORT int my_fclose(FILE* stream) { return fclose(stream); }
RTSHIM_EXPORT FILE* my_fopen(const char* path, const char* mode) { return fopen(path, mode); }

RTSHIM_EXPORT int my_fprintf(FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vfprintf(stream, format, args);
  va_end(args);
  return n;
}

RTSHIM_EXPORT size_t my_fread(void* ptr, size_t size, size_t count, FILE* stream) {
  return fread(ptr, size, count, stream);
}
RTSHIM_EXPORT int my_fseek(FILE* stream, long offset, int whence) {
  return fseek(stream, offset, whence);
}
RTSHIM_EXPORT long my_ftell(FILE* stream) { return ftell(stream); }
RTSHIM_EXPORT size_t my_fwrite(const void* ptr, size_t size, size_t count, FILE* stream) {
  return fwrite(ptr, size, count, stream);
}

RTSHIM_EXPORT int my_snprintf(char* buf, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buf, size, format, args);
  va_end(args);
  return n;
}

RTSHIM_EXPORT double my_strtod(const char* text, char** end) { return strtod(text, end); }
RTSHIM_EXPORT char* my_strtok(char* text, const char* delimiters) {
  return strtok(text, delimiters);
}
RTSHIM_EXPORT long my_strtol(const char* text, char** end, int base) {
  return strtol(text, end, base);
}
RTSHIM_EXPORT int my_vsprintf(char* buf, const char* format, va_list args) {
  return vsprintf(buf, format, args);
}
