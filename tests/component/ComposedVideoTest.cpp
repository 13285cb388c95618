// Video conversions the options dialog composes, run by the component: every
// video format of the dialog on one H.264+AAC clip, and the five external
// hook boxes with the hook libraries the build makes. Outputs are checked
// with ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include "ComponentTestSupport.h"
#include "OptionComposer.h"
#include "Text.h"

using namespace component_testing;
using testing_support::Capture;
using testing_support::DecodesCleanly;
using testing_support::Fixture;

namespace {

bool HasEncoder(const std::string& name) {
  static const std::string encoders = Capture("ffmpeg -hide_banner -encoders 2>/dev/null");
  return encoders.find(" " + name + " ") != std::string::npos;
}

std::string H264AacClip() {
  return Fixture("h264aac2s.mp4",
                 "-f lavfi -i testsrc=size=320x240:rate=25:duration=2 -f lavfi -i "
                 "sine=frequency=440:duration=2 -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest");
}

class ComposedVideo : public ComponentFixture {
 protected:
  void SetUp() override {
    ComponentFixture::SetUp();
    State.Output.Folder = Dir.Path() + "/";
    TSourceFacts source;
    source.FileName = H264AacClip();
    ASSERT_FALSE(source.FileName.empty());
    source.FormatName = "mov,mp4,m4a,3gp,3g2,mj2";
    source.Duration = 2000000;
    source.HasVideo = true;
    source.VideoWidth = 320;
    source.VideoHeight = 240;
    LoadSource(State, source);
  }
  // Composes the records for a format and adds the task; the output's name.
  std::string Add(const char* format) {
    EXPECT_TRUE(SelectFormat(State, format));
    TInputOptions in;
    TOutputOptions out;
    ComposeInput(State, in);
    ComposeOutput(State, out);
    State.Output.Reserved.insert(out.FileName);
    const int index = Component.AddTask(in.FileName, &in);
    EXPECT_GE(index, 0) << format << ": " << Component.LastErrMsg();
    if (index >= 0) {
      EXPECT_TRUE(Component.SetOutputFile(index, out.FileName, &out))
          << format << ": " << Component.LastErrMsg();
    }
    return out.FileName;
  }
  bool RunAll() {
    Component.Start(2);
    return Component.EventLoop()->RunUntil([this] { return Events.Final(); }, 600000);
  }
  TComposerState State;
};

}  // namespace

TEST_F(ComposedVideo, EveryVideoFormatConvertsAnH264AacClip) {
  struct TCase {
    const char* Format;
    const char* Encoder;  // the one the format needs beyond the built-in ones
  };
  const TCase cases[] = {{"VCD", ""},    {"SVCD", ""},  {"DVD", ""},  {"3GP", ""},
                         {"AVI", ""},    {"FLV", ""},   {"iPod", ""}, {"MKV", "libx264"},
                         {"MOV", ""},    {"MP4", ""},   {"OGG", "libtheora"}, {"PSP", ""},
                         {"RM10", ""},   {"RM20", ""},  {"SWF", ""},  {"WMV", ""},
                         {"M1V", ""},    {"M2V", ""}};
  std::vector<std::pair<std::string, std::string>> outputs;
  for (const TCase& c : cases) {
    if (*c.Encoder && !HasEncoder(c.Encoder)) {
      std::printf("skipped %s: no %s encoder\n", c.Format, c.Encoder);
      continue;
    }
    outputs.emplace_back(c.Format, Add(c.Format));
  }
  ASSERT_TRUE(RunAll());
  const auto ends = Events.Terminations();
  for (const TTermination& end : ends)
    EXPECT_FALSE(end.Exception) << (end.Index >= 0 ? outputs[end.Index].first : "run") << ": "
                                << end.Message;
  for (const auto& [format, file] : outputs) {
    EXPECT_TRUE(DecodesCleanly(file)) << format << " " << file;
    EXPECT_FALSE(testing_support::Probe(file, "v:0", "stream=codec_name").empty()) << format;
  }
  // 3GP: its small picture and mono 8 kHz AAC.
  for (const auto& [format, file] : outputs) {
    if (format != "3GP") continue;
    EXPECT_EQ(testing_support::Probe(file, "v:0", "stream=width"), "128");
    EXPECT_EQ(testing_support::Probe(file, "a:0", "stream=codec_name"), "aac");
    EXPECT_EQ(testing_support::Probe(file, "a:0", "stream=sample_rate"), "8000");
  }
}

TEST_F(ComposedVideo, TheFiveHookBoxesComposeLinesThatConvert) {
  THookControls& hooks = State.Hooks;
  hooks.Imlib2Img = hooks.ImgDancing = true;
  hooks.Imlib2Txt = hooks.TxtScrolling = true;
  hooks.WaterMark = hooks.WaterMarkMode = true;
  hooks.PaintHookImg = hooks.PaintHookTxt = true;
  const THookEnabled enabled = HookControlsEnabled(hooks);
  ASSERT_TRUE(enabled.Imlib2Img && enabled.WaterMark && enabled.PaintHookImg)
      << "the hook libraries are missing in " << HookFolder(hooks);
  for (THookBehavior behavior : {hbStandard, hbPTSs}) {
    hooks.Behavior = behavior;
    hooks.PTSs = "0-1000";
    const std::string file = Add("AVI");
    ASSERT_TRUE(RunAll());
    const auto ends = Events.Terminations();
    ASSERT_FALSE(ends.empty());
    EXPECT_FALSE(ends.front().Exception) << ends.front().Message;
    EXPECT_TRUE(DecodesCleanly(file)) << file;
    Events.Ends.clear();
    Events.FinalSeen = false;
  }
  TOutputOptions out;
  hooks.Behavior = hbStandard;
  ComposeOutput(State, out);
  size_t lines = 0;
  for (size_t at = out.ExtOptions.find("vhook="); at != std::string::npos;
       at = out.ExtOptions.find("vhook=", at + 1))
    ++lines;
  EXPECT_EQ(lines, 5u) << out.ExtOptions;
}
