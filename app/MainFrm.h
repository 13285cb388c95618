// TfrmMain: the main window, a view of one conversion batch (Batch.h). The
// user adds media files, picks one of the output formats and an output
// folder, and converts the list; each row shows one file of the batch: its
// progress, the converted time and the output size.
//
// Two converter components: Pelix converts, under the batch, which takes
// its events; Pelix1 only opens an added file for the (hidden) still-picture
// preview. The options dialog TfrmOption, created on first use and never
// shown by the workflow, holds the hidden choices the batch composes over
// (Choices.Base).
//
// Rows and the batch's files stay aligned: row r shows Batch().Files()[r],
// its item holding the file's id (FILE_ID_ROLE of the name column). A file
// that cannot be converted keeps its row, marked "失败" with the reason as
// its tooltip; a file converted from a damaged source shows its percentage
// with "(损坏)" and the reason.
//
// Files are checked (probed) off the GUI thread by a TFileChecker, several
// at once; the results are handed to the batch in the order the files were
// given, a batch every ADD_BATCH_MS (a slice of time at most), their rows
// inserted at once, so that adding a long list keeps the window responsive. A folder
// added stands for every file with sound under it (the batch skips the
// others and the window counts them); the outputs of those files keep their
// sub-folder below the output folder.
//
// Convert starts the batch on the files not converted yet, asking first when
// every file is converted already; during a run it asks before it stops and
// converts the whole list again. Files added while it runs join it.
// StopBatch ends the running files (their outputs removed) and leaves the
// rest for the next Convert; PauseBatch / ResumeBatch hold and release them.
// The status line under the list counts the list as it is (the batch's
// figures), the time taken and left, and sums the run up at its end (with a
// desktop notification when the window is not active).
//
// The name column takes the width the other columns leave; a folder column
// (hidden at first) and the others are shown or hidden from the header's
// context menu. Column widths, hidden columns and the window's place are
// kept in the settings file. Clearing or closing during a run asks first.
//
// The output-name column shows, for every row not converted or converting,
// the name its output will take with the window's current choices. An empty
// output folder means beside each source.
//
// Threads: every method runs on the GUI thread; the batch's events arrive
// there (Pelix's main thread is the Qt loop).
//
// Seams for tests (no modal file dialog involved): AddFiles, SetOutputFolder;
// message boxes, questions and notifications go to the sinks of
// AppSupport.h and DesktopNotifier.h.
#pragma once
#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Batch.h"
#include "BatchStatus.h"
#include "FileChecker.h"
#include "Language.h"
#include "MusicSettings.h"
#include "QualitySettings.h"
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
  fcFolder = 7,  // the source's folder; hidden until chosen in the header's menu
  FILE_COLUMN_COUNT = 8
};

// The window's settings file: "Config.ini" beside the executable, or in the
// user's configuration folder when that one is not writable.
QString DefaultConfigFile();
// The settings file's window section, whatever the case of its name.
QString ConfigSection(QSettings& settings);

// The data role of a row's name column that holds its file's batch id.
inline constexpr int FILE_ID_ROLE = Qt::UserRole;

class TAnchorLayout;
class TfrmSkipped;

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
  // "转换": converts the files not converted yet; when every file is
  // converted already, asks before it converts them all again. During a run
  // it asks before it stops the run and converts the whole list again.
  void Convert();
  // The running batch: stop (the rows not started stay for the next
  // Convert), pause and resume. Nothing without a batch.
  void StopBatch();
  void PauseBatch();
  void ResumeBatch();
  bool Paused() const { return FBatch->Paused(); }
  // Selects the failed rows and shows the first.
  void SelectFailedRows();
  // The window listing the files the current add skipped, with their
  // reasons (the status line's "跳过 …" link); null before it was opened.
  void ShowSkippedFiles();
  TfrmSkipped* SkippedWindow() const { return frmSkipped; }
  // The header's context menu: every column with a check box that shows or
  // hides it (the name column always shows). The caller owns it.
  QMenu* ColumnMenu();
  // Removes the selected rows.
  void RemoveSelected();
  // Empties the list; during a run it asks first (stop and clear, or keep
  // converting).
  void ClearList();
  void MoveUp();
  void MoveDown();
  // The folder browser's choice; "" means beside each source.
  void SetOutputFolder(const QString& folder);
  void ChooseOutputFolderDialog();
  void OpenOutputFolder();
  // Opens the help file in the browser; says where it is when nothing opens it.
  void OpenHelp();
  void ShowSettings();
  void ShowAbout();
  // Plays the selected row's source; says so when there is no sound device
  // (it plays silently) or the player fails.
  void Play();
  void PausePlayback();
  // Loads the selected row's source into the player unless it is loaded;
  // false without a selected row.
  bool LoadSelectedSource();
  // The player's position as the selected row's cut start (end): its file
  // converts that clip.
  void SetCutStart();
  void SetCutEnd();
  // Closes the window (as its close button: asks first during a run).
  void Exit();

  // The options dialog, created on first use.
  TfrmOption* OptionForm();
  TREzuvuZUZ* Converter() { return Pelix.get(); }
  // The list and its run; the rows are its view.
  TConversionBatch& Batch() { return *FBatch; }
  TPlaybackPreview* Playback() { return Graph; }
  // A run goes on (or one stops to start the list again).
  bool Converting() const { return FBatch->Running() || RestartPending; }
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

  // ---- Controls ----
  TRadioGroup* RadioGroup1 = nullptr;
  QComboBox* cboMoreFormats = nullptr;  // the further formats (MainFrmMusic.cpp)
  TMusicSettings MusicSettings;         // the settings dialog's page "音乐"
  TQualityChoices QualityChoices;       // the settings dialog's page "音质"
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
  // The batch's events into the rows and the status line.
  void WireBatch();
  void Log(const QString& line);
  void LogBlock(const QString& line);  // an empty line, the line, an empty line
  bool LoadLibraries();
  // Checked files back from the checker: handed to the batch (rows made,
  // then inserted at once) for a slice of time, the rest in the next batch.
  void TakeCheckedFiles();
  // The next TakeCheckedFiles: at once, or a batch period after the last.
  void ScheduleTake();
  // Hands a checked file to the batch; the rows of what it listed are made
  // into rows (not inserted yet). True when one of them is not a failure.
  bool AddChecked(const TCheckedFile& file, QList<QTreeWidgetItem*>& rows);
  // Appends the rows made to the list in one insertion, and empties rows.
  void InsertRows(QList<QTreeWidgetItem*>& rows);
  // A folder's files have all come back.
  void FolderChecked(const TCheckedFile& folder);
  // The window's choices into the batch's (format, folder, settings dialog,
  // music page, jobs).
  void FillChoices();
  // Starts the run: the files not converted yet, or (everything) all again.
  void StartRun(bool everything);
  // The run has ended: the summary, and the notification.
  void FinishBatch();
  void UpdateStatus();
  void UpdateActions();
  // The names the outputs of rows not converted or converting will take:
  // a long list a slice of time at a time (NameSomeRows), starting anew
  // when called again.
  void RefreshOutputNames();
  void NameSomeRows();
  void StopNaming();
  // Drops the files being added, the names being worked out and a conversion
  // waiting for them (清空, closing).
  void DropPendingWork();
  // The first row's output name under a name pattern, relative to where the
  // names go (the settings dialog's preview); "" when no row has one.
  QString PatternPreview(const QString& pattern);
  // The folder to start the choosers at: the output folder, else the
  // selected (or first) row's source folder, else the home folder.
  QString StartFolder() const;
  void SetBusy(bool busy);
  // Copies the folder and the format of the window into the options dialog.
  void ApplyWindowChoices();
  // The row of a file of the batch; null when it has none.
  QTreeWidgetItem* RowOf(uint64_t id) const;
  static uint64_t IdOf(const QTreeWidgetItem* item);
  // The file a row shows (null when the batch holds none for it).
  const TBatchFile* FileOfRow(int row) const;
  // The row of a file of the batch, known by its id (RowOf) but not in the
  // list yet.
  QTreeWidgetItem* MakeRow(const TBatchFile& file);
  // Shows a file's state in its row: progress, time, size, output name.
  void ShowFile(const TBatchFile& file);
  void ShowAllFiles();
  // Shows the output's name in the row (its whole path as the tooltip).
  // all: every output's name, one a line, for the tooltip ("" the target).
  void SetRowOutput(QTreeWidgetItem* item, const QString& target, const QString& all = QString());
  void ShowStillPicture(const QString& file);
  void SetEditButtons(bool enabled);
  int SelectedRow() const;  // the current row when it is selected; -1 none
  std::vector<int> SelectedRows() const;  // ascending
  // The player's position as the selected row's cut start or end.
  void MarkCut(bool start);
  void SwapRows(int a, int b);
  void ReadConfig();
  void WriteConfig();
  // The list's columns: the name column takes the free width, the header's
  // menu shows or hides columns (MainFrmLayout.cpp).
  void BuildColumns();
  // The window's place and size and the list's columns in the settings file.
  void ReadLayoutConfig(QSettings& settings, const QString& section);
  void WriteLayoutConfig(QSettings& settings, const QString& section);
  // The format and the settings dialog's choices in the settings file.
  void ReadChoices(QSettings& settings, const QString& section);
  void WriteChoices(QSettings& settings, const QString& section);

  TQtMainThread* MainThread;
  std::unique_ptr<TREzuvuZUZ> Pelix;
  std::unique_ptr<TREzuvuZUZ> Pelix1;
  std::unique_ptr<TConversionBatch> FBatch;  // over Pelix; goes before it
  std::map<uint64_t, QTreeWidgetItem*> Rows;  // by file id
  TfrmOption* frmOption = nullptr;
  TPlaybackPreview* Graph;
  QString FConfigFile;
  TFileChecker* Checker;
  enum : int { ckAdd = 1 };
  QString LastAdded;  // the last file added by the current add, for the still picture
  // Checked files are taken a batch at a time: one every ADD_BATCH_MS at
  // most, working ADD_SLICE_MS at most.
  static constexpr int ADD_BATCH_MS = 50, ADD_SLICE_MS = 30;
  QTimer* AddTimer = nullptr;
  QElapsedTimer LastTake;  // when the last batch was taken
  // The output names being worked out, and the next slice of them.
  std::unique_ptr<TConversionBatch::TNamePreview> NamePreview;
  QTimer* NamesTimer = nullptr;
  int AddedCount = 0, SkippedCount = 0;  // files of the current add, and files skipped in its folders
  size_t SkippedFrom = 0;  // the current add's first file in the batch's Skipped()
  TfrmSkipped* frmSkipped = nullptr;
  // Files of each folder being added that the batch listed, and skipped.
  std::map<std::string, std::pair<int, int>> FolderCounts;
  bool ConvertPending = false;  // Convert waits for the files being added
  bool RestartPending = false;  // the run stops to convert the whole list again
  bool ContinueRun = false;     // the run ended while files were added: they go on with it
  QTimer* StatusTimer = nullptr;
  QString FStatusPlain;  // the status line without its link
  TAnchorLayout* Anchors = nullptr;
  bool Busy = false;  // the busy cursor is shown
  int FParallelJobs;
  bool FSplitEncoding = true;  // long files are encoded in chunks on idle cores
  bool FSync = false;          // only new or changed files are converted
  bool FDeleteOrphans = false; // with FSync: outputs of gone sources are removed
  TLanguageChoice FLanguage = lcSystem;  // "语言": read at start (Language.h), kept here
  bool Shown = false;
  bool ShutDown = false;
};
