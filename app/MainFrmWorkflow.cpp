// The commands of the main window: add, create task, convert, remove, clear,
// move, output folder, help, settings, about, playback preview and exit.
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTimer>

#include <algorithm>

#include "AVProbe.h"
#include "AppSupport.h"
#include "FFmpegLoader.h"
#include "MainFrm.h"
#include "OptionFrm.h"
#include "PlaybackPreview.h"
#include "U_About.h"
#include "U_set.h"

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

// "hh:mm:ss" of milliseconds.
QString ClockText(qint64 ms) {
  const qint64 s = ms / 1000;
  return QString::asprintf("%.2lld:%.2lld:%.2lld", s / 3600, (s / 60) % 60, s % 60);
}

// "%d.%.3d": seconds with three decimals, of milliseconds.
QString SecondsText(qint64 ms) { return QString::asprintf("%lld.%.3lld", ms / 1000, ms % 1000); }

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

std::vector<std::string> TfrmMain::ReservedOutputNames() const {
  std::vector<std::string> names;
  for (const TOutputFile& output : OutputFiles)
    if (!output.Path.isEmpty()) names.push_back(output.Path.toStdString());
  return names;
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
    ShowMessage(this, QMessageBox::Critical, APP_TITLE, reason);
    return;
  }
  Pelix->SetLogLevel(static_cast<TLogLevel>(grpLogLevel->ItemIndex()));
  if (files.isEmpty()) return;
  if (!Checker->Busy(ckAdd)) AddedCount = SkippedCount = 0;
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

void TfrmMain::TakeCheckedFiles() {
  // A slice of the GUI thread's time; the rest waits for the next turn.
  QElapsedTimer slice;
  slice.start();
  // The rows' output names are the ones Convert will use: same folder, same format.
  ApplyWindowChoices();
  bool added = false;
  while (slice.elapsed() < 40) {
    std::vector<TCheckedFile> files = Checker->TakeResults(1);
    if (files.empty()) break;
    const TCheckedFile& file = files.front();
    if (file.Tag != ckAdd) {
      ConvertChecked(file);
    } else if (file.FolderEnd) {
      FolderChecked(file);
    } else {
      AddChecked(file);
      added = true;
    }
  }
  if (added && lvFiles->topLevelItemCount() > 0 && !lvFiles->currentItem())
    lvFiles->setCurrentItem(lvFiles->topLevelItem(0));
  UpdateStatus();
  if (Checker->HasResults()) {
    // The slice is used up: the rest after the events that wait.
    QTimer::singleShot(0, this, [this] { TakeCheckedFiles(); });
    return;
  }
  if (Checker->Busy()) return;  // the next result comes with Ready
  SetBusy(false);
  // A batch whose last rows failed, or that ended while rows were still made.
  FinishBatch();
  if (!LastAdded.isEmpty()) {
    ShowStillPicture(LastAdded);
    LastAdded.clear();
  }
  if (ConvertPending) {
    ConvertPending = false;
    Convert();
  }
  UpdateStatus();
}

void TfrmMain::AddChecked(const TCheckedFile& file) {
  SourceFiles << file.Path;
  CutStarts << "0";
  CutStartTexts << "0";
  CutEnds << "0";
  CutEndTexts << "0";
  ++AddedCount;
  if (!file.Error.isEmpty()) {
    LogBlock("***File load error: " + file.Error);
    AddFailedRow(file.Path, file.Error);
    return;
  }
  QString reason;
  if (!CreateTaskFor(file, 0, 0, &reason)) {
    AddFailedRow(file.Path, reason);
    return;
  }
  const int row = lvFiles->topLevelItemCount() - 1;
  RowInfos[static_cast<size_t>(row)].RelativeFolder = Q(file.Facts.RelativeFolder);
  // A file added while a batch runs joins it.
  if (Running) {
    SetRowState(row, rsWaiting);
    StartConverting();
  }
  LastAdded = file.Path;
}

void TfrmMain::FolderChecked(const TCheckedFile& folder) {
  SkippedCount += folder.Skipped;
  if (!folder.Error.isEmpty()) {
    LogBlock("***Folder load error: " + folder.Error);
    ShowMessage(this, QMessageBox::Warning, APP_TITLE, "无法读取文件夹：" + folder.Error);
    return;
  }
  LogBlock(QString("***Folder added: %1 files, %2 skipped: %3")
               .arg(folder.Found)
               .arg(folder.Skipped)
               .arg(folder.Path));
  if (folder.Found == 0)
    ShowMessage(this, QMessageBox::Information, APP_TITLE,
                QString("文件夹中没有可转换的文件：%1\n（跳过 %2 个无法转换的文件）")
                    .arg(folder.Path)
                    .arg(folder.Skipped));
}

bool TfrmMain::CreateTaskFor(const TCheckedFile& file, double cutStart, double cutEnd,
                             QString* error, int row) {
  TfrmOption* option = OptionForm();
  option->LoadSource(file.Facts, file.InfoText);
  if (cutStart != 0 || cutEnd != 0) {
    // The cut marks: positions of the dialog's time bar for the row's seconds.
    option->chkCutClip->setEnabled(true);
    option->chkCutClip->setChecked(true);
    option->trcPreview->setValue(TimeBarPositionAt(option->State().Clip.Bar, cutStart));
    option->btnSetStart->click();
    option->trcPreview->setValue(TimeBarPositionAt(option->State().Clip.Bar, cutEnd));
    option->btnSetEnd->click();
  }
  option->SetReservedNames(Running ? ConvertReserved : ReservedOutputNames());
  TOutputOptions output;
  TInputOptions input;
  option->ComposeOutput(output);
  option->ComposeInput(input);
  ApplyMusicSettings(MusicSettings, file.Path, SourceFiles, output);
  if (!CreateTask(input, output, file, error, row)) return false;
  if (Running) ConvertReserved.push_back(output.FileName);
  return true;
}

bool TfrmMain::CreateTask(TInputOptions& input, TOutputOptions& output, const TCheckedFile& file,
                          QString* error, int row) {
  const int index = Pelix->AddTask(input.FileName, &input);
  if (index < 0) {
    const QString reason = Q(Pelix->LastErrMsg());
    if (error) *error = reason;
    LogBlock("***File open error: " + reason);
    return false;
  }
  if (!Pelix->SetOutputFile(index, output.FileName, &output)) {
    const QString reason = Q(Pelix->LastErrMsg());
    if (error) *error = reason;
    // The newest task: no other task's index changes, so no event is lost.
    if (index == Pelix->TaskCount() - 1)
      Pelix->RemoveTask(index);
    else
      ChangeTaskList([this, index] { Pelix->RemoveTask(index); });
    LogBlock("***Cannot do convert, error: " + reason);
    return false;
  }
  const QString target = Q(output.FileName);
  if (row < 0) {
    AppendRow(Q(input.FileName), target, index);
    row = lvFiles->topLevelItemCount() - 1;
  } else {
    TaskIndexes[static_cast<size_t>(row)] = index;
    SetRowOutput(row, target);
  }
  QTreeWidgetItem* item = lvFiles->topLevelItem(row);
  item->setText(fcDuration, DurationText(file.Duration > 0 ? file.Duration / 1000 : 0));
  item->setText(fcSize, SizeText(std::max<int64_t>(file.Size, 0)));
  TRowInfo& info = RowInfos[static_cast<size_t>(row)];
  info.Facts = file.Facts;
  info.Opened = true;
  // A cut converts its clip; otherwise the whole source.
  info.ExpectedMs = output.RecordingTime > 0 ? output.RecordingTime
                                             : (file.Duration > 0 ? file.Duration / 1000 : 0);
  LogBlock("***File has been added to convert list.");
  SetEditButtons(!Running);
  return true;
}

QTreeWidgetItem* TfrmMain::AppendRow(const QString& source, const QString& target, int task) {
  auto* item = new QTreeWidgetItem();
  item->setText(fcName, QFileInfo(source).fileName());
  // Names longer than the column show whole, with their folder, on hovering.
  item->setToolTip(fcName, source);
  lvFiles->addTopLevelItem(item);
  OutputFolders << QString();
  OutputFiles.push_back({QString(), false});
  TaskIndexes.push_back(task);
  RowInfos.emplace_back();
  SetRowOutput(lvFiles->topLevelItemCount() - 1, target);
  return item;
}

void TfrmMain::SetRowOutput(int row, const QString& target) {
  OutputFiles[static_cast<size_t>(row)].Path = target;
  OutputFolders[row] = target.isEmpty() ? QString() : QFileInfo(target).absolutePath();
  QTreeWidgetItem* item = lvFiles->topLevelItem(row);
  item->setText(fcOutputName, target.isEmpty() ? QString() : QFileInfo(target).fileName());
  item->setToolTip(fcOutputName, target);
}

void TfrmMain::AddFailedRow(const QString& source, const QString& reason) {
  AppendRow(source, QString(), -1);
  MarkRowFailed(lvFiles->topLevelItemCount() - 1, reason);
}

void TfrmMain::MarkRowFailed(int row, const QString& reason) {
  QTreeWidgetItem* item = lvFiles->topLevelItem(row);
  item->setText(fcProgress, "失败");
  item->setToolTip(fcProgress, reason);
  item->setText(fcOutputSize, QString());  // a failed task leaves no output behind
  item->setForeground(fcProgress, QBrush());
  SetRowState(row, rsFailed);
}

void TfrmMain::SetRowState(int row, TRowState state) {
  TRowInfo& info = RowInfos[static_cast<size_t>(row)];
  info.State = state;
  // A row that ended has nothing more to convert.
  if (state == rsComplete || state == rsPartial || state == rsFailed) info.DoneMs = info.ExpectedMs;
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

void TfrmMain::RemoveRowData(int row) {
  SourceFiles.removeAt(row);
  CutStarts.removeAt(row);
  CutEnds.removeAt(row);
  CutStartTexts.removeAt(row);
  CutEndTexts.removeAt(row);
  OutputFolders.removeAt(row);
  OutputFiles.erase(OutputFiles.begin() + row);
  TaskIndexes.erase(TaskIndexes.begin() + row);
  RowInfos.erase(RowInfos.begin() + row);
  delete lvFiles->takeTopLevelItem(row);
}

void TfrmMain::DropTask(int row) {
  const int task = TaskIndexes[static_cast<size_t>(row)];
  if (task < 0) return;
  ChangeTaskList([this, task] { Pelix->RemoveTask(task); });
  TaskIndexes[static_cast<size_t>(row)] = -1;
  for (int& other : TaskIndexes)  // the component renumbers the tasks after it
    if (other > task) --other;
}

void TfrmMain::RemoveSelected() {
  const std::vector<int> rows = SelectedRows();
  // While rows are being made, the lists and the rows do not line up yet.
  if (rows.empty() || Checking()) return;
  for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
    DropTask(*row);
    RemoveRowData(*row);
  }
  SetEditButtons(lvFiles->topLevelItemCount() > 0);
  // Names the removed rows held are free again.
  RefreshOutputNames();
  UpdateStatus();
}

void TfrmMain::ClearList() {
  ClearTasksAndRows();  // a check under way is dropped too
  SourceFiles.clear();
  CutStarts.clear();
  CutEnds.clear();
  CutStartTexts.clear();
  CutEndTexts.clear();
  AddedCount = SkippedCount = 0;
  UpdateStatus();
}

void TfrmMain::SwapRows(int a, int b) {
  QTreeWidgetItem* first = lvFiles->topLevelItem(a);
  QTreeWidgetItem* second = lvFiles->topLevelItem(b);
  for (int column = 0; column < FILE_COLUMN_COUNT; ++column) {
    const QString text = first->text(column);
    const QString tip = first->toolTip(column);
    const QBrush brush = first->foreground(column);
    first->setText(column, second->text(column));
    first->setToolTip(column, second->toolTip(column));
    first->setForeground(column, second->foreground(column));
    second->setText(column, text);
    second->setToolTip(column, tip);
    second->setForeground(column, brush);
  }
  SourceFiles.swapItemsAt(a, b);
  CutStarts.swapItemsAt(a, b);
  CutEnds.swapItemsAt(a, b);
  CutStartTexts.swapItemsAt(a, b);
  CutEndTexts.swapItemsAt(a, b);
  OutputFolders.swapItemsAt(a, b);
  std::swap(OutputFiles[static_cast<size_t>(a)], OutputFiles[static_cast<size_t>(b)]);
  std::swap(TaskIndexes[static_cast<size_t>(a)], TaskIndexes[static_cast<size_t>(b)]);
  std::swap(RowInfos[static_cast<size_t>(a)], RowInfos[static_cast<size_t>(b)]);
  lvFiles->setCurrentItem(second);
  // The reserved order of names follows the rows.
  RefreshOutputNames();
}

void TfrmMain::MoveUp() {
  const int row = SelectedRow();
  if (row > 0 && !Checking()) SwapRows(row, row - 1);
}

void TfrmMain::MoveDown() {
  const int row = SelectedRow();
  if (row >= 0 && row < lvFiles->topLevelItemCount() - 1 && !Checking()) SwapRows(row, row + 1);
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
  const int row = selected >= 0 ? selected : (SourceFiles.isEmpty() ? -1 : 0);
  if (row >= 0) return QFileInfo(SourceFiles[row]).absolutePath();
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
  const int row = selected >= 0 ? selected : (SourceFiles.isEmpty() ? -1 : 0);
  if (row < 0) return;
  const QString folder = OutputFolders[row];
  ShellOpen(!folder.isEmpty() && QFileInfo(folder).isDir() ? folder
                                                            : QFileInfo(SourceFiles[row]).absolutePath());
}

void TfrmMain::OpenHelp() { ShellOpen(ExeDir() + "Help.html"); }

void TfrmMain::ShowSettings() {
  TFrm_set settings(OptionForm(), this);
  settings.spnJobs->setValue(FParallelJobs);
  settings.chkSplit->setChecked(FSplitEncoding);
  settings.MusicPage->Show(MusicSettings);
  connect(settings.btnOK, &QPushButton::clicked, this, [this, &settings] {
    SetParallelJobs(settings.spnJobs->value());
    FSplitEncoding = settings.chkSplit->isChecked();
    MusicSettings = settings.MusicPage->Read();
  });
  settings.exec();
}

void TfrmMain::ShowAbout() {
  TFrm_About about(this);
  about.exec();
}

// ---- Playback preview -------------------------------------------------------------------------

bool TfrmMain::LoadSelectedSource() {
  const int row = SelectedRow();
  if (row < 0) return false;
  Graph->Activate();
  // The file already loaded stays where it is; another file starts anew.
  if (Graph->FileName() != SourceFiles[row]) {
    Graph->Clear();
    Graph->RenderFile(SourceFiles[row]);
  }
  return true;
}

void TfrmMain::Play() {
  if (LoadSelectedSource()) Graph->Run();
}

void TfrmMain::PausePlayback() {
  if (LoadSelectedSource()) Graph->Pause();
}

void TfrmMain::MarkCut(QStringList& seconds, QStringList& clock) {
  const int row = SelectedRow();
  if (row < 0 || !Graph->Active()) return;
  const qint64 position = Graph->PositionMs();
  seconds[row] = SecondsText(position);
  clock[row] = ClockText(position);
}

void TfrmMain::SetCutStart() { MarkCut(CutStarts, CutStartTexts); }

void TfrmMain::SetCutEnd() { MarkCut(CutEnds, CutEndTexts); }

void TfrmMain::Exit() {
  Pelix->Stop();
  close();
}
