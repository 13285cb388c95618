// An input opened ahead (by the probe, or by an engine's earlier open) and
// handed to OpenInputFile: taken only while it is what that open would make
// of the file as it is now.
#include <gtest/gtest.h>

#include <cstdio>

#include "AVProbe.h"
#include "FFmpeg.h"
#include "TestSupport.h"

using testing_support::EngineFixture;
using testing_support::MakeMedia;
using testing_support::Quote;
using testing_support::Shell;

namespace {

class OpenedInput : public EngineFixture {
 protected:
  // The duration the engine read of its first input, ms.
  int64_t OpenedMs() const {
    const AVFormatContext* ic = Engine.Input.Files[0].get();
    return ic && ic->duration > 0 ? ic->duration / 1000 : -1;
  }
};

enum TChange { chNone, chRewritten, chReplaced, chOtherName, chForcedFormat };

// Marks a handed context: a context opened anew after the handed one closed
// may sit at the same address, so the address tells nothing.
int HandedMark = 0;

}  // namespace

// The probe's file is taken when nothing differs; a file written anew in
// place or replaced by another under its name is opened again (the job reads
// the new file), as is one handed for another name or an open with a forced
// format.
TEST_F(OpenedInput, TakenOnlyForTheSameUnchangedFileOpenedPlainly) {
  const struct {
    TChange Change;
    bool Taken;
  } cases[] = {{chNone, true},
               {chRewritten, false},
               {chReplaced, false},
               {chOtherName, false},
               {chForcedFormat, false}};
  const std::string oneSecond = "-f lavfi -i sine=duration=1:sample_rate=44100 -ac 2";
  const std::string threeSeconds = "-f lavfi -i sine=duration=3:sample_rate=44100 -ac 2";
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Change));
    const std::string path = Dir.File("source.wav");
    const std::string other = Dir.File("other.wav");
    ASSERT_TRUE(MakeMedia(oneSecond, path));
    ASSERT_TRUE(MakeMedia(oneSecond, other));
    TAVProbe probe;
    ASSERT_TRUE(probe.Open(c.Change == chOtherName ? other : path));
    TOpenedInput opened = probe.HandOver();
    ASSERT_TRUE(opened);
    EXPECT_EQ(probe.FormatContext(), nullptr);
    opened.Context->opaque = &HandedMark;
    if (c.Change == chRewritten) {
      ASSERT_TRUE(
          Shell("ffmpeg -nostdin -v error -y " + threeSeconds + " -f wav - > " + Quote(path)));
    }
    if (c.Change == chReplaced) {
      const std::string fresh = Dir.File("fresh.wav");
      ASSERT_TRUE(MakeMedia(threeSeconds, fresh));
      ASSERT_EQ(std::rename(fresh.c_str(), path.c_str()), 0);
    }
    Engine.Reset();
    if (c.Change == chForcedFormat) Engine.SetOption("f", "wav");
    Engine.HandOverInput(std::move(opened));
    ASSERT_TRUE(Engine.OpenInputFile(path));
    EXPECT_EQ(Engine.Input.Files[0]->opaque == &HandedMark, c.Taken);
    const bool changed = c.Change == chRewritten || c.Change == chReplaced;
    EXPECT_NEAR(OpenedMs(), changed ? 3000 : 1000, 50);
  }
}

// What one engine opened is handed to the next open of the same file: taken,
// with the tags and streams the first open found.
TEST_F(OpenedInput, AnEnginesOpenGoesToTheNextOpen) {
  const std::string path = Dir.File("tagged.wav");
  ASSERT_TRUE(
      MakeMedia("-f lavfi -i sine=duration=2:sample_rate=48000 -ac 1 -metadata "
                "title=Handed",
                path));
  ASSERT_TRUE(Engine.OpenInputFile(path));
  TOpenedInput opened = Engine.TakeOpenedInput();
  ASSERT_TRUE(opened);
  opened.Context->opaque = &HandedMark;
  EXPECT_EQ(Engine.Input.FileCount, 0);
  Engine.Reset();
  Engine.HandOverInput(std::move(opened));
  ASSERT_TRUE(Engine.OpenInputFile(path));
  EXPECT_EQ(Engine.Input.Files[0]->opaque, &HandedMark);
  EXPECT_EQ(Engine.Audio.SampleRate, 48000);
  EXPECT_EQ(Engine.Audio.Channels, 1);
  const AVDictionaryEntry* title =
      av.av_dict_get(Engine.Input.Files[0]->metadata, "title", nullptr, 0);
  ASSERT_NE(title, nullptr);
  EXPECT_STREQ(title->value, "Handed");

  // An input opened at a start position is not handed on.
  Engine.Reset();
  Engine.SetOption("ss", "0.5");
  ASSERT_TRUE(Engine.OpenInputFile(path));
  EXPECT_FALSE(Engine.TakeOpenedInput());
  EXPECT_EQ(Engine.Input.FileCount, 1);
}
