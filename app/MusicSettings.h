// The window's music choices: the further formats beside the six radio
// buttons, and the settings dialog's page "音乐" (cover from the folder,
// source time, loudness levelling, ReplayGain, album gain by folder, the
// encoding of tags that claim Latin-1, the output names' pattern, the sound
// formats written beside the chosen one "同时输出"),
// remembered in Config.ini. The window hands them to its batch, which forms
// the albums by folder itself. GUI thread only.
#pragma once
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QTabWidget>
#include <functional>
#include <string>
#include <vector>

#include "LegacyText.h"
#include "OptionComposer.h"

// What the window remembers of the music page.
struct TMusicSettings {
  TMusicControls Controls;  // the composer's music controls (Album unused here)
  bool AlbumGain = false;   // the files of one folder form an album
  TTagEncoding TagEncoding = teAuto;  // how added and converted files' tags are read
  bool UseCue = true;        // a cue sheet or disc image is added as its tracks
  bool GapsAtStart = false;  // a track's pregap starts it rather than ending the one before
  std::string NamePattern;   // outputs named from tags (NamePattern.h); "" after the source
  // "同时输出": sound formats written beside the chosen one from the same
  // decoding of each source (items of AlsoFormatItems, in their order).
  std::vector<std::string> AlsoFormats;
};

// The formats "同时输出" offers: the sound formats.
inline constexpr std::array<const char*, 11> AlsoFormatItems = {
    "MP3", "AAC", "M4A", "OPUS", "VORBIS", "FLAC", "WAV", "OGG", "MP2", "WMA", "AC3"};
// The further formats of a batch: those ticked, without the chosen one.
std::vector<std::string> FurtherFormats(const TMusicSettings& music, const std::string& chosen);

// The page "音乐" of the settings dialog.
class TMusicPage : public QWidget {
  Q_OBJECT

 public:
  explicit TMusicPage(QTabWidget* pages);
  void Show(const TMusicSettings& settings);  // controls from the settings
  TMusicSettings Read() const;                // the settings from the controls
  QCheckBox* chkFolderCover;
  QCheckBox* chkKeepTime;
  QCheckBox* chkNormalize;
  QDoubleSpinBox* spnTarget;  // LUFS
  QCheckBox* chkReplayGain;
  QCheckBox* chkAlbumGain;
  QComboBox* cboTagEncoding;  // "标签编码"
  QCheckBox* chkUseCue;
  QCheckBox* chkGapsAtStart;
  // "文件名模板": outputs named from their tags; empty names them as the source.
  QLineEdit* edtNamePattern;
  QLabel* lblNamePreview;  // the pattern's reason when refused, else the first row's name
  // Set by the owner: the first row's name under a pattern, shown as the
  // pattern is typed ("" when the list has none to show).
  std::function<QString(const QString& pattern)> PreviewName;
  void UpdateNamePreview();
  std::vector<QCheckBox*> chkAlsoFormats;  // one per AlsoFormatItems
};

// The combo box of the further formats ("更多格式" first: none chosen).
QComboBox* BuildMoreFormats(QWidget* parent);

void ReadMusicConfig(QSettings& settings, const QString& section, TMusicSettings& music);
void WriteMusicConfig(QSettings& settings, const QString& section, const TMusicSettings& music);
