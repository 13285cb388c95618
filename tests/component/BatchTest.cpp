// The batch: outcomes and codes per file, skipped files named, names,
// run control (pause, stop, continue), clips in seconds and albums.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>

#include "AVProbe.h"
#include "Batch.h"
#include "FFmpegLoader.h"
#include "ComponentTestSupport.h"
#include "TestSupport.h"

using namespace component_testing;
using testing_support::Fixture;
using testing_support::MakeMedia;
using testing_support::Probe;
using testing_support::ProbeDuration;
using testing_support::TTempDir;

namespace {

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

class BatchFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Component.LoadAVLib(DefaultLibraryDir())) << Component.LastErrMsg();
    Batch = std::make_unique<TConversionBatch>(Component);
    Batch->Choices.OutputFolder = Out.Path();
    Batch->Jobs = 2;
    Batch->OnFileEnded = [this](const TBatchFile& file) { ++EndsOf[file.Source]; };
  }
  void TearDown() override { Batch.reset(); }
  // Runs the loop until the run ends (60 s at most).
  bool RunToEnd() {
    return Component.EventLoop()->RunUntil([this] { return !Batch->Running(); }, 60000);
  }
  const TBatchFile* FileOf(const std::string& source) {
    for (const TBatchFile& file : Batch->Files())
      if (file.Source == source) return &file;
    for (const TBatchFile& file : Batch->Skipped())
      if (file.Source == source) return &file;
    return nullptr;
  }
  std::string Copy(const std::string& from, const std::string& to) {
    EXPECT_TRUE(testing_support::Shell("mkdir -p " + testing_support::Quote(to.substr(0, to.rfind('/'))) +
                                       " && cp " + testing_support::Quote(from) + " " +
                                       testing_support::Quote(to)));
    return to;
  }

  TTempDir In, Out;
  TREzuvuZUZ Component;
  std::unique_ptr<TConversionBatch> Batch;
  std::map<std::string, int> EndsOf;
};

TBatchFile Counted(TFileOutcome outcome, int64_t expectedMs, int64_t doneMs) {
  TBatchFile file;
  file.Outcome = outcome;
  file.ExpectedMs = expectedMs;
  file.DoneMs = doneMs;
  return file;
}

TEST(BatchFigures, CountFilesAndMediaTime) {
  const TBatchFigures f =
      CountFiles({Counted(foComplete, 60000, 60000), Counted(foPartial, 30000, 10000),
                  Counted(foFailed, 30000, 1000), Counted(foNone, 60000, 30000),
                  Counted(foNone, 0, 0), Counted(foStopped, 20000, 5000)});
  EXPECT_EQ(f.Files, 6);
  EXPECT_EQ(f.Converted, 2);
  EXPECT_EQ(f.Partial, 1);
  EXPECT_EQ(f.Failed, 1);
  EXPECT_EQ(f.Stopped, 1);
  EXPECT_EQ(f.Left, 3);
  EXPECT_EQ(f.TotalMs, 200000);
  // Files that ended count whole; the others what they reached.
  EXPECT_EQ(f.DoneMs, 60000 + 30000 + 30000 + 30000 + 5000);
  EXPECT_EQ(f.Percent, 77);
  const struct {
    std::vector<TBatchFile> Files;
    int Percent;
  } percents[] = {
      {{Counted(foNone, 1000, 5000)}, 99},  // never 100 before the end
      {{Counted(foComplete, 1000, 0)}, 100},
      // Without any known duration the files tell.
      {{Counted(foComplete, 0, 0), Counted(foNone, 0, 0), Counted(foFailed, 0, 0),
        Counted(foNone, 0, 0)},
       50},
      {{}, 0},
  };
  for (const auto& c : percents) EXPECT_EQ(CountFiles(c.Files).Percent, c.Percent);
}

TEST(BatchFigures, TimeLeftFollowsThePaceOfThisRun) {
  TBatchFigures f;
  f.TotalMs = 100000;
  f.DoneMs = 25000;
  f.Left = 3;
  EXPECT_EQ(TimeLeftMs(f, 10000, 0), 30000);  // 25 s in 10 s: 75 s more in 30 s
  // 20 s were converted by a stopped run before: 5 s in 10 s now.
  EXPECT_EQ(TimeLeftMs(f, 10000, 20000), 150000);
  EXPECT_EQ(TimeLeftMs(f, 10000, 25000), -1);  // nothing converted yet in this run
  EXPECT_EQ(TimeLeftMs(f, 0, 0), -1);
  f.Left = 0;
  EXPECT_EQ(TimeLeftMs(f, 10000, 0), 0);
}

TEST_F(BatchFixture, EachFileEndsOnceWithItsOutcomeAndCode) {
  const std::string sine = SineWav(1);
  const std::string good = Copy(sine, In.File("good.wav"));
  const std::string empty = In.File("empty.wav");
  std::ofstream(empty).close();
  const std::string junk = In.File("junk.mp3");
  ASSERT_TRUE(testing_support::WriteJunk(junk, 4096));
  const std::string missing = In.File("missing.wav");
  // A folder given: its sound converts, the rest is skipped and named.
  const std::string album = In.File("album");
  Copy(sine, album + "/01.wav");
  Copy(sine, album + "/cd2/02.wav");
  ASSERT_TRUE(testing_support::WriteJunk(album + "/notes.txt", 512));
  ASSERT_TRUE(MakeMedia("-f lavfi -i color=c=red:s=32x32:d=1 -frames:v 1", album + "/cover.png"));
  // Entries of a folder that are no files to read are named too.
  std::ofstream(album + "/blank.wav").close();
  ASSERT_EQ(mkfifo((album + "/pipe.wav").c_str(), 0644), 0);
  ASSERT_EQ(symlink((album + "/nowhere.wav").c_str(), (album + "/gone.wav").c_str()), 0);
  for (const std::string& path : {good, empty, junk, missing}) ASSERT_TRUE(Batch->AddPath(path, true));
  ASSERT_TRUE(Batch->AddPath(album, true));
  ASSERT_TRUE(Batch->Start());
  ASSERT_TRUE(RunToEnd());

  const struct {
    std::string Source;
    TFileOutcome Outcome;
    TReasonCode Code;
  } expected[] = {
      {good, foComplete, rcNone},
      {empty, foFailed, rcSourceEmpty},
      {junk, foFailed, rcSourceFormat},
      {missing, foFailed, rcSourceMissing},
      {album + "/01.wav", foComplete, rcNone},
      {album + "/cd2/02.wav", foComplete, rcNone},
      {album + "/notes.txt", foSkipped, rcNotConvertible},
      {album + "/cover.png", foSkipped, rcNotConvertible},
      {album + "/blank.wav", foSkipped, rcSourceEmpty},
      {album + "/pipe.wav", foSkipped, rcSourceNotFile},
      {album + "/gone.wav", foSkipped, rcSourceMissing},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.Source);
    const TBatchFile* file = FileOf(e.Source);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->Outcome, e.Outcome) << file->Reason;
    EXPECT_EQ(file->Code, e.Code) << ReasonCodeName(file->Code) << ": " << file->Reason;
    EXPECT_EQ(EndsOf[e.Source], 1);
    EXPECT_EQ(file->Reason.empty(), e.Outcome == foComplete);
  }
  // The tree is kept below the output folder.
  EXPECT_EQ(FileOf(album + "/cd2/02.wav")->Output, Out.File("cd2/02_(new).wav"));
  EXPECT_DOUBLE_EQ(ProbeDuration(Out.File("cd2/02_(new).wav")), 1.0);
  const TBatchFigures f = Batch->Figures();
  EXPECT_EQ(f.Files, 6);
  EXPECT_EQ(f.Converted, 3);
  EXPECT_EQ(f.Failed, 3);
  EXPECT_EQ(f.Skipped, 5);
  EXPECT_EQ(static_cast<int>(Batch->Skipped().size()), 5);
  EXPECT_EQ(f.Left, 0);
  EXPECT_EQ(f.Percent, 100);
  EXPECT_EQ(Batch->TimeLeftMs(), 0);
  EXPECT_EQ(Component.TaskCount(), 0);  // ended tasks are freed
  // Start again tries only what is not converted; StartAll converts again beside.
  ASSERT_TRUE(Batch->Start());
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(EndsOf[good], 1);
  EXPECT_EQ(EndsOf[junk], 2);
  EXPECT_FALSE(testing_support::Shell("test -e " + testing_support::Quote(Out.File("good_(new_1).wav"))));
  ASSERT_TRUE(Batch->StartAll());
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(FileOf(good)->Output, Out.File("good_(new_1).wav"));
}

TEST_F(BatchFixture, NamesNeverCollideNorLandOnASource) {
  const std::string sine = SineWav(1);
  // Same names from two folders; a file already named as the first output;
  // and a source that is itself named like an output of another.
  const std::string a = Copy(sine, In.File("one/song.wav"));
  const std::string b = Copy(sine, In.File("two/song.wav"));
  Copy(sine, Out.File("song_(new).wav"));
  Batch->Choices.KeepTree = false;
  ASSERT_TRUE(Batch->AddPath(a, false));
  ASSERT_TRUE(Batch->AddPath(b, false));
  const std::map<uint64_t, std::string> preview = Batch->PreviewOutputNames();
  EXPECT_TRUE(preview.empty());  // files not probed yet have no name to show
  ASSERT_TRUE(Batch->Start());
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(BaseName(FileOf(a)->Output), "song_(new_1).wav");
  EXPECT_EQ(BaseName(FileOf(b)->Output), "song_(new_2).wav");

  // Beside the source: an output never replaces the source itself, even
  // when the source has the output's name and overwrite is on.
  TConversionBatch& batch = *Batch;
  batch.Clear();
  const std::string self = Copy(sine, In.File("x/take_(new).wav"));
  Copy(sine, In.File("x/take.wav"));
  batch.Choices.OutputFolder.clear();
  batch.Choices.Overwrite = true;
  ASSERT_TRUE(batch.AddPath(In.File("x/take.wav"), false));
  ASSERT_TRUE(batch.AddPath(self, false));
  ASSERT_TRUE(batch.Start());
  ASSERT_TRUE(RunToEnd());
  for (const TBatchFile& file : batch.Files()) {
    EXPECT_EQ(file.Outcome, foComplete) << file.Reason;
    EXPECT_NE(file.Output, self);
  }
  EXPECT_TRUE(testing_support::DecodesCleanly(self));
}

TEST_F(BatchFixture, NamesPreviewedAPartAtATimeAreTheNamesOfTheWholePreview) {
  const std::string sine = SineWav(1);
  // Colliding names, so that each name depends on those before it.
  Batch->Choices.KeepTree = false;
  TAVProbe probe;
  for (const char* folder : {"a", "b", "c", "d", "e"})
    for (const char* name : {"x.wav", "y.wav"})
      Batch->AddProbed(TConversionBatch::ProbeSource(
          probe, Copy(sine, In.File(std::string(folder) + "/" + name)), teAuto));
  Copy(sine, Out.File("x.wav"));
  const std::map<uint64_t, std::string> whole = Batch->PreviewOutputNames();
  ASSERT_EQ(whole.size(), 10u);
  std::set<std::string> distinct;
  for (const auto& named : whole) distinct.insert(named.second);
  EXPECT_EQ(distinct.size(), 10u);
  EXPECT_EQ(distinct.count(Out.File("x.wav")), 0u);
  for (const size_t part : {size_t{1}, size_t{3}, size_t{10}}) {
    SCOPED_TRACE(part);
    TConversionBatch::TNamePreview preview;
    std::map<uint64_t, std::string> names;
    int calls = 0;
    while (!preview.Done) {
      Batch->PreviewOutputNames(preview, part, names);
      ++calls;
    }
    EXPECT_EQ(names, whole);
    EXPECT_EQ(calls, static_cast<int>((10 + part - 1) / part));
  }
  // A list that changed between the parts: the preview ends, naming nothing
  // more (its caller starts again).
  TConversionBatch::TNamePreview preview;
  std::map<uint64_t, std::string> names;
  Batch->PreviewOutputNames(preview, 4, names);
  Batch->Remove(Batch->Files().back().Id);
  Batch->PreviewOutputNames(preview, 4, names);
  EXPECT_TRUE(preview.Done);
  EXPECT_EQ(names.size(), 4u);
  // The batch's own names are left as they were: a whole preview still agrees.
  Batch->AddProbed(TConversionBatch::ProbeSource(probe, In.File("e/y.wav"), teAuto));
  std::set<std::string> again;
  for (const auto& named : Batch->PreviewOutputNames()) again.insert(named.second);
  EXPECT_EQ(again, distinct);
}

TEST_F(BatchFixture, PauseStartsNoOtherFileAndStopLeavesTheRestForTheNextStart) {
  const std::string sine = SineWav(4);
  std::vector<std::string> sources;
  for (int i = 0; i < 4; ++i) sources.push_back(Copy(sine, In.File("s" + std::to_string(i) + ".wav")));
  for (const std::string& s : sources) ASSERT_TRUE(Batch->AddPath(s, false));
  Batch->Jobs = 1;
  std::vector<uint64_t> started;
  Batch->OnFileStarted = [&](uint64_t id) { started.push_back(id); };
  ASSERT_TRUE(Batch->Start());
  Batch->Pause();
  // While paused no other file starts, whatever ends meanwhile.
  Component.EventLoop()->RunUntil([] { return false; }, 600);
  EXPECT_LE(started.size(), 1u);
  EXPECT_TRUE(Batch->Paused());
  for (size_t i = 1; i < sources.size(); ++i) EXPECT_FALSE(FileOf(sources[i])->Running);
  Batch->Resume();
  // Stop once the first file has ended: it stays converted, the rest waits.
  Batch->OnFileEnded = [&](const TBatchFile& file) {
    ++EndsOf[file.Source];
    if (file.Source == sources[0]) Batch->Stop();
  };
  ASSERT_TRUE(RunToEnd());
  EXPECT_TRUE(Batch->StoppedByUser());
  TBatchFigures f = Batch->Figures();
  EXPECT_EQ(f.Converted, 1);
  EXPECT_EQ(f.Left, 3);
  EXPECT_EQ(f.Failed, 0);
  EXPECT_EQ(Component.TaskCount(), 0);
  // The next Start converts only the rest, under names of their own.
  Batch->OnFileEnded = nullptr;
  ASSERT_TRUE(Batch->Start());
  ASSERT_TRUE(RunToEnd());
  f = Batch->Figures();
  EXPECT_EQ(f.Converted, 4);
  std::set<std::string> names;
  for (const TBatchFile& file : Batch->Files()) names.insert(BaseName(file.Output));
  EXPECT_EQ(names, (std::set<std::string>{"s0_(new).wav", "s1_(new).wav", "s2_(new).wav",
                                          "s3_(new).wav"}));
  EXPECT_EQ(EndsOf[sources[0]], 1);
}

TEST_F(BatchFixture, ClipsAreCutInSecondsAndRefusedOutsideTheSource) {
  const std::string source = Copy(SineWav(4), In.File("clip.wav"));
  const std::string other = Copy(SineWav(4), In.File("late.wav"));
  ASSERT_TRUE(Batch->AddPath(source, false));
  ASSERT_TRUE(Batch->AddPath(other, false));
  Batch->SetClip(Batch->Files()[0].Id, 1.0, 2.5);
  Batch->SetClip(Batch->Files()[1].Id, 9.0, -1);
  ASSERT_TRUE(Batch->Start());
  ASSERT_TRUE(RunToEnd());
  const TBatchFile* clip = FileOf(source);
  ASSERT_EQ(clip->Outcome, foComplete) << clip->Reason;
  EXPECT_EQ(clip->ExpectedMs, 1500);
  EXPECT_NEAR(ProbeDuration(clip->Output), 1.5, 0.03);
  EXPECT_EQ(FileOf(other)->Outcome, foFailed);
  EXPECT_EQ(FileOf(other)->Code, rcClip);
}

TEST_F(BatchFixture, AlbumGainSharesOneLevelAcrossAFolder) {
  const std::string loud = Copy(
      Fixture("batch_loud.wav", "-f lavfi -i sine=frequency=440:duration=2 -af volume=0.9"),
      In.File("album/1.wav"));
  const std::string soft = Copy(
      Fixture("batch_soft.wav", "-f lavfi -i sine=frequency=440:duration=2 -af volume=0.1"),
      In.File("album/2.wav"));
  Batch->Choices.Format = "FLAC";
  Batch->Choices.Music.ReplayGain = true;
  Batch->Choices.AlbumGain = true;
  ASSERT_TRUE(Batch->AddPath(In.File("album"), true));
  ASSERT_TRUE(Batch->Start());
  ASSERT_TRUE(RunToEnd());
  std::string gains[2];
  int i = 0;
  for (const std::string& source : {loud, soft}) {
    const TBatchFile* file = FileOf(source);
    ASSERT_EQ(file->Outcome, foComplete) << file->Reason;
    gains[i++] = Probe(file->Output, "", "format_tags=REPLAYGAIN_ALBUM_GAIN");
  }
  EXPECT_FALSE(gains[0].empty());
  EXPECT_EQ(gains[0], gains[1]);
}

}  // namespace
