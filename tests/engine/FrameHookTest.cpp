// Frame hooks (the owner's custom hook, the before-hook decision, hook
// periods, external hook libraries), deinterlacing and bitmap previews.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "FFmpeg.h"
#include "TestSupport.h"

using namespace testing_support;

namespace {

std::string Clip() { return VideoClip(); }

// Mean luma of the first picture of a file.
double FirstLuma(const std::string& path) {
  const std::string text = Capture("ffmpeg -v error -i '" + path +
                                   "' -vf signalstats,metadata=print:key=lavfi.signalstats.YAVG:"
                                   "file=- -frames:v 1 -f null - | grep -o 'YAVG=[0-9.]*'");
  return text.empty() ? -1 : std::stod(text.substr(5));
}

// The counters of the test hook library.
int HookCounter(int which) {
  void* handle = dlopen(QUELLON_TESTHOOK, RTLD_NOW | RTLD_NOLOAD);
  if (!handle) return -1;
  auto counters = reinterpret_cast<int (*)(int)>(dlsym(handle, "HookCounters"));
  int value = counters ? counters(which) : -1;
  dlclose(handle);
  return value;
}
void ResetHookCounters() {
  void* handle = dlopen(QUELLON_TESTHOOK, RTLD_NOW | RTLD_NOLOAD);
  if (!handle) return;
  reinterpret_cast<void (*)()>(dlsym(handle, "HookResetCounters"))();
  dlclose(handle);
}

class FrameHooks : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(LoadEngineLibraries()); }
  void SetUp() override {
    Engine.Reset();
    Log.Attach(Engine);
    ResetHookCounters();
  }
  void Convert(const std::string& out) {
    ASSERT_TRUE(Engine.OpenInputFile(Clip())) << Engine.LastError;
    Engine.SetOption("vcodec", "ffv1");
    Engine.SetOption("an", "1");
    ASSERT_TRUE(Engine.OpenOutputFile(out)) << Engine.LastError;
    Engine.Start(false);
    ASSERT_FALSE(Engine.RunState.ExceptionRaised) << Engine.RunState.ExceptionMessage;
  }
  TTempDir Dir;
  TCustomFFmpeg Engine;
  TLogCapture Log;
};

}  // namespace

TEST_F(FrameHooks, TheCustomHookDrawsOnEveryPicture) {
  std::vector<int> numbers;
  int width = 0, height = 0;
  Engine.OnCustomHook = [&](TCustomFFmpeg*, TBitmap* bitmap, int32_t number, int64_t, bool& update,
                            bool&) {
    numbers.push_back(number);
    width = bitmap->GetWidth();
    height = bitmap->GetHeight();
    for (int y = 0; y < height; ++y) std::fill_n(bitmap->Scanline(y), width * 3, 255);
    update = true;
  };
  Convert(Dir.File("white.mkv"));
  ASSERT_EQ(numbers.size(), 50u);
  EXPECT_EQ(numbers.front(), 1);
  EXPECT_EQ(numbers.back(), 50);
  EXPECT_EQ(width, 320);
  EXPECT_EQ(height, 240);
  EXPECT_GT(FirstLuma(Dir.File("white.mkv")), 230);

  // Not updated: the pictures stay as decoded.
  Engine.Reset();
  Engine.OnCustomHook = [](TCustomFFmpeg*, TBitmap* bitmap, int32_t, int64_t, bool& update, bool&) {
    std::fill_n(bitmap->Scanline(0), 30, 0);
    update = false;
  };
  Convert(Dir.File("asis.mkv"));
  EXPECT_NEAR(FirstLuma(Dir.File("asis.mkv")), FirstLuma(Clip()), 0.5);
}

TEST_F(FrameHooks, AFailingOrStoppingCustomHook) {
  int calls = 0;
  Engine.OnCustomHook = [&](TCustomFFmpeg*, TBitmap*, int32_t, int64_t, bool&, bool&) {
    if (++calls <= 2) throw std::runtime_error("boom");
  };
  Convert(Dir.File("raising.mkv"));
  EXPECT_EQ(calls, 50);  // called again after each failure
  EXPECT_TRUE(Log.Contains("Error occurs OnCustomHook: boom"));

  Engine.Reset();
  calls = 0;
  Engine.OnCustomHook = [&](TCustomFFmpeg*, TBitmap*, int32_t, int64_t, bool&, bool& stop) {
    ++calls;
    stop = true;
  };
  Convert(Dir.File("stopped.mkv"));
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(Engine.OnCustomHook);
}

TEST_F(FrameHooks, HookLibrariesTakeTheirArgumentsAndRunOnEveryPicture) {
  Engine.SetOption("vhook", std::string(QUELLON_TESTHOOK) + "|16|two words");
  EXPECT_TRUE(Engine.Counters.UsingVHook);
  EXPECT_EQ(HookCounter(3), 3);  // argc
  Engine.SetOption("vhook", std::string(QUELLON_TESTHOOK) + " 200");
  EXPECT_EQ(HookCounter(0), 2);  // two entries, each configured once
  Convert(Dir.File("hooked.mkv"));
  EXPECT_EQ(HookCounter(1), 100);  // 50 pictures × 2 entries
  EXPECT_GT(FirstLuma(Dir.File("hooked.mkv")), 190);  // the last hook painted 200
  EXPECT_EQ(HookCounter(2), 2);  // both released with the job

  Engine.Reset();
  EXPECT_THROW(Engine.SetOption("vhook", "/nonexistent/hook.so"), FFmpegException);
}

TEST_F(FrameHooks, TheBeforeHookDecidesPictureByPicture) {
  Engine.SetOption("vhook", QUELLON_TESTHOOK);
  int calls = 0;
  Engine.OnBeforeHook = [&](TCustomFFmpeg*, int64_t, THookAction& action) {
    ++calls;
    action = calls == 21 ? haStop : (calls % 2 ? haContinue : haIgnore);
  };
  Convert(Dir.File("alternate.mkv"));
  EXPECT_EQ(calls, 21);            // not asked again after haStop
  EXPECT_EQ(HookCounter(1), 10);  // pictures 1, 3, … 19
}

TEST_F(FrameHooks, PeriodsLimitTheHooksAndEndThem) {
  Engine.SetOption("vhook", QUELLON_TESTHOOK);
  Engine.SetHookPeriods({{1000000, 1500000}, {0, 500000}});  // out of order
  Convert(Dir.File("periods.mkv"));
  EXPECT_EQ(HookCounter(1), 26);  // 0 … 0.48 s and 1.00 … 1.48 s
  EXPECT_FALSE(Engine.RunState.HookingEnabled);
}

TEST_F(FrameHooks, DeinterlacingAndBitmapPreviews) {
  Engine.SetOption("deinterlace", "1");
  int previews = 0, lastNumber = 0;
  Engine.SetPreviewFlags(2);
  Engine.RunState.PreviewInterval = 0;
  Engine.OnPreviewBitmap = [&](TCustomFFmpeg*, TBitmap* bitmap, int32_t number, int64_t) {
    ++previews;
    lastNumber = number;
    EXPECT_EQ(bitmap->GetWidth(), 320);
  };
  Convert(Dir.File("deinterlaced.mkv"));
  EXPECT_GT(previews, 10);
  EXPECT_EQ(lastNumber, 50);
  EXPECT_TRUE(DecodesCleanly(Dir.File("deinterlaced.mkv")));
  EXPECT_EQ(PreviewTimeText(59999999), "00:00:59.999");
  EXPECT_EQ(PreviewTimeText(3723004000LL), "01:02:03.004");
  EXPECT_EQ(PreviewTimeText(AV_NOPTS_VALUE), "N/A");
}

TEST_F(FrameHooks, AddingAHookLibraryTellsWhyItFailed) {
  const auto add = [](std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<THookEntry> list;
    const int result = FrameHookAdd(list, static_cast<int>(args.size()), argv.data());
    EXPECT_EQ(list.size(), result == 0 ? 1u : 0u);
    FrameHookRelease(list);
    return result;
  };
  EXPECT_EQ(add({}), -2);
  EXPECT_EQ(add({"/nonexistent/hook.so"}), -1);
  EXPECT_EQ(add({QUELLON_HOOKHELPER}), -2);        // no "Process"
  EXPECT_EQ(add({QUELLON_TESTHOOKDEP, "x"}), -2);  // arguments but no "Configure"
  EXPECT_EQ(add({QUELLON_TESTHOOK, "fail"}), -22);
  EXPECT_EQ(add({QUELLON_TESTHOOK, "7"}), 0);
  try {
    Engine.SetOption("vhook", std::string(QUELLON_TESTHOOK) + " fail");
    ADD_FAILURE() << "no exception";
  } catch (const FFmpegException& e) {
    EXPECT_EQ(std::string(e.what()),
              "Failed to add video hook function: " + std::string(QUELLON_TESTHOOK) + " fail");
  }
  EXPECT_FALSE(Engine.RunState.HookingEnabled);
}

TEST_F(FrameHooks, AHookFindsTheLibrariesOfItsOwnFolder) {
  // The system's loader alone does not look into the hook's folder.
  void* alone = dlopen(QUELLON_TESTHOOKDEP, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_EQ(alone, nullptr);
  Engine.SetOption("vhook", QUELLON_TESTHOOKDEP);
  Convert(Dir.File("helped.mkv"));
  EXPECT_NEAR(FirstLuma(Dir.File("helped.mkv")), 77, 2);
}
