// Shared helpers for the test suites.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "FFmpeg.h"

namespace testing_support {

// Loads the engine's libraries from LibAV beside the test executable.
bool LoadEngineLibraries();
// A fresh empty folder below the system's temporary folder, removed on exit.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  const std::string& Path() const { return Dir; }
  std::string File(const std::string& name) const { return Dir + "/" + name; }

 private:
  std::string Dir;
};
// A path in single quotes for a shell command line.
std::string Quote(const std::string& text);
// Runs a shell command; true when it exits 0.
bool Shell(const std::string& command);
// Writes size bytes of plain text that no demuxer takes for media. Random
// bytes are not used: now and then they look like a stream.
bool WriteJunk(const std::string& path, size_t size);
// Makes a media file with the ffmpeg command-line tool: args go between the
// tool and the output path (e.g. "-f lavfi -i sine=duration=3 -ac 2").
bool MakeMedia(const std::string& args, const std::string& path);
// A generated media file kept in the fixture folder (the CMake setting
// QUELLON_FIXTURE_DIR, <build>/fixtures unless set) between test runs, made
// with MakeMedia(args, ...) under the given name, and made anew when args
// differ from the recipe it was made with.
std::string Fixture(const std::string& name, const std::string& args);
// A 2 s 320x240 25 fps yuv420p video (ffv1) with a mono sine (pcm) in Matroska.
std::string VideoClip();
// UTF-8 text in a legacy encoding ("GB18030", "BIG5", "ISO-8859-1" ...),
// by glibc's iconv; "" when it cannot be encoded.
std::string Encoded(const std::string& utf8, const char* charset);
// An MP3 whose tag holds title and artist as the bytes given (a legacy
// encoding, as old taggers wrote it): ID3v2.3 text frames with encoding
// byte 0, "Latin-1" (TIT2, TPE1, TCOM), in front, or an ID3v1 tag at the end.
bool MakeTaggedMp3(const std::string& path, const std::string& title, const std::string& artist,
                   bool version1);
// Output of a command ("" when it failed).
std::string Capture(const std::string& command);
// ffprobe's value of one entry of the first stream selected ("a:0", "v:0")
// or of the format (stream ""), e.g. Probe(path, "a:0", "stream=sample_rate").
std::string Probe(const std::string& path, const std::string& stream, const std::string& entry);
double ProbeDuration(const std::string& path);
// Packets of the first audio stream, counted by ffprobe.
int CountAudioPackets(const std::string& path);
// True when ffmpeg decodes the whole file without an error.
bool DecodesCleanly(const std::string& path);
// Opens source and output on the engine (options set between them) and
// converts on the caller's thread; false when a file could not be opened.
bool ConvertHere(TCustomFFmpeg& engine, const std::string& source, const std::string& output,
                 const std::vector<std::pair<std::string, std::string>>& options = {});
// Collects an engine's log lines (level, text).
struct TLogCapture {
  std::vector<std::pair<int, std::string>> Lines;
  void Attach(TCustomFFmpeg& engine);
  bool Contains(const std::string& text) const;
};

// An engine with its log captured and a temporary folder, the libraries
// loaded once per suite.
class EngineFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(LoadEngineLibraries()); }
  void SetUp() override {
    Engine.Reset();
    Log.Attach(Engine);
  }
  bool Convert(const std::string& source, const std::string& output,
               const std::vector<std::pair<std::string, std::string>>& options = {}) {
    return ConvertHere(Engine, source, output, options);
  }
  TCustomFFmpeg Engine;
  TLogCapture Log;
  TTempDir Dir;
};

}  // namespace testing_support
