// The window's language: the choice of the setting and the system's locale,
// every text of the windows translated in English and unchanged in Chinese,
// and the reasons of the rows in the window's language.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSettings>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>

#include "AppTestSupport.h"
#include "Language.h"
#include "MainFrm.h"
#include "OpenFileFilter.h"
#include "ReasonText.h"
#include "SkippedFiles.h"
#include "U_About.h"
#include "U_set.h"
#include "WindowTest.h"

using namespace app_test;

namespace {

// Installs a language for the life of a test; Chinese again after it.
class TLanguageScope {
 public:
  explicit TLanguageScope(TLanguage language) { EXPECT_TRUE(InstallLanguage(language)); }
  ~TLanguageScope() { InstallLanguage(laChinese); }
};

bool HasCjk(const QString& text) {
  for (const QChar c : text) {
    const ushort u = c.unicode();
    if ((u >= 0x2E80 && u <= 0x9FFF) || (u >= 0xF900 && u <= 0xFAFF) ||
        (u >= 0xFF00 && u <= 0xFFEF))
      return true;
  }
  return false;
}

// Every text a user can see on a window and its children: captions, items,
// tooltips, titles, placeholders, header captions, menus and their actions.
// Each as "where: text".
QStringList VisibleTexts(QWidget* root) {
  QStringList texts;
  auto add = [&texts](const QObject* owner, const QString& what, const QString& text) {
    if (!text.isEmpty())
      texts << QString("%1 %2 %3: %4")
                   .arg(owner->metaObject()->className(), owner->objectName(), what, text);
  };
  QList<QWidget*> widgets = root->findChildren<QWidget*>();
  widgets.prepend(root);
  for (QWidget* w : widgets) {
    add(w, "title", w->windowTitle());
    add(w, "tooltip", w->toolTip());
    add(w, "status tip", w->statusTip());
    add(w, "what's this", w->whatsThis());
    if (auto* b = qobject_cast<QAbstractButton*>(w)) add(b, "text", b->text());
    if (auto* l = qobject_cast<QLabel*>(w)) add(l, "text", l->text());
    if (auto* g = qobject_cast<QGroupBox*>(w)) add(g, "caption", g->title());
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
      add(e, "text", e->text());
      add(e, "placeholder", e->placeholderText());
    }
    if (auto* c = qobject_cast<QComboBox*>(w))
      for (int i = 0; i < c->count(); ++i) add(c, "item", c->itemText(i));
    if (auto* s = qobject_cast<QSpinBox*>(w)) add(s, "suffix", s->prefix() + s->suffix());
    if (auto* s = qobject_cast<QDoubleSpinBox*>(w)) add(s, "suffix", s->prefix() + s->suffix());
    if (auto* t = qobject_cast<QTabWidget*>(w))
      for (int i = 0; i < t->count(); ++i) {
        add(t, "tab", t->tabText(i));
        add(t, "tab tooltip", t->tabToolTip(i));
      }
    if (auto* tree = qobject_cast<QTreeWidget*>(w)) {
      QTreeWidgetItem* header = tree->headerItem();
      for (int i = 0; i < tree->columnCount(); ++i) {
        add(tree, "header", header->text(i));
        add(tree, "header tooltip", header->toolTip(i));
      }
      for (int r = 0; r < tree->topLevelItemCount(); ++r)
        for (int i = 0; i < tree->columnCount(); ++i) {
          add(tree, "cell", tree->topLevelItem(r)->text(i));
          add(tree, "cell tooltip", tree->topLevelItem(r)->toolTip(i));
        }
    }
    if (auto* m = qobject_cast<QMenu*>(w)) add(m, "menu", m->title());
    for (QAction* a : w->actions()) {
      add(a, "action", a->text());
      add(a, "action tooltip", a->toolTip());
      if (a->menu()) add(a->menu(), "menu", a->menu()->title());
    }
  }
  return texts;
}

// ---- Which language ----------------------------------------------------------------------

TEST(Language, ChoiceAndSystemLocaleDecide) {
  struct TCase {
    TLanguageChoice Choice;
    QStringList UiLanguages;  // as QLocale::system().uiLanguages() lists them
    TLanguage Expected;
  };
  const TCase cases[] = {
      {lcSystem, {"zh-CN", "zh-Hans-CN", "zh"}, laChinese},
      {lcSystem, {"zh-TW"}, laChinese},
      {lcSystem, {"zh_HK"}, laChinese},
      {lcSystem, {"en-US", "en"}, laEnglish},
      {lcSystem, {"de-DE", "de"}, laEnglish},     // neither: English
      {lcSystem, {"fr-FR", "zh-CN"}, laChinese},  // the first one there is a text for
      {lcSystem, {"de-DE", "en-GB", "zh-CN"}, laEnglish},
      {lcSystem, {"C"}, laEnglish},
      {lcSystem, {}, laEnglish},
      {lcChinese, {"en-US"}, laChinese},  // the setting goes before the locale
      {lcChinese, {}, laChinese},
      {lcEnglish, {"zh-CN"}, laEnglish},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.UiLanguages.join(',').toStdString() + " choice " + std::to_string(c.Choice));
    EXPECT_EQ(ResolveLanguage(c.Choice, c.UiLanguages), c.Expected);
  }
}

TEST(Language, SettingValuesReadBackAndUnknownFollowsTheSystem) {
  for (TLanguageChoice choice : {lcSystem, lcChinese, lcEnglish})
    EXPECT_EQ(ParseLanguageChoice(LanguageChoiceName(choice)), choice);
  EXPECT_EQ(LanguageChoiceName(lcChinese), "zh");
  EXPECT_EQ(LanguageChoiceName(lcEnglish), "en");
  EXPECT_EQ(ParseLanguageChoice(" EN "), lcEnglish);
  EXPECT_EQ(ParseLanguageChoice(""), lcSystem);
  EXPECT_EQ(ParseLanguageChoice("klingon"), lcSystem);
}

TEST(Language, ChosenInTheSettingsKeptInTheFileAndReadBeforeTheWindow) {
  testing_support::TTempDir dir;
  const QString config = Q(dir.File("Config.ini"));
  {
    // A section written by hand in another case is the same section.
    QSettings file(config, QSettings::IniFormat);
    file.setValue("formconfig/language", "zh");
  }
  EXPECT_EQ(ReadLanguageChoice(config), lcChinese);
  EXPECT_EQ(StartupLanguage(config), laChinese);
  {
    TfrmMain window(nullptr, config);
    window.show();
    bool seen = false;
    QTimer::singleShot(0, [&] {
      auto* settings = qobject_cast<TFrm_set*>(QApplication::activeModalWidget());
      if (!settings) return;
      seen = true;
      EXPECT_EQ(settings->cboLanguage->currentIndex(), lcChinese);
      EXPECT_EQ(settings->cboLanguage->itemText(lcSystem), "跟随系统");
      settings->cboLanguage->setCurrentIndex(lcEnglish);
      settings->btnOK->click();
      settings->btnCancel->click();
    });
    window.btnSettings->click();
    EXPECT_TRUE(seen);
    window.close();
  }
  EXPECT_EQ(ReadLanguageChoice(config), lcEnglish);
  EXPECT_EQ(StartupLanguage(config), laEnglish);
  EXPECT_EQ(ReadLanguageChoice(Q(dir.File("none.ini"))), lcSystem);
}

// ---- Every text translated ----------------------------------------------------------------

class WindowLanguage : public ::testing::Test {
 protected:
  // The texts of the windows a user meets, built under the language
  // installed: the main window with a file listed (and its status line),
  // the options dialog it holds, the settings dialog with all its pages, the
  // about box, and the open-file filter.
  QStringList AllTexts() {
    const QString config = Q(Dir.File("Config.ini"));
    TfrmMain window(nullptr, config);
    window.show();
    const std::string wav = Sine("app_lang.wav", 0.5);
    EXPECT_TRUE(AddAndWait(window, {Q(wav)}));
    QStringList texts = VisibleTexts(&window);  // the options dialog too, once made
    texts << "status line: " + window.StatusText();
    // A folder whose one file is skipped: the status line's link and the
    // list of skipped files it opens.
    const std::string folder = Dir.File("skipping");
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/empty.wav").flush();
    {
      TMessageCapture nothingToConvert;  // its text is walked too
      EXPECT_TRUE(AddAndWait(window, {Q(folder)}));
      for (const auto& box : nothingToConvert.Boxes) texts << "message: " + box.Text;
    }
    texts << "status line: " + window.StatusText();
    emit window.lblStatus->linkActivated("skipped");
    EXPECT_NE(window.SkippedWindow(), nullptr);
    if (window.SkippedWindow()) texts << VisibleTexts(window.SkippedWindow());
    TFrm_set settings(window.OptionForm(), &window);
    texts << VisibleTexts(&settings);
    TFrm_About about(&window);
    texts << VisibleTexts(&about);
    texts << "open-file filter: " + OpenFileFilter();
    return texts;
  }
  testing_support::TTempDir Dir;
};

TEST_F(WindowLanguage, EnglishWindowsShowNoChineseText) {
  TLanguageScope english(laEnglish);
  const QStringList texts = AllTexts();
  EXPECT_GT(texts.size(), 100);
  int checked = 0;
  for (const QString& text : texts) {
    // The language list names Chinese in Chinese.
    if (text.startsWith("QComboBox") && text.endsWith(": 中文")) continue;
    ++checked;
    EXPECT_FALSE(HasCjk(text)) << text.toStdString();
  }
  EXPECT_GT(checked, 100);
  // A few captions as a user reads them.
  for (const char* expected :
       {"QToolButton  text: Add", "QTabWidget  tab: Conversion", "QComboBox  item: Follow system",
        "QTreeWidget  header: File name", "QMenu  menu: Action",
        "status line: 1 file added; 1 file in the list",
        "TfrmSkipped  title: Skipped files (1)"})
    EXPECT_TRUE(texts.contains(expected)) << expected;
}

TEST_F(WindowLanguage, ChineseWindowsKeepTheirCaptions) {
  const QStringList texts = AllTexts();
  for (const char* expected :
       {"QToolButton  text: 添加", "QPushButton  text: 参数设置", "QTabWidget  tab: 参数信息",
        "QTabWidget  tab: 音乐", "QComboBox  item: 自动", "QTreeWidget  header: 文件名称",
        "QTreeWidget  header: 进程", "QMenu  menu: 动作", "TFrm_set  title: 参数设置",
        "TFrm_About  title: 关于我们", "status line: 已添加 1 个文件；列表中共 1 个文件"})
    EXPECT_TRUE(texts.contains(expected)) << expected;
}

// ---- Reasons ----------------------------------------------------------------------------

TEST(ReasonText, EveryCodeHasAChineseAndAnEnglishText) {
  for (int i = 0; i < REASON_CODE_COUNT; ++i) {
    const auto code = static_cast<TReasonCode>(i);
    SCOPED_TRACE(ReasonCodeName(code));
    const QString chinese = ReasonCodeText(code);
    QString english;
    {
      TLanguageScope scope(laEnglish);
      english = ReasonCodeText(code);
    }
    EXPECT_TRUE(HasCjk(chinese)) << chinese.toStdString();
    EXPECT_FALSE(english.isEmpty());
    EXPECT_FALSE(HasCjk(english)) << english.toStdString();
    EXPECT_NE(english, chinese);
  }
}

TEST(ReasonText, DamageIsToldWithItsFiguresInEitherLanguage) {
  struct TCase {
    TSourceDamage Damage;
    const char* Chinese;
    const char* English;
  };
  auto damage = [](int64_t readAt, int64_t lost, int64_t lossAt, int64_t packets, int64_t end,
                   int64_t stated) {
    TSourceDamage d;
    d.ReadErrorAt = readAt;
    d.Lost = lost;
    d.FirstLoss = lossAt;
    d.SkippedPackets = packets;
    d.SourceEnd = end;
    d.StatedLength = stated;
    return d;
  };
  const TCase cases[] = {
      {damage(-1, 0, -1, 3, -1, -1), "跳过 3 个损坏的数据包", "3 damaged packets skipped"},
      {damage(-1, 0, -1, 1, -1, -1), "跳过 1 个损坏的数据包", "1 damaged packet skipped"},
      {damage(-1, 1500000, 12400000, 0, -1, -1), "在 0:12 处丢失 1.5 秒", "1.5 s lost at 0:12"},
      {damage(-1, 40000, 0, 0, -1, -1), "在 0:00 处丢失 0.04 秒", "0.04 s lost at 0:00"},
      {damage(83900000, 0, -1, 0, -1, -1), "在 1:23 处读取出错，已转换到该处",
       "read error at 1:23: converted up to there"},
      {damage(-1, 0, -1, 0, 119600000, 3600000000LL),
       "源文件在 2:00 处结束（标明的长度为 1:00:00）",
       "the source ends at 2:00 of the 1:00:00 it states"},
      {damage(5000000, 0, -1, 2, 10000000, 20000000),
       "在 0:05 处读取出错，已转换到该处；跳过 2 个损坏的数据包；源文件在 0:10 "
       "处结束（标明的长度为 0:20）",
       "read error at 0:05: converted up to there; 2 damaged packets skipped; the source ends at "
       "0:10 of the 0:20 it states"},
      {damage(-1, 0, -1, 0, -1, -1), "", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.English);
    EXPECT_EQ(DamageText(c.Damage), QString::fromUtf8(c.Chinese));
    TLanguageScope english(laEnglish);
    EXPECT_EQ(DamageText(c.Damage), QString::fromUtf8(c.English));
  }
}

TEST(ReasonText, TheEnglishDetailFollowsWhereItAddsSomething) {
  TBatchFile file;
  file.Outcome = foFailed;
  file.Code = rcCueSheet;
  file.Reason = "album.cue line 7: FILE names a missing file";
  EXPECT_EQ(FileReasonText(file), "CUE 文件无法使用\nalbum.cue line 7: FILE names a missing file");
  file.Code = rcSourceMissing;
  file.Reason = "no such file: /music/a.wav";
  EXPECT_EQ(FileReasonText(file), "找不到源文件");
  file.Code = rcNone;  // a failure without a code of its own
  file.Reason = "something odd";
  EXPECT_EQ(FileReasonText(file), "转换时发生内部错误\nsomething odd");
  file.Outcome = foComplete;
  EXPECT_EQ(FileReasonText(file), "");
  file.Outcome = foPartial;  // a damage without figures: the code's text
  file.Code = rcSourceDamaged;
  EXPECT_EQ(FileReasonText(file), "源文件已损坏，已转换可读取的部分");
}

class RowReasons : public TWindowTest, public ::testing::WithParamInterface<TLanguage> {};

// A source that vanished after it was added, and one damaged: the rows tell
// why in the window's language; the log keeps the engine's English.
TEST_P(RowReasons, MissingAndDamagedSourcesAreToldInTheWindowsLanguage) {
  TLanguageScope language(GetParam());
  const std::string gone = CopyTo(Sine("app_a.wav", 0.5), Dir.Path(), "gone.wav");
  const std::string flac =
      testing_support::Fixture("app_tone3s.flac", "-f lavfi -i sine=duration=3 -ac 2 -c:a flac");
  QFile whole(Q(flac));
  ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
  const QByteArray bytes = whole.readAll();
  QFile cut(Q(Dir.File("cut.flac")));
  ASSERT_TRUE(cut.open(QIODevice::WriteOnly));
  cut.write(bytes.left(bytes.size() * 2 / 3));
  cut.close();
  ASSERT_TRUE(AddAndWait(*Window, {Q(gone), cut.fileName()}));
  std::filesystem::remove(gone);
  Window->Convert();
  ASSERT_TRUE(WaitFor([this] { return !Window->Converting() && !Window->Checking(); }));
  const bool chinese = GetParam() == laChinese;
  EXPECT_EQ(Row(0)->text(fcProgress), chinese ? "失败" : "Failed");
  EXPECT_EQ(Row(0)->toolTip(fcProgress), chinese ? "找不到源文件" : "Source file not found");
  EXPECT_EQ(Row(1)->toolTip(fcProgress),
            chinese ? "源文件不完整：源文件在 0:02 处结束（标明的长度为 0:03）"
                    : "Source file incomplete: the source ends at 0:02 of the 0:03 it states");
  bool logged = false;
  for (const QString& line : Window->LogLines())
    logged = logged || line.contains("source ends at 0:02 of 0:03");
  EXPECT_TRUE(logged);
}

INSTANTIATE_TEST_SUITE_P(Both, RowReasons, ::testing::Values(laChinese, laEnglish),
                         [](const ::testing::TestParamInfo<TLanguage>& language) {
                           return language.param == laChinese ? "Chinese" : "English";
                         });

}  // namespace
