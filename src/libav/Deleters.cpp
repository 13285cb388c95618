#include "Deleters.h"

#include <string>

std::string AVErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  if (!av.av_strerror || av.av_strerror(code, text, sizeof(text)) < 0)
    return "Error number " + std::to_string(code) + " occurred";
  return text;
}
