#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "FFmpegLoader.h"
#include "LibAV.h"
#include "TestSupport.h"

using testing_support::TTempDir;

namespace {

bool AllEntriesNull() {
  bool allNull = true;
#define QL_CHECK_NULL(name) allNull = allNull && av.name == nullptr;
  QL_ALL_ENTRY_POINTS(QL_CHECK_NULL)
#undef QL_CHECK_NULL
  return allNull;
}

class LibraryLoader : public ::testing::Test {
 protected:
  void SetUp() override {
    FFmpegLoader().UnloadLibraries(ALL_LIBRARIES);
    FFmpegLoader().SetLibraryPath("");
  }
  void TearDown() override { FFmpegLoader().UnloadLibraries(ALL_LIBRARIES); }
};

}  // namespace

TEST_F(LibraryLoader, FileNamesCarryTheMajorVersionOfTheHeaders) {
  EXPECT_EQ(TFFmpegLoader::LibraryFileName(liAVCodec),
            "libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR));
  EXPECT_EQ(TFFmpegLoader::LibraryFileName(liSWResample),
            "libswresample.so." + std::to_string(LIBSWRESAMPLE_VERSION_MAJOR));
  EXPECT_EQ(TFFmpegLoader::LibraryFileName(liRTShim), "librtshim.so");
  EXPECT_EQ(TFFmpegLoader::LibraryFileName(liAVDevice),
            "libavdevice.so." + std::to_string(LIBAVDEVICE_VERSION_MAJOR));
}

TEST_F(LibraryLoader, LoadsFromALibraryFolderThatIsNotOnTheSearchPath) {
  // librtshim.so lives only in the build's LibAV folder.
  const TLibrarySet shim = LibraryBit(liRTShim);
  ASSERT_FALSE(FFmpegLoader().LoadLibraries(shim));
  EXPECT_EQ(FFmpegLoader().LastError().rfind("Load library librtshim.so error: ", 0), 0u)
      << FFmpegLoader().LastError();

  FFmpegLoader().SetLibraryPath(DefaultLibraryDir());
  ASSERT_TRUE(FFmpegLoader().LoadLibraries(shim)) << FFmpegLoader().LastError();
  EXPECT_TRUE(FFmpegLoader().LibraryLoaded(liRTShim));
  EXPECT_EQ(FFmpegLoader().LoadedPath(liRTShim), DefaultLibraryDir() + "/librtshim.so");
  ASSERT_NE(av.my_snprintf, nullptr);
}

TEST_F(LibraryLoader, PrefersTheLibraryFolderOverTheSystem) {
  // A folder with links to the system's libraries: they must be taken from it.
  TTempDir dir;
  for (int index : {liAVUtil, liSWResample, liSWScale, liAVCodec, liAVFormat, liAVFilter}) {
    std::string name = TFFmpegLoader::LibraryFileName(index);
    void* probe = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    ASSERT_EQ(probe, nullptr) << name << " is resident before the test";
    std::string target = "/usr/lib/x86_64-linux-gnu/" + name;
    if (!std::filesystem::exists(target)) GTEST_SKIP() << "no " << target;
    std::filesystem::create_symlink(target, dir.File(name));
  }
  std::filesystem::copy_file(DefaultLibraryDir() + "/librtshim.so", dir.File("librtshim.so"));
  FFmpegLoader().SetLibraryPath(dir.Path());
  ASSERT_TRUE(FFmpegLoader().LoadLibraries(ENGINE_LIBRARIES)) << FFmpegLoader().LastError();
  EXPECT_EQ(FFmpegLoader().LoadedPath(liAVCodec),
            dir.File(TFFmpegLoader::LibraryFileName(liAVCodec)));
  EXPECT_EQ(FFmpegLoader().LoadedPath(liRTShim), dir.File("librtshim.so"));
}

TEST_F(LibraryLoader, WithoutAFolderTheSystemOrderServes) {
  const TLibrarySet media = ENGINE_LIBRARIES & ~LibraryBit(liRTShim);
  ASSERT_TRUE(FFmpegLoader().LoadLibraries(media)) << FFmpegLoader().LastError();
  EXPECT_TRUE(FFmpegLoader().LibrariesLoaded(media));
  EXPECT_FALSE(FFmpegLoader().LibrariesLoaded(ENGINE_LIBRARIES));
  EXPECT_EQ(av.avcodec_version() >> 16, static_cast<unsigned>(LIBAVCODEC_VERSION_MAJOR));
}

TEST_F(LibraryLoader, LoadingALoadedSetAgainKeepsItsBinding) {
  FFmpegLoader().SetLibraryPath(DefaultLibraryDir());
  ASSERT_TRUE(FFmpegLoader().LoadLibraries(ENGINE_LIBRARIES));
  auto open = av.avcodec_open2;
  std::string path = FFmpegLoader().LoadedPath(liAVCodec);
  ASSERT_TRUE(FFmpegLoader().LoadLibraries(ENGINE_LIBRARIES));
  EXPECT_EQ(av.avcodec_open2, open);
  EXPECT_EQ(FFmpegLoader().LoadedPath(liAVCodec), path);
  // One unload suffices: the second load did not take another reference.
  FFmpegLoader().UnloadLibraries(ENGINE_LIBRARIES);
  EXPECT_EQ(dlopen(TFFmpegLoader::LibraryFileName(liAVCodec).c_str(), RTLD_LAZY | RTLD_NOLOAD),
            nullptr);
}

TEST_F(LibraryLoader, AMissingEntryPointFailsTheWholeSet) {
  FFmpegLoader().SetLibraryPath(QUELLON_FAKELIB_DIR);
  ASSERT_FALSE(FFmpegLoader().LoadLibraries(ENGINE_LIBRARIES));
  const std::string prefix =
      "Load function avcodec_send_packet@" + TFFmpegLoader::LibraryFileName(liAVCodec) + " error: ";
  const std::string error = FFmpegLoader().LastError();
  EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
  EXPECT_NE(error.find("undefined symbol: avcodec_send_packet"), std::string::npos) << error;
  for (int i = 0; i < LIBRARY_COUNT; ++i) EXPECT_FALSE(FFmpegLoader().LibraryLoaded(i)) << i;
  EXPECT_TRUE(AllEntriesNull());
}

TEST_F(LibraryLoader, AMissingFileNamesTheFileAndTheSystemMessage) {
  FFmpegLoader().SetLibraryPath("/nonexistent/folder");
  ASSERT_FALSE(FFmpegLoader().LoadLibraries(ENGINE_LIBRARIES));
  EXPECT_EQ(FFmpegLoader().LastError(),
            "Load library /nonexistent/folder/librtshim.so error: librtshim.so: cannot open "
            "shared object file: No such file or directory");
  for (int i = 0; i < LIBRARY_COUNT; ++i) EXPECT_FALSE(FFmpegLoader().LibraryLoaded(i)) << i;
}

TEST_F(LibraryLoader, UnloadingClearsEveryEntryAndAnEmptySetIsRefused) {
  FFmpegLoader().SetLibraryPath(DefaultLibraryDir());
  ASSERT_TRUE(FFmpegLoader().LoadLibraries(ENGINE_LIBRARIES));
  EXPECT_NE(av.swr_convert, nullptr);
  FFmpegLoader().UnloadLibraries(ENGINE_LIBRARIES);
  EXPECT_TRUE(AllEntriesNull());
  EXPECT_FALSE(FFmpegLoader().LibrariesLoaded(ENGINE_LIBRARIES));
  EXPECT_THROW(FFmpegLoader().LoadLibraries(0), EAssertionFailed);
  EXPECT_FALSE(FFmpegLoader().LibrariesLoaded(0));
}

TEST_F(LibraryLoader, AVDeviceIsLoadedOnlyWhenAsked) {
  FFmpegLoader().SetLibraryPath(DefaultLibraryDir());
  ASSERT_TRUE(FFmpegLoader().LoadLibraries(ENGINE_LIBRARIES));
  EXPECT_FALSE(FFmpegLoader().LibraryLoaded(liAVDevice));
  EXPECT_EQ(av.avdevice_register_all, nullptr);
  ASSERT_TRUE(FFmpegLoader().LoadLibraries(LibraryBit(liAVDevice)));
  EXPECT_TRUE(FFmpegLoader().LibrariesLoaded(ALL_LIBRARIES));
}

TEST_F(LibraryLoader, ADeferredLibraryLoadsWhenFirstNeeded) {
  const TLibrarySet filter = LibraryBit(liAVFilter);
  FFmpegLoader().SetLibraryPath(DefaultLibraryDir());
  FFmpegLoader().DeferLibraries(filter);
  ASSERT_TRUE(FFmpegLoader().LoadLibraries(ENGINE_LIBRARIES & ~filter));
  // Counted as loaded, yet neither mapped nor bound until needed.
  EXPECT_TRUE(FFmpegLoader().LibrariesLoaded(ENGINE_LIBRARIES));
  EXPECT_FALSE(FFmpegLoader().LibraryLoaded(liAVFilter));
  EXPECT_EQ(dlopen(TFFmpegLoader::LibraryFileName(liAVFilter).c_str(), RTLD_LAZY | RTLD_NOLOAD),
            nullptr);
  EXPECT_EQ(av.avfilter_graph_alloc, nullptr);
  std::string why;
  ASSERT_TRUE(FFmpegLoader().NeedLibrary(liAVFilter, why)) << why;
  EXPECT_TRUE(FFmpegLoader().LibraryLoaded(liAVFilter));
  ASSERT_NE(av.avfilter_graph_alloc, nullptr);
  EXPECT_TRUE(FFmpegLoader().NeedLibrary(liAVFilter, why));
  // Unloading the set ends the deferral: nothing loads on need any more.
  FFmpegLoader().UnloadLibraries(ENGINE_LIBRARIES);
  EXPECT_FALSE(FFmpegLoader().NeedLibrary(liAVFilter, why));
  EXPECT_FALSE(why.empty());
  EXPECT_TRUE(AllEntriesNull());
}

TEST_F(LibraryLoader, ADeferredLibraryThatCannotLoadFailsWhereItIsNeeded) {
  // A library folder whose libavfilter is no library: the others load, the
  // need fails with the loader's reason and binds nothing.
  TTempDir dir;
  std::filesystem::copy_file(DefaultLibraryDir() + "/librtshim.so", dir.File("librtshim.so"));
  ASSERT_TRUE(
      testing_support::WriteJunk(dir.File(TFFmpegLoader::LibraryFileName(liAVFilter)), 4096));
  const TLibrarySet filter = LibraryBit(liAVFilter);
  FFmpegLoader().SetLibraryPath(dir.Path());
  FFmpegLoader().DeferLibraries(filter);
  ASSERT_TRUE(FFmpegLoader().LoadLibraries(ENGINE_LIBRARIES & ~filter))
      << FFmpegLoader().LastError();
  std::string why;
  EXPECT_FALSE(FFmpegLoader().NeedLibrary(liAVFilter, why));
  EXPECT_NE(why.find("Load library " + dir.File(TFFmpegLoader::LibraryFileName(liAVFilter))),
            std::string::npos)
      << why;
  EXPECT_EQ(av.avfilter_graph_alloc, nullptr);
  EXPECT_FALSE(FFmpegLoader().LibraryLoaded(liAVFilter));
}
