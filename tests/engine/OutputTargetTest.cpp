// What an output does on disk around the job: the temporary file and the
// leftovers of other runs, names that are not regular files, names at the
// file system's length limit, a full device. ffprobe and ffmpeg are the oracle.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "FFmpeg.h"
#include "TestSupport.h"

using namespace testing_support;

namespace {

// Every entry left in a folder, hidden ones included.
std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string BaseOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool ValidUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

class OutputTarget : public EngineFixture {
 protected:
  // A short stereo tone: its outputs stay far below a pipe's buffer.
  static std::string Tone() {
    return Fixture("target02s.wav", "-f lavfi -i sine=f=440:d=0.2 -ac 2 -c:a pcm_s16le");
  }
};

}  // namespace

TEST_F(OutputTarget, OnlyUnlockedLeftoversOfTheSameOutputAreRemoved) {
  std::ofstream(Dir.File("target.txt")) << "a user's file";
  // A live writer elsewhere (another process, another PID namespace) holds
  // its temporary file locked while it writes.
  const std::string held = Dir.File(".new.wav.quellon-99999999-5.part");
  const int writer = open(held.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(flock(writer, LOCK_EX | LOCK_NB), 0);
  enum TKind { kFile, kLink, kFolder, kFifo };
  struct TCase {
    const char* Name;
    TKind Kind;
    bool Stays;
  } const cases[] = {
      {".a.quellon-99999999-1.part", kFile, true},          // a user's file, another name
      {".other.wav.quellon-99999999-1.part", kFile, true},  // beside another output
      {".new.wav.quellon-99999999-1.part", kLink, true},    // never through a link
      {".new.wav.quellon-99999999-2.part", kFolder, true},
      {".new.wav.quellon-99999999-3.part", kFifo, true},
      {".new.wav.quellon-x-1.part", kFile, true},           // not the form of ours
      {".new.wav.quellon-99999999-4.part", kFile, false},   // nobody writes it: a leftover
  };
  for (const TCase& c : cases) {
    const std::string path = Dir.File(c.Name);
    switch (c.Kind) {
      case kFile: std::ofstream(path) << "x"; break;
      case kLink: std::filesystem::create_symlink(Dir.File("target.txt"), path); break;
      case kFolder: std::filesystem::create_directory(path); break;
      case kFifo: ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); break;
    }
  }
  ASSERT_TRUE(Engine.OpenInputFile(Tone()));
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("new.wav"))) << Engine.LastError;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    struct stat st;
    EXPECT_EQ(lstat(Dir.File(c.Name).c_str(), &st) == 0, c.Stays);
  }
  EXPECT_TRUE(std::filesystem::exists(held));
  EXPECT_TRUE(std::filesystem::exists(Dir.File("target.txt")));
  // This job's own temporary file is held the same way while it is written.
  const std::string temp = Engine.Output.Targets.at(0).TempName;
  const int other = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0) << temp;
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);
  Engine.Start(false);
  EXPECT_EQ(Engine.Result.Outcome, joComplete) << Engine.Result.Reason;
  EXPECT_TRUE(DecodesCleanly(Dir.File("new.wav")));
  EXPECT_FALSE(std::filesystem::exists(temp));
  close(writer);
}

TEST_F(OutputTarget, ANameThatIsNoRegularFileIsNeverWrittenThrough) {
  struct TCase {
    const char* Kind;
    bool Overwrite;
  } const cases[] = {{"fifo", true}, {"fifo", false}, {"folder", true}, {"folder", false}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Kind) + (c.Overwrite ? ", overwrite" : ""));
    TTempDir dir;
    const std::string name = dir.File("x_(new).ogg");
    int reader = -1;
    if (std::string(c.Kind) == "fifo") {
      ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
      // A reader, so that a job that opened the FIFO would not hang the test.
      reader = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      ASSERT_GE(reader, 0);
    } else {
      std::filesystem::create_directory(name);
    }
    Engine.Reset();
    Engine.Output.Overwrite = c.Overwrite;
    ASSERT_TRUE(Convert(Tone(), name)) << Engine.LastError;
    EXPECT_EQ(Engine.Result.Outcome, joComplete) << Engine.Result.Reason;
    struct stat st;
    ASSERT_EQ(lstat(name.c_str(), &st), 0);
    EXPECT_EQ(std::string(c.Kind) == "fifo" ? S_ISFIFO(st.st_mode) : S_ISDIR(st.st_mode), true);
    EXPECT_TRUE(DecodesCleanly(dir.File("x_(new_1).ogg")));
    EXPECT_EQ(Engine.Result.Outputs, std::vector<std::string>{dir.File("x_(new_1).ogg")});
    if (reader >= 0) {
      char byte;
      EXPECT_LE(read(reader, &byte, 1), 0);  // nothing went into the FIFO
      close(reader);
    }
  }
}

TEST_F(OutputTarget, NamesAtTheLengthLimitFitWithTheirTemporaryAndNextNames) {
  const size_t limit = FileNameLimit(Dir.Path());
  std::string chinese;
  while (chinese.size() + 3 <= limit - 4) chinese += "\xe9\x9f\xb3";  // 音
  struct TCase {
    const char* Label;
    std::string Base;
  } const cases[] = {{"ascii", std::string(limit - 4, 'a') + ".wav"},
                     {"chinese", chinese + ".wav"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    ASSERT_LE(c.Base.size(), limit);
    const std::string name = Dir.File(c.Base);
    for (int round = 0; round < 2; ++round) {
      Engine.Reset();
      ASSERT_TRUE(Engine.OpenInputFile(Tone()));
      ASSERT_TRUE(Engine.OpenOutputFile(name)) << Engine.LastError;
      const std::string temp = BaseOf(Engine.Output.Targets.at(0).TempName);
      EXPECT_LE(temp.size(), limit) << temp;
      EXPECT_TRUE(ValidUtf8(temp)) << temp;
      Engine.Start(false);
      // The second round finds the name taken and moves on in the series.
      EXPECT_EQ(Engine.Result.Outcome, joComplete) << Engine.Result.Reason;
      ASSERT_EQ(Engine.Result.Outputs.size(), 1u);
      const std::string written = BaseOf(Engine.Result.Outputs[0]);
      EXPECT_LE(written.size(), limit);
      EXPECT_TRUE(ValidUtf8(written)) << written;
      EXPECT_EQ(round == 0, written == c.Base) << written;
      EXPECT_TRUE(DecodesCleanly(Engine.Result.Outputs[0]));
    }
  }
  // A name past the limit fails before the job starts.
  Engine.Reset();
  ASSERT_TRUE(Engine.OpenInputFile(Tone()));
  EXPECT_FALSE(Engine.OpenOutputFile(Dir.File(std::string(limit + 1, 'b') + ".wav")));
  EXPECT_EQ(Engine.LastErrorCode, rcNameTooLong);
  EXPECT_NE(Engine.LastError.find("File name too long"), std::string::npos) << Engine.LastError;
}

TEST_F(OutputTarget, AFullDeviceIsSaidToBeFull) {
  const std::string small = Dir.File("small");
  std::filesystem::create_directory(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "no tmpfs can be mounted here (needs root): " << SystemErrorText(errno);
  struct Unmount {
    std::string Path;
    ~Unmount() { umount(Path.c_str()); }
  } unmount{small};
  const std::string source =
      Fixture("target10s.wav", "-f lavfi -i sine=f=440:d=10 -ac 2 -c:a pcm_s16le");
  // Full before the header, and full in the middle of the stream.
  struct TCase {
    const char* Extension;
    const char* Codec;
    size_t Free;  // bytes left free
  } const cases[] = {{"wav", "", 0},       {"wav", "", 65536},  {"m4a", "aac", 0},
                     {"m4a", "aac", 8192}, {"flac", "", 0},     {"flac", "", 65536},
                     {"mp3", "", 0}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(StrFormat("%s, %zu bytes free", c.Extension, c.Free));
    if (*c.Codec && !av.avcodec_find_encoder_by_name(c.Codec)) {
      ADD_FAILURE() << "no " << c.Codec << " encoder";
      continue;
    }
    std::filesystem::remove(small + "/filler");
    {
      // Fill the device, then free what the case leaves.
      std::ofstream filler(small + "/filler", std::ios::binary);
      const std::string block(4096, 'f');
      while (filler.write(block.data(), block.size())) {
      }
    }
    std::filesystem::resize_file(small + "/filler",
                                 std::filesystem::file_size(small + "/filler") - c.Free);
    Engine.Reset();
    ASSERT_TRUE(Convert(source, small + "/out." + c.Extension)) << Engine.LastError;
    EXPECT_EQ(Engine.Result.Outcome, joFailed);
    EXPECT_EQ(Engine.Result.Code, rcDiskFull) << ReasonCodeName(Engine.Result.Code);
    EXPECT_NE(Engine.Result.Reason.find("No space left on device"), std::string::npos)
        << Engine.Result.Reason;
    EXPECT_EQ(Engine.Result.Reason.find("incorrect codec parameters"), std::string::npos)
        << Engine.Result.Reason;
    EXPECT_EQ(FolderEntries(small), std::vector<std::string>{"filler"});
  }
}
