// Small text helpers shared by every layer.
#pragma once
#include <stdexcept>
#include <string>

// printf-style formatting into a std::string (no length limit).
std::string StrFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Leading and trailing blanks (space, tab, CR, LF) removed.
std::string Trim(const std::string& text);

// ASCII letters in lower case; other bytes (UTF-8 included) stay.
std::string LowerCase(std::string text);

// The text cut to at most bytes, never inside a UTF-8 character (a lead
// byte and its continuation bytes stay together or go together).
std::string CutUtf8(const std::string& text, size_t bytes);

// The message of an assertion that failed inside the binding or the engine.
class EAssertionFailed : public std::runtime_error {
 public:
  explicit EAssertionFailed(const std::string& message) : std::runtime_error(message) {}
};

// The folder of the running executable, with a trailing '/'.
std::string ExecutableDir();
