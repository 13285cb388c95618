// The output options dialog as a window: the time bar, the clip marks, the
// hook controls, the folder button and the OK check.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTest>
#include <filesystem>

#include "AVProbe.h"
#include "AppSupport.h"
#include "AppTestSupport.h"
#include "OptionFrm.h"

using namespace app_test;
using testing_support::TTempDir;

namespace {

class OptionDialog : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(testing_support::LoadEngineLibraries()); }
  void TearDown() override { SetCdRomCheck(nullptr); }
  void Load(const std::string& file) {
    ASSERT_TRUE(Source.Open(file)) << Source.LastError();
    Dialog.LoadSource(&Source);
  }
  TAVProbe Source;
  TfrmOption Dialog;
  TTempDir Dir;
};

TEST_F(OptionDialog, TimeBarFitsTheSourceAndMarksAClip) {
  Load(Sine("app_10s.wav", 10.0, 8000));
  EXPECT_EQ(Dialog.trcPreview->maximum(), 10000);  // steps of 1000 µs
  EXPECT_EQ(Dialog.trcPreview->singleStep(), 100);
  EXPECT_EQ(Dialog.trcPreview->pageStep(), 500);
  EXPECT_EQ(Dialog.edtStartTime->text(), "N/A");
  EXPECT_FALSE(Dialog.chkCutClip->isEnabled());
  EXPECT_TRUE(Dialog.memInfo->toPlainText().contains("app_10s.wav"));

  Dialog.trcPreview->setValue(2500);
  EXPECT_EQ(Dialog.lblPTS->text(), "PTS: 2.500");
  Dialog.btnSetStart->click();
  EXPECT_EQ(Dialog.edtStartTime->text(), "2.500");
  EXPECT_FALSE(Dialog.chkCutClip->isEnabled());  // no end yet
  Dialog.trcPreview->setValue(6000);
  Dialog.btnSetEnd->click();
  EXPECT_EQ(Dialog.edtEndTime->text(), "6.000");
  ASSERT_TRUE(Dialog.chkCutClip->isEnabled());
  Dialog.chkCutClip->setChecked(true);

  TOutputOptions output;
  TInputOptions input;
  Dialog.ComposeOutput(output);
  Dialog.ComposeInput(input);
  EXPECT_EQ(output.RecordingTime, 3500);
  EXPECT_EQ(input.StartTime, 2500);
  EXPECT_EQ(input.ExtOptions, "vn=1");  // WAV: audio only

  // An end before the start disables the clip again.
  Dialog.trcPreview->setValue(1000);
  Dialog.btnSetEnd->click();
  EXPECT_FALSE(Dialog.chkCutClip->isEnabled());
  EXPECT_FALSE(Dialog.chkCutClip->isChecked());
  Dialog.ComposeOutput(output);
  EXPECT_EQ(output.RecordingTime, -1);
}

TEST_F(OptionDialog, VideoSourceShowsItsPictureAndPopsItUp) {
  Load(testing_support::Fixture("app_video.avi",
                                "-f lavfi -i testsrc=size=160x120:rate=10:duration=2 -c:v mpeg4"));
  Dialog.trcPreview->setValue(Dialog.trcPreview->maximum() / 2);
  std::unique_ptr<QDialog> popup(Dialog.CreatePicturePopup());
  ASSERT_TRUE(popup);
  EXPECT_EQ(popup->size(), QSize(160, 120));
  EXPECT_TRUE(popup->windowTitle().startsWith("160x120 PTS: 1.")) << popup->windowTitle().toStdString();
  QTest::keyClick(popup.get(), Qt::Key_Escape);
  EXPECT_EQ(popup->result(), QDialog::Rejected);
}

TEST_F(OptionDialog, AudioSourceHasNoPictureToPopUp) {
  Load(Sine("app_a.wav", 1.5));
  EXPECT_EQ(Dialog.CreatePicturePopup(), nullptr);
}

TEST_F(OptionDialog, HookBoxesFollowTheLibrariesInTheHookFolder) {
  QFile library(Q(Dir.File("watermark.so")));
  ASSERT_TRUE(library.open(QIODevice::WriteOnly));
  library.close();
  Dialog.SetHookFolder(Q(Dir.Path()));
  EXPECT_TRUE(Dialog.chkWaterMark->isEnabled());
  EXPECT_FALSE(Dialog.chkImlib2Img->isEnabled());
  EXPECT_FALSE(Dialog.chkPaintHookTxt->isEnabled());
  EXPECT_FALSE(Dialog.rdoPTSs->isEnabled());
  EXPECT_FALSE(Dialog.chkWaterMarkMode->isEnabled());

  Dialog.chkWaterMark->click();
  EXPECT_TRUE(Dialog.chkWaterMarkMode->isEnabled());
  EXPECT_TRUE(Dialog.rdoPTSs->isEnabled());
  EXPECT_FALSE(Dialog.edtPTSs->isEnabled());
  Dialog.rdoPTSs->click();
  EXPECT_TRUE(Dialog.edtPTSs->isEnabled());

  Dialog.rdoCustomHook->click();
  EXPECT_FALSE(Dialog.chkWaterMark->isEnabled());
  EXPECT_FALSE(Dialog.rdoPTSs->isEnabled());
}

TEST_F(OptionDialog, FolderOnACdRomIsRefused) {
  TMessageCapture boxes;
  SetCdRomCheck([](const QString& folder) { return folder.startsWith("/media/cdrom"); });
  EXPECT_EQ(Dialog.edtOutPath->text(), "<same as input>");
  EXPECT_FALSE(Dialog.ChooseOutputFolder("/media/cdrom/music"));
  EXPECT_EQ(Dialog.edtOutPath->text(), "<same as input>");
  ASSERT_EQ(boxes.Boxes.size(), 1u);
  EXPECT_EQ(boxes.Boxes[0].Text, "Output folder cannot be located in CD-ROM.");
  EXPECT_TRUE(Dialog.ChooseOutputFolder(Q(Dir.Path())));
  EXPECT_EQ(Dialog.edtOutPath->text(), Q(Dir.Path()) + "/");
}

TEST_F(OptionDialog, OkStaysOpenWhileTheSourceFolderIsOnACdRom) {
  TMessageCapture boxes;
  const std::string source = CopyTo(Sine("app_a.wav", 1.5), Dir.Path(), "a.wav");
  Load(source);
  const QString folder = Q(Dir.Path());
  SetCdRomCheck([folder](const QString& f) { return f == folder; });
  Dialog.show();
  Dialog.btnOK->click();
  EXPECT_TRUE(Dialog.isVisible());
  ASSERT_EQ(boxes.Boxes.size(), 1u);
  EXPECT_EQ(boxes.Boxes[0].Text, "Input folder is located in CD-ROM, please select output folder.");

  Dialog.ChooseOutputFolder(QDir::tempPath());
  Dialog.btnOK->click();
  EXPECT_FALSE(Dialog.isVisible());
  EXPECT_EQ(Dialog.result(), QDialog::Accepted);
  EXPECT_EQ(Dialog.trcPreview->maximum(), 0);  // a hidden dialog's bar has no range
}

TEST_F(OptionDialog, QuestionMarkExplainsPtsPeriods) {
  TMessageCapture boxes;
  Dialog.btnPTSsHelp->click();
  ASSERT_EQ(boxes.Boxes.size(), 1u);
  EXPECT_EQ(boxes.Boxes[0].Title, "Video Hook PTS Periods");
  const QStringList lines = boxes.Boxes[0].Text.split('\n');
  ASSERT_EQ(lines.size(), 4);
  EXPECT_EQ(lines[3], "         PTS Periosd(millisecond!!!) -> \"0-5000,10000-15000\"");
}

TEST_F(OptionDialog, ControlsReachTheComposedRecord) {
  Load(Sine("app_a.wav", 1.5));
  Dialog.SelectFormat("OGG");
  Dialog.chkCrop->setChecked(true);
  Dialog.edtCropTop->setText("5");
  Dialog.edtCropLeft->setText("-3");
  Dialog.chkScale->setChecked(true);
  Dialog.edtScale->setText("  ");
  Dialog.chkVertFlip->setChecked(true);
  Dialog.ChooseOutputFolder(Q(Dir.Path()));
  TOutputOptions output;
  Dialog.ComposeOutput(output);
  EXPECT_EQ(output.VideoCodec, "libtheora");
  EXPECT_EQ(output.AudioCodec, "flac");
  EXPECT_EQ(output.CropTop, 4);
  EXPECT_EQ(output.CropLeft, -2);
  EXPECT_EQ(output.VideoFilters, "vflip");  // an empty scale adds nothing
  EXPECT_EQ(output.FileName, Dir.File("app_a_(new).ogg"));
}

}  // namespace
