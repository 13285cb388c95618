// The main window as a view of its batch: the batch's events into the rows,
// convert, stop, pause and resume, the status line and the output names the
// rows will take.
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSignalBlocker>
#include <QTimer>
#include <algorithm>

#include "AppSupport.h"
#include "DesktopNotifier.h"
#include "MainFrm.h"
#include "OptionFrm.h"
#include "ReasonText.h"
#include "SkippedFiles.h"

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

// The data role of a row's progress column: the last percentage shown while
// the file converted (-1 none), kept for the mark of a damaged source.
constexpr int PERCENT_ROLE = Qt::UserRole + 1;

}  // namespace

// ---- Rows and files ------------------------------------------------------------------

uint64_t TfrmMain::IdOf(const QTreeWidgetItem* item) {
  return item ? item->data(fcName, FILE_ID_ROLE).toULongLong() : 0;
}

QTreeWidgetItem* TfrmMain::RowOf(uint64_t id) const {
  const auto found = Rows.find(id);
  return found == Rows.end() ? nullptr : found->second;
}

const TBatchFile* TfrmMain::FileOfRow(int row) const {
  return FBatch->File(IdOf(lvFiles->topLevelItem(row)));
}

QTreeWidgetItem* TfrmMain::MakeRow(const TBatchFile& file) {
  auto* item = new QTreeWidgetItem();
  const QString source = Q(file.Source);
  // A track of a disc image goes by its number and title; its tooltip names
  // the image and the sheet.
  item->setText(fcName, file.Track ? Q(file.Track->Label()) : QFileInfo(source).fileName());
  // Names longer than the column show whole, with their folder, on hovering.
  item->setToolTip(fcName, file.Track && file.Track->CuePath != file.Source
                               ? source + "\n" + Q(file.Track->CuePath)
                               : source);
  item->setData(fcName, FILE_ID_ROLE, QVariant::fromValue<qulonglong>(file.Id));
  const QString folder = QFileInfo(source).absolutePath();
  item->setText(fcFolder, folder);
  item->setToolTip(fcFolder, folder);
  item->setData(fcProgress, PERCENT_ROLE, -1);
  if (file.Outcome != foFailed) {
    item->setText(fcDuration, DurationText(file.Facts.Duration > 0 ? file.Facts.Duration / 1000 : 0));
    // A track's share of its image is not known before it is written.
    if (!file.Track) item->setText(fcSize, SizeText(std::max<int64_t>(file.SizeBytes, 0)));
  }
  Rows[file.Id] = item;
  return item;
}

void TfrmMain::SetRowOutput(QTreeWidgetItem* item, const QString& target, const QString& all) {
  item->setText(fcOutputName, target.isEmpty() ? QString() : QFileInfo(target).fileName());
  item->setToolTip(fcOutputName, all.isEmpty() ? target : all);
}

void TfrmMain::ShowFile(const TBatchFile& file) {
  QTreeWidgetItem* item = RowOf(file.Id);
  if (!item) return;
  QString progress, time, size, tip;
  QBrush brush;
  int percent = item->data(fcProgress, PERCENT_ROLE).toInt();
  switch (file.Outcome) {
    case foComplete:
    case foPartial: {
      time = DurationText(file.DoneMs);
      const QFileInfo written(Q(file.Output));
      size = SizeText(written.exists() ? written.size() : file.OutputSize);
      if (file.Outcome == foComplete) {
        progress = "100%";
      } else {
        // What was readable of a damaged source: the percentage reached, marked.
        progress = tr("%1% (损坏)").arg(percent >= 0 ? percent : 100);
        brush = QBrush(QColor(0xC0, 0x60, 0x00));
        tip = FileReasonText(file);
      }
      break;
    }
    case foFailed:
      progress = tr("失败");
      tip = FileReasonText(file);
      break;  // a failed file leaves no output behind
    case foStopped:
      progress = tr("已停止");
      break;
    case foUpToDate: {
      // Sync mode: the output made by an earlier run stays.
      progress = tr("已是最新");
      const QFileInfo written(Q(file.Output));
      if (written.exists()) size = SizeText(written.size());
      break;
    }
    default:
      if (file.Running) {
        // Without a known length the percentage is unknown: only the time shows.
        if (file.ExpectedMs > 0) {
          percent = static_cast<int>(std::clamp<int64_t>(file.DoneMs * 100 / file.ExpectedMs, 0, 100));
          progress = QString::number(percent) + "%";
        }
        time = DurationText(file.DoneMs);
        size = SizeText(file.OutputSize);
      } else {
        percent = -1;  // waiting, or not in the run
      }
  }
  item->setData(fcProgress, PERCENT_ROLE, percent);
  item->setText(fcProgress, progress);
  item->setToolTip(fcProgress, tip);
  item->setForeground(fcProgress, brush);
  item->setText(fcConvertedTime, time);
  item->setText(fcOutputSize, size);
  // A name given to a task, or the one it was written under, is settled.
  // The first output shows; the tooltip names every format's output.
  QStringList outputs;
  for (const std::string& name : file.Outputs) outputs << Q(name);
  if (!file.Output.empty()) SetRowOutput(item, Q(file.Output), outputs.join('\n'));
}

void TfrmMain::ShowAllFiles() {
  for (const TBatchFile& file : FBatch->Files()) ShowFile(file);
}

void TfrmMain::WireBatch() {
  FBatch->OnFileStarted = [this](uint64_t id) {
    if (const TBatchFile* file = FBatch->File(id)) ShowFile(*file);
  };
  FBatch->OnFileProgress = [this](uint64_t id) {
    if (const TBatchFile* file = FBatch->File(id)) ShowFile(*file);
    // In main-thread mode the job holds the loop: the row is painted now.
    if (!chkThreadMode->isChecked()) lvFiles->viewport()->repaint();
  };
  FBatch->OnFileEnded = [this](const TBatchFile& file) {
    if (file.Outcome == foSkipped) {
      // Left out of a folder: no row (a row it had goes), counted.
      if (QTreeWidgetItem* item = RowOf(file.Id)) {
        Rows.erase(file.Id);
        delete item;
      }
      ++SkippedCount;
      if (!file.Folder.empty()) ++FolderCounts[file.Folder].second;
      Log("***Skipped: " + Q(file.Source) + ": " + Q(file.Reason));
      return;
    }
    QTreeWidgetItem* item = RowOf(file.Id);
    if (!item) return;  // a file being added: its row shows it once made
    ShowFile(file);
    if (file.Outcome == foFailed)
      LogBlock("***Convert failed: " + item->text(fcName) + ": " + Q(file.Reason));
    else if (file.Outcome == foPartial)
      LogBlock("***Source damaged: " + item->text(fcName) + ": " + Q(file.Reason));
    if (!chkThreadMode->isChecked()) lvFiles->viewport()->repaint();
  };
  FBatch->OnLog = [this](uint64_t id, TLogLevel level, const std::string& text) {
    // The error that ended a job (llQuiet) shows in its row already.
    if (level != llError) return;
    const TBatchFile* file = id ? FBatch->File(id) : nullptr;
    Log((file ? Q(file->Source) + ": " : QString()) + Q(text));
  };
  FBatch->OnRunEnded = [this] { FinishBatch(); };
}

// ---- Choices -------------------------------------------------------------------------

void TfrmMain::FillChoices() {
  ApplyWindowChoices();
  TBatchChoices& c = FBatch->Choices;
  // The hidden dialog's other controls still apply; the named choices are
  // written over them.
  c.Base = OptionForm()->State();
  c.Base.Output.Reserved.clear();
  c.Base.Output.Sources.clear();
  c.Format = ChosenFormat().toStdString();
  c.MoreFormats = FurtherFormats(MusicSettings, c.Format);
  c.OutputFolder = Edit1->text().toStdString();
  c.KeepTree = true;  // a folder's files keep their sub-folders
  c.Overwrite = c.Base.Output.Overwrite;
  c.Channels = c.Base.Audio.Channels;
  c.SampleRate = c.Base.Audio.SampleRate;
  bool ok = false;
  const int kbps = Q(c.Base.Audio.BitRate.Text).trimmed().toInt(&ok);
  c.BitRateKbps = c.Base.Audio.BitRate.Checked && ok && kbps > 0 ? kbps : -1;
  c.Volume = -1;  // the dialog's own volume box, through Base
  c.Quality = QualityChoices.Text();
  c.Music = MusicSettings.Controls;
  c.AlbumGain = MusicSettings.AlbumGain && MusicSettings.Controls.ReplayGain;
  c.TagEncoding = MusicSettings.TagEncoding;
  c.UseCue = MusicSettings.UseCue;
  c.GapsAtStart = MusicSettings.GapsAtStart;
  c.NamePattern = MusicSettings.NamePattern;
  c.ExtraOptions.clear();
  c.Sync = FSync;
  c.DeleteOrphans = FSync && FDeleteOrphans;
  c.DryRun = false;
  FBatch->Jobs = chkThreadMode->isChecked() ? FParallelJobs : 0;
  FBatch->SplitEncoding = FSplitEncoding;
}

// ---- Starting -------------------------------------------------------------------------

void TfrmMain::Convert() {
  if (RestartPending) return;  // the list starts again once the run has stopped
  if (FBatch->Running()) {
    // Starting the list again throws away what the run has done so far.
    if (!AskQuestion(this, APP_TITLE, tr("正在转换。要停止当前的转换，从头重新转换全部文件吗？")))
      return;
    RestartPending = true;
    FBatch->Stop();  // the run ends when its running files have reported
    UpdateActions();
    UpdateStatus();
    return;
  }
  if (Checker->Busy(ckAdd)) {
    // The files being added belong to the run: it starts once they are listed.
    ConvertPending = true;
    UpdateStatus();
    return;
  }
  const std::vector<TBatchFile>& files = FBatch->Files();
  if (files.empty()) {
    // Nothing to convert: the way to something to convert.
    ShowMessage(this, QMessageBox::Information, APP_TITLE,
                tr("列表中没有文件。请先按“添加”添加要转换的文件。"));
    btnAdd->setFocus(Qt::OtherFocusReason);
    return;
  }
  const bool anyLeft =
      std::any_of(files.begin(), files.end(), [](const TBatchFile& f) { return !f.Finished(); });
  // Converting what is converted already writes new files beside the old
  // ones: only when the user says so.
  if (!anyLeft && !AskQuestion(this, APP_TITLE, tr("列表中的文件都已转换。要重新转换全部文件吗？")))
    return;
  StartRun(!anyLeft);
}

void TfrmMain::StartRun(bool everything) {
  if (!LoadLibraries()) {
    const QString reason = QString::fromStdString(Pelix->LastErrMsg());
    Log(reason);
    ShowMessage(this, QMessageBox::Critical, APP_TITLE,
                tr("无法载入媒体库，不能转换文件。\n%1").arg(reason));
    return;
  }
  Pelix->SetLogLevel(static_cast<TLogLevel>(grpLogLevel->ItemIndex()));
  Pelix->ThreadPriority = static_cast<TConvertPriority>(std::max(0, grpPriority->ItemIndex()));
  // The number of files at once: the cores (or the user's setting), not the rows.
  edtThreadCount->setText(QString::number(FParallelJobs));
  FillChoices();
  // A quality the format's encoder cannot take: told once, nothing started.
  std::string why;
  if (!FBatch->CheckChoices(why)) {
    Log(QString::fromStdString(why));
    ShowMessage(this, QMessageBox::Warning, APP_TITLE,
                tr("转换设置无法使用，没有开始转换。\n%1").arg(QString::fromStdString(why)));
    return;
  }
  StopNaming();  // the run gives the names now
  StatusTimer->start();
  SetEditButtons(false);
  btnClear->setEnabled(true);
  mnuClear->setEnabled(true);
  const bool started = everything ? FBatch->StartAll() : FBatch->Start();
  // The files of the run start afresh (those that ended at once show why).
  ShowAllFiles();
  if (!started || !FBatch->Running()) StatusTimer->stop();
  if (!FBatch->Running()) SetEditButtons(lvFiles->topLevelItemCount() > 0);
  UpdateActions();
  UpdateStatus();
}

// ---- Stop, pause, resume, end ------------------------------------------------------------

void TfrmMain::StopBatch() {
  if (!FBatch->Running()) return;
  // The running files end as stopped (their outputs removed); the others
  // wait for the next Convert. The run ends when the running ones have
  // reported.
  FBatch->Stop();
  UpdateActions();
  UpdateStatus();
}

void TfrmMain::PauseBatch() {
  if (!FBatch->Running() || FBatch->Paused()) return;
  FBatch->Pause();
  UpdateActions();
  UpdateStatus();
}

void TfrmMain::ResumeBatch() {
  if (!FBatch->Paused()) return;
  FBatch->Resume();
  UpdateActions();
  UpdateStatus();
}

void TfrmMain::FinishBatch() {
  if (ShutDown) return;
  StatusTimer->stop();
  if (RestartPending) {
    // Stopped to convert the whole list again: no summary of the stopped run.
    QTimer::singleShot(0, this, [this] {
      if (!RestartPending) return;  // the list was cleared meanwhile
      RestartPending = false;
      StartRun(true);
    });
    return;
  }
  if (Checker->Busy(ckAdd) && !FBatch->StoppedByUser()) {
    // Files still being added join the run: it goes on once they are listed.
    ConvertPending = ContinueRun = true;
    UpdateActions();
    UpdateStatus();
    return;
  }
  ShowAllFiles();
  SetEditButtons(lvFiles->topLevelItemCount() > 0);
  UpdateActions();
  UpdateStatus();
  // Sync mode: the outputs of gone sources, removed or kept.
  for (const TSyncRemoval& removal : FBatch->Removals()) {
    if (removal.Outcome == roRemoved)
      Log("***已删除（源文件已不存在）：" + Q(removal.Output));
    else
      Log("***未删除：" + Q(removal.Output) + "：" + Q(removal.Reason));
  }
  const QString summary = SummaryText(FBatch->Figures(), FBatch->StoppedByUser());
  LogBlock("***" + summary);
  // Someone working in another window learns of the end from the desktop.
  if (!isActiveWindow()) NotifyDesktop(APP_TITLE, tr("转换结束：%1").arg(summary));
  RefreshOutputNames();
}

// ---- Status line -------------------------------------------------------------------------

void TfrmMain::UpdateStatus() {
  QString plain, rich;
  const int count = lvFiles->topLevelItemCount();
  const bool running = Converting();
  // The list as it is: every figure counts the files listed now.
  const TBatchFigures figures = FBatch->Figures();
  if (running) {
    plain = RunningText(figures, FBatch->ElapsedMs(), FBatch->TimeLeftMs(), FBatch->Paused());
    if (Checker->Busy(ckAdd)) plain += tr(" · 正在添加文件");
    prgBatch->setValue(figures.Percent);
  } else if (ConvertPending) {
    plain = tr("正在添加文件（%1 个），添加完后开始转换").arg(AddedCount);
  } else if (Checking()) {
    plain = tr("正在添加文件（%1 个）").arg(AddedCount);
  } else if (FBatch->Ended() && count > 0) {
    // The run's end, as long as the list has not grown since.
    plain = SummaryText(figures, FBatch->StoppedByUser());
    if (FBatch->StoppedByUser() && figures.Left > 0) plain += tr("。按“转换”转换其余的文件");
    rich = plain.toHtmlEscaped();
    if (figures.Failed > 0)
      rich += " <a href=\"failed\">" + tr("查看失败的文件").toHtmlEscaped() + "</a>";
  } else if (AddedCount > 0 || SkippedCount > 0) {
    const QString added = tr("已添加 %n 个文件", nullptr, AddedCount);
    const QString total = tr("；列表中共 %n 个文件", nullptr, count);
    plain = added + total;
    if (SkippedCount > 0) {
      // The skipped files are a click away, each with its reason; the link
      // leaves out the separator the text starts with.
      const QString skipped = tr("，跳过 %n 个无法转换的文件", nullptr, SkippedCount);
      int cut = 0;
      while (cut < skipped.size() && (skipped[cut].isPunct() || skipped[cut].isSpace())) ++cut;
      plain = added + skipped + total;
      rich = (added + skipped.left(cut)).toHtmlEscaped() + "<a href=\"skipped\">" +
             skipped.mid(cut).toHtmlEscaped() + "</a>" + total.toHtmlEscaped();
    }
  } else if (count > 0) {
    plain = tr("列表中共 %n 个文件", nullptr, count);
  }
  FStatusPlain = plain;
  lblStatus->setText(rich.isEmpty() ? plain.toHtmlEscaped() : rich);
  prgBatch->setVisible(running);
}

QString TfrmMain::StatusText() const { return FStatusPlain; }

void TfrmMain::UpdateActions() {
  const bool running = FBatch->Running() && !RestartPending;
  mnuPause->setEnabled(running && !FBatch->Paused());
  mnuResume->setEnabled(running && FBatch->Paused());
  mnuStop->setEnabled(running);
  btnPauseBatch->setText(FBatch->Paused() ? tr("继续") : tr("暂停"));
  btnPauseBatch->setVisible(running);
  btnStopBatch->setVisible(running);
}

void TfrmMain::SelectFailedRows() {
  lvFiles->clearSelection();
  QTreeWidgetItem* first = nullptr;
  for (int row = 0; row < lvFiles->topLevelItemCount(); ++row) {
    const TBatchFile* file = FileOfRow(row);
    if (!file || file->Outcome != foFailed) continue;
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

void TfrmMain::ShowSkippedFiles() {
  std::vector<const TBatchFile*> files;
  const std::vector<TBatchFile>& skipped = FBatch->Skipped();
  for (size_t i = std::min(SkippedFrom, skipped.size()); i < skipped.size(); ++i)
    files.push_back(&skipped[i]);
  if (!frmSkipped) frmSkipped = new TfrmSkipped(this);
  frmSkipped->ShowFiles(files);
  frmSkipped->show();
  frmSkipped->raise();
  frmSkipped->activateWindow();
}

// ---- Output names --------------------------------------------------------------------------

void TfrmMain::StopNaming() {
  NamesTimer->stop();
  NamePreview.reset();
}

void TfrmMain::RefreshOutputNames() {
  StopNaming();
  if (FBatch->Files().empty()) return;
  NamePreview = std::make_unique<TConversionBatch::TNamePreview>();
  NameSomeRows();
}

void TfrmMain::NameSomeRows() {
  if (!NamePreview) return;
  // A long list is named a slice of time at a time (the first slice at
  // once, so a short list has its names when this returns).
  QElapsedTimer slice;
  slice.start();
  FillChoices();
  // A name does not depend on albums: the preview forms none.
  const bool albumGain = FBatch->Choices.AlbumGain;
  FBatch->Choices.AlbumGain = false;
  std::map<uint64_t, std::string> names;
  while (!NamePreview->Done && slice.elapsed() < ADD_SLICE_MS)
    FBatch->PreviewOutputNames(*NamePreview, 64, names);
  FBatch->Choices.AlbumGain = albumGain;
  {
    // Each changed row would have the view look for it among all rows: the
    // view hears of none of them and repaints once instead.
    const QSignalBlocker quiet(lvFiles->model());
    for (const auto& [id, name] : names)
      if (QTreeWidgetItem* item = RowOf(id)) SetRowOutput(item, Q(name));
  }
  if (!names.empty()) lvFiles->viewport()->update();
  if (NamePreview->Done)
    NamePreview.reset();
  else
    NamesTimer->start(0);
}
