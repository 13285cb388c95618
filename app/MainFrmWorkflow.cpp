// The commands of the main window: add, create task, convert, remove, clear,
// move, output folder, help, settings, about, playback preview and exit.
#include <QFileInfo>
#include <QDir>

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
  const QList<QTreeWidgetItem*> selected = lvFiles->selectedItems();
  return selected.isEmpty() ? -1 : lvFiles->indexOfTopLevelItem(selected.first());
}

std::vector<std::string> TfrmMain::ReservedOutputNames() const {
  std::vector<std::string> names;
  for (const TOutputFile& output : OutputFiles)
    if (!output.Path.isEmpty()) names.push_back(output.Path.toStdString());
  return names;
}

void TfrmMain::ApplyWindowChoices() {
  TfrmOption* option = OptionForm();
  option->edtOutPath->setText(Edit1->text());
  option->SelectFormat(RadioGroup1->ItemText());
}

// ---- Add -------------------------------------------------------------------------------------

void TfrmMain::AddFiles(const QStringList& files) {
  if (!LoadLibraries()) {
    const QString reason = Q(Pelix->LastErrMsg());
    Log(reason);
    // Without the media libraries nothing can be added: say so, not only in the log.
    ShowMessage(this, QMessageBox::Critical, APP_TITLE, reason);
    return;
  }
  Pelix->SetLogLevel(static_cast<TLogLevel>(grpLogLevel->ItemIndex()));
  // The rows' output names are the ones Convert will use: same folder, same format.
  ApplyWindowChoices();
  for (const QString& file : files) AddOne(file);
  if (lvFiles->topLevelItemCount() > 0) lvFiles->setCurrentItem(lvFiles->topLevelItem(0));
}

void TfrmMain::AddOne(const QString& file) {
  TAVProbe* probe = Pelix->AVProbe();
  if (!probe->Open(file.toStdString())) {
    LogBlock("***File load error: " + Q(probe->LastError()));
    return;
  }
  Pelix1->SetLogLevel(llError);
  ShowStillPicture(file);
  TfrmOption* option = OptionForm();
  option->SetReservedNames(ReservedOutputNames());
  option->LoadSource(probe);
  TOutputOptions output;
  TInputOptions input;
  option->ComposeOutput(output);
  option->ComposeInput(input);
  if (CreateTask(input, output, nullptr)) {
    SourceFiles << file;
    CutStarts << "0";
    CutStartTexts << "0";
    CutEnds << "0";
    CutEndTexts << "0";
  }
  probe->Close();
}

bool TfrmMain::CreateTask(TInputOptions& input, TOutputOptions& output, QString* error) {
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
    ChangeTaskList([this, index] { Pelix->RemoveTask(index); });
    LogBlock("***Cannot do convert, error: " + reason);
    return false;
  }
  TAVProbe* probe = Pelix->AVProbe();
  const QString target = Q(output.FileName);
  QTreeWidgetItem* item = AppendRow(Q(input.FileName), target, index);
  const int64_t duration = probe->GetFileInfo().Duration;
  item->setText(fcDuration, QString::number(duration > 0 ? duration / 1000000 : 0));
  item->setText(fcSize, QString::number(std::max<int64_t>(probe->GetFileSize(), 0)));
  item->setText(fcOutputName, QFileInfo(target).fileName());
  LogBlock("***File has been added to convert list.");
  SetEditButtons(true);
  return true;
}

QTreeWidgetItem* TfrmMain::AppendRow(const QString& source, const QString& target, int task) {
  auto* item = new QTreeWidgetItem();
  item->setText(fcName, QFileInfo(source).fileName());
  lvFiles->addTopLevelItem(item);
  OutputFolders << (target.isEmpty() ? QString() : QFileInfo(target).absolutePath());
  OutputFiles.push_back({target, false});
  TaskIndexes.push_back(task);
  return item;
}

void TfrmMain::AddFailedRow(const QString& source, const QString& reason) {
  QTreeWidgetItem* item = AppendRow(source, QString(), -1);
  item->setText(fcProgress, "失败");
  item->setToolTip(fcProgress, reason);
}

void TfrmMain::ShowStillPicture(const QString& file) {
  TAVProbe* probe = Pelix1->AVProbe();
  if (!probe->Open(file.toStdString())) return;
  FillPicture(imgStill, ColorFromBGR(PICTURE_FILL));
  if (probe->FirstVideoStreamIndex() >= 0) {
    probe->Seek(-1, 0);
    const QImage picture = BitmapToImage(probe->ReadVideoFrame());
    if (!picture.isNull()) ShowPicture(imgStill, picture);
  }
  probe->Close();
}

// ---- Convert ---------------------------------------------------------------------------------

void TfrmMain::ClearTasksAndRows() {
  ChangeTaskList([this] { Pelix->ClearTasks(); });  // running tasks are stopped and freed
  Running = false;
  OutputFolders.clear();
  OutputFiles.clear();
  TaskIndexes.clear();
  lvFiles->clear();
  SetEditButtons(false);
}

void TfrmMain::Convert() {
  if (lvFiles->topLevelItemCount() == 0) return;
  ClearTasksAndRows();

  if (!LoadLibraries()) {
    // The run cannot start; every file keeps its row with the reason.
    const QString reason = Q(Pelix->LastErrMsg());
    for (const QString& source : SourceFiles) AddFailedRow(source, reason);
    SetEditButtons(true);
    return;
  }
  Pelix->SetLogLevel(static_cast<TLogLevel>(grpLogLevel->ItemIndex()));
  TfrmOption* option = OptionForm();
  ApplyWindowChoices();
  TAVProbe* probe = Pelix->AVProbe();
  std::vector<std::string> reserved;
  for (int i = 0; i < SourceFiles.size(); ++i) {
    const QString source = SourceFiles[i];
    if (!probe->Open(source.toStdString())) {
      AddFailedRow(source, Q(probe->LastError()));
      continue;
    }
    option->LoadSource(probe);
    // The cut marks: positions of the dialog's time bar for the row's seconds.
    option->chkCutClip->setEnabled(true);
    option->chkCutClip->setChecked(true);
    option->trcPreview->setValue(TimeBarPositionAt(option->State().Clip.Bar, CutStarts[i].toDouble()));
    option->btnSetStart->click();
    option->trcPreview->setValue(TimeBarPositionAt(option->State().Clip.Bar, CutEnds[i].toDouble()));
    option->btnSetEnd->click();
    option->SetReservedNames(reserved);
    TOutputOptions output;
    TInputOptions input;
    option->ComposeOutput(output);
    option->ComposeInput(input);
    QString reason;
    if (CreateTask(input, output, &reason))
      reserved.push_back(output.FileName);
    else
      AddFailedRow(source, reason);
    probe->Close();
  }

  Pelix->ThreadPriority = static_cast<TConvertPriority>(std::max(0, grpPriority->ItemIndex()));
  edtThreadCount->setText(QString::number(Pelix->TaskCount()));
  if (Pelix->TaskCount() == 0) {
    SetEditButtons(true);
    return;
  }
  Running = true;
  SetEditButtons(false);
  if (chkThreadMode->isChecked()) {
    bool ok = false;
    const int threads = edtThreadCount->text().toInt(&ok);
    Pelix->Start(ok ? threads : 1);
    btnClear->setEnabled(true);
    mnuClear->setEnabled(true);
  } else {
    Pelix->Start(0);
  }
}

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
  delete lvFiles->takeTopLevelItem(row);
}

void TfrmMain::RemoveSelected() {
  const int row = SelectedRow();
  if (row < 0) return;
  const int task = TaskIndexes[static_cast<size_t>(row)];
  if (task >= 0) {
    ChangeTaskList([this, task] { Pelix->RemoveTask(task); });
    for (int& other : TaskIndexes)  // the component renumbers the tasks after it
      if (other > task) --other;
  }
  RemoveRowData(row);
  SetEditButtons(lvFiles->topLevelItemCount() > 0);
}

void TfrmMain::ClearList() {
  ClearTasksAndRows();
  SourceFiles.clear();
  CutStarts.clear();
  CutEnds.clear();
  CutStartTexts.clear();
  CutEndTexts.clear();
}

void TfrmMain::SwapRows(int a, int b) {
  QTreeWidgetItem* first = lvFiles->topLevelItem(a);
  QTreeWidgetItem* second = lvFiles->topLevelItem(b);
  for (int column = 0; column < FILE_COLUMN_COUNT; ++column) {
    const QString text = first->text(column);
    const QString tip = first->toolTip(column);
    first->setText(column, second->text(column));
    first->setToolTip(column, second->toolTip(column));
    second->setText(column, text);
    second->setToolTip(column, tip);
  }
  SourceFiles.swapItemsAt(a, b);
  CutStarts.swapItemsAt(a, b);
  CutEnds.swapItemsAt(a, b);
  CutStartTexts.swapItemsAt(a, b);
  CutEndTexts.swapItemsAt(a, b);
  OutputFolders.swapItemsAt(a, b);
  std::swap(OutputFiles[static_cast<size_t>(a)], OutputFiles[static_cast<size_t>(b)]);
  std::swap(TaskIndexes[static_cast<size_t>(a)], TaskIndexes[static_cast<size_t>(b)]);
  lvFiles->setCurrentItem(second);
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
  if (folder.isEmpty()) return;
  Edit1->setText(folder.endsWith('/') ? folder : folder + '/');
}

void TfrmMain::OpenOutputFolder() {
  // An empty folder means the current folder, where the outputs then go.
  ShellOpen(Edit1->text().isEmpty() ? QDir::currentPath() : Edit1->text());
}

void TfrmMain::OpenHelp() { ShellOpen(ExeDir() + "Help.html"); }

void TfrmMain::ShowSettings() {
  TFrm_set settings(OptionForm(), this);
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
