// The commands of the main window: add, create task, convert, remove, clear,
// move, output folder, help, settings, about, playback preview and exit.
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTimer>

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
  SetBusy(true);
  Checker->Check(files, ckAdd);
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
    if (files.front().Tag == ckAdd) {
      AddChecked(files.front());
      added = true;
    } else {
      ConvertChecked(files.front());
    }
  }
  if (added && lvFiles->topLevelItemCount() > 0 && !lvFiles->currentItem())
    lvFiles->setCurrentItem(lvFiles->topLevelItem(0));
  if (Checker->HasResults()) {
    // The slice is used up: the rest after the events that wait.
    QTimer::singleShot(0, this, [this] { TakeCheckedFiles(); });
    return;
  }
  if (Checker->Busy()) return;  // the next result comes with Ready
  SetBusy(false);
  // A run whose last rows failed, or that ended while rows were still made.
  if (Running && !Pelix->Running()) {
    Running = false;
    SetEditButtons(lvFiles->topLevelItemCount() > 0);
  }
  if (!LastAdded.isEmpty()) {
    ShowStillPicture(LastAdded);
    LastAdded.clear();
  }
}

void TfrmMain::AddChecked(const TCheckedFile& file) {
  SourceFiles << file.Path;
  CutStarts << "0";
  CutStartTexts << "0";
  CutEnds << "0";
  CutEndTexts << "0";
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
  LastAdded = file.Path;
}

bool TfrmMain::CreateTaskFor(const TCheckedFile& file, double cutStart, double cutEnd,
                             QString* error) {
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
  if (!CreateTask(input, output, file, error)) return false;
  if (Running) ConvertReserved.push_back(output.FileName);
  return true;
}

bool TfrmMain::CreateTask(TInputOptions& input, TOutputOptions& output, const TCheckedFile& file,
                          QString* error) {
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
  const QString target = Q(output.FileName);
  QTreeWidgetItem* item = AppendRow(Q(input.FileName), target, index);
  item->setText(fcDuration, QString::number(file.Duration > 0 ? file.Duration / 1000000 : 0));
  item->setText(fcSize, QString::number(std::max<int64_t>(file.Size, 0)));
  item->setText(fcOutputName, QFileInfo(target).fileName());
  LogBlock("***File has been added to convert list.");
  SetEditButtons(!Running);
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

// ---- Convert ---------------------------------------------------------------------------------

void TfrmMain::ClearTasksAndRows() {
  Checker->Cancel();
  SetBusy(false);
  ChangeTaskList([this] { Pelix->ClearTasks(); });  // running tasks are stopped and freed
  Running = false;
  OutputFolders.clear();
  OutputFiles.clear();
  TaskIndexes.clear();
  lvFiles->clear();
  SetEditButtons(false);
}

void TfrmMain::Convert() {
  if (lvFiles->topLevelItemCount() == 0 && !Checking()) return;
  ClearTasksAndRows();

  if (!LoadLibraries()) {
    // The run cannot start; every file keeps its row with the reason.
    const QString reason = Q(Pelix->LastErrMsg());
    for (const QString& source : SourceFiles) AddFailedRow(source, reason);
    SetEditButtons(true);
    return;
  }
  Pelix->SetLogLevel(static_cast<TLogLevel>(grpLogLevel->ItemIndex()));
  Pelix->ThreadPriority = static_cast<TConvertPriority>(std::max(0, grpPriority->ItemIndex()));
  // The number of tasks at once: the cores (or the user's setting), not the rows.
  edtThreadCount->setText(QString::number(FParallelJobs));
  ConvertReserved.clear();
  Running = true;
  SetEditButtons(false);
  // The rows come back as their files are checked again; each task starts
  // as soon as its row is made.
  SetBusy(true);
  Checker->Check(SourceFiles, ckConvert);
}

void TfrmMain::ConvertChecked(const TCheckedFile& file) {
  const int row = lvFiles->topLevelItemCount();
  if (row >= SourceFiles.size()) return;
  QString reason = file.Error;
  if (reason.isEmpty() &&
      CreateTaskFor(file, CutStarts[row].toDouble(), CutEnds[row].toDouble(), &reason)) {
    StartConverting();
    return;
  }
  AddFailedRow(file.Path, reason);
}

void TfrmMain::StartConverting() {
  // The first call starts the run; later ones add their tasks to it.
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
  delete lvFiles->takeTopLevelItem(row);
}

void TfrmMain::RemoveSelected() {
  const int row = SelectedRow();
  // While rows are being made, the lists and the rows do not line up yet.
  if (row < 0 || Checking()) return;
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
  ClearTasksAndRows();  // a check under way is dropped too
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
  if (row > 0 && !Checking()) SwapRows(row, row - 1);
}

void TfrmMain::MoveDown() {
  const int row = SelectedRow();
  if (row >= 0 && row < lvFiles->topLevelItemCount() - 1 && !Checking()) SwapRows(row, row + 1);
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
  settings.spnJobs->setValue(FParallelJobs);
  settings.MusicPage->Show(MusicSettings);
  connect(settings.btnOK, &QPushButton::clicked, this, [this, &settings] {
    SetParallelJobs(settings.spnJobs->value());
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
