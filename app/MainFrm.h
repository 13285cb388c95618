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
// responsive. Convert runs at most ParallelJobs tasks at once (the number of
// cores unless set) and starts them as their rows are rebuilt.
//
// Threads: every method runs on the GUI thread. Pelix fires OnProgress and
// OnTerminate on worker threads (or on the GUI thread in main-thread mode);
// the handlers move them to the GUI thread and drop those that belong to a
// task list that has changed since (see Generation).
//
// Seams for tests (no modal file dialog involved): AddFiles, SetOutputFolder.
#pragma once
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QTreeWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FileChecker.h"
#include "MusicSettings.h"
#include "RadioGroup.h"
#include "REzuvuZUZ.h"

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

class TfrmMain : public QMainWindow {
  Q_OBJECT
 public:
  // configFile: the settings file; empty: "Config.ini" beside the executable
  // (the user's configuration folder when that one is not writable).
  explicit TfrmMain(QWidget* parent = nullptr, const QString& configFile = QString());
  ~TfrmMain() override;

  // ---- Commands ----
  // Adds files exactly as "添加" does after its dialog, and as a drop does.
  void AddFiles(const QStringList& files);
  void Convert();
  void RemoveSelected();
  void ClearList();
  void MoveUp();
  void MoveDown();
  void SetOutputFolder(const QString& folder);  // the folder browser's choice
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
  QStringList LogLines() const;

  // ---- Per-file lists (row order) ----
  QStringList SourceFiles;
  QStringList CutStarts, CutEnds;          // seconds as "%d.%.3d"
  QStringList CutStartTexts, CutEndTexts;  // "hh:mm:ss"
  QStringList OutputFolders;
  std::vector<TOutputFile> OutputFiles;
  std::vector<int> TaskIndexes;  // Pelix's task of each row; -1 none

  // ---- Controls ----
  TRadioGroup* RadioGroup1 = nullptr;
  QComboBox* cboMoreFormats = nullptr;  // the further formats (MainFrmMusic.cpp)
  TMusicSettings MusicSettings;         // the settings dialog's page "音乐"
  // The format chosen: a further format when one is, else the radio button's.
  QString ChosenFormat() const;
  QLineEdit* Edit1 = nullptr;
  QTreeWidget* lvFiles = nullptr;
  QPushButton* btnAdd = nullptr;
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
  QAction* mnuRemove = nullptr;
  QAction* mnuClear = nullptr;
  QAction* mnuExit = nullptr;
  QAction* mnuAbout = nullptr;
  QAction* mnuHelpFile = nullptr;
  QMenu* mnuAction = nullptr;  // "动作": exists, not shown
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
  void WireComponent();
  void Log(const QString& line);
  void LogBlock(const QString& line);  // an empty line, the line, an empty line
  bool LoadLibraries();
  // Checked files back from the checker: rows made (or marked failed) for a
  // slice of time, the rest on the next turn of the event loop.
  void TakeCheckedFiles();
  void AddChecked(const TCheckedFile& file);
  void ConvertChecked(const TCheckedFile& file);
  // Composes the records of a checked file (cut marks in seconds, 0 0 for
  // none) and makes its task and row.
  bool CreateTaskFor(const TCheckedFile& file, double cutStart, double cutEnd, QString* error);
  void StartConverting();
  void SetBusy(bool busy);
  // Copies the folder and the format of the window into the options dialog.
  void ApplyWindowChoices();
  // Adds the task and its row; false (with log lines, and the reason in
  // *error when given) when the task cannot be made.
  bool CreateTask(TInputOptions& input, TOutputOptions& output, const TCheckedFile& file,
                  QString* error);
  // Appends a row for the source and its entries of the per-row lists
  // (target "" and task -1 for a file without a task).
  QTreeWidgetItem* AppendRow(const QString& source, const QString& target, int task);
  void AddFailedRow(const QString& source, const QString& reason);
  void ShowStillPicture(const QString& file);
  void SetEditButtons(bool enabled);
  int SelectedRow() const;
  // The player's position into the selected row's entry of a pair of cut
  // lists (seconds, "hh:mm:ss"); nothing without a row or a player.
  void MarkCut(QStringList& seconds, QStringList& clock);
  void SwapRows(int a, int b);
  void RemoveRowData(int row);
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

  // Called on the thread that fires an event: runs show on the GUI thread
  // unless the task list has changed, or the window shut down, since.
  void ShowOnGuiThread(std::function<void()> show);
  void ShowProgress(int task, int currentDuration, int64_t currentSize, int totalDuration);
  void ShowTermination(int task, bool finished, bool exception, const QString& message,
                       TJobOutcome outcome, const QString& reason);

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
  bool Busy = false;  // the busy cursor is shown
  int FParallelJobs;
  std::atomic<unsigned> Generation{0};
  bool Running = false;
  bool Shown = false;
  bool ShutDown = false;
};
