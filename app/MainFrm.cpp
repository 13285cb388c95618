// The main window: controls, menus, settings file, component events, closing.
// The commands of the workflow are in MainFrmWorkflow.cpp.
#include "MainFrm.h"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenuBar>
#include <QMimeData>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyle>
#include <QThread>
#include <QDir>
#include <QFileDialog>
#include <algorithm>

#include "AnchorLayout.h"
#include "AppSupport.h"
#include "ConfigLocation.h"
#include "OptionFrm.h"
#include "PlaybackPreview.h"
#include "QtMainThread.h"

namespace {

const char* const CONFIG_SECTION = "FormConfig";
constexpr int CLIENT_WIDTH = 615;
constexpr int CLIENT_HEIGHT = 319;

struct TColumn {
  const char* Caption;
  int Width;
};
constexpr TColumn FILE_COLUMNS[FILE_COLUMN_COUNT] = {
    {QT_TRANSLATE_NOOP("TfrmMain", "文件名称"), 100},
    {QT_TRANSLATE_NOOP("TfrmMain", "时间"), 65},
    {QT_TRANSLATE_NOOP("TfrmMain", "大小"), 65},
    {QT_TRANSLATE_NOOP("TfrmMain", "输出名称"), 120},
    {QT_TRANSLATE_NOOP("TfrmMain", "进程"), 80},
    {QT_TRANSLATE_NOOP("TfrmMain", "转换时间"), 80},
    {QT_TRANSLATE_NOOP("TfrmMain", "输出大小"), 65},
    {QT_TRANSLATE_NOOP("TfrmMain", "文件夹"), 160}};

QPushButton* Button(const QString& text, QWidget* parent, int x, int y, int w, int h) {
  auto* button = new QPushButton(text, parent);
  button->setGeometry(x, y, w, h);
  return button;
}

}  // namespace

QString DefaultConfigFile() {
  return ConfigFileFor(ExeDir(), QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
}

// The settings file's section, whatever the case of its name ("formconfig").
QString ConfigSection(QSettings& settings) {
  for (const QString& group : settings.childGroups())
    if (group.compare(CONFIG_SECTION, Qt::CaseInsensitive) == 0) return group;
  return CONFIG_SECTION;
}

TfrmMain::TfrmMain(QWidget* parent, const QString& configFile)
    : QMainWindow(parent),
      MainThread(new TQtMainThread(this)),
      Pelix(std::make_unique<TREzuvuZUZ>(MainThread)),
      Pelix1(std::make_unique<TREzuvuZUZ>(MainThread)),
      FBatch(std::make_unique<TConversionBatch>(*Pelix)),
      Graph(new TPlaybackPreview(this)),
      FConfigFile(configFile.isEmpty() ? DefaultConfigFile() : configFile),
      Checker(new TFileChecker(this)),
      FParallelJobs(std::max(1, QThread::idealThreadCount())) {
  AddTimer = new QTimer(this);
  AddTimer->setSingleShot(true);
  connect(AddTimer, &QTimer::timeout, this, [this] { TakeCheckedFiles(); });
  connect(Checker, &TFileChecker::Ready, this, [this] { ScheduleTake(); });
  NamesTimer = new QTimer(this);
  NamesTimer->setSingleShot(true);
  connect(NamesTimer, &QTimer::timeout, this, [this] { NameSomeRows(); });
  setWindowTitle(APP_TITLE);
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
  QFont font("宋体");
  font.setPixelSize(12);
  setFont(font);
  setAcceptDrops(true);
  BuildControls();
  BuildMenus();
  BuildOutputPathField();
  BuildStatusLine();
  BuildShortcuts();
  AnchorControls();
  BuildColumns();
  WireBatch();
  Graph->BindSeekBar(DSTrackBar1);
  // A file the player cannot play is told, not passed over.
  connect(Graph, &TPlaybackPreview::Failed, this, [this](const QString& message) {
    ShowMessage(this, QMessageBox::Warning, APP_TITLE, tr("无法播放：%1").arg(message));
  });
  // The central widget is the client area; the menu bar comes on top of it and
  // the status line under it. The client area's design size is the default
  // and the least: smaller, controls would be cut off.
  centralWidget()->setMinimumSize(CLIENT_WIDTH, CLIENT_HEIGHT);
  resize(CLIENT_WIDTH, CLIENT_HEIGHT + menuBar()->sizeHint().height() +
                           statusBar()->sizeHint().height());

  memLog->appendPlainText(
      "* Load VerNum DLL means \"avcodec-51.dll\" rather than \"avcodec.dll\"\n"
      "* Thread Mode means creating new threads to do converting jobs, it dose not using the "
      "main thread so you can Stop/Pause/Resume converting without block.\n"
      "  * Thread Count means the quantity of converting jobs in the same time.\n"
      "* Log Level means the log messages level\n"
      "* Thread Priority only works in Thread Mode\n");
}

TfrmMain::~TfrmMain() {
  SetBusy(false);
  ShutDown = true;
  // The batch and the components go first: their workers are joined while
  // the window still exists.
  FBatch.reset();
  Pelix.reset();
  Pelix1.reset();
}

// ---- Controls ---------------------------------------------------------------------------

void TfrmMain::BuildControls() {
  auto* client = new QWidget(this);
  client->resize(CLIENT_WIDTH, CLIENT_HEIGHT);
  setCentralWidget(client);

  auto* formatLabel = new QLabel(tr("输出格式："), client);
  formatLabel->setGeometry(8, 12, 68, 20);
  RadioGroup1 = new TRadioGroup("", {"WAV", "MP3", "MP2", "AAC", "WMA", "OGG"}, 8, client);
  RadioGroup1->setGeometry(76, 2, 531, 38);
  RadioGroup1->SetItemIndex(0);
  // OGG and VORBIS are both Ogg files: what each holds tells them apart.
  RadioGroup1->Button(5)->setToolTip(tr("无损：Ogg 封装的 FLAC（文件较大）"));
  BuildMoreFormatsControl(client);

  btnAdd = new QToolButton(client);
  btnAdd->setText(tr("添加"));
  btnAdd->setPopupMode(QToolButton::MenuButtonPopup);
  btnAdd->setGeometry(8, 44, 72, 26);
  btnRemove = Button(tr("删除"), client, 84, 44, 72, 26);
  btnClear = Button(tr("清空"), client, 160, 44, 72, 26);
  btnUp = Button(tr("上移"), client, 236, 44, 72, 26);
  btnDown = Button(tr("下移"), client, 312, 44, 72, 26);
  btnSettings = Button(tr("参数设置"), client, 388, 44, 80, 26);

  lvFiles = new QTreeWidget(client);
  lvFiles->setGeometry(8, 76, 599, 176);
  lvFiles->setColumnCount(FILE_COLUMN_COUNT);
  QStringList captions;
  for (const TColumn& column : FILE_COLUMNS) captions << tr(column.Caption);
  lvFiles->setHeaderLabels(captions);
  // The widths fit the Chinese texts; a translation longer than its source
  // widens its column by the difference (a caption, and a damaged file's mark
  // in the progress column).
  const auto longer = [](const QFontMetrics& metrics, const QString& source,
                         const QString& translated) {
    return std::max(0, metrics.horizontalAdvance(translated) - metrics.horizontalAdvance(source));
  };
  const char* const damaged = QT_TR_NOOP("%1% (损坏)");
  for (int i = 0; i < FILE_COLUMN_COUNT; ++i) {
    int width =
        FILE_COLUMNS[i].Width + longer(lvFiles->header()->fontMetrics(),
                                       QString::fromUtf8(FILE_COLUMNS[i].Caption), captions[i]);
    if (i == fcProgress)
      width = std::max(width, FILE_COLUMNS[i].Width + longer(lvFiles->fontMetrics(),
                                                             QString::fromUtf8(damaged).arg(100),
                                                             tr(damaged).arg(100)));
    lvFiles->setColumnWidth(i, width);
  }
  lvFiles->header()->setStretchLastSection(false);
  lvFiles->setRootIsDecorated(false);
  lvFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lvFiles->setAllColumnsShowFocus(true);

  btnPlay = new QToolButton(client);
  btnPlay->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
  btnPlay->setGeometry(8, 258, 28, 24);
  btnPause = new QToolButton(client);
  btnPause->setIcon(style()->standardIcon(QStyle::SP_MediaPause));
  btnPause->setGeometry(38, 258, 28, 24);
  DSTrackBar1 = new QSlider(Qt::Horizontal, client);
  DSTrackBar1->setGeometry(70, 256, 442, 28);
  DSTrackBar1->setTickPosition(QSlider::TicksAbove);
  DSTrackBar1->setRange(0, 0);

  auto* pathLabel = new QLabel(tr("输出路径："), client);
  pathLabel->setGeometry(8, 293, 68, 20);
  Edit1 = new QLineEdit(client);
  Edit1->setReadOnly(true);
  Edit1->setGeometry(76, 290, 288, 24);
  btnBrowse = Button(tr("浏览路径"), client, 370, 289, 70, 26);
  btnOpen = Button(tr("打开"), client, 444, 289, 68, 26);

  btnStart = new QToolButton(client);
  btnStart->setText(tr("转换"));
  btnStart->setIcon(style()->standardIcon(QStyle::SP_MediaSeekForward));
  btnStart->setIconSize(QSize(28, 28));
  btnStart->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  btnStart->setGeometry(520, 258, 87, 58);

  // Controls that exist but are not shown; the workflow reads their values.
  chkThreadMode = new QCheckBox(tr("是否启用线程模式"), client);
  chkThreadMode->setChecked(true);
  edtThreadCount = new QLineEdit("1", client);
  grpLogLevel = new TRadioGroup("Log Level", {"None", "Error", "Info", "Debug", "All"}, 1, client);
  grpLogLevel->SetItemIndex(2);
  grpPriority = new TRadioGroup("Thread Priority", {"Idle", "Lowest", "Lower", "Normal"}, 1, client);
  grpPriority->SetItemIndex(2);
  chkLoadVerNum = new QCheckBox("Load VerNum DLL", client);
  chkLoadVerNum->setChecked(true);
  memLog = new QPlainTextEdit(client);
  memLog->setReadOnly(true);
  btnSetStart = new QPushButton(tr("设置开始"), client);
  btnSetEnd = new QPushButton(tr("设置结束"), client);
  pnlPreview = new QWidget(client);
  pnlPreview->setGeometry(0, 0, 176, 170);
  imgStill = new QLabel(pnlPreview);
  imgStill->setGeometry(0, 0, 176, 144);
  trcStill = new QSlider(Qt::Horizontal, pnlPreview);
  trcStill->setGeometry(0, 146, 176, 24);
  for (QWidget* hidden : std::initializer_list<QWidget*>{
           chkThreadMode, edtThreadCount, grpLogLevel, grpPriority, chkLoadVerNum, memLog,
           btnSetStart, btnSetEnd, pnlPreview})
    hidden->hide();

  connect(btnAdd, &QToolButton::clicked, this, [this] { AddFilesDialog(); });
  connect(btnRemove, &QPushButton::clicked, this, [this] { RemoveSelected(); });
  connect(btnClear, &QPushButton::clicked, this, [this] { ClearList(); });
  connect(btnUp, &QPushButton::clicked, this, [this] { MoveUp(); });
  connect(btnDown, &QPushButton::clicked, this, [this] { MoveDown(); });
  connect(btnSettings, &QPushButton::clicked, this, [this] { ShowSettings(); });
  connect(btnStart, &QToolButton::clicked, this, [this] { Convert(); });
  connect(btnBrowse, &QPushButton::clicked, this, [this] { ChooseOutputFolderDialog(); });
  connect(btnOpen, &QPushButton::clicked, this, [this] { OpenOutputFolder(); });
  connect(btnPlay, &QToolButton::clicked, this, [this] { Play(); });
  connect(btnPause, &QToolButton::clicked, this, [this] { PausePlayback(); });
  connect(btnSetStart, &QPushButton::clicked, this, [this] { SetCutStart(); });
  connect(btnSetEnd, &QPushButton::clicked, this, [this] { SetCutEnd(); });
  connect(chkLoadVerNum, &QCheckBox::clicked, this, [this] {
    // Unbinding the libraries under tasks that hold library objects would
    // leave them dangling: only an empty list lets them go.
    if (!FBatch->Running() && Pelix->TaskCount() == 0) Pelix->UnloadAVLib();
  });
}

void TfrmMain::BuildMenus() {
  QMenu* file = menuBar()->addMenu(tr("文件"));
  mnuAddFile = file->addAction(tr("添加文件"), this, [this] { AddFilesDialog(); });
  mnuAddFolder = file->addAction(tr("添加文件夹"), this, [this] { AddFolderDialog(); });
  mnuRemove = file->addAction(tr("删除"), this, [this] { RemoveSelected(); });
  mnuClear = file->addAction(tr("清空"), this, [this] { ClearList(); });
  file->addSeparator();
  mnuExit = file->addAction(tr("退出"), this, [this] { Exit(); });
  // "动作" drives the batch from the menu bar and the keyboard.
  mnuAction = menuBar()->addMenu(tr("动作"));
  mnuConvert = mnuAction->addAction(tr("转换"), this, [this] { Convert(); });
  mnuPause = mnuAction->addAction(tr("暂停"), this, [this] { PauseBatch(); });
  mnuResume = mnuAction->addAction(tr("继续"), this, [this] { ResumeBatch(); });
  mnuStop = mnuAction->addAction(tr("停止"), this, [this] { StopBatch(); });
  QMenu* help = menuBar()->addMenu(tr("帮助"));
  mnuAbout = help->addAction(tr("关于我们"), this, [this] { ShowAbout(); });
  mnuHelpFile = help->addAction(tr("帮助文件"), this, [this] { OpenHelp(); });
  // The add button offers the same two ways.
  auto* addMenu = new QMenu(btnAdd);
  addMenu->addAction(mnuAddFile);
  addMenu->addAction(mnuAddFolder);
  btnAdd->setMenu(addMenu);
  SetEditButtons(false);
}

void TfrmMain::SetEditButtons(bool enabled) {
  btnRemove->setEnabled(enabled);
  btnClear->setEnabled(enabled);
  mnuRemove->setEnabled(enabled);
  mnuClear->setEnabled(enabled);
}

void TfrmMain::Log(const QString& line) { memLog->appendPlainText(line); }

void TfrmMain::LogBlock(const QString& line) {
  Log("");
  Log(line);
  Log("");
}

QStringList TfrmMain::LogLines() const { return memLog->toPlainText().split('\n'); }

TfrmOption* TfrmMain::OptionForm() {
  if (!frmOption) frmOption = new TfrmOption(this);
  return frmOption;
}

// ---- Showing, closing, settings file, drops --------------------------------------------------

void TfrmMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (Shown) return;
  Shown = true;
  // Centred at first; the place and size the window had when it was last
  // closed, when the settings file holds them (ReadConfig).
  if (const QScreen* screen = this->screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  ReadConfig();
  FillPicture(imgStill, Qt::black);
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  // Closing ends the running files (their outputs removed): only when the
  // user says so.
  if (!ShutDown && Converting() &&
      !AskChoice(this, APP_TITLE,
                 tr("正在转换。关闭窗口会停止转换，正在转换的文件不会保存。"),
                 tr("停止并关闭"), tr("继续转换"))) {
    event->ignore();
    return;
  }
  // The running files end (their outputs removed); no summary follows.
  ShutDown = true;
  DropPendingWork();
  FBatch->Stop();
  Graph->Clear();
  WriteConfig();
  event->accept();
}

void TfrmMain::ReadConfig() {
  QSettings settings(FConfigFile, QSettings::IniFormat);
  const QString section = ConfigSection(settings);
  Edit1->setText(settings.value(section + "/dir", QString()).toString());
  bool ok = false;
  const int jobs = settings.value(section + "/jobs").toInt(&ok);
  if (ok && jobs > 0) SetParallelJobs(jobs);
  FSplitEncoding = settings.value(section + "/split", true).toBool();
  FSync = settings.value(section + "/sync", false).toBool();
  FDeleteOrphans = settings.value(section + "/delete_orphans", false).toBool();
  FLanguage = ParseLanguageChoice(settings.value(section + "/language").toString());
  ReadChoices(settings, section);
  ReadMusicConfig(settings, section, MusicSettings);
  ReadQualityConfig(settings, section, QualityChoices);
  ReadLayoutConfig(settings, section);
  Checker->SetTagEncoding(MusicSettings.TagEncoding);
  FBatch->Choices.UseCue = MusicSettings.UseCue;  // how the files added next are listed
  FBatch->Choices.GapsAtStart = MusicSettings.GapsAtStart;
  RefreshOutputNames();
}

void TfrmMain::ReadChoices(QSettings& settings, const QString& section) {
  const QString format = settings.value(section + "/format").toString();
  for (int i = 0; i < RadioGroup1->Count(); ++i)
    if (RadioGroup1->Button(i)->text().compare(format, Qt::CaseInsensitive) == 0)
      RadioGroup1->SetItemIndex(i);
  // One of the further formats beside the six buttons.
  const int more = format.isEmpty() ? -1 : cboMoreFormats->findText(format, Qt::MatchFixedString);
  if (more > 0) {
    cboMoreFormats->setCurrentIndex(more);
    RadioGroup1->SetItemIndex(-1);
  }
  // The settings dialog's choices, as its "确定" applied them.
  if (!settings.contains(section + "/channels")) return;
  const QString bitRate = settings.value(section + "/bitrate").toString();
  OptionForm()->ApplyAudioSettings(settings.value(section + "/channels").toInt(),
                                   settings.value(section + "/samplerate").toInt(), bitRate,
                                   !bitRate.isEmpty());
}

void TfrmMain::WriteChoices(QSettings& settings, const QString& section) {
  settings.setValue(section + "/format", ChosenFormat());
  if (!frmOption) return;  // nothing was chosen: what the file holds stays
  settings.setValue(section + "/channels", std::max(0, frmOption->grpAudioChannels->ItemIndex()));
  settings.setValue(section + "/samplerate",
                    std::max(0, frmOption->grpAudioSampleRate->ItemIndex()));
  settings.setValue(section + "/bitrate", frmOption->chkAudioBitRate->isChecked()
                                              ? frmOption->edtAudioBitRate->text()
                                              : QString());
}

void TfrmMain::WriteConfig() {
  QSettings settings(FConfigFile, QSettings::IniFormat);
  const QString section = ConfigSection(settings);
  settings.setValue(section + "/dir", Edit1->text());
  settings.setValue(section + "/jobs", FParallelJobs);
  settings.setValue(section + "/split", FSplitEncoding);
  settings.setValue(section + "/sync", FSync);
  settings.setValue(section + "/delete_orphans", FDeleteOrphans);
  settings.setValue(section + "/language", LanguageChoiceName(FLanguage));
  WriteChoices(settings, section);
  WriteMusicConfig(settings, section, MusicSettings);
  WriteQualityConfig(settings, section, QualityChoices);
  WriteLayoutConfig(settings, section);
  settings.sync();
}

void TfrmMain::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TfrmMain::dropEvent(QDropEvent* event) {
  QStringList files;
  // Whatever is dropped is checked: what cannot be converted gets a row that
  // says why; a folder adds the files with sound under it.
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) files << url.toLocalFile();
  if (files.isEmpty()) return;
  event->acceptProposedAction();
  AddFiles(files);
}
