// TfrmMain: the main window and the whole conversion workflow. The user adds
// media files, picks one of six output formats and an output folder, and
// converts the list; each row shows the progress, the converted time and the
// output size of its task.
//
// Two converter components: Pelix converts, Pelix1 only opens an added file
// for the (hidden) still-picture preview. The options dialog TfrmOption,
// created on first use and never shown by the workflow, composes each task's
// option records.
//
// Rows and the per-file lists stay aligned: row r shows SourceFiles[r] and
// owns CutStarts[r] ... TaskIndexes[r]. A file that cannot be converted keeps
// its row, marked "失败" with the reason as its tooltip; a file converted from
// a damaged source shows its percentage with "(损坏)" and the reason.
//
// Files are checked (opened with a probe) off the GUI thread by a
// TFileChecker; their rows appear as the checks come back, a slice of time at
// a time, so that adding or converting a long list keeps the window
// responsive. A folder added stands for every file with sound under it; the
// outputs of those files keep their sub-folder below the output folder.
// Convert runs at most ParallelJobs tasks at once (the number of cores unless
// set) and remakes each row's task as its file is checked again, in place.
//
// A batch: Convert makes every row part of it, or, after the user stopped a
// batch, the rows not converted yet; files added while it runs join it.
// Convert during a batch asks before it starts the list again. StopBatch
// ends the running tasks (their outputs removed) and leaves the rest queued
// for the next Convert; PauseBatch / ResumeBatch hold and release them. The
// status line under the list counts the batch's files, its share of the
// media time converted, the time taken and left, and sums it up at the end
// (with a desktop notification when the window is not active).
//
// The output-name column shows, for every row not converted or converting,
// the name its output will take with the window's current format and folder.
// An empty output folder means beside each source.
//
// Threads: every method runs on the GUI thread. Pelix fires OnProgress and
// OnTerminate on worker threads (or on the GUI thread in main-thread mode);
// the handlers move them to the GUI thread and drop those that belong to a
// task list that has changed since (see Generation).
//
// Seams for tests (no modal file dialog involved): AddFiles, SetOutputFolder;
// message boxes, questions and notifications go to the sinks of
// AppSupport.h and DesktopNotifier.h.
#pragma once
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BatchStatus.h"
#include "FileChecker.h"
#include "MusicSettings.h"
#include "RadioGroup.h"
#include "REzuvuZUZ.h"

class QSettings;
class TfrmOption;
class TPlaybackPreview;
class TQtMainThread;

// Columns of lvFiles.
enum TFileColumn : int {
  fcName = 0,
  fcDuration = 1,
  fcSize = 2,
  fcOutputName = 3,
  fcProgress = 4,
  fcConvertedTime = 5,
  fcOutputSize = 6,
  FILE_COLUMN_COUNT = 7
};

// An output file of a row and whether its conversion finished.
struct TOutputFile {
  QString Path;
  bool Converted = false;
};

// What the window keeps of a row besides the per-file lists.
struct TRowInfo {
  TRowState State = rsIdle;
  QString RelativeFolder;  // below the folder the file was added through; "" none
  bool Opened = false;     // Facts hold what the file's last check told
  TSourceFacts Facts;
  int64_t ExpectedMs = 0;  // media time its conversion covers; 0 unknown
  int64_t DoneMs = 0;      // converted so far in the batch
  bool InBatch = false;    // part of the current (or last) batch
};

class TAnchorLayout;

class TfrmMain : public QMainWindow {
  Q_OBJECT
 public:
  // configFile: the settings file; empty: "Config.ini" beside the executable
  // (the user's configuration folder when that one is not writable).
  explicit TfrmMain(QWidget* parent = nullptr, const QString& configFile = QString());
  ~TfrmMain() override;

  // ---- Commands ----
  // Adds files exactly as "添加" does after its dialog, and as a drop does;
  // a folder adds the files with sound under it.
  void AddFiles(const QStringList& files);
  // The open-file and folder dialogs of "添加" and "添加文件夹".
  void AddFilesDialog();
  void AddFolderDialog();
  void Convert();
  // The running batch: stop (the rows not started stay for the next
  // Convert), pause and resume. Nothing without a batch.
  void StopBatch();
  void PauseBatch();
  void ResumeBatch();
  bool Paused() const { return BatchPaused; }
  // Selects the failed rows and shows the first.
  void SelectFailedRows();
  // Removes the selected rows.
  void RemoveSelected();
  void ClearList();
  void MoveUp();
  void MoveDown();
  // The folder browser's choice; "" means beside each source.
  void SetOutputFolder(const QString& folder);
  void ChooseOutputFolderDialog();
  void OpenOutputFolder();
  void OpenHelp();
  void ShowSettings();
  void ShowAbout();
  void Play();
  void PausePlayback();
  // Loads the selected row's source into the player unless it is loaded;
  // false without a selected row.
  bool LoadSelectedSource();
  void SetCutStart();
  void SetCutEnd();
  void Exit();

  // The options dialog, created on first use.
  TfrmOption* OptionForm();
  TREzuvuZUZ* Converter() { return Pelix.get(); }
  TPlaybackPreview* Playback() { return Graph; }
  bool Converting() const { return Running; }
  QString ConfigFile() const { return FConfigFile; }
  // Files are being checked or their rows made.
  bool Checking() const;
  // Tasks that run at once in thread mode; at least 1.
  int ParallelJobs() const { return FParallelJobs; }
  void SetParallelJobs(int count);
  bool SplitEncoding() const { return FSplitEncoding; }
  QStringList LogLines() const;
  // The status line's text.
  QString StatusText() const;

  // ---- Per-file lists (row order) ----
  QStringList SourceFiles;
  QStringList CutStarts, CutEnds;          // seconds as "%d.%.3d"
  QStringList CutStartTexts, CutEndTexts;  // "hh:mm:ss"
  QStringList OutputFolders;
  std::vector<TOutputFile> OutputFiles;
  std::vector<int> TaskIndexes;  // Pelix's task of each row; -1 none
  std::vector<TRowInfo> RowInfos;

  // ---- Controls ----
  TRadioGroup* RadioGroup1 = nullptr;
  QComboBox* cboMoreFormats = nullptr;  // the further formats (MainFrmMusic.cpp)
  TMusicSettings MusicSettings;         // the settings dialog's page "音乐"
  // The format chosen: a further format when one is, else the radio button's.
  QString ChosenFormat() const;
  QLineEdit* Edit1 = nullptr;
  QTreeWidget* lvFiles = nullptr;
  QToolButton* btnAdd = nullptr;  // click: files; its menu: files or a folder
  QPushButton* btnRemove = nullptr;
  QPushButton* btnClear = nullptr;
  QToolButton* btnStart = nullptr;
  QPushButton* btnBrowse = nullptr;
  QPushButton* btnOpen = nullptr;
  QPushButton* btnSettings = nullptr;
  QPushButton* btnUp = nullptr;
  QPushButton* btnDown = nullptr;
  QToolButton* btnPlay = nullptr;
  QToolButton* btnPause = nullptr;
  QSlider* DSTrackBar1 = nullptr;
  QAction* mnuAddFile = nullptr;
  QAction* mnuAddFolder = nullptr;
  QAction* mnuRemove = nullptr;
  QAction* mnuClear = nullptr;
  QAction* mnuExit = nullptr;
  QAction* mnuAbout = nullptr;
  QAction* mnuHelpFile = nullptr;
  QMenu* mnuAction = nullptr;  // "动作": 转换, 暂停, 继续, 停止
  QAction* mnuConvert = nullptr;
  QAction* mnuPause = nullptr;
  QAction* mnuResume = nullptr;
  QAction* mnuStop = nullptr;
  QAction* actSelectAll = nullptr;  // Ctrl+A in the list
  // The status line.
  QLabel* lblStatus = nullptr;
  QProgressBar* prgBatch = nullptr;
  QToolButton* btnPauseBatch = nullptr;  // "暂停" / "继续"
  QToolButton* btnStopBatch = nullptr;
  // Controls that exist but are not shown.
  QCheckBox* chkThreadMode = nullptr;
  QLineEdit* edtThreadCount = nullptr;
  TRadioGroup* grpLogLevel = nullptr;
  TRadioGroup* grpPriority = nullptr;
  QCheckBox* chkLoadVerNum = nullptr;
  QPlainTextEdit* memLog = nullptr;
  QPushButton* btnSetStart = nullptr;
  QPushButton* btnSetEnd = nullptr;
  QWidget* pnlPreview = nullptr;
  QLabel* imgStill = nullptr;
  QSlider* trcStill = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void BuildControls();
  void BuildMoreFormatsControl(QWidget* client);
  void BuildMenus();
  // Shortcuts of the menus and the window's keys (MainFrmLayout.cpp).
  void BuildShortcuts();
  // The status line under the list (MainFrmLayout.cpp).
  void BuildStatusLine();
  // Which edges the controls follow when the window is resized.
  void AnchorControls();
  // The output folder field: what empty means, and a way back to it.
  void BuildOutputPathField();
  void WireComponent();
  void Log(const QString& line);
  void LogBlock(const QString& line);  // an empty line, the line, an empty line
  bool LoadLibraries();
  // Checked files back from the checker: rows made (or marked failed) for a
  // slice of time, the rest on the next turn of the event loop.
  void TakeCheckedFiles();
  void AddChecked(const TCheckedFile& file);
  void ConvertChecked(const TCheckedFile& file);
  // A folder's files have all come back.
  void FolderChecked(const TCheckedFile& folder);
  // Composes the records of a checked file (cut marks in seconds, 0 0 for
  // none) and makes its task, in the given row or (row -1) a new one.
  bool CreateTaskFor(const TCheckedFile& file, double cutStart, double cutEnd, QString* error,
                     int row = -1);
  void StartConverting();
  // Starts a batch of those rows (a new batch: every task is freed first).
  void StartBatch(const std::vector<int>& rows);
  // Checks the rows again and remakes their tasks as they come back.
  void ConvertRows(const std::vector<int>& rows);
  // The batch has ended: the summary, and the notification.
  void FinishBatch();
  void UpdateStatus();
  void UpdateActions();
  // The rows of the batch as it counts them.
  std::vector<TBatchRow> BatchRows() const;
  // The names the outputs of rows not converted or converting will take.
  void RefreshOutputNames();
  // The folder to start the choosers at: the output folder, else the
  // selected (or first) row's source folder, else the home folder.
  QString StartFolder() const;
  void MarkRowFailed(int row, const QString& reason);
  void SetBusy(bool busy);
  // Copies the folder and the format of the window into the options dialog.
  void ApplyWindowChoices();
  // Adds the task and fills its row (a new one when row is -1); false (with
  // log lines, and the reason in *error when given) when the task cannot be
  // made.
  bool CreateTask(TInputOptions& input, TOutputOptions& output, const TCheckedFile& file,
                  QString* error, int row);
  // Appends a row for the source and its entries of the per-row lists
  // (target "" and task -1 for a file without a task).
  QTreeWidgetItem* AppendRow(const QString& source, const QString& target, int task);
  void AddFailedRow(const QString& source, const QString& reason);
  // Shows the output's name in the row and keeps its path and folder.
  void SetRowOutput(int row, const QString& target);
  void ShowStillPicture(const QString& file);
  void SetEditButtons(bool enabled);
  int SelectedRow() const;  // the current row when it is selected; -1 none
  std::vector<int> SelectedRows() const;  // ascending
  // The player's position into the selected row's entry of a pair of cut
  // lists (seconds, "hh:mm:ss"); nothing without a row or a player.
  void MarkCut(QStringList& seconds, QStringList& clock);
  void SwapRows(int a, int b);
  void RemoveRowData(int row);
  // Frees a row's task (renumbering the other rows' tasks).
  void DropTask(int row);
  int RowOfTask(int task) const;
  std::vector<std::string> ReservedOutputNames() const;
  // Runs a change of Pelix's task list (its indexes change): events raised
  // before the change's end are dropped.
  void ChangeTaskList(const std::function<void()>& change);
  // Frees every task and empties the rows with their per-row lists; the
  // files stay listed (SourceFiles and the cut marks).
  void ClearTasksAndRows();
  void StopComponent();
  void ReadConfig();
  void WriteConfig();
  // The format and the settings dialog's choices in the settings file.
  void ReadChoices(QSettings& settings, const QString& section);
  void WriteChoices(QSettings& settings, const QString& section);

  // Called on the thread that fires an event: runs show on the GUI thread
  // unless the task list has changed, or the window shut down, since.
  void ShowOnGuiThread(std::function<void()> show);
  void ShowProgress(int task, int currentDuration, int64_t currentSize, int totalDuration);
  void SetRowState(int row, TRowState state);
  // written: the name the output took ("" when none).
  void ShowTermination(int task, bool finished, bool exception, const QString& message,
                       TJobOutcome outcome, const QString& reason, const QString& written);

  TQtMainThread* MainThread;
  std::unique_ptr<TREzuvuZUZ> Pelix;
  std::unique_ptr<TREzuvuZUZ> Pelix1;
  TfrmOption* frmOption = nullptr;
  TPlaybackPreview* Graph;
  QString FConfigFile;
  TFileChecker* Checker;
  enum : int { ckAdd = 1, ckConvert = 2 };  // what a checked file is for
  std::vector<std::string> ConvertReserved;  // output names of the run being built
  QString LastAdded;  // the last file added by the current add, for the still picture
  int AddedCount = 0, SkippedCount = 0;  // files of the current add, and files skipped in its folders
  bool ConvertPending = false;  // Convert waits for the files being added
  // The batch: its rows, since when it runs (paused time left out), what
  // was converted before it started, whether the user stopped it.
  QElapsedTimer BatchClock;
  qint64 PausedMs = 0, PausedAt = 0;
  int64_t DoneAtStartMs = 0;
  bool BatchPaused = false;
  bool BatchStopped = false;
  bool BatchEnded = false;  // the summary shows
  QTimer* StatusTimer = nullptr;
  QString FStatusPlain;  // the status line without its link
  TAnchorLayout* Anchors = nullptr;
  bool Busy = false;  // the busy cursor is shown
  int FParallelJobs;
  bool FSplitEncoding = true;  // long files are encoded in chunks on idle cores
  std::atomic<unsigned> Generation{0};
  bool Running = false;
  bool Shown = false;
  bool ShutDown = false;
};
