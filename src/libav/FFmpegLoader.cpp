#include "FFmpegLoader.h"

#include <dlfcn.h>
#include <fenv.h>
#include <link.h>
#include <sys/stat.h>

#include <stdexcept>

#include "LibAV.h"
#include "Text.h"

TLibAV av;
std::recursive_mutex CodecLock;

namespace {

// The floating-point environment is saved at start, every exception masked
// (codecs rely on quiet NaN and infinity arithmetic) and restored at exit.
struct TFloatingPointGuard {
  fenv_t Saved;
  TFloatingPointGuard() {
    fegetenv(&Saved);
    fedisableexcept(FE_ALL_EXCEPT);
    fesetround(FE_TONEAREST);
  }
  ~TFloatingPointGuard() { fesetenv(&Saved); }
};
TFloatingPointGuard FloatingPointGuard;

class ELoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void* LookUp(void* handle, const char* name, const std::string& file) {
  dlerror();
  void* entry = dlsym(handle, name);
  if (!entry) {
    const char* why = dlerror();
    throw ELoadError(StrFormat("Load function %s@%s error: %s", name, file.c_str(),
                               why ? why : "symbol is null"));
  }
  return entry;
}

// The library's own major version must be the one the headers describe: the
// engine reads struct fields whose layout is fixed per major version.
void CheckVersion(unsigned version, int headerMajor, const std::string& file) {
  if (static_cast<int>(version >> 16) != headerMajor)
    throw ELoadError(StrFormat("Load library %s error: version %u.%u.%u, expected major %d",
                               file.c_str(), version >> 16, (version >> 8) & 0xff,
                               version & 0xff, headerMajor));
}

#define QL_BIND_ENTRY(name) \
  av.name = reinterpret_cast<decltype(av.name)>(LookUp(handle, #name, file));
#define QL_UNBIND_ENTRY(name) av.name = nullptr;

// One bind and one unbind procedure per library, from its entry-point list.
// A bind that fails part way clears what it had bound before it throws.
#define QL_LIBRARY_PROCS(lib, LIST, versionCheck, registration)      \
  void Unbind_##lib() { LIST(QL_UNBIND_ENTRY) }                      \
  void Bind_##lib(void* handle, const std::string& file) {           \
    try {                                                            \
      LIST(QL_BIND_ENTRY)                                            \
      versionCheck;                                                  \
      registration;                                                  \
    } catch (...) {                                                  \
      Unbind_##lib();                                                \
      throw;                                                         \
    }                                                                \
  }

QL_LIBRARY_PROCS(avcodec, QL_AVCODEC_ENTRY_POINTS,
                 CheckVersion(av.avcodec_version(), LIBAVCODEC_VERSION_MAJOR, file), (void)0)
QL_LIBRARY_PROCS(avdevice, QL_AVDEVICE_ENTRY_POINTS,
                 CheckVersion(av.avdevice_version(), LIBAVDEVICE_VERSION_MAJOR, file),
                 av.avdevice_register_all())
QL_LIBRARY_PROCS(avfilter, QL_AVFILTER_ENTRY_POINTS,
                 CheckVersion(av.avfilter_version(), LIBAVFILTER_VERSION_MAJOR, file), (void)0)
QL_LIBRARY_PROCS(avformat, QL_AVFORMAT_ENTRY_POINTS,
                 CheckVersion(av.avformat_version(), LIBAVFORMAT_VERSION_MAJOR, file), (void)0)
QL_LIBRARY_PROCS(avutil, QL_AVUTIL_ENTRY_POINTS,
                 CheckVersion(av.avutil_version(), LIBAVUTIL_VERSION_MAJOR, file), (void)0)
QL_LIBRARY_PROCS(swscale, QL_SWSCALE_ENTRY_POINTS,
                 CheckVersion(av.swscale_version(), LIBSWSCALE_VERSION_MAJOR, file), (void)0)
QL_LIBRARY_PROCS(rtshim, QL_RTSHIM_ENTRY_POINTS, (void)0, (void)0)
QL_LIBRARY_PROCS(swresample, QL_SWRESAMPLE_ENTRY_POINTS,
                 CheckVersion(av.swresample_version(), LIBSWRESAMPLE_VERSION_MAJOR, file),
                 (void)0)

struct TLibraryRow {
  const char* BaseName;
  int Version;  // -1: the file name has no number
  void (*Bind)(void* handle, const std::string& file);
  void (*Unbind)();
};

const TLibraryRow LibraryTable[LIBRARY_COUNT] = {
    {"avcodec", LIBAVCODEC_VERSION_MAJOR, Bind_avcodec, Unbind_avcodec},
    {"avdevice", LIBAVDEVICE_VERSION_MAJOR, Bind_avdevice, Unbind_avdevice},
    {"avfilter", LIBAVFILTER_VERSION_MAJOR, Bind_avfilter, Unbind_avfilter},
    {"avformat", LIBAVFORMAT_VERSION_MAJOR, Bind_avformat, Unbind_avformat},
    {"avutil", LIBAVUTIL_VERSION_MAJOR, Bind_avutil, Unbind_avutil},
    {"swscale", LIBSWSCALE_VERSION_MAJOR, Bind_swscale, Unbind_swscale},
    {"rtshim", -1, Bind_rtshim, Unbind_rtshim},
    {"swresample", LIBSWRESAMPLE_VERSION_MAJOR, Bind_swresample, Unbind_swresample},
};

// A library's own dependencies are not looked for in its folder on this
// platform, so a set is loaded in dependency order: a library found in the
// library folder is then already resident when its dependants need it.
const int LoadOrder[LIBRARY_COUNT] = {liAVUtil,   liSWResample, liSWScale,  liAVCodec,
                                      liAVFormat, liAVFilter,   liAVDevice, liRTShim};

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

TFFmpegLoader& FFmpegLoader() {
  static TFFmpegLoader loader;
  return loader;
}

std::string DefaultLibraryDir() { return ExecutableDir() + "LibAV"; }

TFFmpegLoader::~TFFmpegLoader() {
  // The libraries stay resident to the end of the process; only the table is
  // cleared, so that no late caller reaches a stale entry.
  for (const TLibraryRow& row : LibraryTable) row.Unbind();
}

void TFFmpegLoader::SetLibraryPath(const std::string& dir) { LibraryDir = dir; }

std::string TFFmpegLoader::LibraryFileName(int index) {
  const TLibraryRow& row = LibraryTable[index];
  std::string name = std::string("lib") + row.BaseName + ".so";
  if (row.Version >= 0) name += "." + std::to_string(row.Version);
  return name;
}

bool TFFmpegLoader::LoadLibraries(TLibrarySet set) {
  if ((set & ALL_LIBRARIES) == 0) throw EAssertionFailed("Assertion failure");
  Deferred &= ~set;
  for (int index : LoadOrder) {
    if (!(set & LibraryBit(static_cast<TLibraryIndex>(index)))) continue;
    if (!LoadLibrary(index)) {
      UnloadLibraries(set);  // keeps LastErrorText
      return false;
    }
  }
  return true;
}

bool TFFmpegLoader::LibrariesLoaded(TLibrarySet set) const {
  if ((set & ALL_LIBRARIES) == 0) return false;
  const TLibrarySet deferred = Deferred.load();
  for (int i = 0; i < LIBRARY_COUNT; ++i) {
    const TLibrarySet bit = LibraryBit(static_cast<TLibraryIndex>(i));
    if ((set & bit) && !(deferred & bit) && !LibraryLoaded(i)) return false;
  }
  return true;
}

void TFFmpegLoader::DeferLibraries(TLibrarySet set) {
  for (int i = 0; i < LIBRARY_COUNT; ++i)
    if ((set & LibraryBit(static_cast<TLibraryIndex>(i))) && !LibraryLoaded(i))
      Deferred |= LibraryBit(static_cast<TLibraryIndex>(i));
}

bool TFFmpegLoader::NeedLibrary(TLibraryIndex index, std::string& why) {
  const TLibrarySet bit = LibraryBit(index);
  if (!(Deferred.load() & bit)) {
    if (LibraryLoaded(index)) return true;
    why = StrFormat("%s is not loaded", LibraryFileName(index).c_str());
    return false;
  }
  std::lock_guard<std::mutex> lock(DeferLock);
  if (!(Deferred.load() & bit)) return LibraryLoaded(index);  // loaded meanwhile
  const std::string before = LastErrorText;
  if (!LoadLibrary(index)) {
    why = LastErrorText;
    LastErrorText = before;
    return false;
  }
  Deferred &= ~bit;  // after the table is bound: a reader that sees it clear finds it bound
  return true;
}

bool TFFmpegLoader::LibraryLoaded(int index) const {
  return index >= 0 && index < LIBRARY_COUNT && Modules[index].Handle && Modules[index].Bound;
}

void TFFmpegLoader::UnloadLibraries(TLibrarySet set) {
  Deferred &= ~set;
  for (int i = LIBRARY_COUNT - 1; i >= 0; --i) {
    int index = LoadOrder[i];
    if (set & LibraryBit(static_cast<TLibraryIndex>(index))) UnloadLibrary(index);
  }
}

std::string TFFmpegLoader::LoadedPath(int index) const {
  if (!LibraryLoaded(index)) return std::string();
  struct link_map* map = nullptr;
  if (dlinfo(Modules[index].Handle, RTLD_DI_LINKMAP, &map) != 0 || !map) return std::string();
  return map->l_name ? map->l_name : "";
}

bool TFFmpegLoader::LoadLibrary(int index) {
  TModule& module = Modules[index];
  const std::string file = LibraryFileName(index);
  if (!module.Handle) {
    std::string dir = LibraryDir;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    const std::string path = dir + file;
    if (!dir.empty() && FileExists(path))
      module.Handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    else
      module.Handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module.Handle) {
      const char* why = dlerror();
      LastErrorText =
          StrFormat("Load library %s error: %s", path.c_str(), why ? why : "unknown error");
      return false;
    }
  }
  if (!module.Bound) {
    try {
      LibraryTable[index].Bind(module.Handle, file);
      module.Bound = true;
    } catch (const std::exception& e) {
      LastErrorText = e.what();
    }
  }
  if (!module.Bound) {
    UnloadLibrary(index);
    return false;
  }
  return true;
}

void TFFmpegLoader::UnloadLibrary(int index) {
  TModule& module = Modules[index];
  if (module.Bound) {
    LibraryTable[index].Unbind();
    module.Bound = false;
  }
  if (module.Handle) {
    dlclose(module.Handle);
    module.Handle = nullptr;
  }
}
