// quellon-cli's music options: the further formats, loudness, ReplayGain
// with album gain over a folder's files, the source's time.
#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>

#include "CliTestSupport.h"

using namespace cli_testing;

namespace {

std::string Tag(const std::string& path, const std::string& key) {
  return Capture("ffprobe -v error -show_entries format_tags=" + key + ":stream_tags=" + key +
                 " -of default=nw=1:nk=1 " + Quote(path) + " | head -1");
}

}  // namespace

TEST_F(Cli, TheFurtherFormatsAndAGaplessMp3) {
  Source("a.wav", 1);
  const struct {
    const char* Format;
    const char* File;
    const char* Codec;
  } formats[] = {{"opus", "OUT/a_(new).opus", "opus"},
                 {"vorbis", "OUT/a_(new).ogg", "vorbis"},
                 {"FLAC", "OUT/a_(new).flac", "flac"},
                 {"m4a", "OUT/a_(new).m4a", "aac"}};
  for (const auto& f : formats) {
    SCOPED_TRACE(f.Format);
    const TResult r = Run(std::string("-q -f ") + f.Format + " -o OUT a.wav");
    ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
    EXPECT_EQ(Probe(Dir.File(f.File), "a:0", "stream=codec_name"), f.Codec);
    EXPECT_TRUE(DecodesCleanly(Dir.File(f.File)));
  }
  // The bit rate reaches the encoder.
  TResult r = Run("-q -f opus --bitrate 48 -o LOW a.wav");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_LT(std::filesystem::file_size(Dir.File("LOW/a_(new).opus")),
            std::filesystem::file_size(Dir.File("OUT/a_(new).opus")) * 3 / 4);
  // The encoder delay is in the MP3's header: players start at the music.
  r = Run("-q -f mp3 -o OUT a.wav");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_NEAR(std::stod(Probe(Dir.File("OUT/a_(new).mp3"), "a:0", "stream=start_time")),
              1105 / 44100.0, 0.001);
}

TEST_F(Cli, LoudnessReplayGainAlbumsAndTime) {
  std::filesystem::create_directories(Dir.File("album"));
  ASSERT_TRUE(MakeMedia("-f lavfi -i sine=frequency=440:duration=2 -af volume=-20dB -ac 2",
                        Dir.File("album/one.wav")));
  ASSERT_TRUE(MakeMedia("-f lavfi -i sine=frequency=660:duration=2 -af volume=-10dB -ac 2",
                        Dir.File("album/two.wav")));
  struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  utimensat(AT_FDCWD, Dir.File("album/one.wav").c_str(), old, 0);
  TResult r = Run("-q -f flac --album-gain --keep-time -o OUT album/one.wav album/two.wav");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  const std::string one = Dir.File("OUT/one_(new).flac"), two = Dir.File("OUT/two_(new).flac");
  EXPECT_NE(Tag(one, "REPLAYGAIN_TRACK_GAIN"), Tag(two, "REPLAYGAIN_TRACK_GAIN"));
  EXPECT_FALSE(Tag(one, "REPLAYGAIN_ALBUM_GAIN").empty());
  EXPECT_EQ(Tag(one, "REPLAYGAIN_ALBUM_GAIN"), Tag(two, "REPLAYGAIN_ALBUM_GAIN"));
  struct stat st;
  ASSERT_EQ(stat(one.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
  // The folder given with -r is the album too.
  r = Run("-q -r -f flac --album-gain -o TREE album");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_EQ(Tag(Dir.File("TREE/one_(new).flac"), "REPLAYGAIN_ALBUM_GAIN"),
            Tag(one, "REPLAYGAIN_ALBUM_GAIN"));
  EXPECT_EQ(Tag(Dir.File("TREE/two_(new).flac"), "REPLAYGAIN_ALBUM_GAIN"),
            Tag(one, "REPLAYGAIN_ALBUM_GAIN"));

  // Levelled: both end at the target; without --keep-time the output is new.
  r = Run("-q -f wav --loudness -20 -o LEVEL album/one.wav album/two.wav");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  for (const char* name : {"LEVEL/one_(new).wav", "LEVEL/two_(new).wav"}) {
    const std::string text = Capture("ffmpeg -nostdin -hide_banner -i " + Quote(Dir.File(name)) +
                                     " -af ebur128 -f null - 2>&1 | grep -E '^ +I:'");
    ASSERT_NE(text.find("I:"), std::string::npos) << text;
    EXPECT_NEAR(std::stod(text.substr(text.find("I:") + 2)), -20.0, 0.5) << name;
  }
  ASSERT_EQ(stat(Dir.File("LEVEL/one_(new).wav").c_str(), &st), 0);
  EXPECT_NE(st.st_mtim.tv_sec, 1000000000);

  r = Run("--loudness 5 a.wav");
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("--loudness needs a level in LUFS"), std::string::npos) << r.Err;
}

// The choice of --tag-encoding reaches the probe and the conversion; auto
// reads GBK by itself (the detection itself is tested in test_libav).
TEST_F(Cli, TagsThatClaimLatin1AreReadInTheEncodingChosen) {
  ASSERT_TRUE(MakeTaggedMp3(Dir.File("gbk.mp3"), Encoded("爱你一万年", "GB18030"),
                            Encoded("伍佰", "GB18030"), false));
  // Big5 this short is too little for a guess.
  ASSERT_TRUE(MakeTaggedMp3(Dir.File("big5.mp3"), Encoded("晴天", "BIG5"),
                            Encoded("周杰倫", "BIG5"), false));
  EXPECT_NE(Run("--probe gbk.mp3").Out.find("Title: 爱你一万年"), std::string::npos);
  EXPECT_EQ(Run("--probe big5.mp3").Out.find("Title: 晴天"), std::string::npos);
  TResult r = Run("--probe --tag-encoding big5 big5.mp3");
  EXPECT_NE(r.Out.find("Title: 晴天\nAuthor: 周杰倫"), std::string::npos) << r.Out;
  r = Run("-q -f flac --tag-encoding BIG5 big5.mp3");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_EQ(Tag(Dir.File("big5_(new).flac"), "title"), "晴天");
  EXPECT_EQ(Tag(Dir.File("big5_(new).flac"), "artist"), "周杰倫");
}
