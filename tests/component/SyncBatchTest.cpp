// Sync mode of the batch: a second run converts only what changed, replaces
// only its own outputs, removes the outputs of gone sources, plans without
// writing, and finishes what a stopped or killed run left; the state file
// and the settings digest underneath.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "Batch.h"
#include "ComponentTestSupport.h"
#include "FFmpegLoader.h"
#include "SyncState.h"
#include "TestSupport.h"

using namespace component_testing;
using testing_support::Probe;
using testing_support::ProbeDuration;
using testing_support::TTempDir;

namespace {

namespace fs = std::filesystem;

// A file as a run may leave it: size, time and inode (a replaced file has a
// new inode: outputs are written under another name and renamed).
using TFileMark = std::tuple<int64_t, int64_t, uint64_t>;

std::map<std::string, TFileMark> Snapshot(const std::string& folder) {
  std::map<std::string, TFileMark> marks;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    struct stat st;
    if (lstat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    marks[fs::relative(entry.path(), folder).string()] = {
        st.st_size, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec, st.st_ino};
  }
  return marks;
}

// Sets a file's modification time some seconds ahead (its content stays).
void Touch(const std::string& path, int seconds) {
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  const timespec times[2] = {{st.st_atim.tv_sec, 0}, {st.st_mtim.tv_sec + seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class SyncFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Component.LoadAVLib(DefaultLibraryDir())) << Component.LastErrMsg();
    const std::string sine = SineWav(1);
    for (const char* name : {"a.wav", "b.wav", "sub/c.wav"}) Sources.push_back(Copy(sine, name));
  }
  std::string Copy(const std::string& from, const std::string& name) {
    const std::string to = In.File(name);
    fs::create_directories(fs::path(to).parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    return to;
  }
  // One run over the folder In, as a second invocation would make it: a
  // batch of its own. stop: the batch is stopped as soon as it started.
  void Run(bool stop = false) {
    Ends.clear();
    TConversionBatch batch(Component);
    batch.Choices = Choices;
    batch.Choices.OutputFolder = Out.Path();
    batch.Choices.Sync = true;
    batch.Jobs = 1;
    batch.OnFileEnded = [&](const TBatchFile& file) {
      Ends[fs::relative(file.Source, In.Path()).string()] = file.Outcome;
      if (file.Outcome == foPlanned) Plan[file.Output] = file.Reason;
    };
    ASSERT_TRUE(batch.AddPath(In.Path(), true));
    Plan.clear();
    if (batch.Start()) {
      if (stop) batch.Stop();
      ASSERT_TRUE(Component.EventLoop()->RunUntil([&] { return !batch.Running(); }, 60000));
    }
    Figures = batch.Figures();
    Removals = batch.Removals();
    for (const TBatchFile& file : batch.Files()) {
      if (file.Outcome == foUpToDate) {
        EXPECT_TRUE(fs::exists(file.Output)) << file.Output;
      }
    }
  }
  // The outputs in Out (the state file left out).
  std::set<std::string> Outputs() {
    std::set<std::string> names;
    for (const auto& [name, mark] : Snapshot(Out.Path()))
      if (name != SYNC_STATE_NAME) names.insert(name);
    return names;
  }
  int Count(TFileOutcome outcome) const {
    int count = 0;
    for (const auto& [name, o] : Ends) count += o == outcome;
    return count;
  }

  TTempDir In, Out;
  TREzuvuZUZ Component;
  TBatchChoices Choices;
  std::vector<std::string> Sources;
  std::map<std::string, TFileOutcome> Ends;
  std::map<std::string, std::string> Plan;  // dry run: output -> why
  TBatchFigures Figures;
  std::vector<TSyncRemoval> Removals;
};

const std::set<std::string> PLAIN = {"a.wav", "b.wav", "sub/c.wav"};

TEST_F(SyncFixture, ASecondRunConvertsOnlyWhatChanged) {
  Run();
  EXPECT_EQ(Count(foComplete), 3);
  EXPECT_EQ(Outputs(), PLAIN);
  const auto first = Snapshot(Out.Path());

  // Nothing changed: all up to date, counted apart, nothing written.
  Run();
  EXPECT_EQ(Count(foUpToDate), 3);
  EXPECT_EQ(Figures.UpToDate, 3);
  EXPECT_EQ(Figures.Converted, 0);
  EXPECT_EQ(Figures.Left, 0);
  EXPECT_EQ(Figures.Percent, 100);
  EXPECT_EQ(Snapshot(Out.Path()), first);

  // Two sources touched: exactly those two convert, over their own outputs.
  Touch(Sources[0], 5);
  Touch(Sources[2], 5);
  Run();
  EXPECT_EQ(Ends["a.wav"], foComplete);
  EXPECT_EQ(Ends["b.wav"], foUpToDate);
  EXPECT_EQ(Ends["sub/c.wav"], foComplete);
  EXPECT_EQ(Outputs(), PLAIN);
  const auto third = Snapshot(Out.Path());
  EXPECT_NE(std::get<2>(third.at("a.wav")), std::get<2>(first.at("a.wav")));
  EXPECT_EQ(third.at("b.wav"), first.at("b.wav"));
  EXPECT_NE(std::get<2>(third.at("sub/c.wav")), std::get<2>(first.at("sub/c.wav")));
  EXPECT_NEAR(ProbeDuration(Out.File("a.wav")), 1.0, 0.05);

  // A new source converts; the others stay.
  Copy(Sources[1], "d.wav");
  Run();
  EXPECT_EQ(Ends["d.wav"], foComplete);
  EXPECT_EQ(Count(foUpToDate), 3);
}

TEST_F(SyncFixture, ChangedSettingsConvertAgain) {
  // Each change decides the output's bytes: every file converts again,
  // under the same names; the same settings once more: up to date.
  const std::vector<std::pair<const char*, std::function<void(TBatchChoices&)>>> changes = {
      {"sample rate", [](TBatchChoices& c) { c.SampleRate = 3; }},
      {"channels", [](TBatchChoices& c) { c.Channels = 1; }},
      {"volume", [](TBatchChoices& c) { c.Volume = 128; }},
      {"extra option", [](TBatchChoices& c) { c.ExtraOptions = {"t=0.5"}; }},
  };
  Run();
  for (const auto& [what, change] : changes) {
    SCOPED_TRACE(what);
    change(Choices);
    Run();
    EXPECT_EQ(Count(foComplete), 3);
    EXPECT_EQ(Outputs(), PLAIN);
    Run();
    EXPECT_EQ(Count(foUpToDate), 3);
  }
  EXPECT_EQ(Probe(Out.File("b.wav"), "a:0", "stream=channels"), "1");
}

TEST_F(SyncFixture, EachFormatOfASourceIsKeptApart) {
  Run();
  Choices.Format = "FLAC";
  Run();
  EXPECT_EQ(Count(foComplete), 3);
  Choices.Format = "WAV";
  Run();
  EXPECT_EQ(Count(foUpToDate), 3);
  EXPECT_EQ(Outputs(), (std::set<std::string>{"a.flac", "a.wav", "b.flac", "b.wav", "sub/c.flac",
                                              "sub/c.wav"}));
}

TEST_F(SyncFixture, AUsersFileUnderTheNameIsNeverReplaced) {
  const std::string mine = Out.File("b.wav");
  std::ofstream(mine) << "my own notes";
  Run();
  EXPECT_EQ(Count(foComplete), 3);
  EXPECT_EQ(ReadAll(mine), "my own notes");
  EXPECT_TRUE(fs::exists(Out.File("b_(new).wav")));
  // The source changed: its own output ("_(new)") is replaced, nothing else.
  Touch(Sources[1], 5);
  Run();
  EXPECT_EQ(Ends["b.wav"], foComplete);
  EXPECT_EQ(Count(foUpToDate), 2);
  EXPECT_EQ(ReadAll(mine), "my own notes");
  EXPECT_EQ(Outputs(), (std::set<std::string>{"a.wav", "b.wav", "b_(new).wav", "sub/c.wav"}));
  // The user's file gone, the name is free: the output moves there and its
  // old copy goes.
  fs::remove(mine);
  Touch(Sources[1], 10);
  Run();
  EXPECT_EQ(Outputs(), PLAIN);
}

TEST_F(SyncFixture, DeleteOrphansRemovesOnlyOutputsOfGoneSources) {
  std::ofstream(Out.File("notes.txt")) << "mine";
  Run();
  Choices.DeleteOrphans = true;
  fs::remove(Sources[0]);
  fs::remove(Sources[2]);
  // An output of a gone source that the user edited since stays.
  std::ofstream(Out.File("sub/c.wav"), std::ios::app) << "x";
  Run();
  EXPECT_EQ(Count(foUpToDate), 1);
  ASSERT_EQ(Removals.size(), 2u);
  std::map<std::string, TRemovalOutcome> removed;
  for (const TSyncRemoval& r : Removals) removed[fs::relative(r.Output, Out.Path())] = r.Outcome;
  EXPECT_EQ(removed,
            (std::map<std::string, TRemovalOutcome>{{"a.wav", roRemoved}, {"sub/c.wav", roKept}}));
  EXPECT_EQ(Outputs(), (std::set<std::string>{"b.wav", "notes.txt", "sub/c.wav"}));
  // The edited one is the user's now: not listed again.
  Run();
  EXPECT_TRUE(Removals.empty());
  EXPECT_TRUE(fs::exists(Out.File("sub/c.wav")));
}

TEST_F(SyncFixture, ADryRunWritesNothingAndPlans) {
  Run();
  Choices.DeleteOrphans = true;
  Touch(Sources[0], 5);
  fs::remove(Sources[2]);
  Copy(Sources[1], "d.wav");
  const auto before = Snapshot(Out.Path());
  Choices.DryRun = true;
  Run();
  EXPECT_EQ(Snapshot(Out.Path()), before);
  EXPECT_EQ(Plan, (std::map<std::string, std::string>{{Out.File("a.wav"), "source changed"},
                                                      {Out.File("d.wav"), "new"}}));
  EXPECT_EQ(Ends["b.wav"], foUpToDate);
  EXPECT_EQ(Figures.Planned, 2);
  ASSERT_EQ(Removals.size(), 1u);
  EXPECT_EQ(Removals[0].Output, Out.File("sub/c.wav"));
  EXPECT_EQ(Removals[0].Outcome, roPlanned);
  // The real run does what was planned.
  Choices.DryRun = false;
  Run();
  EXPECT_EQ(Count(foComplete), 2);
  EXPECT_EQ(Outputs(), (std::set<std::string>{"a.wav", "b.wav", "d.wav"}));
}

TEST_F(SyncFixture, AStoppedRunIsFinishedByTheNext) {
  Copy(Sources[1], "d.wav");
  // Stopped at once: the first file is stopped or complete, the rest wait.
  Run(true);
  EXPECT_LE(Count(foComplete), 1);
  EXPECT_LE(Outputs().size(), 1u);
  Run();
  EXPECT_EQ(Count(foComplete) + Count(foUpToDate), 4);
  const std::set<std::string> all = {"a.wav", "b.wav", "d.wav", "sub/c.wav"};
  EXPECT_EQ(Outputs(), all);
  for (const std::string& name : all) EXPECT_NEAR(ProbeDuration(Out.File(name)), 1.0, 0.05);
  // No hidden leftovers beside them.
  for (const auto& [name, mark] : Snapshot(Out.Path()))
    EXPECT_TRUE(all.count(name) || name == SYNC_STATE_NAME) << name;
}

TEST_F(SyncFixture, AKilledRunsOutputIsItsOwnToReplace) {
  Run();
  // A run killed after a's output took its name, before it was recorded:
  // the state has a's P line only, and a line cut short by the kill.
  std::string lines;
  {
    std::istringstream state(ReadAll(Out.File(SYNC_STATE_NAME)));
    for (std::string line; std::getline(state, line);)
      if (line.rfind("D\ta.wav\t", 0) != 0) lines += line + "\n";
  }
  lines += "P\ta.wav\t" + fs::canonical(In.Path()).string() + "\ta.wav\t0\twav\tx\n";
  lines += "D\tb.wav\ttorn";
  std::ofstream(Out.File(SYNC_STATE_NAME), std::ios::trunc) << lines;
  Run();
  EXPECT_EQ(Ends["a.wav"], foComplete);
  EXPECT_EQ(Ends["b.wav"], foUpToDate);
  EXPECT_EQ(Outputs(), PLAIN);  // replaced, not beside it as "_(new)"
  EXPECT_NEAR(ProbeDuration(Out.File("a.wav")), 1.0, 0.05);
  Run();
  EXPECT_EQ(Count(foUpToDate), 3);
}

TEST(SyncState, LinesReadBackAndCompactionKeepsWhatExists) {
  TTempDir dir;
  const std::string kept = dir.File("x/kept.mp3"), gone = dir.File("gone.mp3");
  fs::create_directories(dir.File("x"));
  std::ofstream(kept) << "data";
  const TSyncSource source{"/music", "a\tb\nc\\d.flac", 0, "mp3"}, other{"/music", "e.flac", 2, "mp3"};
  std::string why;
  {
    TSyncState state(dir.Path() + "/");
    ASSERT_TRUE(state.Load(why)) << why;
    TSyncEntry entry;
    entry.Output = kept;
    entry.Source = source;
    entry.Done = true;
    entry.SourceSize = 10;
    entry.SourceModifiedNs = 20;
    entry.Digest = "abc";
    ASSERT_TRUE(state.NotePending(kept, source, "abc", why)) << why;
    ASSERT_TRUE(state.NoteDone(entry, why)) << why;
    ASSERT_TRUE(state.NotePending(gone, other, "def", why)) << why;
  }
  TSyncState state(dir.Path());
  ASSERT_TRUE(state.Load(why)) << why;
  const TSyncEntry* entry = state.BySource(source);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->Output, "x/kept.mp3");
  EXPECT_EQ(state.FullPath(*entry), kept);
  EXPECT_EQ(entry->Source.Path, source.Path);
  EXPECT_EQ(std::make_tuple(entry->SourceSize, entry->SourceModifiedNs, entry->Digest),
            std::make_tuple(int64_t{10}, int64_t{20}, std::string("abc")));
  EXPECT_FALSE(entry->Pending);
  ASSERT_NE(state.ByOutput(gone), nullptr);
  EXPECT_TRUE(state.ByOutput(gone)->Pending);
  EXPECT_EQ(state.BySource(other), nullptr);  // not done
  // The output that does not exist goes; the file is rewritten whole.
  ASSERT_TRUE(state.Compact(why)) << why;
  TSyncState again(dir.Path());
  ASSERT_TRUE(again.Load(why));
  EXPECT_EQ(again.Entries().size(), 1u);
  EXPECT_EQ(again.ByOutput(gone), nullptr);
  ASSERT_TRUE(again.Forget(kept, why));
  TSyncState last(dir.Path());
  ASSERT_TRUE(last.Load(why));
  EXPECT_TRUE(last.Entries().empty());
}

TEST(SyncState, EveryFieldThatDecidesTheOutputChangesTheDigest) {
  const TInputOptions input;
  const TOutputOptions output;
  const std::string base = SettingsDigest(input, output, "");
  EXPECT_EQ(base, SettingsDigest(input, output, ""));
  // Names and flags that do not decide the bytes leave it as it is.
  TOutputOptions named = output;
  named.FileName = "/elsewhere/x.mp3";
  named.Overwrite = named.CreateFolder = true;
  EXPECT_EQ(SettingsDigest(input, named, ""), base);
  const std::vector<std::pair<const char*, std::function<void(TInputOptions&, TOutputOptions&)>>>
      changes = {
          {"format", [](TInputOptions&, TOutputOptions& o) { o.FileFormat = "mp3"; }},
          {"codec", [](TInputOptions&, TOutputOptions& o) { o.AudioCodec = "flac"; }},
          {"bit rate", [](TInputOptions&, TOutputOptions& o) { o.AudioBitrate = 128000; }},
          {"channels", [](TInputOptions&, TOutputOptions& o) { o.AudioChannels = 1; }},
          {"rate", [](TInputOptions&, TOutputOptions& o) { o.AudioSampleRate = 22050; }},
          {"volume", [](TInputOptions&, TOutputOptions& o) { o.AudioVolume = 100; }},
          {"loudness", [](TInputOptions&, TOutputOptions& o) { o.Normalize = true; }},
          {"replaygain", [](TInputOptions&, TOutputOptions& o) { o.ReplayGain = true; }},
          {"album", [](TInputOptions&, TOutputOptions& o) { o.GainAlbum = "x"; }},
          {"length", [](TInputOptions&, TOutputOptions& o) { o.RecordingTime = 500; }},
          {"extra", [](TInputOptions&, TOutputOptions& o) { o.ExtOptions = "q=2"; }},
          {"start", [](TInputOptions& i, TOutputOptions&) { i.StartTime = 100; }},
          {"range", [](TInputOptions& i, TOutputOptions&) { i.ExtOptions = "sample_range=0:5"; }},
      };
  std::set<std::string> seen = {base};
  for (const auto& [what, change] : changes) {
    TInputOptions i = input;
    TOutputOptions o = output;
    change(i, o);
    EXPECT_TRUE(seen.insert(SettingsDigest(i, o, "")).second) << what;
  }
  EXPECT_TRUE(seen.insert(SettingsDigest(input, output, "keep_tree=1")).second);
}

}  // namespace
