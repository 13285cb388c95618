// TFFmpegLoader: finds, loads, binds and unloads the media libraries and
// librtshim at run time. One process-wide instance (FFmpegLoader()); load,
// unload and deferral run on the main thread while no job runs. A deferred
// library is loaded by the first job that needs it (NeedLibrary, any thread,
// under the loader's one lock).
//
// Files are "lib<name>.so.<major>" (major from the headers of the build) and
// "librtshim.so". The library folder, when set, is searched first; otherwise,
// or when the file is not there, the system's search order applies. Binding is
// all or nothing: the first failure unloads the whole requested set and leaves
// its text in LastError().
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// Indices of the library table. SWResample is new in this generation of the
// libraries (it holds the resampler); it keeps the indices of the others.
enum TLibraryIndex : int {
  liAVCodec = 0,
  liAVDevice = 1,
  liAVFilter = 2,
  liAVFormat = 3,
  liAVUtil = 4,
  liSWScale = 5,
  liRTShim = 6,
  liSWResample = 7,
  LIBRARY_COUNT = 8
};

// A set of libraries: bit i = library i.
using TLibrarySet = uint32_t;
constexpr TLibrarySet LibraryBit(TLibraryIndex index) { return TLibrarySet{1} << index; }
// Every library except avdevice: what the engine and the component load.
constexpr TLibrarySet ENGINE_LIBRARIES =
    LibraryBit(liAVCodec) | LibraryBit(liAVFilter) | LibraryBit(liAVFormat) |
    LibraryBit(liAVUtil) | LibraryBit(liSWScale) | LibraryBit(liRTShim) |
    LibraryBit(liSWResample);
constexpr TLibrarySet ALL_LIBRARIES = (TLibrarySet{1} << LIBRARY_COUNT) - 1;

class TFFmpegLoader {
 public:
  TFFmpegLoader() = default;
  ~TFFmpegLoader();
  TFFmpegLoader(const TFFmpegLoader&) = delete;
  TFFmpegLoader& operator=(const TFFmpegLoader&) = delete;

  void SetLibraryPath(const std::string& dir);
  const std::string& LibraryPath() const { return LibraryDir; }
  std::string LastError() const { return LastErrorText; }

  // Loads and binds every library of the set (empty set: EAssertionFailed).
  bool LoadLibraries(TLibrarySet set);
  // A deferred library counts as loaded here (it loads when needed).
  bool LibrariesLoaded(TLibrarySet set) const;
  // The libraries of the set load on first use (NeedLibrary) instead of
  // with the others: a process that never needs them never maps them (and
  // what they depend on). Undone by loading or unloading them.
  void DeferLibraries(TLibrarySet set);
  // Loads and binds a deferred library the first time; any thread. True when
  // it is loaded (whether deferred or not); false with the reason in why.
  bool NeedLibrary(TLibraryIndex index, std::string& why);
  bool LibraryLoaded(int index) const;
  // Unbinds (all entries null) and frees every library of the set.
  void UnloadLibraries(TLibrarySet set);

  // "libavcodec.so.59", "librtshim.so", ...
  static std::string LibraryFileName(int index);
  // The path the library was actually loaded from ("" when not loaded).
  std::string LoadedPath(int index) const;

 private:
  bool LoadLibrary(int index);
  void UnloadLibrary(int index);

  struct TModule {
    void* Handle = nullptr;
    bool Bound = false;
  };
  std::string LastErrorText;
  std::string LibraryDir;
  TModule Modules[LIBRARY_COUNT];
  std::atomic<TLibrarySet> Deferred{0};  // still to load on first use
  std::mutex DeferLock;                  // held by NeedLibrary's loading
};

TFFmpegLoader& FFmpegLoader();

// The library folder of an installation or a build: "LibAV" beside the
// running executable (no trailing '/').
std::string DefaultLibraryDir();

// Held around every codec open and close and every stream probe, by all
// engines and by the media probe.
extern std::recursive_mutex CodecLock;
