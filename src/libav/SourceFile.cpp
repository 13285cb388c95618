#include "SourceFile.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cctype>
#include <cstring>

#include "Text.h"

std::string LocalPath(const std::string& name) {
  if (name.compare(0, 5, "file:") == 0) return name.substr(5);
  // A protocol name is letters, digits, '+', '-' or '.' before a ':' that
  // comes before any '/'.
  const size_t colon = name.find(':');
  if (colon != std::string::npos && colon > 1 && name.find('/') > colon) {
    bool protocol = true;
    for (size_t i = 0; i < colon && protocol; ++i) {
      const char c = name[i];
      protocol = std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    }
    if (protocol) return std::string();
  }
  return name;
}

std::string SystemErrorText(int error) {
  char buffer[256];
  // The GNU strerror_r returns its text, which may not be the buffer.
  return strerror_r(error, buffer, sizeof(buffer));
}

std::string SourceFileProblem(const std::string& path) {
  const std::string local = LocalPath(path);
  if (local.empty()) return std::string();
  struct stat st;
  if (stat(local.c_str(), &st) != 0) {
    if (errno == ENOENT) return StrFormat("%s: no such file or directory", path.c_str());
    return StrFormat("%s: %s", path.c_str(), SystemErrorText(errno).c_str());
  }
  if (S_ISDIR(st.st_mode)) return StrFormat("%s: is a folder, not a media file", path.c_str());
  if (S_ISFIFO(st.st_mode))
    return StrFormat("%s: is a FIFO (named pipe), not a regular file; it is not read",
                     path.c_str());
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
    return StrFormat("%s: is a device, not a regular file; it is not read", path.c_str());
  if (!S_ISREG(st.st_mode))
    return StrFormat("%s: is not a regular file; it is not read", path.c_str());
  if (st.st_size == 0) return StrFormat("%s: the file is empty", path.c_str());
  return std::string();
}

bool ReadFileIdentity(const std::string& path, TFileIdentity& identity) {
  const std::string local = LocalPath(path);
  struct stat st;
  if (local.empty() || stat(local.c_str(), &st) != 0) return false;
  identity.Device = st.st_dev;
  identity.Inode = st.st_ino;
  identity.Size = st.st_size;
  // Past the year 2262 (or before 1677) nanoseconds leave 64 bits: the time
  // is held at the end of the range, where it still compares unchanged.
  int64_t ns = 0;
  if (__builtin_mul_overflow(static_cast<int64_t>(st.st_mtim.tv_sec), int64_t{1000000000}, &ns) ||
      __builtin_add_overflow(ns, static_cast<int64_t>(st.st_mtim.tv_nsec), &ns))
    ns = st.st_mtim.tv_sec < 0 ? INT64_MIN : INT64_MAX;
  identity.ModifiedNs = ns;
  return true;
}

size_t FileNameLimit(const std::string& folder) {
  std::string at = folder.empty() ? "." : folder;
  while (true) {
    errno = 0;
    const long limit = pathconf(at.c_str(), _PC_NAME_MAX);
    if (limit > 0) return static_cast<size_t>(limit);
    if (errno != ENOENT && errno != ENOTDIR) return NAME_MAX;
    // A folder still to be made: its nearest existing parent tells.
    while (at.size() > 1 && at.back() == '/') at.pop_back();
    const size_t slash = at.rfind('/');
    if (slash == std::string::npos) {
      if (at == ".") return NAME_MAX;
      at = ".";
    } else {
      at = slash == 0 ? "/" : at.substr(0, slash);
    }
  }
}
