// The external frame-hook host: loading hook libraries, configuring their
// entries, running and releasing them.
#include "FrameHook.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <set>

#include "LibAV.h"

namespace {

// Libraries are loaded once per process and stay loaded.
std::mutex LoadedLock;
std::map<std::string, void*>& Loaded() {
  static auto* libraries = new std::map<std::string, void*>;  // lives to the end
  return *libraries;
}
std::set<std::string>& Preloaded() {
  static auto* preloaded = new std::set<std::string>;
  return *preloaded;
}

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The DT_NEEDED names of a shared object of this machine's class; empty when
// the file is none.
std::vector<std::string> NeededLibraries(const std::string& path) {
  std::vector<std::string> names;
  std::ifstream file(path, std::ios::binary);
  ElfW(Ehdr) header;
  if (!file.read(reinterpret_cast<char*>(&header), sizeof(header))) return names;
  if (std::string(reinterpret_cast<const char*>(header.e_ident), 4) != ELFMAG ||
      header.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) ||
      header.e_shentsize != sizeof(ElfW(Shdr)) || header.e_shnum == 0 || header.e_shnum > 4096)
    return names;
  std::vector<ElfW(Shdr)> sections(header.e_shnum);
  file.seekg(static_cast<std::streamoff>(header.e_shoff));
  if (!file.read(reinterpret_cast<char*>(sections.data()),
                 static_cast<std::streamsize>(sections.size() * sizeof(ElfW(Shdr)))))
    return names;
  for (const ElfW(Shdr)& section : sections) {
    if (section.sh_type != SHT_DYNAMIC || section.sh_link >= sections.size()) continue;
    const ElfW(Shdr)& strings = sections[section.sh_link];
    if (section.sh_size > (1u << 20) || strings.sh_size > (1u << 24)) continue;
    std::vector<ElfW(Dyn)> entries(section.sh_size / sizeof(ElfW(Dyn)));
    std::string table(strings.sh_size, '\0');
    file.seekg(static_cast<std::streamoff>(section.sh_offset));
    file.read(reinterpret_cast<char*>(entries.data()),
              static_cast<std::streamsize>(entries.size() * sizeof(ElfW(Dyn))));
    file.seekg(static_cast<std::streamoff>(strings.sh_offset));
    file.read(table.data(), static_cast<std::streamsize>(table.size()));
    if (!file) return names;
    for (const ElfW(Dyn)& entry : entries) {
      if (entry.d_tag == DT_NULL) break;
      if (entry.d_tag == DT_NEEDED && entry.d_un.d_val < table.size())
        names.emplace_back(table.c_str() + entry.d_un.d_val);
    }
  }
  return names;
}

// Loads the dependencies of a library that lie in its folder, deepest
// first, so that the system's loader finds them already loaded by name.
void PreloadFolderDependencies(const std::string& dir, const std::string& library, int depth) {
  if (depth > 8) return;
  for (const std::string& name : NeededLibraries(library)) {
    const std::string path = dir + name;
    if (name.find('/') != std::string::npos || !IsFile(path) || Preloaded().count(path)) continue;
    Preloaded().insert(path);
    PreloadFolderDependencies(dir, path, depth + 1);
    dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);  // a failure shows when the hook loads
  }
}

}  // namespace

int FrameHookAdd(std::vector<THookEntry>& list, int argc, char* argv[]) {
  if (argc < 1) return -2;
  // One hook at a time in the whole process: hook libraries may share
  // libraries with global state (Imlib2's context) while they configure.
  std::lock_guard<std::mutex> lock(LoadedLock);
  const std::string path = argv[0];
  void* handle = nullptr;
  auto found = Loaded().find(path);
  if (found != Loaded().end()) {
    handle = found->second;
  } else {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    if (!dir.empty()) PreloadFolderDependencies(dir, path, 0);
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* why = dlerror();
      av.av_log(nullptr, AV_LOG_PANIC, "%s\n", why ? why : path.c_str());
      return -1;
    }
    Loaded()[path] = handle;
  }
  THookEntry* entry;
  try {
    list.emplace_back();
    entry = &list.back();
  } catch (const std::bad_alloc&) {
    return -12;
  }
  // Drops the entry again on every failure below.
  auto fail = [&list](int code) {
    list.pop_back();
    return code;
  };
  entry->Configure = reinterpret_cast<TFrameHookConfigure>(dlsym(handle, "Configure"));
  entry->Process = reinterpret_cast<TFrameHookProcess>(dlsym(handle, "Process"));
  entry->Release = reinterpret_cast<TFrameHookRelease>(dlsym(handle, "Release"));
  if (!entry->Process) {
    av.av_log(nullptr, AV_LOG_PANIC, "Failed to find Process entrypoint in %s\n", argv[0]);
    return fail(-2);
  }
  if (!entry->Configure && argc > 1) {
    av.av_log(nullptr, AV_LOG_PANIC, "Failed to find Configure entrypoint in %s\n", argv[0]);
    return fail(-2);
  }
  if (entry->Configure) {
    // The library may keep pointers into its arguments: they live with the entry.
    std::vector<char*> args;
    try {
      entry->Arguments.assign(argv, argv + argc);
      for (std::string& arg : entry->Arguments) args.push_back(arg.data());
      args.push_back(nullptr);
    } catch (const std::bad_alloc&) {
      return fail(-12);
    }
    if (entry->Configure(&entry->Context, argc, args.data()) != 0) {
      av.av_log(nullptr, AV_LOG_PANIC, "Failed to Configure %s\n", argv[0]);
      return fail(-22);
    }
  }
  return 0;
}

void FrameHookProcess(std::vector<THookEntry>& list, THookPicture* picture, int pixFmt, int width,
                      int height, int64_t pts) {
  for (THookEntry& entry : list) entry.Process(entry.Context, picture, pixFmt, width, height, pts);
}

void FrameHookRelease(std::vector<THookEntry>& list) {
  for (THookEntry& entry : list)
    if (entry.Release) entry.Release(entry.Context);
  list.clear();
}
