// The hook libraries the options dialog offers (imlib2.so, watermark.so,
// PaintHook.so), run by the engine over a clip: each changes the pictures
// where it should and nowhere else (checked on decoded frames of a lossless
// output).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "FFmpeg.h"
#include "TestSupport.h"

using namespace testing_support;

namespace {

const std::string HOOKS = QUELLON_VHOOK_DIR "/";
constexpr int W = 320, H = 240;  // the clip's size

// The luma plane of picture number index of a file.
std::vector<uint8_t> Luma(const std::string& path, int index) {
  const std::string command = "ffmpeg -nostdin -v error -i " + Quote(path) +
                              " -vf select='eq(n\\," + std::to_string(index) +
                              ")' -frames:v 1 -f rawvideo -pix_fmt gray -";
  std::vector<uint8_t> data;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return data;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) data.insert(data.end(), buf, buf + n);
  pclose(pipe);
  return data;
}

struct TBox {
  int Left = W, Top = H, Right = -1, Bottom = -1;  // inclusive; empty when Right < 0
  bool Empty() const { return Right < 0; }
};

// The smallest box holding every pixel that differs between two pictures.
TBox Changed(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  TBox box;
  if (a.size() != static_cast<size_t>(W * H) || b.size() != a.size()) return box;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      if (a[static_cast<size_t>(y * W + x)] != b[static_cast<size_t>(y * W + x)]) {
        box.Left = std::min(box.Left, x);
        box.Top = std::min(box.Top, y);
        box.Right = std::max(box.Right, x);
        box.Bottom = std::max(box.Bottom, y);
      }
  return box;
}

// Mean absolute difference inside [left, right) x [top, bottom).
double MeanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int left,
                      int top, int right, int bottom) {
  double sum = 0;
  for (int y = top; y < bottom; ++y)
    for (int x = left; x < right; ++x)
      sum += std::abs(a[static_cast<size_t>(y * W + x)] - b[static_cast<size_t>(y * W + x)]);
  return sum / ((right - left) * (bottom - top));
}

class HookLibraries : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(LoadEngineLibraries()); }
  void SetUp() override {
    Engine.Reset();
    Log.Attach(Engine);
    Source = Luma(VideoClip(), 0);
    ASSERT_EQ(Source.size(), static_cast<size_t>(W * H));
  }
  // Converts the clip losslessly with one "vhook" line; the output's path.
  std::string Hooked(const std::string& name, const std::string& line) {
    Engine.Reset();
    Log.Attach(Engine);
    const std::string out = Dir.File(name + ".mkv");
    EXPECT_TRUE(Engine.OpenInputFile(VideoClip())) << Engine.LastError;
    Engine.SetOption("vhook", line);
    Engine.SetOption("vcodec", "ffv1");
    Engine.SetOption("an", "1");
    EXPECT_TRUE(Engine.OpenOutputFile(out)) << Engine.LastError;
    Engine.Start(false);
    EXPECT_TRUE(Engine.RunState.FinishedNormally) << Engine.RunState.ExceptionMessage;
    return out;
  }
  TTempDir Dir;
  TCustomFFmpeg Engine;
  TLogCapture Log;
  std::vector<uint8_t> Source;
};

}  // namespace

TEST_F(HookLibraries, WatermarkChangesItsCornerOnlyInBothModes) {
  // The 120x40 stamp sits 8 pixels from the right and bottom edges.
  const int left = W - 8 - 120, top = H - 8 - 40;
  for (const char* mode : {"0", "1"}) {
    const std::string out =
        Hooked(std::string("watermark") + mode,
               HOOKS + "watermark.so -f " + HOOKS + "watermark.gif -m " + mode);
    const std::vector<uint8_t> picture = Luma(out, 0);
    const TBox box = Changed(Source, picture);
    ASSERT_FALSE(box.Empty()) << mode;
    EXPECT_GE(box.Left, left) << mode;
    EXPECT_GE(box.Top, top) << mode;
    EXPECT_LE(box.Right, W - 8 - 1) << mode;
    EXPECT_LE(box.Bottom, H - 8 - 1) << mode;
    EXPECT_GT(MeanDifference(Source, picture, left, top, W - 8, H - 8), 8) << mode;
  }
}

TEST_F(HookLibraries, PaintHookDrawsItsPictureWithoutTheMaskColourAndItsText) {
  // The dialog's line: 10 pixels from the right and bottom edges.
  const std::string image = Hooked("paintimage", HOOKS + "PaintHook.so -i " + HOOKS +
                                                     "PaintHook.bmp -mc FFFFFF -ix 246 -iy 166");
  const std::vector<uint8_t> picture = Luma(image, 0);
  const TBox box = Changed(Source, picture);
  ASSERT_FALSE(box.Empty());
  // The face is round: the white corners of the 64x64 picture stay clear.
  EXPECT_GT(box.Left, 246);
  EXPECT_GT(box.Top, 166);
  EXPECT_LT(box.Right, 246 + 63);
  EXPECT_LT(box.Bottom, 166 + 63);
  EXPECT_EQ(picture[166 * W + 246], Source[166 * W + 246]);

  const std::string text = Hooked("painttext", HOOKS + "PaintHook.so -t PELIX -tx 10 -ty 10 -fc "
                                                   "FFFFFF -fn Tahoma -fs 16 -fst BU");
  const TBox textBox = Changed(Source, Luma(text, 0));
  ASSERT_FALSE(textBox.Empty());
  EXPECT_GE(textBox.Left, 10);
  EXPECT_GE(textBox.Top, 10);
  EXPECT_LT(textBox.Right, 120);
  EXPECT_LT(textBox.Bottom, 40);
}

TEST_F(HookLibraries, Imlib2PlacesItsPictureByExpressionsEvaluatedPerPicture) {
  // The dialog's plain line: the 96x64 picture in the bottom-right corner.
  const std::string corner = Hooked(
      "corner", HOOKS + "imlib2.so -i " + HOOKS + "imlib2.jpg -x W-w -y H-h");
  const TBox box = Changed(Source, Luma(corner, 0));
  EXPECT_EQ(box.Left, W - 96);
  EXPECT_EQ(box.Top, H - 64);
  EXPECT_EQ(box.Right, W - 1);
  EXPECT_EQ(box.Bottom, H - 1);

  // "Dancing": the corner moves with the picture number N.
  const std::string dancing =
      Hooked("dancing", HOOKS + "imlib2.so -i " + HOOKS +
                            "imlib2.jpg -x (W-w)*(0.5+0.5*sin(N/47*PI)) -y "
                            "(H-h)*(0.5+0.5*cos(N/97*PI))");
  for (int n : {0, 30}) {
    const TBox moved = Changed(Luma(VideoClip(), n), Luma(dancing, n));
    const double x = (W - 96) * (0.5 + 0.5 * std::sin(n / 47.0 * M_PI));
    const double y = (H - 64) * (0.5 + 0.5 * std::cos(n / 97.0 * M_PI));
    EXPECT_NEAR(moved.Left, x, 1) << n;
    EXPECT_NEAR(moved.Top, y, 1) << n;
    EXPECT_EQ(moved.Right - moved.Left, 95) << n;
  }

  // The text line, in the stand-in font.
  const std::string text = Hooked(
      "text", HOOKS + "imlib2.so -R 255 -G 255 -B 255 -F Tahoma.ttf/16 -t PELIX -x 10 -y 10");
  const TBox textBox = Changed(Source, Luma(text, 0));
  ASSERT_FALSE(textBox.Empty());
  EXPECT_GE(textBox.Left, 10);
  EXPECT_LT(textBox.Right, 120);
  EXPECT_LT(textBox.Bottom, 40);
}

TEST_F(HookLibraries, ABadHookLineIsRefusedWhenTheOptionIsGiven) {
  for (const std::string& line :
       {HOOKS + "imlib2.so -i " + HOOKS + "imlib2.jpg -x (W-w -y 0",
        HOOKS + "imlib2.so -i /nonexistent.jpg", HOOKS + "watermark.so -f " + HOOKS +
                                                    "watermark.gif -m 7",
        HOOKS + "PaintHook.so -ix 3"}) {
    EXPECT_THROW(Engine.SetOption("vhook", line), FFmpegException) << line;
  }
  EXPECT_FALSE(Engine.RunState.HookingEnabled);
}
