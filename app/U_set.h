// TFrm_set: the settings dialog "参数设置". It sets the audio channel mode,
// sample rate and bit rate of the next conversion by writing them into the
// options dialog. "确定" applies and leaves the dialog open; "取消" closes it
// without undoing what was applied. Every opening shows the choices in force
// (the first items until something was chosen; the window keeps them in
// its settings file).
// A second page sets how many files convert at once, and the language.
#pragma once
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QPushButton>
#include <QSpinBox>

class TfrmOption;
class TMusicPage;
class TQualityPage;

class TFrm_set : public QDialog {
  Q_OBJECT
 public:
  // options: the dialog the settings are written into; it must outlive this one.
  explicit TFrm_set(TfrmOption* options, QWidget* parent = nullptr);

  void Apply();  // "确定"

  QComboBox* cboChannels;
  QComboBox* cboSampleRate;
  QComboBox* cboBitRate;
  // Page "转换": how many files convert at once (the owner reads it on "确定").
  QSpinBox* spnJobs;
  // Page "转换": a long file is encoded in chunks on the idle cores.
  QCheckBox* chkSplit;
  // Page "转换": sync mode (TBatchChoices::Sync) and the removal of the
  // outputs of gone sources (enabled with it).
  QCheckBox* chkSync;
  QCheckBox* chkDeleteOrphans;
  // Page "转换": the language "语言", items by TLanguageChoice (the owner
  // reads it on "确定"; it takes effect at the next start).
  QComboBox* cboLanguage;
  // Page "音乐": cover, time, loudness and ReplayGain (the owner reads it on "确定").
  TMusicPage* MusicPage;
  // Page "音质": a quality per format (the owner checks and reads it on "确定").
  TQualityPage* QualityPage;
  QPushButton* btnOK;
  QPushButton* btnCancel;

 private:
  // The options dialog's channel, sample-rate and bit-rate choices into the lists.
  void ShowChoices();
  TfrmOption* Options;
};
