// Converting through the main window: both run modes, the settings dialog's
// effect, files that cannot be read, and convert pressed during a run. The
// outputs are checked with ffprobe, independently of our code.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileInfo>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "AppTestSupport.h"
#include "MainFrm.h"
#include "WindowTest.h"
#include "OptionFrm.h"
#include "MusicSettings.h"
#include "U_set.h"

using namespace app_test;
using testing_support::DecodesCleanly;
using testing_support::Probe;

namespace {

class Conversion : public TWindowTest {
 protected:
  void Select(const QString& format) {
    for (int i = 0; i < Window->RadioGroup1->Count(); ++i)
      if (Window->RadioGroup1->Button(i)->text() == format) Window->RadioGroup1->SetItemIndex(i);
  }
  // Converts the list and waits for the end of the run.
  void ConvertAll() {
    Window->Convert();
    ASSERT_TRUE(WaitFor([this] { return !Window->Converting() && !Window->Checking(); }));
  }
};

class ConversionModes : public Conversion, public ::testing::WithParamInterface<bool> {};

TEST_P(ConversionModes, TwoFilesBecomeMp3WithTheirRowsComplete) {
  Window->chkThreadMode->setChecked(GetParam());
  const std::string a = Sine("app_a.wav", 1.5), b = Sine("app_b.wav", 1.0);
  ASSERT_TRUE(AddAndWait(*Window, {Q(a), Q(b)}));
  Select("MP3");
  ConvertAll();
  ASSERT_EQ(Window->lvFiles->topLevelItemCount(), 2);
  const char* names[] = {"app_a_(new).mp3", "app_b_(new).mp3"};
  const char* seconds[] = {"0:01", "0:01"};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Row(i)->text(fcProgress), "100%");
    EXPECT_EQ(Row(i)->text(fcOutputName), names[i]);
    EXPECT_EQ(Row(i)->text(fcConvertedTime), seconds[i]);
    EXPECT_EQ(Output(i), Out + "/" + names[i]);
    // The written size, as a person writes it.
    const int64_t bytes = QFileInfo(Q(Output(i))).size();
    ASSERT_GT(bytes, 1024);
    ASSERT_LT(bytes, 10240);
    EXPECT_EQ(Row(i)->text(fcOutputSize), QString::number(bytes / 1024) + "." +
                                              QString::number(bytes * 10 / 1024 % 10) + " KB");
    EXPECT_EQ(Probe(Output(i), "a:0", "stream=codec_name"), "mp3");
    EXPECT_TRUE(DecodesCleanly(Output(i)));
  }
  EXPECT_TRUE(Window->btnRemove->isEnabled());  // the run has ended
  EXPECT_TRUE(Window->btnClear->isEnabled());
}

INSTANTIATE_TEST_SUITE_P(Main, ConversionModes, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& mode) { return mode.param ? "Threads" : "MainThread"; });

TEST_F(Conversion, MovedRowsConvertInTheirNewOrder) {
  const std::string a = Sine("app_a.wav", 1.5), b = Sine("app_b.wav", 1.0);
  ASSERT_TRUE(AddAndWait(*Window, {Q(a), Q(b)}));
  Window->lvFiles->setCurrentItem(Row(1));
  Window->MoveUp();
  ConvertAll();
  EXPECT_EQ(Row(0)->text(fcName), "app_b.wav");
  EXPECT_EQ(Row(0)->text(fcOutputName), "app_b_(new).wav");
  EXPECT_EQ(Row(0)->text(fcProgress), "100%");
  EXPECT_EQ(Row(1)->text(fcOutputName), "app_a_(new).wav");
  EXPECT_EQ(Row(1)->text(fcProgress), "100%");
}

// Runs the settings dialog the way a user does: "参数设置", choose, "确定", "取消".
void UseSettings(TfrmMain& window, const std::function<void(TFrm_set&)>& choose) {
  bool seen = false;
  QTimer::singleShot(0, [&] {
    auto* settings = qobject_cast<TFrm_set*>(QApplication::activeModalWidget());
    if (!settings) return;
    seen = true;
    choose(*settings);
    settings->btnOK->click();
    EXPECT_TRUE(settings->isVisible());  // "确定" leaves the dialog open
    settings->btnCancel->click();
  });
  window.btnSettings->click();
  EXPECT_TRUE(seen);
}

TEST_F(Conversion, ANamePatternIsPreviewedAndNamesTheOutputs) {
  const std::string tagged = Dir.File("tagged.flac");
  ASSERT_TRUE(testing_support::MakeMedia(
      "-f lavfi -i sine=duration=1 -metadata artist=AC/DC -metadata title=Song", tagged));
  ASSERT_TRUE(AddAndWait(*Window, {Q(tagged)}));
  QString refused, shown;
  UseSettings(*Window, [&](TFrm_set& s) {
    s.MusicPage->edtNamePattern->setText("{artist}/{titel}");
    refused = s.MusicPage->lblNamePreview->text();
    s.MusicPage->edtNamePattern->setText("{artist}/{title}");
    shown = s.MusicPage->lblNamePreview->text();
  });
  EXPECT_TRUE(refused.contains("unknown field '{titel}'")) << refused.toStdString();
  EXPECT_EQ(shown, "预览：AC_DC/Song.wav");
  EXPECT_EQ(Row(0)->text(fcOutputName), "Song.wav");  // the rows show it at once
  ConvertAll();
  EXPECT_EQ(Output(0), Out + "/AC_DC/Song.wav");
  EXPECT_TRUE(DecodesCleanly(Out + "/AC_DC/Song.wav"));
}

TEST_F(Conversion, SettingsStereoAnd44100ReachTheNextConversion) {
  const std::string mono = Sine("app_mono22k.wav", 1.0, 22050, 1);
  ASSERT_TRUE(AddAndWait(*Window, {Q(mono)}));
  TQuestionCapture again(true);  // the file converted already is converted again
  UseSettings(*Window, [](TFrm_set& s) {
    s.cboChannels->setCurrentText("立体声");
    s.cboSampleRate->setCurrentText("44100");
  });
  ConvertAll();
  EXPECT_EQ(Probe(Output(0), "a:0", "stream=channels"), "2");
  EXPECT_EQ(Probe(Output(0), "a:0", "stream=sample_rate"), "44100");

  // Opened again, the dialog shows the choices in force: confirmed at once
  // they stay; "自动" gives the source's own layout back.
  UseSettings(*Window, [](TFrm_set& s) {
    EXPECT_EQ(s.cboChannels->currentText(), "立体声");
    EXPECT_EQ(s.cboSampleRate->currentText(), "44100");
  });
  ConvertAll();
  EXPECT_EQ(Probe(Output(0), "a:0", "stream=channels"), "2");
  UseSettings(*Window, [](TFrm_set& s) {
    s.cboChannels->setCurrentText("自动");
    s.cboSampleRate->setCurrentText("自动");
  });
  ConvertAll();
  EXPECT_EQ(Probe(Output(0), "a:0", "stream=channels"), "1");
  EXPECT_EQ(Probe(Output(0), "a:0", "stream=sample_rate"), "22050");
}

TEST_F(Conversion, ChosenBitRateReachesTheEncoderAndNoneIsForcedOtherwise) {
  const std::string a = Sine("app_a.wav", 1.5);
  ASSERT_TRUE(AddAndWait(*Window, {Q(a)}));
  Select("MP3");
  TQuestionCapture again(true);  // the file converted already is converted again
  UseSettings(*Window, [](TFrm_set&) {});  // the list shows "自动": no bit rate forced
  ConvertAll();
  const int plain = std::stoi(Probe(Output(0), "a:0", "stream=bit_rate"));
  EXPECT_GT(plain, 16000);  // the encoder's own choice, not 8 kbit/s

  UseSettings(*Window, [](TFrm_set& s) { s.cboBitRate->setCurrentText("64 "); });
  ConvertAll();
  EXPECT_EQ(Probe(Output(0), "a:0", "stream=bit_rate"), "64000");
}

TEST_F(Conversion, QualityPageReachesTheEncoderAndARefusedQualityIsTold) {
  const std::string a = Sine("app_a.wav", 1.5);
  ASSERT_TRUE(AddAndWait(*Window, {Q(a)}));
  Select("MP3");
  {
    TMessageCapture boxes;
    UseSettings(*Window, [](TFrm_set& s) { s.QualityPage->Lists.at("MP3")->setEditText("q5"); });
    ASSERT_EQ(boxes.Boxes.size(), 1u);
    EXPECT_TRUE(boxes.Boxes[0].Text.contains("MP3 (libmp3lame) cannot take the quality 'q5'"))
        << boxes.Boxes[0].Text.toStdString();
    EXPECT_TRUE(Window->QualityChoices.ByFormat.empty());  // nothing taken
  }
  UseSettings(*Window, [](TFrm_set& s) {
    s.QualityPage->Lists.at("MP3")->setEditText("v2");
    s.QualityPage->Lists.at("OPUS")->setCurrentText("96k:cvbr");
  });
  ConvertAll();
  EXPECT_EQ(Window->Batch().Choices.Quality, "MP3=V2,OPUS=96k:cvbr");
  EXPECT_EQ(Row(0)->text(fcProgress), "100%");
  // LAME's VBR: the muxer's header says "Xing" where a constant rate says "Info".
  std::ifstream in(Output(0), std::ios::binary);
  const std::string head(std::istreambuf_iterator<char>(in), {});
  EXPECT_NE(head.substr(0, 4096).find("Xing"), std::string::npos);
}

TEST_F(Conversion, FileTheProbeCannotOpenIsSkipped) {
  const std::string a = Sine("app_a.wav", 1.5);
  const std::string b = CopyTo(Sine("app_b.wav", 1.0), Dir.Path(), "b.wav");
  ASSERT_TRUE(AddAndWait(*Window, {Q(b), Q(a)}));
  ASSERT_TRUE(testing_support::WriteJunk(b, 3000));
  ConvertAll();
  ASSERT_EQ(Window->lvFiles->topLevelItemCount(), 2);  // the file stays listed
  EXPECT_EQ(Row(0)->text(fcProgress), "失败");
  EXPECT_FALSE(Row(0)->toolTip(fcProgress).isEmpty());
  EXPECT_EQ(Row(1)->text(fcProgress), "100%");
  // The row says why in the window's words, then the engine's detail,
  // which the log holds.
  const QStringList tip = Row(0)->toolTip(fcProgress).split('\n');
  ASSERT_EQ(tip.size(), 2);
  EXPECT_EQ(tip[0], "无法识别源文件的格式，或文件头已损坏");
  bool logged = false;
  for (const QString& line : Window->LogLines())
    logged = logged || (line.startsWith("***Convert failed: b.wav: ") && line.endsWith(tip[1]));
  EXPECT_TRUE(logged);
  EXPECT_EQ(Window->StatusText(), "1 个完成，1 个失败");
  EXPECT_FALSE(std::filesystem::exists(Out + "/b_(new).wav"));
  EXPECT_TRUE(DecodesCleanly(Out + "/app_a_(new).wav"));
}

TEST_F(Conversion, ConvertDuringARunAsksBeforeItStartsTheListAgain) {
  const std::string longer = Sine("app_long.wav", 30.0, 44100, 2);
  const std::string b = Sine("app_b.wav", 1.0);
  ASSERT_TRUE(AddAndWait(*Window, {Q(longer), Q(b)}));
  Select("MP3");
  Window->SetParallelJobs(1);
  HoldAtFirstProgressOf(longer);  // the first file cannot end before the question
  Window->Convert();
  ASSERT_TRUE(Window->Converting());
  ASSERT_TRUE(WaitFor([this] { return Row(0)->text(fcProgress).endsWith('%'); }));
  {
    TQuestionCapture no(false);
    Window->Convert();  // "No": the run goes on untouched
    ASSERT_EQ(no.Texts.size(), 1u);
    EXPECT_EQ(no.Texts[0], "正在转换。要停止当前的转换，从头重新转换全部文件吗？");
  }
  EXPECT_TRUE(Window->Converting());
  ASSERT_TRUE(WaitFor([this] { return Window->StatusText().startsWith("已完成 0/2"); }));
  EXPECT_TRUE(Row(0)->text(fcProgress).endsWith('%'));
  TQuestionCapture yes(true);
  ConvertAll();  // "Yes": stops the running file, then converts everything anew
  EXPECT_EQ(yes.Texts.size(), 1u);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Row(i)->text(fcProgress), "100%");
    EXPECT_TRUE(DecodesCleanly(Output(i)));
  }
  // The stopped file's output went: the list starts again under its names.
  EXPECT_EQ(FilesBelow(Out), (std::set<std::string>{"app_long_(new).mp3", "app_b_(new).mp3"}));
  EXPECT_NEAR(testing_support::ProbeDuration(Output(0)), 30.0, 0.2);
  EXPECT_EQ(Window->StatusText(), "2 个完成");
}

TEST_F(Conversion, AtMostTheCoresConvertAtOnceUnlessSetOtherwise) {
  EXPECT_EQ(Window->ParallelJobs(), std::max(1, QThread::idealThreadCount()));
  const std::string a = Sine("app_a.wav", 1.5), b = Sine("app_b.wav", 1.0);
  const std::string c = Sine("app_c.wav", 1.2);
  ASSERT_TRUE(AddAndWait(*Window, {Q(a), Q(b), Q(c)}));
  Window->SetParallelJobs(1);
  // The most tasks seen running at once, sampled at every progress report.
  std::atomic<int> most{0};
  TREzuvuZUZ& pelix = *Window->Converter();
  auto shown = pelix.OnProgress;
  pelix.OnProgress = [&](int index, int frames, int fps, int ms, float q, float rate, int64_t size,
                         int total) {
    int running = 0;
    for (int i = 0; i < pelix.TaskCount(); ++i) running += pelix.Task(i)->State == tsRunning;
    most = std::max(most.load(), running);
    shown(index, frames, fps, ms, q, rate, size, total);
  };
  ConvertAll();
  EXPECT_EQ(Window->edtThreadCount->text(), "1");
  EXPECT_EQ(most.load(), 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Row(i)->text(fcProgress), "100%") << i;
}

TEST_F(Conversion, ClearingOrConvertingDuringARunLeavesNoUnfinishedFile) {
  const std::string longer = Sine("app_long.wav", 30.0, 44100, 2);
  ASSERT_TRUE(AddAndWait(*Window, {Q(longer)}));
  Select("MP3");
  Window->Convert();
  // Something is being written under its temporary name.
  ASSERT_TRUE(WaitFor([this] { return PartFiles(Out) > 0; }));
  TQuestionCapture stop(true);  // "停止并清空"
  Window->ClearList();
  EXPECT_EQ(PartFiles(Out), 0);
  EXPECT_TRUE(std::filesystem::is_empty(Out));
  EXPECT_FALSE(Window->Converting());
}

TEST_F(Conversion, ADamagedSourceShowsHowFarItGotAndWhy) {
  const std::string flac =
      testing_support::Fixture("app_tone3s.flac", "-f lavfi -i sine=duration=3 -ac 2 -c:a flac");
  std::ifstream in(flac, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  const std::string cut = Dir.File("cut.flac");
  std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() * 2 / 3);
  ASSERT_TRUE(AddAndWait(*Window, {Q(cut)}));
  ConvertAll();
  const QString text = Row(0)->text(fcProgress);
  EXPECT_TRUE(text.endsWith("% (损坏)")) << text.toStdString();
  // Said in the window's language, with the times the batch tells.
  EXPECT_EQ(Row(0)->toolTip(fcProgress), "源文件不完整：源文件在 0:02 处结束（标明的长度为 0:03）");
  EXPECT_TRUE(DecodesCleanly(Output(0)));
  bool logged = false;
  for (const QString& line : Window->LogLines()) logged = logged || line.startsWith("***Source damaged: ");
  EXPECT_TRUE(logged);
}

}  // namespace

TEST_F(Conversion, SyncSettingConvertsOnlyChangedFilesAndIsRemembered) {
  const std::string a = Sine("app_a.wav", 1.5), b = Sine("app_b.wav", 1.0);
  ASSERT_TRUE(AddAndWait(*Window, {Q(a), Q(b)}));
  UseSettings(*Window, [](TFrm_set& s) {
    EXPECT_FALSE(s.chkDeleteOrphans->isEnabled());  // only with sync
    s.chkSync->setChecked(true);
    EXPECT_TRUE(s.chkDeleteOrphans->isEnabled());
  });
  ConvertAll();
  EXPECT_EQ(Row(0)->text(fcOutputName), "app_a.wav");  // the plain name
  EXPECT_EQ(Row(0)->text(fcProgress), "100%");
  // The list again: nothing converts, the rows say so, no copy is made.
  TQuestionCapture again(true);
  ConvertAll();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Row(i)->text(fcProgress), "已是最新");
    EXPECT_FALSE(Row(i)->text(fcOutputSize).isEmpty());
  }
  EXPECT_TRUE(Window->StatusText().contains("2 个已是最新")) << Window->StatusText().toStdString();
  EXPECT_FALSE(std::filesystem::exists(Out + "/app_a_(new).wav"));
  Window->close();
  QSettings written(Window->ConfigFile(), QSettings::IniFormat);
  EXPECT_TRUE(written.value("FormConfig/sync").toBool());
  EXPECT_FALSE(written.value("FormConfig/delete_orphans").toBool());
}
