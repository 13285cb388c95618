// Facts about local files that the engine, the probe and the component need
// before they open one: whether a path can be read as a media file, and the
// identity of a file (which names are the same file, through links).
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

// Why a path cannot be converted: "" for a non-empty regular file (links
// followed), and for names the libraries open through a protocol other than
// a local file ("http://...", "pipe:"). A FIFO, a device, a socket or a
// folder is refused, since reading it twice (probe, then conversion) blocks
// or never ends.
std::string SourceFileProblem(const std::string& path);

// The file a name stands for, links followed.
struct TFileIdentity {
  dev_t Device = 0;
  ino_t Inode = 0;
  int64_t Size = -1;
  int64_t ModifiedNs = 0;  // modification time, ns since 1970
  bool SameFile(const TFileIdentity& other) const {
    return Size >= 0 && Device == other.Device && Inode == other.Inode;
  }
  bool Unchanged(const TFileIdentity& other) const {
    return SameFile(other) && Size == other.Size && ModifiedNs == other.ModifiedNs;
  }
};
// False (identity untouched) when the name does not stand for a file.
bool ReadFileIdentity(const std::string& path, TFileIdentity& identity);
// The longest file name (bytes) a folder takes: pathconf(_PC_NAME_MAX) of
// the folder, or of its nearest existing parent when it is still to be
// made; NAME_MAX when none can tell.
size_t FileNameLimit(const std::string& folder);
// The local path of a name ("file:" taken off); "" for another protocol.
std::string LocalPath(const std::string& name);
// The system's text for an errno value ("Permission denied").
std::string SystemErrorText(int error);
