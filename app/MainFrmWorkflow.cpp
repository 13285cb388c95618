// The commands of the main window: add, remove, clear, move, output folder,
// help, settings, about, playback preview and exit.
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTimer>

#include <algorithm>

#include "AVProbe.h"
#include "AppSupport.h"
#include "FFmpegLoader.h"
#include "Language.h"
#include "MainFrm.h"
#include "NamePattern.h"
#include "OptionFrm.h"
#include "PlaybackPreview.h"
#include "U_About.h"
#include "U_set.h"

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

bool TfrmMain::LoadLibraries() {
  return Pelix->LoadAVLib(DefaultLibraryDir());
}

int TfrmMain::SelectedRow() const {
  QTreeWidgetItem* current = lvFiles->currentItem();
  if (current && current->isSelected()) return lvFiles->indexOfTopLevelItem(current);
  const std::vector<int> rows = SelectedRows();
  return rows.empty() ? -1 : rows.front();
}

std::vector<int> TfrmMain::SelectedRows() const {
  std::vector<int> rows;
  for (QTreeWidgetItem* item : lvFiles->selectedItems()) rows.push_back(lvFiles->indexOfTopLevelItem(item));
  std::sort(rows.begin(), rows.end());
  return rows;
}

void TfrmMain::ApplyWindowChoices() {
  TfrmOption* option = OptionForm();
  // An empty output folder means beside each source.
  option->edtOutPath->setText(Edit1->text().isEmpty() ? QString(SAME_AS_INPUT) : Edit1->text());
  option->SelectFormat(ChosenFormat());
}

// ---- Add ------------------------------------------------------------------------------------

void TfrmMain::AddFiles(const QStringList& files) {
  if (!LoadLibraries()) {
    const QString reason = Q(Pelix->LastErrMsg());
    Log(reason);
    // Without the media libraries nothing can be added: say so, not only in the log.
    ShowMessage(this, QMessageBox::Critical, APP_TITLE,
                tr("无法载入媒体库，不能添加文件。\n%1").arg(reason));
    return;
  }
  Pelix->SetLogLevel(static_cast<TLogLevel>(grpLogLevel->ItemIndex()));
  if (files.isEmpty()) return;
  if (!Checker->Busy(ckAdd)) {
    AddedCount = SkippedCount = 0;
    SkippedFrom = FBatch->Skipped().size();
  }
  SetBusy(true);
  Checker->Check(files, ckAdd);
  UpdateStatus();
}

bool TfrmMain::Checking() const { return Busy; }

void TfrmMain::SetBusy(bool busy) {
  if (busy == Busy) return;
  Busy = busy;
  if (busy)
    QGuiApplication::setOverrideCursor(Qt::BusyCursor);
  else
    QGuiApplication::restoreOverrideCursor();
}

void TfrmMain::ScheduleTake() {
  // Rows come in batches, one a period at most: a batch is one insertion
  // and one repaint, however many rows it holds. A closed window takes none.
  if (ShutDown || AddTimer->isActive()) return;
  const qint64 since = LastTake.isValid() ? LastTake.elapsed() : ADD_BATCH_MS;
  AddTimer->start(static_cast<int>(std::clamp<qint64>(ADD_BATCH_MS - since, 0, ADD_BATCH_MS)));
}

void TfrmMain::TakeCheckedFiles() {
  LastTake.start();
  // A slice of the GUI thread's time; the rest waits for the next batch.
  QElapsedTimer slice;
  slice.start();
  // The batch decides what of a folder it lists by the format chosen.
  FillChoices();
  QList<QTreeWidgetItem*> rows;
  bool added = false;
  while (slice.elapsed() < ADD_SLICE_MS) {
    std::vector<TCheckedFile> files = Checker->TakeResults(32);
    if (files.empty()) break;
    for (const TCheckedFile& file : files) {
      if (file.FolderEnd) {
        // Its rows show before what is said of the folder.
        InsertRows(rows);
        FolderChecked(file);
      } else {
        added = AddChecked(file, rows) || added;
      }
    }
  }
  InsertRows(rows);
  if (added) {
    LogBlock("***File has been added to convert list.");
    SetEditButtons(!FBatch->Running());
    if (FBatch->Running()) {
      btnClear->setEnabled(true);
      mnuClear->setEnabled(true);
    }
  }
  if (added && lvFiles->topLevelItemCount() > 0 && !lvFiles->currentItem())
    lvFiles->setCurrentItem(lvFiles->topLevelItem(0));
  UpdateStatus();
  if (Checker->HasResults()) {
    // The slice is used up: the rest in the next batch.
    ScheduleTake();
    return;
  }
  if (Checker->Busy()) return;  // the next result comes with Ready
  SetBusy(false);
  RefreshOutputNames();
  if (!LastAdded.isEmpty()) {
    ShowStillPicture(LastAdded);
    LastAdded.clear();
  }
  if (ContinueRun) {
    // The run ended while files were being added: the files added go on
    // with it; when none is left to convert, the run's end shows now.
    ContinueRun = ConvertPending = false;
    const std::vector<TBatchFile>& files = FBatch->Files();
    if (std::any_of(files.begin(), files.end(),
                    [](const TBatchFile& f) { return !f.InRun && f.Outcome == foNone; }))
      StartRun(false);
    else
      FinishBatch();
  } else if (ConvertPending && !FBatch->Running()) {
    ConvertPending = false;
    Convert();
  }
  ConvertPending = false;
  UpdateStatus();
}

void TfrmMain::InsertRows(QList<QTreeWidgetItem*>& rows) {
  if (rows.isEmpty()) return;
  lvFiles->setUpdatesEnabled(false);
  lvFiles->addTopLevelItems(rows);
  lvFiles->setUpdatesEnabled(true);
  rows.clear();
}

bool TfrmMain::AddChecked(const TCheckedFile& file, QList<QTreeWidgetItem*>& rows) {
  const TProbedSource& probed = file.Probed;
  if (file.Unreadable) {
    FBatch->AddSkipped(probed.Path, probed.Code, probed.Error);
    return false;
  }
  // A file added while a run goes on joins it (the batch sees to that).
  // A cue sheet or a disc image stands for its tracks: every file the batch
  // listed gets its row (a sheet that cannot be used fails, and its image
  // follows whole).
  const size_t before = FBatch->Files().size();
  FBatch->AddProbed(probed, file.Folder, file.RelativeFolder);
  const std::vector<TBatchFile>& files = FBatch->Files();
  if (files.size() <= before) return false;  // skipped, or listed already: the batch told why
  bool added = false;
  for (size_t i = before; i < files.size(); ++i) {
    const TBatchFile& listed = files[i];
    ++AddedCount;
    if (!file.Folder.empty()) ++FolderCounts[file.Folder].first;
    rows.append(MakeRow(listed));
    ShowFile(listed);
    if (listed.Outcome == foFailed)
      LogBlock("***File load error: " + QString::fromStdString(listed.Reason));
    else
      added = true;
  }
  if (added) LastAdded = QString::fromStdString(probed.Path);
  return added;
}

void TfrmMain::FolderChecked(const TCheckedFile& folder) {
  const QString path = QString::fromStdString(folder.Folder);
  const std::pair<int, int> counts = FolderCounts[folder.Folder];
  FolderCounts.erase(folder.Folder);
  if (!folder.Error.isEmpty()) {
    LogBlock("***Folder load error: " + folder.Error);
    ShowMessage(this, QMessageBox::Warning, APP_TITLE, tr("无法读取文件夹：%1").arg(folder.Error));
    return;
  }
  LogBlock(QString("***Folder added: %1 files, %2 skipped: %3")
               .arg(counts.first)
               .arg(counts.second)
               .arg(path));
  if (counts.first == 0)
    ShowMessage(
        this, QMessageBox::Information, APP_TITLE,
        tr("文件夹中没有可转换的文件：%1\n（跳过 %n 个无法转换的文件）", nullptr, counts.second)
            .arg(path));
}

void TfrmMain::ShowStillPicture(const QString& file) {
  TAVProbe* probe = Pelix1->AVProbe();
  Pelix1->SetLogLevel(llError);
  if (!probe->Open(file.toStdString())) return;
  FillPicture(imgStill, ColorFromBGR(PICTURE_FILL));
  if (probe->FirstVideoStreamIndex() >= 0) {
    probe->Seek(-1, 0);
    const QImage picture = BitmapToImage(probe->ReadVideoFrame());
    if (!picture.isNull()) ShowPicture(imgStill, picture);
  }
  probe->Close();
}

void TfrmMain::SetParallelJobs(int count) { FParallelJobs = std::max(1, count); }

// ---- Remove, clear, move --------------------------------------------------------------------

void TfrmMain::RemoveSelected() {
  const std::vector<int> rows = SelectedRows();
  if (rows.empty()) return;
  for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
    QTreeWidgetItem* item = lvFiles->topLevelItem(*row);
    const uint64_t id = IdOf(item);
    FBatch->Remove(id);  // a running file is stopped
    Rows.erase(id);
    delete item;
  }
  if (!FBatch->Running()) SetEditButtons(lvFiles->topLevelItemCount() > 0);
  // Names the removed rows held are free again.
  RefreshOutputNames();
  UpdateStatus();
}

void TfrmMain::DropPendingWork() {
  // Files being added, the names being worked out, and a conversion waiting
  // for the files or for a stop.
  Checker->Cancel();
  AddTimer->stop();
  StopNaming();
  ConvertPending = RestartPending = ContinueRun = false;
  SetBusy(false);
}

void TfrmMain::ClearList() {
  // Clearing ends the running files (their outputs removed): only when the
  // user says so.
  if (Converting() &&
      !AskChoice(this, APP_TITLE,
                 tr("正在转换。清空列表会停止转换，正在转换的文件不会保存。"),
                 tr("停止并清空"), tr("继续转换")))
    return;
  DropPendingWork();
  FBatch->Clear();  // running files are stopped and their outputs removed
  Rows.clear();
  lvFiles->clear();
  FolderCounts.clear();
  StatusTimer->stop();
  AddedCount = SkippedCount = 0;
  SkippedFrom = 0;
  SetEditButtons(false);
  UpdateActions();
  UpdateStatus();
}

void TfrmMain::SwapRows(int a, int b) {
  // The batch converts in the list's order: it moves with the rows.
  const int low = std::min(a, b);
  QTreeWidgetItem* item = lvFiles->takeTopLevelItem(std::max(a, b));
  lvFiles->insertTopLevelItem(low, item);
  FBatch->Move(IdOf(item), static_cast<size_t>(low));
  lvFiles->clearSelection();
  lvFiles->setCurrentItem(lvFiles->topLevelItem(b));
  // The order of names follows the rows.
  RefreshOutputNames();
}

void TfrmMain::MoveUp() {
  const int row = SelectedRow();
  if (row > 0) SwapRows(row, row - 1);
}

void TfrmMain::MoveDown() {
  const int row = SelectedRow();
  if (row >= 0 && row < lvFiles->topLevelItemCount() - 1) SwapRows(row, row + 1);
}

// ---- Folders, help, dialogs -------------------------------------------------------------------

void TfrmMain::SetOutputFolder(const QString& folder) {
  Edit1->setText(folder.isEmpty() || folder.endsWith('/') ? folder : folder + '/');
  Edit1->setToolTip(Edit1->text());
  RefreshOutputNames();
}

QString TfrmMain::StartFolder() const {
  if (!Edit1->text().isEmpty()) return Edit1->text();
  const int selected = SelectedRow();
  const TBatchFile* file = FileOfRow(selected >= 0 ? selected : 0);
  if (file) return QFileInfo(QString::fromStdString(file->Source)).absolutePath();
  return QDir::homePath();
}

void TfrmMain::OpenOutputFolder() {
  // Without an output folder the outputs go beside their sources: the
  // selected (or first) row's output folder, else its source's.
  if (!Edit1->text().isEmpty()) {
    ShellOpen(Edit1->text());
    return;
  }
  const int selected = SelectedRow();
  const int row = selected >= 0 ? selected : 0;
  const TBatchFile* file = FileOfRow(row);
  if (!file) return;
  const QString output = lvFiles->topLevelItem(row)->toolTip(fcOutputName);
  const QString folder = output.isEmpty() ? QString() : QFileInfo(output).absolutePath();
  ShellOpen(!folder.isEmpty() && QFileInfo(folder).isDir()
                ? folder
                : QFileInfo(QString::fromStdString(file->Source)).absolutePath());
}

// The help page in the window's language.
static QString HelpFile() {
  return ExeDir() + (CurrentLanguage() == laEnglish ? "Help_en.html" : "Help.html");
}

void TfrmMain::OpenHelp() {
  const QString help = HelpFile();
  if (!QFileInfo::exists(help)) {
    ShowMessage(this, QMessageBox::Warning, APP_TITLE,
                tr("找不到帮助文件：%1").arg(QDir::toNativeSeparators(help)));
    return;
  }
  // Without a browser the desktop opens nothing: the user learns where the
  // file is, to open it another way.
  if (!ShellOpen(help))
    ShowMessage(this, QMessageBox::Information, APP_TITLE,
                tr("没有能打开帮助文件的浏览器。帮助文件在：\n%1")
                    .arg(QDir::toNativeSeparators(help)));
}

void TfrmMain::ShowSettings() {
  TFrm_set settings(OptionForm(), this);
  settings.spnJobs->setValue(FParallelJobs);
  settings.chkSplit->setChecked(FSplitEncoding);
  settings.MusicPage->PreviewName = [this](const QString& pattern) {
    return PatternPreview(pattern);
  };
  settings.chkSync->setChecked(FSync);
  settings.chkDeleteOrphans->setChecked(FDeleteOrphans);
  settings.chkDeleteOrphans->setEnabled(FSync);
  settings.cboLanguage->setCurrentIndex(FLanguage);
  settings.MusicPage->Show(MusicSettings);
  settings.QualityPage->Show(QualityChoices);
  connect(settings.btnOK, &QPushButton::clicked, this, [this, &settings] {
    // A quality the format's encoder cannot take is told, and nothing taken.
    QString why;
    if (LoadLibraries() && !settings.QualityPage->Check(why)) {
      ShowMessage(&settings, QMessageBox::Warning, APP_TITLE,
                  tr("音质设置无法使用：\n%1").arg(why));
      return;
    }
    QualityChoices = settings.QualityPage->Read();
    SetParallelJobs(settings.spnJobs->value());
    FSplitEncoding = settings.chkSplit->isChecked();
    const std::string heldPattern = MusicSettings.NamePattern;
    FSync = settings.chkSync->isChecked();
    FDeleteOrphans = settings.chkDeleteOrphans->isChecked();
    // Kept in the settings file; the next start speaks it.
    FLanguage = static_cast<TLanguageChoice>(std::max(0, settings.cboLanguage->currentIndex()));
    MusicSettings = settings.MusicPage->Read();
    // A pattern that is refused is not taken: its reason stays on the page.
    TNamePattern pattern;
    std::string refused;
    if (!MusicSettings.NamePattern.empty() && !pattern.Parse(MusicSettings.NamePattern, refused))
      MusicSettings.NamePattern = heldPattern;
    Checker->SetTagEncoding(MusicSettings.TagEncoding);
    FBatch->Choices.UseCue = MusicSettings.UseCue;  // how the files added next are listed
    FBatch->Choices.GapsAtStart = MusicSettings.GapsAtStart;
    // The names shown follow what the choices make of them.
    RefreshOutputNames();
  });
  settings.exec();
}

void TfrmMain::ShowAbout() {
  TFrm_About about(this);
  about.exec();
}

// ---- Playback preview -------------------------------------------------------------------------

bool TfrmMain::LoadSelectedSource() {
  const TBatchFile* file = FileOfRow(SelectedRow());
  if (!file) return false;
  Graph->Activate();
  // The file already loaded stays where it is; another file starts anew.
  const QString source = QString::fromStdString(file->Source);
  if (Graph->FileName() != source) {
    Graph->Clear();
    Graph->RenderFile(source);
  }
  return true;
}

void TfrmMain::Play() {
  if (!LoadSelectedSource()) return;
  // It plays all the same (the position moves, pictures show), silently.
  if (!HasAudioOutputDevice())
    ShowMessage(this, QMessageBox::Warning, APP_TITLE,
                tr("没有找到声音输出设备，预览听不到声音。请接上或打开声音设备后再按 ▶。"));
  Graph->Run();
}

void TfrmMain::PausePlayback() {
  if (LoadSelectedSource()) Graph->Pause();
}

void TfrmMain::MarkCut(bool start) {
  const TBatchFile* file = FileOfRow(SelectedRow());
  if (!file || !Graph->Active()) return;
  const double position = static_cast<double>(Graph->PositionMs()) / 1000.0;
  // A start alone cuts to the end; an end alone cuts from the beginning.
  if (start)
    FBatch->SetClip(file->Id, position, file->ClipEnd);
  else
    FBatch->SetClip(file->Id, std::max(0.0, file->ClipStart), position);
}

void TfrmMain::SetCutStart() { MarkCut(true); }

void TfrmMain::SetCutEnd() { MarkCut(false); }

void TfrmMain::Exit() {
  // The close event stops the run, once the user has said so.
  close();
}
