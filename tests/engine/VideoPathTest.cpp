// The video and subtitle output paths end to end: frame-rate sync, the
// encoder's picture fields, crop failures and bitmap subtitles, checked with
// ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "FFmpeg.h"
#include "TestSupport.h"

using namespace testing_support;

namespace {

bool HasEncoder(const std::string& name) {
  static const std::string encoders = Capture("ffmpeg -hide_banner -encoders 2>/dev/null");
  return encoders.find(" " + name + " ") != std::string::npos;
}

// A 2 s 25 fps clip whose pictures 10 to 19 are missing: a gap of 0.44 s.
std::string GapClip() {
  return Fixture("gap2s.mkv",
                 "-f lavfi -i testsrc=size=160x120:rate=25:duration=2 "
                 "-vf select='not(between(n\\,10\\,19))' -fps_mode passthrough -c:v ffv1");
}

// The timestamps (seconds) of the first video stream's packets, in order.
std::vector<double> PacketTimes(const std::string& path, const std::string& stream = "v:0") {
  std::istringstream text(Capture("ffprobe -v error -select_streams " + stream +
                                  " -show_entries packet=pts_time -of csv=p=0 " + Quote(path) +
                                  " | sort -g"));
  std::vector<double> times;
  for (std::string line; std::getline(text, line);)
    if (!line.empty() && line != "N/A") times.push_back(std::stod(line));
  return times;
}

int CountFrames(const std::string& path) {
  const std::string text = Capture("ffprobe -v error -count_frames -select_streams v:0 "
                                   "-show_entries stream=nb_read_frames -of csv=p=0 " +
                                   Quote(path));
  return text.empty() ? -1 : std::atoi(text.c_str());
}

// PSNR (average) of a file's video against the source's.
double Psnr(const std::string& path, const std::string& source) {
  const std::string text =
      Capture("ffmpeg -nostdin -v info -i " + Quote(path) + " -i " + Quote(source) +
              " -lavfi psnr -f null - 2>&1 | grep -o 'average:[0-9.]*' | tail -1");
  return text.empty() ? -1 : std::stod(text.substr(8));
}

class VideoPath : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(LoadEngineLibraries()); }
  void SetUp() override {
    Engine.Reset();
    Log.Attach(Engine);
  }
  // Opens source and output with the options given before the output; runs.
  void Convert(const std::string& source, const std::string& output,
               const std::vector<std::pair<std::string, std::string>>& options) {
    ASSERT_TRUE(Engine.OpenInputFile(source)) << Engine.LastError;
    for (const auto& option : options) Engine.SetOption(option.first, option.second);
    ASSERT_TRUE(Engine.OpenOutputFile(output)) << Engine.LastError;
    Engine.Start(false);
  }
  void Fresh() {
    Engine.Reset();
    Log = TLogCapture();
    Log.Attach(Engine);
  }
  TTempDir Dir;
  TCustomFFmpeg Engine;
  TLogCapture Log;
};

}  // namespace

TEST_F(VideoPath, FixedQuantiserEncodesAsTheCommandLineToolDoes) {
  const std::string source = VideoClip();
  for (const char* q : {"3", "20"}) {
    Fresh();
    const std::string ours = Dir.File(std::string("q") + q + ".avi");
    Convert(source, ours, {{"vcodec", "mpeg4"}, {"qscale", q}, {"an", "1"}});
    ASSERT_TRUE(Engine.RunState.FinishedNormally) << Engine.RunState.ExceptionMessage;
    const std::string theirs = Dir.File(std::string("ref") + q + ".avi");
    ASSERT_TRUE(Shell("ffmpeg -nostdin -v error -y -i " + Quote(source) +
                      " -an -c:v mpeg4 -q:v " + q + " " + Quote(theirs)));
    const double ourSize = static_cast<double>(std::filesystem::file_size(ours));
    const double theirSize = static_cast<double>(std::filesystem::file_size(theirs));
    EXPECT_NEAR(ourSize / theirSize, 1.0, 0.1) << "q " << q;
    EXPECT_NEAR(Psnr(ours, source), Psnr(theirs, source), 0.5) << "q " << q;
  }
  // The coarser quantiser makes a far smaller file than the fine one.
  EXPECT_LT(std::filesystem::file_size(Dir.File("q20.avi")) * 2,
            std::filesystem::file_size(Dir.File("q3.avi")));

  // "sameq" takes each picture's quantiser from the decoder: re-encoding the
  // quantiser-20 file stays near its size instead of growing to that of a
  // fine quantiser.
  Fresh();
  const std::string same = Dir.File("same.avi");
  Convert(Dir.File("ref20.avi"), same, {{"vcodec", "mpeg4"}, {"sameq", "1"}});
  ASSERT_TRUE(Engine.RunState.FinishedNormally) << Engine.RunState.ExceptionMessage;
  const double sameSize = static_cast<double>(std::filesystem::file_size(same));
  EXPECT_NEAR(sameSize / static_cast<double>(std::filesystem::file_size(Dir.File("ref20.avi"))),
              1.0, 0.35);
}

TEST_F(VideoPath, DropOnlySyncRetimesAfterAGapAndNeverDuplicates) {
  const std::string source = GapClip();
  for (const char* method : {"2", "-1"}) {  // automatic: Matroska has a variable rate
    Fresh();
    Engine.Counters.Verbose = 3;
    const std::string out = Dir.File(std::string("vsync") + method + ".mkv");
    Engine.SetOption("vsync", method);
    Convert(source, out, {{"vcodec", "ffv1"}, {"r", "25"}});
    ASSERT_TRUE(Engine.RunState.FinishedNormally) << Engine.RunState.ExceptionMessage;
    EXPECT_EQ(Engine.Counters.DupFrames, 0) << method;
    EXPECT_EQ(Engine.Counters.DropFrames, 0) << method;
    const std::vector<double> times = PacketTimes(out);
    ASSERT_EQ(times.size(), 40u) << method;
    EXPECT_NEAR(times[10] - times[9], 0.44, 0.005) << method;  // the gap is kept
  }

  // A lower rate drops pictures, never duplicates, and says so at verbosity 3.
  Fresh();
  Engine.Counters.Verbose = 3;
  const std::string out = Dir.File("ten.mkv");
  Engine.SetOption("vsync", "2");
  Convert(VideoClip(), out, {{"vcodec", "ffv1"}, {"r", "10"}, {"an", "1"}});
  ASSERT_TRUE(Engine.RunState.FinishedNormally) << Engine.RunState.ExceptionMessage;
  EXPECT_EQ(Engine.Counters.DupFrames, 0);
  const int frames = CountFrames(out);
  EXPECT_NEAR(frames, 20, 1);
  EXPECT_EQ(Engine.Counters.DropFrames, 50 - frames);
  EXPECT_TRUE(Log.Contains("*** drop!"));
}

TEST_F(VideoPath, ConstantRateSyncDuplicatesIntoAvi) {
  Engine.Counters.Verbose = 3;
  const std::string out = Dir.File("cfr.avi");
  Engine.SetOption("vsync", "1");
  Convert(GapClip(), out, {{"vcodec", "mpeg4"}, {"r", "25"}});
  ASSERT_TRUE(Engine.RunState.FinishedNormally) << Engine.RunState.ExceptionMessage;
  // The picture after the gap fills its ten places: nine duplicates.
  EXPECT_EQ(Engine.Counters.DupFrames, 9);
  EXPECT_TRUE(Log.Contains("*** 9 dup!"));
  const std::vector<double> times = PacketTimes(out);
  ASSERT_EQ(times.size(), 49u);
  for (size_t i = 1; i < times.size(); ++i) EXPECT_NEAR(times[i] - times[i - 1], 0.04, 1e-6) << i;

  // A time base finer than a millisecond is not synchronised, even in AVI.
  Fresh();
  Convert(GapClip(), Dir.File("fine.avi"), {{"vcodec", "ffv1"}, {"r", "2000"}});
  ASSERT_TRUE(Engine.RunState.FinishedNormally) << Engine.RunState.ExceptionMessage;
  EXPECT_EQ(Engine.Counters.DupFrames, 0);
  EXPECT_EQ(Engine.Counters.DropFrames, 0);

  // "vframes" ends the output at its count, duplicates included.
  Fresh();
  const std::string limited = Dir.File("limited.avi");
  Engine.SetOption("vsync", "1");
  Convert(GapClip(), limited, {{"vcodec", "mpeg4"}, {"vframes", "15"}});
  ASSERT_TRUE(Engine.RunState.FinishedNormally) << Engine.RunState.ExceptionMessage;
  EXPECT_EQ(CountFrames(limited), 15);
}

// Sources whose rate, size or pixel format some encoders refuse as they are:
// the encoder gets the nearest it takes (MPEG-1: a standard rate not below
// the source's; RealVideo 1: sizes in steps of 16, RealVideo 2: of 4; all
// three: 4:2:0) and the pictures are scaled and retimed to it.
TEST_F(VideoPath, PicturesAreFittedToWhatTheEncoderTakes) {
  struct TSource {
    const char* name;
    const char* filter;
    const char* pixFmt;
    int fps;  // of the filter; a second of it
  };
  const TSource sources[] = {
      {"rate7.mkv", "testsrc=size=320x240:rate=7", "yuv420p", 7},
      {"rate15.mkv", "testsrc=size=320x240:rate=15", "yuv420p", 15},
      {"size162x122.mkv", "testsrc=size=162x122:rate=25", "yuv420p", 25},
      {"size321x241.mkv", "testsrc=size=321x241:rate=25", "yuv420p", 25},
      {"yuv444.mkv", "testsrc=size=320x240:rate=25", "yuv444p", 25},
  };
  struct TCase {
    const char* source;
    const char* codec;
    const char* extension;
    const char* size;  // as ffprobe prints width,height
    const char* rate;  // ffprobe's r_frame_rate
  };
  const TCase cases[] = {
      {"rate7.mkv", "rv10", "rm", "320,240", "7/1"},
      {"rate7.mkv", "rv20", "rm", "320,240", "7/1"},
      {"rate7.mkv", "mpeg1video", "m1v", "320,240", "24000/1001"},
      {"rate15.mkv", "rv10", "rm", "320,240", "15/1"},
      {"rate15.mkv", "rv20", "rm", "320,240", "15/1"},
      {"rate15.mkv", "mpeg1video", "m1v", "320,240", "24000/1001"},
      {"size162x122.mkv", "rv10", "rm", "160,128", "25/1"},
      {"size162x122.mkv", "rv20", "rm", "160,120", "25/1"},
      {"size162x122.mkv", "mpeg1video", "m1v", "162,122", "25/1"},
      {"size321x241.mkv", "rv10", "rm", "320,240", "25/1"},
      {"size321x241.mkv", "rv20", "rm", "320,240", "25/1"},
      {"size321x241.mkv", "mpeg1video", "m1v", "321,241", "25/1"},
      {"yuv444.mkv", "rv10", "rm", "320,240", "25/1"},
      {"yuv444.mkv", "rv20", "rm", "320,240", "25/1"},
      {"yuv444.mkv", "mpeg1video", "m1v", "320,240", "25/1"},
  };
  auto fixture = [](const TSource& s) {
    return Fixture(std::string("fit_") + s.name, std::string("-f lavfi -i ") + s.filter +
                                                     " -t 1 -pix_fmt " + s.pixFmt + " -c:v ffv1");
  };
  for (const TCase& c : cases) {
    if (!HasEncoder(c.codec)) GTEST_SKIP() << "no " << c.codec << " encoder";
    const TSource* source = nullptr;
    for (const TSource& s : sources)
      if (std::string(s.name) == c.source) source = &s;
    ASSERT_NE(source, nullptr);
    const std::string path = fixture(*source);
    ASSERT_FALSE(path.empty());
    const std::string what = std::string(c.source) + " -> " + c.codec;
    Fresh();
    const std::string out = Dir.File(std::string(c.codec) + "_" + c.source + "." + c.extension);
    Convert(path, out, {{"vcodec", c.codec}, {"an", "1"}});
    if (!Engine.RunState.FinishedNormally) {
      ADD_FAILURE() << what << ": " << Engine.RunState.ExceptionMessage;
      continue;
    }
    EXPECT_TRUE(DecodesCleanly(out)) << what;
    EXPECT_EQ(Capture("ffprobe -v error -select_streams v:0 -show_entries "
                      "stream=width,height,r_frame_rate,pix_fmt -of csv=p=0 " +
                      Quote(out)),
              std::string(c.size) + ",yuv420p," + c.rate)
        << what;
    // Retimed, neither cut short nor stretched: the new rate's pictures up to
    // the source's last one (whose own length is not filled).
    int num = 0, den = 1;
    ASSERT_EQ(std::sscanf(c.rate, "%d/%d", &num, &den), 2);
    const double lastStart = (source->fps - 1.0) / source->fps;
    EXPECT_NEAR(CountFrames(out), lastStart * num / den + 1, 1.5) << what;
  }

  // A forced rate is kept: the encoder refuses it, and the job ends with a
  // codec failure.
  Fresh();
  Engine.SetOption("force_fps", "1");
  Convert(fixture(sources[1]), Dir.File("forced.m1v"), {{"vcodec", "mpeg1video"}, {"an", "1"}});
  EXPECT_FALSE(Engine.RunState.FinishedNormally);
  EXPECT_EQ(Engine.RunState.ExceptionCode, rcCodec) << Engine.RunState.ExceptionMessage;
}

TEST_F(VideoPath, TopFieldFirstFollowsTheOptionWhenInterlacing) {
  if (!HasEncoder("mpeg2video")) GTEST_SKIP() << "no mpeg2video encoder";
  const auto fieldOrder = [](const std::string& path) {
    return Capture("ffprobe -v error -select_streams v:0 -read_intervals %+#3 -show_entries "
                   "frame=top_field_first -of default=nw=1:nk=1 " + Quote(path) +
                   " | sort -u | tr -d '\\n'");
  };
  for (const char* top : {"1", "0"}) {
    Fresh();
    const std::string out = Dir.File(std::string("top") + top + ".mpg");
    Engine.SetOption("flags", "+ildct+ilme");
    Engine.SetOption("top", top);
    Convert(VideoClip(), out, {{"vcodec", "mpeg2video"}, {"an", "1"}});
    ASSERT_TRUE(Engine.RunState.FinishedNormally) << Engine.RunState.ExceptionMessage;
    EXPECT_EQ(fieldOrder(out), top);
  }
}

TEST_F(VideoPath, CroppedPicturesKeepTheirPixels) {
  // Crops without scaling: the encoder gets a view of the decoded picture.
  const std::string source = VideoClip();
  for (const char* side : {"croptop", "cropbottom", "cropleft"}) {
    Fresh();
    const std::string out = Dir.File(std::string(side) + ".mkv");
    ASSERT_TRUE(Engine.OpenInputFile(source)) << Engine.LastError;
    Engine.SetOption(side, "40");
    Engine.SetOption("vcodec", "ffv1");
    ASSERT_TRUE(Engine.OpenOutputFile(out)) << Engine.LastError;
    Engine.Start(false);
    ASSERT_TRUE(Engine.RunState.FinishedNormally) << Engine.RunState.ExceptionMessage;
    const bool vertical = std::string(side) != "cropleft";
    EXPECT_EQ(Probe(out, "v:0", "stream=width"), vertical ? "320" : "280") << side;
    EXPECT_EQ(Probe(out, "v:0", "stream=height"), vertical ? "200" : "240") << side;
    // The same pixels as the source's part (lossless both ways).
    const std::string crop = std::string(side) == "croptop"      ? "320:200:0:40"
                             : std::string(side) == "cropbottom" ? "320:200:0:0"
                                                                 : "280:240:40:0";
    EXPECT_EQ(Capture("ffmpeg -v error -i " + Quote(out) + " -map 0:v -f md5 -"),
              Capture("ffmpeg -v error -i " + Quote(source) + " -map 0:v -vf crop=" + crop +
                      " -f md5 -"))
        << side;
  }
}

TEST_F(VideoPath, ACropThatNoLongerFitsSkipsThePictureOrEndsTheJob) {
  if (!HasEncoder("mpeg2video")) GTEST_SKIP() << "no mpeg2video encoder";
  // 25 pictures of 320x240, then 25 of 96x64 in one stream.
  const std::string big = Dir.File("big.ts"), small = Dir.File("small.ts");
  const std::string source = Dir.File("resized.ts");
  ASSERT_TRUE(MakeMedia("-f lavfi -i testsrc=size=320x240:rate=25:duration=1 -c:v mpeg2video", big));
  ASSERT_TRUE(MakeMedia(
      "-f lavfi -i testsrc=size=96x64:rate=25:duration=1 -c:v mpeg2video -output_ts_offset 1",
      small));
  ASSERT_TRUE(Shell("cat " + Quote(big) + " " + Quote(small) + " > " + Quote(source)));

  const auto convert = [&](const std::string& out, bool exitOnError) {
    ASSERT_TRUE(Engine.OpenInputFile(source)) << Engine.LastError;
    if (exitOnError) Engine.SetOption("xerror", "1");
    Engine.SetOption("croptop", "100");
    Engine.SetOption("vcodec", "ffv1");
    ASSERT_TRUE(Engine.OpenOutputFile(out)) << Engine.LastError;
    Engine.Start(false);
  };
  convert(Dir.File("skipped.mkv"), false);
  EXPECT_TRUE(Engine.RunState.FinishedNormally) << Engine.RunState.ExceptionMessage;
  EXPECT_TRUE(Log.Contains("error cropping picture"));
  EXPECT_EQ(Probe(Dir.File("skipped.mkv"), "v:0", "stream=height"), "140");

  Fresh();
  convert(Dir.File("ended.mkv"), true);
  EXPECT_TRUE(Engine.RunState.ExceptionRaised);
  EXPECT_EQ(Engine.RunState.ExceptionMessage, "error cropping picture");
}

namespace {

// Writes a file with one bitmap subtitle stream (format "mpegts" with DVB
// subtitles, "vob" with DVD subtitles): count subtitles (a 64x24 four-colour
// box), one every 2 s from 1 s on. The subtitle of index noPts gets a PES
// header without a timestamp. Made with the media libraries themselves: the
// command-line tool cannot make bitmap subtitles.
bool MakeBitmapSubtitles(const std::string& path, const char* format, AVCodecID id, int count,
                         int noPts) {
  const AVCodec* codec = av.avcodec_find_encoder(id);
  if (!codec) return false;
  AVFormatContext* raw = nullptr;
  if (av.avformat_alloc_output_context2(&raw, nullptr, format, path.c_str()) < 0) return false;
  OutputFormatPtr oc(raw);
  CodecContextPtr enc(av.avcodec_alloc_context3(codec));
  enc->time_base = AVRational{1, 90000};
  enc->width = 720;
  enc->height = 576;
  if (av.avcodec_open2(enc.get(), codec, nullptr) < 0) return false;
  AVStream* st = av.avformat_new_stream(oc.get(), nullptr);
  av.avcodec_parameters_from_context(st->codecpar, enc.get());
  st->time_base = AVRational{1, 90000};
  if (av.avio_open2(&oc->pb, path.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr) < 0) return false;
  if (av.avformat_write_header(oc.get(), nullptr) < 0) return false;
  std::vector<uint8_t> pixels(64 * 24);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>((i % 64) / 16);
  uint32_t palette[4] = {0x00000000, 0xffffffff, 0xff0000ff, 0xffff0000};
  PacketPtr pkt(av.av_packet_alloc());
  std::vector<uint8_t> buffer(65536);
  for (int i = 0; i < count; ++i) {
    AVSubtitleRect rect{};
    rect.x = 100;
    rect.y = 400;
    rect.w = 64;
    rect.h = 24;
    rect.nb_colors = 4;
    rect.type = SUBTITLE_BITMAP;
    rect.data[0] = pixels.data();
    rect.linesize[0] = 64;
    rect.data[1] = reinterpret_cast<uint8_t*>(palette);
    AVSubtitleRect* rects[1] = {&rect};
    AVSubtitle sub{};
    sub.num_rects = 1;
    sub.rects = rects;
    const int size = av.avcodec_encode_subtitle(enc.get(), buffer.data(), 65536, &sub);
    if (size <= 0 || av.av_new_packet(pkt.get(), size) < 0) return false;
    std::copy_n(buffer.data(), size, pkt->data);
    pkt->pts = pkt->dts = 90000 * (1 + 2 * i);
    pkt->stream_index = 0;
    if (av.av_interleaved_write_frame(oc.get(), pkt.get()) < 0) return false;
  }
  if (av.av_write_trailer(oc.get()) < 0 || av.avio_closep(&oc->pb) < 0) return false;
  oc.reset();
  if (noPts < 0) return true;
  // Clear the timestamp flags of that PES header (private stream 1).
  std::vector<char> data;
  {
    std::ifstream file(path, std::ios::binary);
    data.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  const char start[] = {0, 0, 1, static_cast<char>(0xbd)};
  int seen = 0;
  for (auto at = std::search(data.begin(), data.end(), start, start + 4); at != data.end();
       at = std::search(at + 4, data.end(), start, start + 4)) {
    if (data.end() - at > 8 && seen++ == noPts) at[7] = static_cast<char>(at[7] & 0x3f);
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(data.data(), data.size());
  return seen == count;
}

}  // namespace

TEST_F(VideoPath, DvbSubtitlesKeepTheirDrawAndClearPages) {
  if (!HasEncoder("dvbsub")) GTEST_SKIP() << "no dvbsub encoder";
  const std::string source = Dir.File("subs.ts");
  ASSERT_TRUE(MakeBitmapSubtitles(source, "mpegts", AV_CODEC_ID_DVB_SUBTITLE, 3, -1));
  for (const char* name : {"subs_out.ts", "subs_out.mkv"}) {
    Fresh();
    const std::string out = Dir.File(name);
    Convert(source, out, {{"scodec", "dvbsub"}});
    ASSERT_TRUE(Engine.RunState.FinishedNormally) << Engine.RunState.ExceptionMessage;
    EXPECT_EQ(Probe(out, "s:0", "stream=codec_name"), "dvb_subtitle") << name;
    // Each subtitle: a page drawn at its time and one that clears it, at the
    // end of its display time (the encoder's page time-out, 30 s) or just
    // before the next page.
    const std::vector<double> times = PacketTimes(out, "s:0");
    const double first = times.empty() ? 0 : times[0];
    ASSERT_EQ(times.size(), 6u) << name;
    const double expected[] = {0, 2, 2, 4, 4, 34};
    for (size_t i = 0; i < 6; ++i) EXPECT_NEAR(times[i] - first, expected[i], 0.002) << name;
    EXPECT_LT(times[1], times[2]) << name;
    // The draw pages carry the bitmap, the clear pages none.
    const std::string rects = Capture("ffprobe -v error -select_streams s:0 -show_entries "
                                      "subtitle=num_rects -of csv=p=0 " + Quote(out) + " | tr '\\n' ' '");
    EXPECT_EQ(rects, "1 0 1 0 1 0 ") << name;
  }
}

TEST_F(VideoPath, ASubtitlePacketWithoutTimestampIsRefused) {
  if (!HasEncoder("dvbsub") || !HasEncoder("dvdsub")) GTEST_SKIP() << "no DVB or DVD subtitle encoder";
  // The MPEG-TS reader would time such a packet by the clock; a program stream does not.
  const std::string source = Dir.File("nopts.vob");
  ASSERT_TRUE(MakeBitmapSubtitles(source, "vob", AV_CODEC_ID_DVD_SUBTITLE, 3, 1));
  const std::string out = Dir.File("nopts_out.ts");
  Convert(source, out, {{"scodec", "dvbsub"}});
  ASSERT_TRUE(Engine.RunState.FinishedNormally) << Engine.RunState.ExceptionMessage;
  EXPECT_TRUE(Log.Contains("Subtitle packets must have a pts"));
  EXPECT_EQ(PacketTimes(out, "s:0").size(), 4u);  // the other two kept

  Fresh();
  Engine.SetOption("xerror", "1");
  Convert(source, Dir.File("nopts_end.ts"), {{"scodec", "dvbsub"}});
  EXPECT_TRUE(Engine.RunState.ExceptionRaised);
  EXPECT_EQ(Engine.RunState.ExceptionMessage, "Subtitle packets must have a pts");
}

