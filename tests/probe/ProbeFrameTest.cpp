// Seeking and decoding pictures into 24-bit BGR bitmaps.
#include <gtest/gtest.h>

#include "LibAV.h"
#include "ProbeTestSupport.h"

using namespace probe_test;

namespace {

class ProbeFrameRead : public ProbeTest {};
class ProbeSeek : public ProbeTest {};

const TBGR RED = {0, 0, 255}, BLUE = {255, 0, 0}, BLACK = {0, 0, 0};
// A 64 × 48 picture: red top half, blue bottom half.
const char* const RED_OVER_BLUE =
    "-f lavfi -i color=c=red:s=64x48,drawbox=x=0:y=24:w=64:h=24:color=blue:t=fill";

void ExpectRedOverBlue(const TBitmap& bitmap, int tolerance) {
  ASSERT_EQ(bitmap.GetWidth(), 64);
  ASSERT_EQ(bitmap.GetHeight(), 48);
  for (int x : {0, 31, 63}) {
    EXPECT_TRUE(Near(PixelAt(bitmap, x, 0), RED, tolerance)) << "top row, x " << x;
    EXPECT_TRUE(Near(PixelAt(bitmap, x, 20), RED, tolerance));
    EXPECT_TRUE(Near(PixelAt(bitmap, x, 28), BLUE, tolerance));
    EXPECT_TRUE(Near(PixelAt(bitmap, x, 47), BLUE, tolerance)) << "bottom row, x " << x;
  }
}

}  // namespace

TEST_F(ProbeFrameRead, VideoPictureArrivesAsBGRTopRowFirst) {
  const std::string file = Temp.File("rb.avi");
  ASSERT_TRUE(MakeMedia(std::string(RED_OVER_BLUE) + " -frames:v 5 -c:v mpeg4 -q:v 2", file));
  TAVProbe probe;
  ASSERT_TRUE(probe.Open(file)) << probe.LastError();
  const TBitmap& bitmap = probe.ReadVideoFrame(-1);
  ExpectRedOverBlue(bitmap, 24);
  ASSERT_NE(probe.LastFrame(), nullptr);
  EXPECT_EQ(PixelAt(*probe.LastFrame(), 5, 5).R, PixelAt(bitmap, 5, 5).R);
  probe.Close();
  EXPECT_EQ(bitmap.GetWidth(), 0);
}

TEST_F(ProbeFrameRead, StillImagesOfEveryPixelLayoutKeepTheirOrientation) {
  // bmp decodes to BGR rows stored bottom-up, png to RGB, jpeg to YUV.
  for (const char* name : {"rb.bmp", "rb.png", "rb.jpg"}) {
    SCOPED_TRACE(name);
    const std::string file = Temp.File(name);
    ASSERT_TRUE(MakeMedia(std::string(RED_OVER_BLUE) + " -frames:v 1", file));
    TAVProbe probe;
    ASSERT_TRUE(probe.Open(file, "image2")) << probe.LastError();
    EXPECT_EQ(probe.GetFormatName(), "image2");
    ExpectRedOverBlue(probe.ReadVideoFrame(), name[3] == 'j' ? 24 : 2);
  }
}

TEST_F(ProbeFrameRead, Image2StillIsDecodedOnceAndNeverSeeked) {
  const std::string file = Temp.File("still.jpg");
  ASSERT_TRUE(MakeMedia(std::string(RED_OVER_BLUE) + " -frames:v 1", file));
  TAVProbe probe;
  ASSERT_TRUE(probe.Open(file, "image2"));
  EXPECT_NE(probe.GetInfoText().find("\nBit Rate: N/A\n"), std::string::npos);
  ExpectRedOverBlue(probe.ReadVideoFrame(), 24);
  EXPECT_TRUE(probe.Seek(-1, 1000000));
  EXPECT_TRUE(LibraryLog.Contains(0, "\"image2\" format cannot to be seeked.\n"));
  // The file has no second picture: a read would end black.
  ExpectRedOverBlue(probe.ReadVideoFrame(), 24);
  EXPECT_FALSE(LibraryLog.Contains("stream eof reached.\n"));
}

TEST_F(ProbeFrameRead, EveryPictureIsReadThenTheEndIsBlack) {
  // B-frames make the decoder hold pictures back until it is drained.
  const std::string file = Temp.File("five.avi");
  ASSERT_TRUE(
      MakeMedia("-f lavfi -i color=c=red:s=32x32:rate=10 -frames:v 5 -c:v mpeg4 -bf 2", file));
  TAVProbe probe;
  ASSERT_TRUE(probe.Open(file));
  for (int i = 0; i < 5; ++i) {
    const TBitmap& bitmap = probe.ReadVideoFrame();
    ASSERT_EQ(bitmap.GetWidth(), 32) << "picture " << i;
    EXPECT_TRUE(Near(PixelAt(bitmap, 16, 16), RED, 24)) << "picture " << i;
  }
  EXPECT_FALSE(LibraryLog.Contains("stream eof reached.\n"));
  const TBitmap& end = probe.ReadVideoFrame();
  EXPECT_TRUE(LibraryLog.Contains(2, "stream eof reached.\n"));
  ASSERT_EQ(end.GetWidth(), 32);
  EXPECT_TRUE(Near(PixelAt(end, 16, 16), BLACK, 0));
  // After the end a seek back gives pictures again.
  ASSERT_TRUE(probe.Seek(-1, 0));
  EXPECT_TRUE(Near(PixelAt(probe.ReadVideoFrame(), 16, 16), RED, 24));
}

TEST_F(ProbeFrameRead, BitmapFollowsAPictureSizeChangeMidStream) {
  // Small red pictures, then larger blue ones, in one transport stream.
  const std::string small = Temp.File("small.ts"), big = Temp.File("big.ts"),
                    both = Temp.File("both.ts");
  ASSERT_TRUE(MakeMedia("-f lavfi -i color=c=red:s=32x24:r=10 -frames:v 3 -c:v mpeg2video", small));
  ASSERT_TRUE(MakeMedia("-f lavfi -i color=c=blue:s=64x48:r=10 -frames:v 3 -c:v mpeg2video", big));
  ASSERT_TRUE(testing_support::Shell("cat '" + small + "' '" + big + "' > '" + both + "'"));
  TAVProbe probe;
  ASSERT_TRUE(probe.Open(both));
  ASSERT_EQ(probe.GetVideoStreamInfo().Width, 32);
  bool sawSmall = false, sawBig = false;
  for (int i = 0; i < 10 && !LibraryLog.Contains("stream eof reached.\n"); ++i) {
    const TBitmap& bitmap = probe.ReadVideoFrame();
    if (LibraryLog.Contains("stream eof reached.\n")) break;
    const TBGR middle = PixelAt(bitmap, bitmap.GetWidth() / 2, bitmap.GetHeight() - 1);
    if (bitmap.GetWidth() == 32 && bitmap.GetHeight() == 24 && Near(middle, RED, 24))
      sawSmall = true;
    if (bitmap.GetWidth() == 64 && bitmap.GetHeight() == 48 && Near(middle, BLUE, 24))
      sawBig = true;
  }
  EXPECT_TRUE(sawSmall);
  EXPECT_TRUE(sawBig);
}

TEST_F(ProbeFrameRead, StreamsThatAreNotVideoGiveNoPictureAndNoStreamInfo) {
  const std::string file = Temp.File("a.wav");
  ASSERT_TRUE(MakeMedia("-f lavfi -i sine=duration=1", file));
  TAVProbe probe;
  ASSERT_TRUE(probe.Open(file));
  const std::pair<int, const char*> cases[] = {{-1, "no video stream.\n"},
                                               {0, "stream #0 is not video stream.\n"},
                                               {3, "stream index #3 is invalid.\n"},
                                               {-2, "stream index #-2 is invalid.\n"}};
  for (const auto& [index, message] : cases) {
    LibraryLog.Clear();
    const TBitmap& bitmap = probe.ReadVideoFrame(index);
    EXPECT_TRUE(LibraryLog.Contains(0, message)) << message;
    EXPECT_EQ(bitmap.GetWidth(), 0);
    EXPECT_EQ(bitmap.GetHeight(), 0);
    LibraryLog.Clear();
    const TVideoStreamInfo info = probe.GetVideoStreamInfo(index);
    EXPECT_TRUE(LibraryLog.Contains(0, message)) << message;
    EXPECT_EQ(info.Width, -1);
    EXPECT_EQ(info.CodecName, "");
    EXPECT_EQ(info.DisplayAspectRatio, -1.0f);
  }
}

TEST_F(ProbeSeek, ShowsThePictureAtTheRequestedTime) {
  // One second of red, then one second of blue; a key frame every 5 pictures.
  const std::string file = Temp.File("rb.avi");
  ASSERT_TRUE(
      MakeMedia("-f lavfi -i color=c=red:s=32x32:rate=25:d=1 -f lavfi -i "
                "color=c=blue:s=32x32:rate=25:d=1 -filter_complex [0][1]concat=n=2 "
                "-c:v mpeg4 -g 5",
                file));
  TAVProbe probe;
  ASSERT_TRUE(probe.Open(file)) << probe.LastError();
  const std::pair<int64_t, TBGR> steps[] = {
      {1500000, BLUE}, {0, RED}, {1200000, BLUE}, {-5000000, RED}, {600000000, BLUE}};
  for (const auto& [time, colour] : steps) {
    ASSERT_TRUE(probe.Seek(-1, time)) << time;
    EXPECT_TRUE(Near(PixelAt(probe.ReadVideoFrame(), 16, 16), colour, 24)) << time;
  }
  ASSERT_TRUE(probe.Seek(0, 1600000));  // the stream named explicitly
  EXPECT_TRUE(Near(PixelAt(probe.ReadVideoFrame(0), 16, 16), BLUE, 24));
  EXPECT_FALSE(probe.Seek(1, 0));
  EXPECT_TRUE(LibraryLog.Contains(0, "stream index #1 is invalid.\n"));
}

TEST_F(ProbeSeek, AudioOnlyFileSeeksOnItsAudioStream) {
  const std::string file = Temp.File("a.wav");
  ASSERT_TRUE(MakeMedia("-f lavfi -i sine=duration=3 -ar 44100", file));
  TAVProbe probe;
  ASSERT_TRUE(probe.Open(file));
  ASSERT_TRUE(probe.Seek(-1, 1500000));
  PacketPtr packet(av.av_packet_alloc());
  ASSERT_GE(av.av_read_frame(probe.FormatContext(), packet.get()), 0);
  EXPECT_EQ(packet->stream_index, 0);
  EXPECT_NEAR(static_cast<double>(packet->pts), 66150.0, 4096.0);  // 1.5 s at 1/44100
}
