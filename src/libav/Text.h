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

// Paths as text: the folder ("." without one, "/" at the root), the last
// component, and the path without its extension (a dot in a folder's name
// is none).
std::string FolderOf(const std::string& path);
std::string NameOf(const std::string& path);
std::string WithoutExtension(const std::string& path);

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

// The file the calling thread's library calls are about, when that is not
// its job's own source (an album's other member being measured): the log
// callback names it in each library line the thread writes meanwhile.
// Nested scopes restore the outer file; thread-local, no lock.
class TLogSubject {
 public:
  explicit TLogSubject(std::string file);
  ~TLogSubject();
  TLogSubject(const TLogSubject&) = delete;
  TLogSubject& operator=(const TLogSubject&) = delete;
  // The innermost file of the calling thread; "" outside any scope.
  static const std::string& Current();

 private:
  std::string Outer;
};
