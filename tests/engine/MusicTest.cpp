// What a music file carries besides its sound: the cover picture from every
// source container into every format that holds one (bytes compared by
// hash), every tag, loudness levelling and ReplayGain, checked with ffprobe
// and ffmpeg's ebur128 filter as the oracle.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <thread>

#include "AlbumGain.h"
#include "FFmpeg.h"
#include "MusicTags.h"
#include "TestSupport.h"

using namespace testing_support;

namespace {

struct TOut {
  const char* File;     // output name (its extension picks the muxer)
  const char* Encoder;  // "acodec"
  bool Cover;           // the format holds a cover
};

const TOut Outputs[] = {
    {"o.wav", "pcm_s16le", true}, {"o.mp3", "libmp3lame", true}, {"o.mp2", "mp2", true},
    {"o.aac", "aac", false},      {"o.wma", "wmav2", true},      {"o.ogg", "flac", true},
    {"o.opus", "libopus", true},  {"o.oga", "libvorbis", true},  {"o.flac", "flac", true},
    {"o.m4a", "aac", true}};

std::string Md5(const std::string& path) { return Capture("md5sum < " + Quote(path)); }

// The bytes of the file's attached picture, hashed; "" without one.
std::string CoverHash(const std::string& path) {
  return Capture("ffmpeg -nostdin -v error -i " + Quote(path) +
                 " -map 0:v:0? -c copy -f image2pipe - | md5sum | grep -v d41d8cd98f00b204e980");
}

// Every tag of the file and its streams, lower case, with the streams' dispositions.
std::string AllTags(const std::string& path) {
  return LowerCase(Capture("ffprobe -v error -show_entries format_tags:stream_tags:"
                           "stream_disposition=attached_pic -of default=nw=1 " + Quote(path)));
}

// An MP3 of a bare MPEG audio stream with an ID3 tag in front.
std::string BareMp3() {
  return Fixture("bare.mp3", "-f lavfi -i sine=duration=0.2 -c:a libmp3lame -write_xing 0 "
                             "-id3v2_version 0");
}

// A WAV file's id3 chunk in front of a bit of MP3, for ffprobe to read (the
// WAV reader of the libraries keeps the RIFF INFO tags only when it has
// both); "" without a chunk.
std::string WavId3AsMp3(const std::string& wav, const std::string& folder) {
  std::ifstream in(wav, std::ios::binary);
  std::vector<char> d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (size_t at = 12; at + 8 <= d.size();) {
    uint32_t size = 0;
    std::memcpy(&size, &d[at + 4], 4);
    if (LowerCase(std::string(&d[at], 4)) == "id3 ") {
      const std::string tag = folder + "/tag.mp3";
      std::ofstream out(tag, std::ios::binary);
      out.write(&d[at + 8], size);
      std::ifstream audio(BareMp3(), std::ios::binary);
      out << audio.rdbuf();
      return tag;
    }
    at += 8 + size + (size & 1);
  }
  return "";
}
std::string WavId3Tags(const std::string& wav, const std::string& folder) {
  const std::string tag = WavId3AsMp3(wav, folder);
  return tag.empty() ? "" : AllTags(tag);
}

// An ID3v2.3 tag holding one APIC frame: the bytes under that MIME label.
std::string Id3WithPicture(const std::string& mime, const std::string& bytes) {
  std::string body = std::string(1, '\0') + mime + '\0' + '\x03' + '\0' + bytes;
  auto be32 = [](size_t v, int bits) {
    std::string b(4, '\0');
    for (int i = 0; i < 4; ++i) b[i] = static_cast<char>((v >> (bits * (3 - i))) & ((1u << bits) - 1));
    return b;
  };
  const std::string frame = "APIC" + be32(body.size(), 8) + std::string(2, '\0') + body;
  return std::string("ID3\x03\0\0", 6) + be32(frame.size(), 7) + frame;
}

struct TLevel {
  double Integrated = 0, TruePeak = 0;
};
TLevel Ebur128(const std::string& path) {
  const std::string text = Capture("ffmpeg -nostdin -hide_banner -i " + Quote(path) +
                                   " -af ebur128=peak=true -f null - 2>&1");
  TLevel level;
  size_t at = text.rfind("I:");
  if (at != std::string::npos) level.Integrated = std::stod(text.substr(at + 2));
  at = text.rfind("Peak:");
  if (at != std::string::npos) level.TruePeak = std::stod(text.substr(at + 5));
  return level;
}

// A tag's number, from the file's or its streams' tags (Ogg keeps them per stream).
double TagNumber(const std::string& path, const std::string& key) {
  const std::string v = Capture("ffprobe -v error -show_entries format_tags=" + key +
                                ":stream_tags=" + key + " -of default=nw=1:nk=1 " + Quote(path) +
                                " | head -1");
  return v.empty() ? NAN : std::stod(v);
}

// The largest sample in dBFS, as ffmpeg's volumedetect filter finds it.
double SamplePeakDb(const std::string& path) {
  const std::string text = Capture("ffmpeg -nostdin -hide_banner -i " + Quote(path) +
                                   " -af volumedetect -f null - 2>&1 | grep max_volume");
  const size_t at = text.find("max_volume:");
  return at == std::string::npos ? NAN : std::stod(text.substr(at + 11));
}

class Music : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(LoadEngineLibraries()); }
  void SetUp() override {
    for (const char* name : {"libmp3lame", "libopus", "libvorbis", "wmav2"})
      if (Capture(std::string("ffmpeg -hide_banner -encoders | grep -c ' ") + name + " '")
              .find('0') == 0)
        GTEST_SKIP() << "the encoder " << name << " is missing";
  }
  // Converts with the engine; music options set by the caller's lambda.
  void Convert(const std::string& source, const std::string& out, const std::string& encoder,
               const std::function<void(TMusicOptions&)>& music = nullptr) {
    Engine.Reset();
    Log.Attach(Engine);
    Log.Lines.clear();
    ASSERT_TRUE(Engine.OpenInputFile(source)) << Engine.LastError;
    Engine.SetOption("acodec", encoder);
    ASSERT_TRUE(Engine.OpenOutputFile(out)) << Engine.LastError;
    if (music) music(Engine.Music);
    Engine.Start(false);
    ASSERT_FALSE(Engine.RunState.ExceptionRaised) << Engine.RunState.ExceptionMessage;
    ASSERT_EQ(Engine.Result.Outcome, joComplete) << Engine.Result.Reason;
  }
  std::string Picture(const char* kind) {
    return Fixture(std::string("cover.") + kind,
                   "-f lavfi -i testsrc=size=300x300 -frames:v 1 -update 1");
  }
  // A 1 s tagged source of that container with that cover ("jpg", "png").
  std::string Source(const std::string& container, const std::string& picture) {
    const std::string tags =
        "-metadata title=Quellon\\ Song -metadata artist=Someone -metadata album_artist=Band "
        "-metadata composer=Writer -metadata disc=1/2 -metadata QUELLON_CUSTOM=kept-value ";
    const std::string tone = "-f lavfi -i sine=frequency=330:duration=1 ";
    const std::string cover = Picture(picture.c_str());
    const std::string withPicture =
        tone + "-i " + Quote(cover) + " -map 0:a -map 1:v -c:v copy -disposition:v attached_pic " +
        tags;
    const std::string name = "music_src_" + picture + "." + container;
    if (container == "mp3")
      return Fixture(name, withPicture + "-c:a libmp3lame -id3v2_version 3");
    if (container == "flac") return Fixture(name, withPicture + "-c:a flac");
    if (container == "m4a") {
      // The libraries' MP4 writer keeps no custom tags: our M4A of the MP3.
      const std::string m4a = Dir.File("src_" + picture + ".m4a");
      Convert(Source("mp3", picture), m4a, "aac");
      return m4a;
    }
    if (container == "ogg") {
      // Vorbis comments hold a cover as a base64 FLAC picture block.
      const std::string block = Dir.File("block");
      std::ifstream in(cover, std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const std::string mime = picture == "png" ? "image/png" : "image/jpeg";
      std::ofstream out(block, std::ios::binary);
      auto be32 = [&](uint32_t v) {
        const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        out.write(b, 4);
      };
      be32(3), be32(static_cast<uint32_t>(mime.size())), out << mime, be32(0), be32(300),
          be32(300), be32(24), be32(0), be32(static_cast<uint32_t>(bytes.size())), out << bytes;
      out.close();
      const std::string base64 = Capture("base64 -w0 " + Quote(block));
      return Fixture(name, tone + tags + "-c:a libvorbis -metadata:s:a:0 METADATA_BLOCK_PICTURE=" +
                               base64);
    }
    // The libraries write no ASF cover: our MP3 converted to WMA, checked below.
    const std::string wma = Dir.File("src_" + picture + ".wma");
    Convert(Source("mp3", picture), wma, "wmav2");
    return wma;
  }
  bool Logged(const std::string& part) const {
    for (const auto& line : Log.Lines)
      if (line.second.find(part) != std::string::npos) return true;
    return false;
  }
  TTempDir Dir;
  TCustomFFmpeg Engine;
  TLogCapture Log;
};

}  // namespace

// A JPEG and a PNG cover, as two tests that may run side by side.
class MusicCover : public Music, public ::testing::WithParamInterface<const char*> {};
INSTANTIATE_TEST_SUITE_P(Pictures, MusicCover, ::testing::Values("jpg", "png"));

TEST_P(MusicCover, CoverAndTagsFromEverySourceReachEveryFormat) {
  {
    const std::string picture = GetParam();
    const std::string coverHash = Md5(Picture(picture.c_str()));
    for (const std::string container : {"mp3", "flac", "m4a", "ogg", "wma"}) {
      const std::string source = Source(container, picture);
      ASSERT_FALSE(source.empty());
      // The source holds what the outputs are checked for.
      ASSERT_EQ(CoverHash(source), coverHash) << source;
      ASSERT_NE(AllTags(source).find("quellon_custom=kept-value"), std::string::npos) << source;
      for (const TOut& format : Outputs) {
        SCOPED_TRACE(container + "/" + picture + " -> " + format.File);
        const std::string out = Dir.File(format.File);
        std::filesystem::remove(out);
        Convert(source, out, format.Encoder);
        EXPECT_TRUE(DecodesCleanly(out));
        std::string tags = AllTags(out);
        EXPECT_EQ(tags.find("attached_pic=1") != std::string::npos, format.Cover);
        if (format.Cover) {
          EXPECT_EQ(CoverHash(out), coverHash);
        }
        if (std::string(format.File) == "o.wav") tags = WavId3Tags(out, Dir.Path());
        for (const char* wanted : {"=quellon song", "=someone", "=band", "=writer",
                                   "quellon_custom=kept-value"})
          EXPECT_NE(tags.find(wanted), std::string::npos) << wanted << "\n" << tags;
        if (!format.Cover) {
          int notes = 0;
          for (const auto& line : Log.Lines)
            notes += line.second.find("holds no cover picture") != std::string::npos;
          EXPECT_EQ(notes, 1);
        }
      }
    }
  }
}

TEST_F(Music, TheRiffSizesOfAWavWithAnId3ChunkAddUp) {
  const std::string out = Dir.File("sized.wav");
  Convert(Source("flac", "jpg"), out, "pcm_s16le");
  std::ifstream in(out, std::ios::binary);
  std::vector<char> d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  uint32_t riff = 0;
  std::memcpy(&riff, &d[4], 4);
  EXPECT_EQ(riff + 8u, d.size());
  // The samples are exactly the source's.
  EXPECT_EQ(Capture("ffmpeg -v error -i " + Quote(out) + " -f s16le - | md5sum"),
            Capture("ffmpeg -v error -i " + Quote(Source("flac", "jpg")) + " -f s16le - | md5sum"));
}

namespace {

// The formats whose tags or cover TagLib adds once the muxer is done.
const TOut EditedOutputs[] = {{"u.wav", "pcm_s16le", true}, {"u.mp2", "mp2", true},
                              {"u.wma", "wmav2", true},     {"u.m4a", "aac", true}};

// A FLAC source with UTF-8 tags and a detailed picture (50 KiB: an ASF
// header takes a picture past 64 KiB only in its metadata library, where the
// libraries' reader does not look).
std::string Utf8Source(std::string& picture) {
  picture = Fixture("cover_mandelbrot.png", "-f lavfi -i mandelbrot=s=200x200 -frames:v 1 -update 1");
  return Fixture("music_utf8.flac",
                 "-f lavfi -i sine=frequency=330:duration=1 -i " + Quote(picture) +
                     " -map 0:a -map 1:v -c:v copy -disposition:v attached_pic -c:a flac "
                     "-metadata title='Ünïcødé 東京' -metadata QUELLON_NOTE='Grüße ♫'");
}

}  // namespace

// What TagLib adds after the muxers, checked with ffprobe: UTF-8 text as it
// was, the cover as the same bytes, and the size the job reports is the
// file's with them. The formats are converted side by side, each job on an
// engine and a thread of its own.
TEST_F(Music, TagsAddedAfterTheMuxerAreUtf8ExactAndCounted) {
  std::string picture;
  const std::string source = Utf8Source(picture);
  ASSERT_GT(std::filesystem::file_size(picture), 40000u);
  struct TJob {
    const TOut* Format;
    int64_t Reported = -1;
    TJobResult Result;
  };
  std::vector<TJob> jobs;
  for (const TOut& format : EditedOutputs) jobs.push_back({&format, -1, TJobResult()});
  std::vector<std::thread> threads;
  for (TJob& job : jobs)
    threads.emplace_back([&job, &source, this] {
      TCustomFFmpeg engine;
      engine.Reset();
      engine.OnProgress = [&job](TCustomFFmpeg*, int32_t, int32_t, int32_t, float, float,
                                 int64_t size, int32_t) { job.Reported = size; };
      if (ConvertHere(engine, source, Dir.File(job.Format->File),
                      {{"acodec", job.Format->Encoder}}))
        job.Result = engine.Result;
    });
  for (std::thread& thread : threads) thread.join();
  const std::string coverHash = Md5(picture);
  for (const TJob& job : jobs) {
    const std::string out = Dir.File(job.Format->File);
    SCOPED_TRACE(out);
    ASSERT_EQ(job.Result.Outcome, joComplete) << job.Result.Reason;
    EXPECT_EQ(job.Reported, static_cast<int64_t>(std::filesystem::file_size(out)));
    EXPECT_TRUE(DecodesCleanly(out));
    EXPECT_EQ(CoverHash(out), coverHash);
    const std::string tags =
        std::string(job.Format->File) == "u.wav" ? WavId3Tags(out, Dir.Path()) : AllTags(out);
    for (const char* wanted : {"title=Ünïcødé 東京", "quellon_note=Grüße ♫"})
      EXPECT_NE(tags.find(LowerCase(wanted)), std::string::npos) << wanted << "\n" << tags;
  }
}

// A tag that does not fit on the disk fails the output with the code of
// the error; nothing takes the output's name.
TEST_F(Music, ATagThatCannotBeWrittenFailsTheOutput) {
  std::string picture;
  const std::string source = Utf8Source(picture);
  for (const TOut& format : EditedOutputs) {
    const std::string out = Dir.File(format.File);
    SCOPED_TRACE(out);
    Convert(source, out, format.Encoder);
    const uintmax_t tagged = std::filesystem::file_size(out);
    std::filesystem::remove(out);
    // Room for what the muxer writes, not for all that TagLib adds.
    struct rlimit saved, limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    limit = saved;
    limit.rlim_cur = tagged - 1;
    void (*const previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    Engine.Reset();
    const bool opened = ConvertHere(Engine, source, out, {{"acodec", format.Encoder}});
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    ASSERT_TRUE(opened) << Engine.LastError;
    EXPECT_EQ(Engine.Result.Outcome, joFailed);
    EXPECT_EQ(Engine.Result.Code, rcDiskFull) << ReasonCodeName(Engine.Result.Code);
    EXPECT_NE(Engine.Result.Reason.find("Could not write"), std::string::npos)
        << Engine.Result.Reason;
    EXPECT_FALSE(std::filesystem::exists(out));
  }
}

// A file TagLib cannot read, or one that cannot take the tag, is left as it
// was (RF64; a WAV the chunk would take past 4 GiB, made sparse).
TEST(MusicFileEdit, AFileThatCannotTakeTheTagIsLeftAsItWas) {
  TTempDir dir;
  TCoverPicture cover;
  cover.Data.assign(100, 0xAB);
  cover.Mime = "image/png";
  const std::string text(5000, 'x');
  std::string rf64 = std::string("RF64\xFF\xFF\xFF\xFFWAVEds64", 16) + std::string(200, '\0');
  struct TCase {
    TTagContainer Container;
    std::string Bytes;
    uint64_t Sparse;  // the file's length, 0: the bytes alone
    const char* Why;
  } const cases[] = {{tcWav, text, 0, "not a RIFF WAVE file"}, {tcWav, rf64, 0, "RF64"},
                     {tcMpeg, text, 0, "cannot read"},          {tcAsf, text, 0, "cannot read"},
                     {tcMp4, text, 0, "cannot read"},
                     {tcWav, std::string(), 0xFFFFFF00ull, "4 GiB"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Why) + ", container " + std::to_string(c.Container));
    const std::string path = dir.File("file");
    std::string bytes = c.Bytes;
    if (c.Sparse) {
      // RIFF, a fmt chunk of 16-bit stereo at 44.1 kHz, a data chunk to the end.
      auto le32 = [](uint64_t v) {
        std::string b(4, '\0');
        for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(v >> (8 * i));
        return b;
      };
      bytes = "RIFF" + le32(c.Sparse - 8) + "WAVEfmt " + le32(16) +
              std::string("\x01\x00\x02\x00\x44\xAC\x00\x00\x10\xB1\x02\x00\x04\x00\x10\x00", 16) +
              "data" + le32(c.Sparse - 44);
    }
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << bytes;
    }
    if (c.Sparse) std::filesystem::resize_file(path, c.Sparse);
    const TTagEditOutcome outcome =
        EditFileTags(path, {c.Container, {{"title", "Song"}, {"QUELLON_CUSTOM", "value"}}, &cover});
    EXPECT_EQ(outcome.Result, teLeftOut) << outcome.Text;
    EXPECT_NE(outcome.Text.find(c.Why), std::string::npos) << outcome.Text;
    EXPECT_EQ(std::filesystem::file_size(path), c.Sparse ? c.Sparse : bytes.size());
    std::ifstream in(path, std::ios::binary);
    std::string head(bytes.size(), '\0');
    in.read(&head[0], static_cast<std::streamsize>(head.size()));
    EXPECT_TRUE(head == bytes);
  }
}

TEST_F(Music, AFolderPictureIsUsedOnlyWhenAsked) {
  std::filesystem::create_directories(Dir.File("album"));
  const std::string source = Dir.File("album/track.wav");
  ASSERT_TRUE(MakeMedia("-f lavfi -i sine=duration=1", source));
  std::filesystem::copy_file(Picture("jpg"), Dir.File("album/Folder.JPG"));
  Convert(source, Dir.File("plain.mp3"), "libmp3lame");
  EXPECT_EQ(CoverHash(Dir.File("plain.mp3")), "");
  Convert(source, Dir.File("covered.mp3"), "libmp3lame",
          [](TMusicOptions& m) { m.FolderCover = true; });
  EXPECT_EQ(CoverHash(Dir.File("covered.mp3")), Md5(Picture("jpg")));
}

TEST_F(Music, QuietAndLoudSourcesAreLevelledToTheTarget) {
  const std::string quiet = Fixture("music_quiet.wav",
                                    "-f lavfi -i sine=frequency=500:duration=5 -af volume=-24dB -ac 2");
  const std::string loud = Fixture("music_loud.wav",
                                   "-f lavfi -i sine=frequency=300:duration=5 -af volume=8dB -ac 2");
  for (const std::string& source : {quiet, loud}) {
    for (const char* name : {"levelled.flac", "levelled.mp3"}) {
      SCOPED_TRACE(source + " -> " + name);
      const std::string out = Dir.File(name);
      Convert(source, out, std::string(name).find("mp3") != std::string::npos ? "libmp3lame" : "flac",
              [](TMusicOptions& m) { m.Normalize = true; });
      const TLevel level = Ebur128(out);
      EXPECT_NEAR(level.Integrated, -16.0, 0.5);
      EXPECT_LE(level.TruePeak, -1.0);
    }
  }
  // A target the peak does not leave room for: the limit holds.
  const std::string out = Dir.File("limited.flac");
  Convert(loud, out, "flac", [](TMusicOptions& m) {
    m.Normalize = true;
    m.TargetLufs = -0.5;
  });
  const TLevel level = Ebur128(out);
  EXPECT_LE(level.TruePeak, -1.0);
  EXPECT_GT(level.TruePeak, -2.0);
  EXPECT_TRUE(Logged("true peak limit"));
}

TEST_F(Music, ReplayGainTagsAgreeWithTheCommandLineToolAndLeaveTheAudio) {
  const std::string source = Fixture("music_quiet.wav",
                                     "-f lavfi -i sine=frequency=500:duration=5 -af volume=-24dB -ac 2");
  for (const char* name : {"gain.flac", "gain.mp3", "gain.m4a", "gain.ogg"}) {
    SCOPED_TRACE(name);
    const std::string out = Dir.File(name);
    const std::string file = name;
    const char* encoder = file.find("mp3") != std::string::npos   ? "libmp3lame"
                          : file.find("m4a") != std::string::npos ? "aac"
                                                                  : "flac";
    Convert(source, out, encoder, [](TMusicOptions& m) { m.ReplayGain = true; });
    EXPECT_NEAR(TagNumber(out, "REPLAYGAIN_TRACK_GAIN"), -18.0 - Ebur128(out).Integrated, 0.5);
    EXPECT_NEAR(20 * std::log10(TagNumber(out, "REPLAYGAIN_TRACK_PEAK")), SamplePeakDb(source), 0.1);
  }
  EXPECT_EQ(Capture("ffmpeg -v error -i " + Quote(Dir.File("gain.flac")) + " -f s16le - | md5sum"),
            Capture("ffmpeg -v error -i " + Quote(source) + " -f s16le - | md5sum"));
}

TEST_F(Music, AnAlbumIsMeasuredWholeBeforeItsTagsAreWritten) {
  const std::string a = Fixture("music_album_a.wav",
                                "-f lavfi -i sine=frequency=500:duration=4 -af volume=-20dB -ac 2");
  const std::string b = Fixture("music_album_b.wav",
                                "-f lavfi -i sine=frequency=700:duration=2 -af volume=-26dB -ac 2");
  DefineAlbum("music-test", {a, b});
  const std::string both = Dir.File("both.wav");
  ASSERT_TRUE(MakeMedia("-i " + Quote(a) + " -i " + Quote(b) +
                            " -filter_complex concat=n=2:v=0:a=1",
                        both));
  const double expected = -18.0 - Ebur128(both).Integrated;
  std::vector<double> gains;
  for (const std::string& source : {a, b}) {
    const std::string out = Dir.File("album.flac");
    Convert(source, out, "flac", [&](TMusicOptions& m) {
      m.ReplayGain = true;
      const TMusicOptions options = m;
      m.AlbumLoudness = [source, options](const TLoudnessMeasure& track, TLoudnessMeasure& album,
                                          const TMeasureLog&) {
        return AlbumLoudness("music-test", source, track, options, album, nullptr);
      };
    });
    gains.push_back(TagNumber(out, "REPLAYGAIN_ALBUM_GAIN"));
    EXPECT_NEAR(gains.back(), expected, 0.5);
    EXPECT_NEAR(20 * std::log10(TagNumber(out, "REPLAYGAIN_ALBUM_PEAK")), SamplePeakDb(both), 0.1);
  }
  EXPECT_DOUBLE_EQ(gains[0], gains[1]);
  ForgetAlbum("music-test");
}

// A source whose picture is not what its label says: the audio converts into
// every format that holds a cover; a picture that is none is left out (with
// a note naming the source), one under a wrong label goes on as what it is.
TEST_F(Music, APictureIsJudgedByItsBytesNotItsLabel) {
  std::string noise(3000, '\0');
  std::mt19937 random(7);
  for (char& c : noise) c = static_cast<char>(random() & 0xFF);
  noise[0] = 0;  // no picture's signature
  std::ifstream jpegFile(Picture("jpg"), std::ios::binary);
  const std::string jpeg((std::istreambuf_iterator<char>(jpegFile)), {});
  struct TPicture {
    const char* Name;
    const char* Mime;
    std::string Bytes;
    const char* Codec;  // what the output's picture is; "" none
  };
  const TPicture pictures[] = {
      {"text", "image/jpeg", "This is a note about the album, not its cover.\n", ""},
      {"noise", "image/jpeg", noise, ""},
      {"jpeg-as-png", "image/png", jpeg, "mjpeg"}};
  const TOut formats[] = {{"o.mp3", "libmp3lame", true}, {"o.m4a", "aac", true},
                          {"o.flac", "flac", true},      {"o.ogg", "libvorbis", true},
                          {"o.opus", "libopus", true},   {"o.wma", "wmav2", true},
                          {"o.wav", "pcm_s16le", true},  {"o.mp2", "mp2", true}};
  for (const TPicture& picture : pictures) {
    const std::string source = Dir.File(std::string(picture.Name) + ".mp3");
    {
      std::ofstream out(source, std::ios::binary);
      out << Id3WithPicture(picture.Mime, picture.Bytes);
      std::ifstream audio(BareMp3(), std::ios::binary);
      out << audio.rdbuf();
    }
    for (const TOut& format : formats) {
      SCOPED_TRACE(std::string(picture.Name) + " -> " + format.File);
      const std::string out = Dir.File(format.File);
      std::filesystem::remove(out);
      Convert(source, out, format.Encoder);
      EXPECT_TRUE(DecodesCleanly(out));
      const std::string probed = std::string(format.File) == "o.wav" ? WavId3AsMp3(out, Dir.Path())
                                                                      : out;
      const std::string codec =
          probed.empty() ? "" : Capture("ffprobe -v error -select_streams v -show_entries "
                                        "stream=codec_name -of csv=p=0 " + Quote(probed));
      EXPECT_EQ(codec, picture.Codec);
      if (*picture.Codec) {
        // The carried picture decodes as the picture it is.
        EXPECT_EQ(Capture("ffmpeg -nostdin -v error -i " + Quote(probed) +
                          " -map 0:v:0 -f null - 2>&1 && echo decoded"),
                  "decoded");
      } else {
        bool named = false;
        for (const auto& line : Log.Lines)
          named = named || (line.first == 0 && line.second.find(source) != std::string::npos);
        EXPECT_TRUE(named);
      }
    }
  }
}

namespace {
// The libraries' error lines, each with the file its thread was about.
std::mutex LibraryLinesLock;
std::vector<std::pair<std::string, std::string>> LibraryLines;
void RecordLibraryLine(void*, int level, const char* format, va_list args) {
  if (level > AV_LOG_ERROR) return;
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  std::lock_guard<std::mutex> lock(LibraryLinesLock);
  LibraryLines.emplace_back(TLogSubject::Current(), text);
}
}  // namespace

// The first task of an album measures the other members: what goes wrong
// in a member's measuring is told under that member's name, not the task's.
TEST_F(Music, AnAlbumMembersDamageIsLoggedUnderItsOwnName) {
  const std::string clean = Fixture("music_album_clean.wav",
                                    "-f lavfi -i sine=frequency=500:duration=3 -ac 2");
  const std::string whole = Fixture("music_album_whole.flac",
                                    "-f lavfi -i sine=frequency=700:duration=6 -ac 2 -c:a flac");
  std::ifstream in(whole, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  for (size_t i = bytes.size() * 2 / 5; i < bytes.size() * 2 / 5 + 3000; ++i) bytes[i] = 0x55;
  const std::string damaged = Dir.File("damaged member.flac");
  std::ofstream(damaged, std::ios::binary) << bytes;
  DefineAlbum("music-damaged", {clean, damaged});
  LibraryLines.clear();
  av.av_log_set_callback(RecordLibraryLine);
  Convert(clean, Dir.File("clean.flac"), "flac", [&](TMusicOptions& m) {
    m.ReplayGain = true;
    const TMusicOptions options = m;
    m.AlbumLoudness = [clean, options](const TLoudnessMeasure& track, TLoudnessMeasure& album,
                                       const TMeasureLog& log) {
      return AlbumLoudness("music-damaged", clean, track, options, album, nullptr, log);
    };
  });
  av.av_log_set_callback(av.av_log_default_callback);
  ForgetAlbum("music-damaged");
  // The engine's own line on the damage names the member.
  bool told = false;
  for (const auto& line : Log.Lines)
    if (line.second.find("damaged") != std::string::npos) {
      told = true;
      EXPECT_EQ(line.first, 0);
      EXPECT_NE(line.second.find("'" + damaged + "'"), std::string::npos) << line.second;
    }
  EXPECT_TRUE(told);
  // So do the libraries' lines while it was measured (the task's own file
  // is clean: every error line is the member's).
  ASSERT_FALSE(LibraryLines.empty());
  for (const auto& line : LibraryLines) EXPECT_EQ(line.first, damaged) << line.second;
}
