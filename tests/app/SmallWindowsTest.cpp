// The settings dialog, the about box, help, the exception handler, the
// CD-ROM rule and the main-thread adapter.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QThread>
#include <atomic>
#include <thread>

#include "AppSupport.h"
#include "AppTestSupport.h"
#include "FFmpeg.h"
#include "MainFrm.h"
#include "MusicSettings.h"
#include "OptionFrm.h"
#include "QualitySettings.h"
#include "QtMainThread.h"
#include "U_About.h"
#include "U_set.h"

using namespace app_test;

namespace {

QStringList ItemsOf(const QComboBox* list) {
  QStringList items;
  for (int i = 0; i < list->count(); ++i) items << list->itemText(i);
  return items;
}

TEST(SettingsDialog, StartsFromTheFirstItemsAndAppliesWithoutClosing) {
  TfrmOption options;
  TFrm_set settings(&options);
  EXPECT_EQ(settings.windowTitle(), "参数设置");
  EXPECT_EQ(ItemsOf(settings.cboBitRate),
            QStringList({"自动", "8 ", "16 ", "32 ", "64 ", "128 ", "256 ", "320"}));
  EXPECT_EQ(settings.cboBitRate->currentText(), "自动");
  EXPECT_EQ(ItemsOf(settings.cboSampleRate),
            QStringList({"自动", "8000", "11025", "22050", "44100"}));
  EXPECT_EQ(settings.cboChannels->currentText(), "自动");

  settings.show();
  settings.cboChannels->setCurrentIndex(1);
  settings.cboSampleRate->setCurrentIndex(3);
  settings.cboBitRate->setCurrentText("128 ");
  settings.btnOK->click();
  EXPECT_TRUE(settings.isVisible());
  EXPECT_EQ(options.grpAudioChannels->ItemText(), "Mono");
  EXPECT_EQ(options.grpAudioSampleRate->ItemText(), "22050");
  EXPECT_TRUE(options.chkAudioBitRate->isChecked());
  EXPECT_EQ(options.edtAudioBitRate->text(), "128 ");
  TOutputOptions output;
  options.ComposeOutput(output);
  EXPECT_EQ(output.AudioBitrate, 128000);
  EXPECT_EQ(output.AudioChannels, 1);
  EXPECT_EQ(output.AudioSampleRate, 22050);

  settings.btnCancel->click();  // closes, keeps what was applied
  EXPECT_FALSE(settings.isVisible());
  EXPECT_EQ(options.grpAudioChannels->ItemText(), "Mono");

  // Opened again it shows the choices in force; confirmed at once they stay.
  TFrm_set again(&options);
  EXPECT_EQ(again.cboChannels->currentText(), "单声道");
  EXPECT_EQ(again.cboSampleRate->currentText(), "22050");
  EXPECT_EQ(again.cboBitRate->currentText(), "128 ");
  again.btnOK->click();
  options.ComposeOutput(output);
  EXPECT_EQ(output.AudioChannels, 1);
  EXPECT_EQ(output.AudioBitrate, 128000);
  // "自动" in each list: nothing forced.
  again.cboChannels->setCurrentIndex(0);
  again.cboSampleRate->setCurrentIndex(0);
  again.cboBitRate->setCurrentIndex(0);
  again.btnOK->click();
  options.ComposeOutput(output);
  EXPECT_EQ(output.AudioChannels, -1);
  EXPECT_EQ(output.AudioSampleRate, -1);
  EXPECT_EQ(output.AudioBitrate, -1);
  TFrm_set third(&options);
  EXPECT_EQ(third.cboBitRate->currentText(), "自动");
}

TEST(SettingsDialog, WorksBeforeAnyFileWasAdded) {
  TfrmMain window(nullptr, QDir::tempPath() + "/quellon-unused.ini");
  TFrm_set settings(window.OptionForm());
  settings.cboChannels->setCurrentText("立体声");
  settings.btnOK->click();
  EXPECT_EQ(window.OptionForm()->grpAudioChannels->ItemText(), "Stereo");
}

TEST(MusicPage, TagEncodingAndCueChoicesAreShownReadAndRemembered) {
  QTabWidget pages;
  TMusicPage page(&pages);
  EXPECT_EQ(ItemsOf(page.cboTagEncoding),
            QStringList({"自动", "GBK", "Big5", "Shift-JIS", "EUC-KR", "Latin-1"}));
  EXPECT_EQ(page.Read().TagEncoding, teAuto);
  EXPECT_TRUE(page.Read().UseCue);
  EXPECT_FALSE(page.Read().GapsAtStart);
  TMusicSettings music;
  music.TagEncoding = teBig5;
  music.GapsAtStart = true;
  page.Show(music);
  EXPECT_EQ(page.cboTagEncoding->currentText(), "Big5");
  EXPECT_EQ(page.Read().TagEncoding, teBig5);
  testing_support::TTempDir dir;
  QSettings ini(QString::fromStdString(dir.File("Config.ini")), QSettings::IniFormat);
  WriteMusicConfig(ini, "FormConfig", page.Read());
  EXPECT_EQ(ini.value("FormConfig/music_tag_encoding").toString(), "big5");
  TMusicSettings back;
  ReadMusicConfig(ini, "FormConfig", back);
  EXPECT_EQ(back.TagEncoding, teBig5);
  EXPECT_TRUE(back.GapsAtStart);
  ini.setValue("FormConfig/music_tag_encoding", "utf-7");
  ReadMusicConfig(ini, "FormConfig", back);
  EXPECT_EQ(back.TagEncoding, teAuto);
  // The name pattern: remembered; one that no longer parses names as the source.
  music.NamePattern = "{albumartist}/{album}/{track:02} - {title}";
  page.Show(music);
  WriteMusicConfig(ini, "FormConfig", page.Read());
  ReadMusicConfig(ini, "FormConfig", back);
  EXPECT_EQ(back.NamePattern, music.NamePattern);
  ini.setValue("FormConfig/music_name_pattern", "{title");
  ReadMusicConfig(ini, "FormConfig", back);
  EXPECT_EQ(back.NamePattern, "");
}

TEST(QualityPage, ChoicesAreShownReadAndRemembered) {
  QTabWidget pages;
  TQualityPage page(&pages);
  EXPECT_EQ(pages.tabText(pages.indexOf(&page)), "音质");
  EXPECT_EQ(page.Read().Text(), "");  // every format at its default
  TQualityChoices choices;
  choices.ByFormat = {{"MP3", "V2"}, {"FLAC", "level8"}, {"OPUS", "72k:cvbr"}};
  page.Show(choices);
  EXPECT_EQ(page.Lists.at("MP3")->currentText(), "V2");
  EXPECT_EQ(page.Lists.at("OPUS")->currentText(), "72k:cvbr");  // typed, not listed
  EXPECT_EQ(page.Lists.at("VORBIS")->currentText(), "默认");
  EXPECT_EQ(page.Read().Text(), "FLAC=level8,MP3=V2,OPUS=72k:cvbr");
  testing_support::TTempDir dir;
  QSettings ini(QString::fromStdString(dir.File("Config.ini")), QSettings::IniFormat);
  WriteQualityConfig(ini, "FormConfig", page.Read());
  EXPECT_EQ(ini.value("FormConfig/quality_MP3").toString(), "V2");
  ini.setValue("FormConfig/quality_VORBIS", "q 5");  // not a quality: the default
  TQualityChoices back;
  ReadQualityConfig(ini, "FormConfig", back);
  EXPECT_EQ(back.Text(), "FLAC=level8,MP3=V2,OPUS=72k:cvbr");
}

TEST(MusicPage, FormatsWrittenAlongAreTickedRememberedAndLeaveOutTheChosenOne) {
  QTabWidget pages;
  TMusicPage page(&pages);
  EXPECT_TRUE(page.Read().AlsoFormats.empty());
  for (QCheckBox* box : page.chkAlsoFormats)
    box->setChecked(box->text() == "OPUS" || box->text() == "MP3");
  testing_support::TTempDir dir;
  QSettings ini(QString::fromStdString(dir.File("Config.ini")), QSettings::IniFormat);
  WriteMusicConfig(ini, "FormConfig", page.Read());
  TMusicSettings back;
  ReadMusicConfig(ini, "FormConfig", back);
  EXPECT_EQ(back.AlsoFormats, std::vector<std::string>({"MP3", "OPUS"}));
  // The format chosen in the window is written once, as the first.
  EXPECT_EQ(FurtherFormats(back, "mp3"), std::vector<std::string>({"OPUS"}));
}

TEST(AboutBox, ShowsTheProductAndOpensItsLinks) {
  TFrm_About about;
  EXPECT_EQ(about.windowTitle(), "关于我们");
  EXPECT_EQ(about.lblProduct->text(), "Quellon  V1.20(Build 20090409)");
  EXPECT_TRUE(about.lblProduct->font().bold());
  EXPECT_EQ(about.btnOK->text(), "确定(&0)");
  TUrlCapture mail("mailto"), web("https");
  emit about.lblMail->linkActivated(TFrm_About::MAIL_URL);
  emit about.lblWeb->linkActivated(TFrm_About::WEB_URL);
  ASSERT_EQ(mail.Urls.size(), 1);
  EXPECT_EQ(mail.Urls[0].scheme(), "mailto");
  ASSERT_EQ(web.Urls.size(), 1);
  EXPECT_EQ(web.Urls[0].toString(), TFrm_About::WEB_URL);
  about.show();
  about.btnOK->click();
  EXPECT_FALSE(about.isVisible());
}

TEST(Help, OpensTheHelpFileBesideTheExecutable) {
  TfrmMain window(nullptr, QDir::tempPath() + "/quellon-unused.ini");
  TUrlCapture files("file");
  window.mnuHelpFile->trigger();
  ASSERT_EQ(files.Urls.size(), 1);
  const QString path = files.Urls[0].toLocalFile();
  EXPECT_EQ(QFileInfo(path).fileName(), "Help.html");
  EXPECT_TRUE(QFileInfo::exists(path));
  EXPECT_EQ(QFileInfo(path).absolutePath() + "/", ExeDir());
}

class TThrower : public QObject {
 public:
  explicit TThrower(std::function<void()> fn) : Fn(std::move(fn)) {}
  bool event(QEvent* e) override {
    if (e->type() == QEvent::User) Fn();
    return QObject::event(e);
  }
  std::function<void()> Fn;
};

TEST(ExceptionHandler, ShowsTheMessageWithAFullStopAndTheRightIcon) {
  EXPECT_EQ(ExceptionText("Invalid value"), "Invalid value.");
  EXPECT_EQ(ExceptionText("Done."), "Done.");
  EXPECT_EQ(ExceptionText("Really!"), "Really!");  // '!' sorts before '.'
  EXPECT_EQ(ExceptionText(""), "");

  TMessageCapture boxes;
  TThrower engine([] { throw FFmpegException("Unknown output format: xyz"); });
  TThrower other([] { throw std::runtime_error("disk full"); });
  QCoreApplication::postEvent(&engine, new QEvent(QEvent::User));
  QCoreApplication::postEvent(&other, new QEvent(QEvent::User));
  ASSERT_TRUE(WaitFor([&] { return boxes.Boxes.size() == 2; }, 5000));
  EXPECT_EQ(boxes.Boxes[0].Icon, QMessageBox::Warning);
  EXPECT_EQ(boxes.Boxes[0].Title, "Quellon V1.20");
  EXPECT_EQ(boxes.Boxes[0].Text, "Unknown output format: xyz.");
  EXPECT_EQ(boxes.Boxes[1].Icon, QMessageBox::Critical);
  EXPECT_EQ(boxes.Boxes[1].Text, "disk full.");
}

TEST(CdRomRule, OpticalOrReadOnlyFileSystemsCount) {
  EXPECT_TRUE(IsCdRomFileSystem(0x9660, 0));      // iso9660
  EXPECT_TRUE(IsCdRomFileSystem(0x15013346, 0));  // udf
  EXPECT_TRUE(IsCdRomFileSystem(0xEF53, 1));      // ext4 mounted read-only
  EXPECT_FALSE(IsCdRomFileSystem(0xEF53, 0));
  EXPECT_FALSE(IsCdRomFolder(QDir::tempPath()));
  EXPECT_FALSE(IsCdRomFolder(QDir::tempPath() + "/not/made/yet"));  // judged by its parent
}

TEST(MainThreadAdapter, RunsWorkOnTheGuiThread) {
  TQtMainThread adapter;
  EXPECT_TRUE(adapter.IsMainThread());
  QThread* gui = QThread::currentThread();
  int direct = 0;
  adapter.InvokeAndWait([&] { ++direct; });
  EXPECT_EQ(direct, 1);  // at once on the GUI thread

  std::atomic<int> posted{0}, waited{0};
  std::atomic<bool> onGui{true}, workerSawResult{false};
  std::thread worker([&] {
    onGui = onGui && !adapter.IsMainThread();
    adapter.Post(30, [&] {
      onGui = onGui && QThread::currentThread() == gui;
      ++posted;
    });
    adapter.InvokeAndWait([&] {
      onGui = onGui && QThread::currentThread() == gui;
      ++waited;
    });
    workerSawResult = waited == 1;  // returned only after the work ran
  });
  ASSERT_TRUE(WaitFor([&] { return posted == 1 && workerSawResult; }, 10000));
  worker.join();
  EXPECT_TRUE(onGui);
}

}  // namespace
