// librtshim: the small support library loaded beside the media libraries.
// Each my_* function behaves exactly as the C runtime function without the prefix.
#pragma once
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

int my_fclose(FILE* stream);
FILE* my_fopen(const char* path, const char* mode);
int my_fprintf(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
size_t my_fread(void* ptr, size_t size, size_t count, FILE* stream);
int my_fseek(FILE* stream, long offset, int whence);
long my_ftell(FILE* stream);
size_t my_fwrite(const void* ptr, size_t size, size_t count, FILE* stream);
int my_snprintf(char* buf, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
double my_strtod(const char* text, char** end);
char* my_strtok(char* text, const char* delimiters);
long my_strtol(const char* text, char** end, int base);
int my_vsprintf(char* buf, const char* format, va_list args);

#ifdef __cplusplus
}
#endif
