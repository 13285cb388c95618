// The window's quality per format: the settings dialog's page "音质", one
// editable list per format with the usual choices ("V2", "192k",
// "96k:vbr", "q5", "level8"; Quality.h reads them), remembered in
// Config.ini and handed to the batch as one list "MP3=V2,OPUS=96k:vbr". The
// batch checks the chosen format's quality again before a run. GUI thread
// only.
#pragma once
#include <QComboBox>
#include <QSettings>
#include <QTabWidget>
#include <map>
#include <string>

// What the window remembers: a quality text per format ("" the default).
struct TQualityChoices {
  std::map<std::string, std::string> ByFormat;  // FormatItems name, upper case
  // The batch's quality text (TBatchChoices::Quality); "" when all are default.
  std::string Text() const;
};

// The page "音质" of the settings dialog.
class TQualityPage : public QWidget {
  Q_OBJECT

 public:
  explicit TQualityPage(QTabWidget* pages);
  void Show(const TQualityChoices& choices);  // lists from the choices
  TQualityChoices Read() const;               // the choices from the lists
  // Each format's text checked against its encoder in the loaded libraries;
  // false with the first refusal's reason.
  bool Check(QString& why) const;
  std::map<std::string, QComboBox*> Lists;  // by format
};

void ReadQualityConfig(QSettings& settings, const QString& section, TQualityChoices& choices);
void WriteQualityConfig(QSettings& settings, const QString& section,
                        const TQualityChoices& choices);
