// The main window's additions around its controls: the status line, the
// keys, how the controls follow a resized window, the output folder field,
// and the dialogs of the add and folder commands.
#include <QAction>
#include <QFileDialog>
#include <QHeaderView>
#include <QKeySequence>
#include <QMenuBar>
#include <QSettings>
#include <QStatusBar>
#include <QStyle>

#include "AnchorLayout.h"
#include "AppSupport.h"
#include "MainFrm.h"
#include "OpenFileFilter.h"

namespace {

constexpr int CLIENT_WIDTH = 615;
constexpr int CLIENT_HEIGHT = 319;
// Controls placed below this line of the client area belong to its bottom
// part and keep their distance from the bottom edge.
constexpr int BOTTOM_PART = 250;

}  // namespace

void TfrmMain::BuildStatusLine() {
  QStatusBar* bar = statusBar();
  lblStatus = new QLabel(bar);
  lblStatus->setTextFormat(Qt::RichText);
  lblStatus->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  connect(lblStatus, &QLabel::linkActivated, this, [this](const QString& link) {
    if (link == "skipped")
      ShowSkippedFiles();
    else
      SelectFailedRows();
  });
  prgBatch = new QProgressBar(bar);
  prgBatch->setRange(0, 100);
  prgBatch->setFixedWidth(110);
  prgBatch->setMaximumHeight(16);
  btnPauseBatch = new QToolButton(bar);
  btnPauseBatch->setText(tr("暂停"));
  btnStopBatch = new QToolButton(bar);
  btnStopBatch->setText(tr("停止"));
  btnStopBatch->setToolTip(tr("停止转换（Esc）：正在转换的文件被删除，其余的文件留在列表中"));
  connect(btnPauseBatch, &QToolButton::clicked, this,
          [this] { Paused() ? ResumeBatch() : PauseBatch(); });
  connect(btnStopBatch, &QToolButton::clicked, this, [this] { StopBatch(); });
  bar->addWidget(lblStatus, 1);
  bar->addPermanentWidget(prgBatch);
  bar->addPermanentWidget(btnPauseBatch);
  bar->addPermanentWidget(btnStopBatch);
  StatusTimer = new QTimer(this);
  StatusTimer->setInterval(500);
  connect(StatusTimer, &QTimer::timeout, this, [this] { UpdateStatus(); });
  UpdateActions();
  UpdateStatus();
}

void TfrmMain::BuildShortcuts() {
  mnuAddFile->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  mnuAddFolder->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
  mnuRemove->setShortcut(QKeySequence(Qt::Key_Delete));
  mnuClear->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Delete));
  mnuExit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  // Enter starts converting, as the window's main button.
  mnuConvert->setShortcuts({QKeySequence(Qt::Key_F5), QKeySequence(Qt::Key_Return),
                            QKeySequence(Qt::Key_Enter)});
  mnuPause->setShortcut(QKeySequence(Qt::Key_F6));
  mnuResume->setShortcut(QKeySequence(Qt::Key_F7));
  mnuStop->setShortcut(QKeySequence(Qt::Key_Escape));
  mnuHelpFile->setShortcut(QKeySequence(Qt::Key_F1));
  // Keys of the list without a menu entry.
  actSelectAll = new QAction(this);
  actSelectAll->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
  connect(actSelectAll, &QAction::triggered, this, [this] {
    lvFiles->selectAll();
    lvFiles->setFocus();
  });
  addAction(actSelectAll);
  auto* up = new QAction(this);
  up->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Up));
  connect(up, &QAction::triggered, this, [this] { MoveUp(); });
  auto* down = new QAction(this);
  down->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Down));
  connect(down, &QAction::triggered, this, [this] { MoveDown(); });
  addActions({up, down});
  btnStart->setToolTip(tr("开始转换（F5 或 Enter）"));
  btnUp->setToolTip("Ctrl+↑");
  btnDown->setToolTip("Ctrl+↓");
  // The names in the list follow the format as soon as it is picked.
  for (int i = 0; i < RadioGroup1->Count(); ++i)
    connect(RadioGroup1->Button(i), &QRadioButton::toggled, this, [this](bool on) {
      if (on) RefreshOutputNames();
    });
}

void TfrmMain::AnchorControls() {
  QWidget* client = centralWidget();
  Anchors = new TAnchorLayout(client, QSize(CLIENT_WIDTH, CLIENT_HEIGHT));
  for (QObject* child : client->children()) {
    auto* control = qobject_cast<QWidget*>(child);
    if (!control || control->isHidden()) continue;
    int anchors = akLeft | akTop;
    if (control == lvFiles)
      anchors = akLeft | akTop | akRight | akBottom;  // the list takes the room
    else if (control == DSTrackBar1 || control == Edit1)
      anchors = akLeft | akRight | akBottom;
    else if (control == btnBrowse || control == btnOpen || control == btnStart)
      anchors = akRight | akBottom;
    else if (control->geometry().top() >= BOTTOM_PART)
      anchors = akLeft | akBottom;
    Anchors->Anchor(control, anchors);
  }
}

void TfrmMain::BuildColumns() {
  QHeaderView* header = lvFiles->header();
  // The user sets the other columns' widths; the name column takes the
  // width they leave, so a larger window shows longer names.
  header->setSectionResizeMode(QHeaderView::Interactive);
  header->setSectionResizeMode(fcName, QHeaderView::Stretch);
  header->setStretchLastSection(false);
  header->setSectionsMovable(false);
  // The folder column stands beside the name when the user shows it.
  header->moveSection(header->visualIndex(fcFolder), fcName + 1);
  header->hideSection(fcFolder);
  header->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(header, &QHeaderView::customContextMenuRequested, this, [this](const QPoint& at) {
    QMenu* menu = ColumnMenu();
    menu->exec(lvFiles->header()->mapToGlobal(at));
    delete menu;
  });
}

QMenu* TfrmMain::ColumnMenu() {
  QHeaderView* header = lvFiles->header();
  auto* menu = new QMenu(this);
  for (int visual = 0; visual < header->count(); ++visual) {
    const int column = header->logicalIndex(visual);
    QAction* item = menu->addAction(lvFiles->headerItem()->text(column));
    item->setCheckable(true);
    item->setChecked(!header->isSectionHidden(column));
    item->setEnabled(column != fcName);  // a row without its name says nothing
    connect(item, &QAction::toggled, this, [header, column](bool shown) {
      header->setSectionHidden(column, !shown);
    });
  }
  return menu;
}

void TfrmMain::ReadLayoutConfig(QSettings& settings, const QString& section) {
  const QByteArray columns = settings.value(section + "/columns").toByteArray();
  QHeaderView* header = lvFiles->header();
  if (!columns.isEmpty() && header->restoreState(columns)) {
    // What the file says of the name column gives way to its stretching.
    header->setSectionHidden(fcName, false);
    header->setSectionResizeMode(fcName, QHeaderView::Stretch);
  }
  const QByteArray geometry = settings.value(section + "/geometry").toByteArray();
  if (!geometry.isEmpty()) restoreGeometry(geometry);
}

void TfrmMain::WriteLayoutConfig(QSettings& settings, const QString& section) {
  // A window never shown has no place of its own to remember.
  if (!Shown) return;
  settings.setValue(section + "/geometry", saveGeometry());
  settings.setValue(section + "/columns", lvFiles->header()->saveState());
}

void TfrmMain::BuildOutputPathField() {
  Edit1->setPlaceholderText(tr("（空）保存在源文件所在的文件夹"));
  // Back to "beside each source" once a folder was chosen.
  QAction* sameAsSource =
      Edit1->addAction(style()->standardIcon(QStyle::SP_LineEditClearButton),
                       QLineEdit::TrailingPosition);
  sameAsSource->setToolTip(tr("不用输出文件夹：保存在源文件所在的文件夹"));
  sameAsSource->setVisible(false);
  connect(sameAsSource, &QAction::triggered, this, [this] { SetOutputFolder(QString()); });
  connect(Edit1, &QLineEdit::textChanged, sameAsSource,
          [sameAsSource](const QString& text) { sameAsSource->setVisible(!text.isEmpty()); });
}

void TfrmMain::AddFilesDialog() {
  if (!LoadLibraries()) {
    Log(QString::fromStdString(Pelix->LastErrMsg()));
    return;
  }
  Pelix->SetLogLevel(static_cast<TLogLevel>(grpLogLevel->ItemIndex()));
  const QStringList files =
      QFileDialog::getOpenFileNames(this, QString(), QString(), OpenFileFilter());
  if (!files.isEmpty()) AddFiles(files);
}

void TfrmMain::AddFolderDialog() {
  const QString folder = QFileDialog::getExistingDirectory(this, tr("添加文件夹"), StartFolder());
  if (!folder.isEmpty()) AddFiles({folder});
}

void TfrmMain::ChooseOutputFolderDialog() {
  const QString folder =
      QFileDialog::getExistingDirectory(this, tr("选择输出文件夹"), StartFolder());
  if (!folder.isEmpty()) SetOutputFolder(folder);
}
