// TfrmOption: the output options dialog. It is the composer of every task's
// option records: its controls mirror a TComposerState, and ComposeOutput /
// ComposeInput hand that state to the composition rules of OptionComposer.h.
// The main window creates it once and drives it without showing it (output
// folder, format, source probe, time bar, "Set Start" / "Set End"); the
// settings dialog writes its audio channel, sample-rate and bit-rate controls.
// Shown as a dialog it also previews the source, marks a clip and checks the
// output folder.
//
// The source probe given to LoadSource stays its caller's; the dialog reads it
// while the time bar moves and must not outlive it.
//
// Threads: GUI thread only.
#pragma once
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

#include "OptionComposer.h"
#include "RadioGroup.h"

class TAVProbe;

// The preview picture: a label that reports clicks.
class TPreviewImage : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;
 signals:
  void Clicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};

class TfrmOption : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmOption(QWidget* parent = nullptr);

  // Takes a probe that has the source open: preview, time bar, info text.
  void LoadSource(TAVProbe* probe);
  // The same from what a probe told of the file elsewhere (no probe stays).
  void LoadSource(const TSourceFacts& facts, const QString& infoText);
  // Fill the records from the current settings (both reset first).
  void ComposeOutput(TOutputOptions& options);
  void ComposeInput(TInputOptions& options);

  // Selects the format item by its text ("MP3"); false for an unknown item.
  bool SelectFormat(const QString& item);
  // The settings dialog's "确定": channel and sample-rate item indexes, the
  // bit-rate text, and whether the user chose a bit rate at all (only then is
  // the audio bit rate switched on).
  void ApplyAudioSettings(int channels, int sampleRate, const QString& bitRate,
                          bool bitRateChosen);
  // Output names already given to other tasks of the run being built.
  void SetReservedNames(const std::vector<std::string>& names);
  // The folder button after the folder browser: refuses a CD-ROM folder
  // (false, with a message), else sets the output folder with a trailing '/'.
  bool ChooseOutputFolder(const QString& folder);
  // The OK check: false (with a message, focus on the folder button) when the
  // output folder, or the source's when it is "<same as input>", is on a CD-ROM.
  bool CheckOutputDrive();
  // The picture pop-up for the current picture (null when there is none);
  // the caller shows it.
  QDialog* CreatePicturePopup();
  // The current settings as the composer sees them.
  const TComposerState& State();

  // ---- Controls ----
  TRadioGroup* grpFormats;
  TRadioGroup* grpNorm;
  TRadioGroup* grpAudioChannels;
  TRadioGroup* grpAudioSampleRate;
  QCheckBox* chkAudioVolume;
  QLineEdit* edtAudioVolume;
  QComboBox* cboFrameSize;
  TRadioGroup* grpFrameRate;
  TRadioGroup* grpAspectRatio;
  QCheckBox* chkVideoBitRate;
  QLineEdit* edtVideoBitRate;
  QCheckBox* chkAudioBitRate;
  QLineEdit* edtAudioBitRate;
  TRadioGroup* grpAudioCodec;
  TRadioGroup* grpVideoCodec;
  QCheckBox* chkCrop;
  QLineEdit* edtCropTop;
  QLineEdit* edtCropBottom;
  QLineEdit* edtCropLeft;
  QLineEdit* edtCropRight;
  QCheckBox* chkPad;
  QLineEdit* edtPadTop;
  QLineEdit* edtPadBottom;
  QLineEdit* edtPadLeft;
  QLineEdit* edtPadRight;
  TPreviewImage* imgPreview;
  QSlider* trcPreview;
  QLabel* lblPTS;
  QPushButton* btnSetStart;
  QPushButton* btnSetEnd;
  QLineEdit* edtStartTime;
  QLineEdit* edtEndTime;
  QCheckBox* chkCutClip;
  QRadioButton* rdoExternalHook;
  QRadioButton* rdoCustomHook;
  QCheckBox* chkImlib2Img;
  QCheckBox* chkImgDancing;
  QCheckBox* chkImlib2Txt;
  QLineEdit* edtImlib2Txt;
  QCheckBox* chkTxtScrolling;
  QCheckBox* chkWaterMark;
  QCheckBox* chkWaterMarkMode;
  QCheckBox* chkPaintHookImg;
  QCheckBox* chkPaintHookTxt;
  QLineEdit* edtPaintHookTxt;
  QRadioButton* rdoStandardHook;
  QRadioButton* rdoBeforeHook;
  QRadioButton* rdoPTSs;
  QLineEdit* edtPTSs;
  QPushButton* btnPTSsHelp;
  QCheckBox* chkVertFlip;
  QCheckBox* chkHoriFlip;
  QCheckBox* chkNegate;
  QCheckBox* chkScale;
  QLineEdit* edtScale;
  QCheckBox* chkRotate;
  QLineEdit* edtRotate;
  QCheckBox* chkSetPTS;
  QLineEdit* edtSetPTS;
  QCheckBox* chkCopyTimestamp;
  QCheckBox* chkOverwrite;
  QLineEdit* edtOutPath;
  QPushButton* btnOutPath;
  QPlainTextEdit* memInfo;
  QPushButton* btnOK;
  QPushButton* btnCancel;

  // The hook folder the enabling rules look in; empty: "vhook/" beside the executable.
  void SetHookFolder(const QString& folder);
  // Enables the hook controls by the rules of HookControlsEnabled.
  void UpdateHookControls();

 public slots:
  void accept() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void BuildControls();
  QWidget* BuildAudioVideoPage();
  QWidget* BuildClipPage();
  QWidget* BuildHookPage();
  // Widgets → state (everything but the source facts and the time bar).
  void ReadControls();
  void TimeBarMoved(int position);
  void SetStart();
  void SetEnd();
  void ShowClipControls();
  void ShowPTSsHelp();
  // The output folder; the source's folder for "<same as input>".
  QString OutputFolder() const;
  void BrowseOutputFolder();
  void ShowPicturePopup();

  TComposerState FState;
  // The source's facts, info text and probe (null: none) into the controls.
  void ShowSource(const TSourceFacts& facts, const QString& infoText, TAVProbe* probe);
  TAVProbe* Probe = nullptr;
  QImage Picture;        // the last picture taken from the source
  int64_t PictureTime = 0;  // its time in µs
};
