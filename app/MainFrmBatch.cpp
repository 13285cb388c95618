// The batch of the main window: convert, stop, pause and resume, the status
// line and the output names the rows will take.
#include <QFileInfo>
#include <algorithm>
#include <set>

#include "AppSupport.h"
#include "DesktopNotifier.h"
#include "FFmpegLoader.h"
#include "MainFrm.h"
#include "OptionFrm.h"

namespace {

// A row whose output name is settled: its task is in the batch or converted.
bool NameSettled(TRowState state) {
  return state == rsWaiting || state == rsRunning || state == rsComplete || state == rsPartial;
}

bool Converted(TRowState state) { return state == rsComplete || state == rsPartial; }

}  // namespace

// ---- Starting -------------------------------------------------------------------------

void TfrmMain::ClearTasksAndRows() {
  Checker->Cancel();
  SetBusy(false);
  ChangeTaskList([this] { Pelix->ClearTasks(); });  // running tasks are stopped and freed
  Running = false;
  BatchPaused = BatchStopped = BatchEnded = ConvertPending = false;
  StatusTimer->stop();
  OutputFolders.clear();
  OutputFiles.clear();
  TaskIndexes.clear();
  RowInfos.clear();
  lvFiles->clear();
  SetEditButtons(false);
  UpdateActions();
}

void TfrmMain::Convert() {
  const int count = lvFiles->topLevelItemCount();
  if (count == 0 && !Checking()) return;
  std::vector<int> rows;
  if (Running) {
    // Starting the list again throws away what the batch has done so far.
    if (!AskQuestion(this, APP_TITLE, "正在转换。要停止当前的转换，从头重新转换全部文件吗？"))
      return;
    for (int row = 0; row < count; ++row) rows.push_back(row);
    StartBatch(rows);
    return;
  }
  if (Checker->Busy(ckAdd)) {
    // The files being added belong to the batch: it starts once they are listed.
    ConvertPending = true;
    UpdateStatus();
    return;
  }
  // After a stop, the rows not converted yet; otherwise the whole list.
  for (int row = 0; row < count; ++row)
    if (!BatchStopped || !Converted(RowInfos[static_cast<size_t>(row)].State)) rows.push_back(row);
  if (rows.empty())
    for (int row = 0; row < count; ++row) rows.push_back(row);
  StartBatch(rows);
}

void TfrmMain::StartBatch(const std::vector<int>& rows) {
  Checker->Cancel(ckConvert);
  ChangeTaskList([this] { Pelix->ClearTasks(); });  // running tasks are stopped and freed
  std::fill(TaskIndexes.begin(), TaskIndexes.end(), -1);
  Running = BatchPaused = BatchStopped = BatchEnded = false;
  const std::set<int> chosen(rows.begin(), rows.end());
  if (!LoadLibraries()) {
    // The batch cannot start; every file keeps its row with the reason.
    const QString reason = QString::fromStdString(Pelix->LastErrMsg());
    for (int row : rows) MarkRowFailed(row, reason);
    SetEditButtons(true);
    UpdateStatus();
    return;
  }
  Pelix->SetLogLevel(static_cast<TLogLevel>(grpLogLevel->ItemIndex()));
  Pelix->ThreadPriority = static_cast<TConvertPriority>(std::max(0, grpPriority->ItemIndex()));
  // The number of tasks at once: the cores (or the user's setting), not the rows.
  edtThreadCount->setText(QString::number(FParallelJobs));
  // Rows kept from a stopped batch keep their names and count as converted.
  ConvertReserved.clear();
  DoneAtStartMs = 0;
  for (int row = 0; row < lvFiles->topLevelItemCount(); ++row) {
    if (chosen.count(row)) continue;
    const TRowInfo& info = RowInfos[static_cast<size_t>(row)];
    if (!OutputFiles[static_cast<size_t>(row)].Path.isEmpty())
      ConvertReserved.push_back(OutputFiles[static_cast<size_t>(row)].Path.toStdString());
    if (Converted(info.State)) DoneAtStartMs += info.ExpectedMs;
  }
  for (int row : rows) {
    QTreeWidgetItem* item = lvFiles->topLevelItem(row);
    for (int column : {fcProgress, fcConvertedTime, fcOutputSize}) {
      item->setText(column, QString());
      item->setToolTip(column, QString());
      item->setForeground(column, QBrush());
    }
    OutputFiles[static_cast<size_t>(row)].Converted = false;
    RowInfos[static_cast<size_t>(row)].DoneMs = 0;
    SetRowState(row, rsWaiting);
  }
  Running = true;
  PausedMs = 0;
  BatchClock.start();
  StatusTimer->start();
  SetEditButtons(false);
  UpdateActions();
  ConvertRows(rows);
  UpdateStatus();
}

void TfrmMain::ConvertRows(const std::vector<int>& rows) {
  // The rows come back as their files are checked again; each task starts
  // as soon as its row is made again.
  QStringList files;
  QList<int> rowList;
  for (int row : rows) {
    files << SourceFiles[row];
    rowList << row;
  }
  SetBusy(true);
  Checker->Check(files, ckConvert, rowList);
}

void TfrmMain::ConvertChecked(const TCheckedFile& file) {
  const int row = file.Row;
  if (row < 0 || row >= lvFiles->topLevelItemCount() || SourceFiles[row] != file.Path) return;
  if (!file.Error.isEmpty()) {
    MarkRowFailed(row, file.Error);
    return;
  }
  TCheckedFile checked = file;
  checked.Facts.RelativeFolder = RowInfos[static_cast<size_t>(row)].RelativeFolder.toStdString();
  QString reason;
  if (!CreateTaskFor(checked, CutStarts[row].toDouble(), CutEnds[row].toDouble(), &reason, row)) {
    MarkRowFailed(row, reason);
    return;
  }
  StartConverting();
}

void TfrmMain::StartConverting() {
  // The first call starts the run; later ones add their tasks to it.
  Pelix->SplitEncoding = FSplitEncoding;
  if (chkThreadMode->isChecked()) {
    bool ok = false;
    const int threads = edtThreadCount->text().toInt(&ok);
    Pelix->Start(ok ? threads : 1);
    btnClear->setEnabled(true);
    mnuClear->setEnabled(true);
    // A task that starts while the batch is paused waits with the others.
    if (BatchPaused) Pelix->Pause();
  } else {
    Pelix->Start(0);
  }
}

// ---- Stop, pause, resume, end ------------------------------------------------------------

void TfrmMain::StopBatch() {
  if (!Running) return;
  // Rows not made again yet keep no task; they wait for the next Convert.
  Checker->Cancel(ckConvert);
  if (!Checker->Busy()) SetBusy(false);
  if (BatchPaused) {
    PausedMs += BatchClock.elapsed() - PausedAt;
    BatchPaused = false;
  }
  BatchStopped = true;
  for (TRowInfo& info : RowInfos)
    if (info.State == rsWaiting) info.State = rsIdle;
  // The running tasks end as stopped (their outputs removed); the others
  // stay queued. The batch ends when the running ones have reported.
  Pelix->StopRunning();
  FinishBatch();
  UpdateActions();
  UpdateStatus();
}

void TfrmMain::PauseBatch() {
  if (!Running || BatchPaused) return;
  Pelix->Pause();
  BatchPaused = true;
  PausedAt = BatchClock.elapsed();
  UpdateActions();
  UpdateStatus();
}

void TfrmMain::ResumeBatch() {
  if (!BatchPaused) return;
  Pelix->Resume();
  BatchPaused = false;
  PausedMs += BatchClock.elapsed() - PausedAt;
  UpdateActions();
  UpdateStatus();
}

void TfrmMain::FinishBatch() {
  if (!Running || Checker->Busy(ckConvert) || Pelix->Running()) return;
  // A row still converting in the window's eyes has its end on the way
  // (queued behind this call): the batch ends with it.
  for (const TRowInfo& info : RowInfos)
    if (info.State == rsRunning || (info.State == rsWaiting && !BatchStopped)) return;
  Running = false;
  BatchPaused = false;
  BatchEnded = true;
  StatusTimer->stop();
  for (TRowInfo& info : RowInfos)
    if (info.State == rsWaiting) info.State = rsIdle;
  SetEditButtons(lvFiles->topLevelItemCount() > 0);
  UpdateActions();
  UpdateStatus();
  const QString summary = SummaryText(CountBatch(BatchRows()), BatchStopped);
  LogBlock("***" + summary);
  // Someone working in another window learns of the end from the desktop.
  if (!isActiveWindow()) NotifyDesktop(APP_TITLE, "转换结束：" + summary);
  RefreshOutputNames();
}

// ---- Status line -------------------------------------------------------------------------

std::vector<TBatchRow> TfrmMain::BatchRows() const {
  std::vector<TBatchRow> rows;
  rows.reserve(RowInfos.size());
  for (const TRowInfo& info : RowInfos) rows.push_back({info.State, info.ExpectedMs, info.DoneMs});
  return rows;
}

void TfrmMain::UpdateStatus() {
  QString plain, rich;
  const int count = lvFiles->topLevelItemCount();
  if (Running) {
    const TBatchFigures figures = CountBatch(BatchRows());
    qint64 elapsed = BatchClock.elapsed() - PausedMs;
    if (BatchPaused) elapsed -= BatchClock.elapsed() - PausedAt;
    const int64_t left = TimeLeftMs(figures, elapsed, DoneAtStartMs);
    plain = RunningText(figures, elapsed, left, BatchPaused);
    if (Checker->Busy(ckAdd)) plain += " · 正在添加文件";
    prgBatch->setValue(figures.Percent);
  } else if (ConvertPending) {
    plain = QString("正在添加文件（%1 个），添加完后开始转换").arg(AddedCount);
  } else if (Checking()) {
    plain = QString("正在添加文件（%1 个）").arg(AddedCount);
  } else if (BatchEnded) {
    const TBatchFigures figures = CountBatch(BatchRows());
    plain = SummaryText(figures, BatchStopped);
    if (BatchStopped && figures.Left > 0) plain += "。按“转换”转换其余的文件";
    rich = plain.toHtmlEscaped();
    if (figures.Failed > 0) rich += " <a href=\"failed\">查看失败的文件</a>";
  } else if (AddedCount > 0 || SkippedCount > 0) {
    plain = QString("已添加 %1 个文件").arg(AddedCount);
    if (SkippedCount > 0) plain += QString("，跳过 %1 个无法转换的文件").arg(SkippedCount);
    plain += QString("；列表中共 %1 个文件").arg(count);
  } else if (count > 0) {
    plain = QString("列表中共 %1 个文件").arg(count);
  }
  FStatusPlain = plain;
  lblStatus->setText(rich.isEmpty() ? plain.toHtmlEscaped() : rich);
  prgBatch->setVisible(Running);
}

QString TfrmMain::StatusText() const { return FStatusPlain; }

void TfrmMain::UpdateActions() {
  mnuPause->setEnabled(Running && !BatchPaused);
  mnuResume->setEnabled(Running && BatchPaused);
  mnuStop->setEnabled(Running);
  btnPauseBatch->setText(BatchPaused ? "继续" : "暂停");
  btnPauseBatch->setVisible(Running);
  btnStopBatch->setVisible(Running);
}

void TfrmMain::SelectFailedRows() {
  lvFiles->clearSelection();
  QTreeWidgetItem* first = nullptr;
  for (int row = 0; row < lvFiles->topLevelItemCount(); ++row) {
    if (RowInfos[static_cast<size_t>(row)].State != rsFailed) continue;
    QTreeWidgetItem* item = lvFiles->topLevelItem(row);
    if (!first) {
      first = item;
      lvFiles->setCurrentItem(item);  // selects it too
    }
    item->setSelected(true);
  }
  if (!first) return;
  lvFiles->scrollToItem(first);
  lvFiles->setFocus();
}

// ---- Output names --------------------------------------------------------------------------

void TfrmMain::RefreshOutputNames() {
  bool any = false;
  for (const TRowInfo& info : RowInfos) any = any || (info.Opened && !NameSettled(info.State));
  if (!any) return;
  ApplyWindowChoices();
  // The names Convert will give, in row order after the names already settled.
  TComposerState state = OptionForm()->State();
  state.Output.Reserved.clear();
  for (size_t row = 0; row < RowInfos.size(); ++row)
    if (NameSettled(RowInfos[row].State) && !OutputFiles[row].Path.isEmpty())
      state.Output.Reserved.insert(OutputFiles[row].Path.toStdString());
  if (Running) state.Output.Reserved.insert(ConvertReserved.begin(), ConvertReserved.end());
  for (int row = 0; row < lvFiles->topLevelItemCount(); ++row) {
    const TRowInfo& info = RowInfos[static_cast<size_t>(row)];
    if (!info.Opened || NameSettled(info.State)) continue;
    TSourceFacts facts = info.Facts;
    facts.RelativeFolder = info.RelativeFolder.toStdString();
    LoadSource(state, facts);
    TOutputOptions output;
    ComposeOutput(state, output);
    state.Output.Reserved.insert(output.FileName);
    SetRowOutput(row, QString::fromStdString(output.FileName));
  }
}
