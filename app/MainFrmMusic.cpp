// The main window's music choices: the further formats beside the six radio
// buttons (one choice among all of them) and the settings of the page "音乐".
#include "MainFrm.h"

#include <QFileInfo>

void TfrmMain::BuildMoreFormatsControl(QWidget* client) {
  cboMoreFormats = BuildMoreFormats(client);
  // In the group's free room after its six buttons.
  cboMoreFormats->setGeometry(500, 10, 100, 24);
  // OGG and VORBIS are both Ogg files: what each holds tells them apart.
  const int ogg = cboMoreFormats->findText("OGG");
  if (ogg >= 0) cboMoreFormats->setItemData(ogg, tr("无损：Ogg 封装的 FLAC（文件较大）"), Qt::ToolTipRole);
  const int vorbis = cboMoreFormats->findText("VORBIS");
  if (vorbis >= 0)
    cboMoreFormats->setItemData(vorbis, tr("有损：Ogg Vorbis（文件较小）"), Qt::ToolTipRole);
  connect(cboMoreFormats, &QComboBox::activated, this, [this](int index) {
    if (index > 0) RadioGroup1->SetItemIndex(-1);
  });
  connect(RadioGroup1, &TRadioGroup::Clicked, this, [this](int) {
    cboMoreFormats->setCurrentIndex(0);
  });
}

QString TfrmMain::ChosenFormat() const {
  if (cboMoreFormats && cboMoreFormats->currentIndex() > 0) return cboMoreFormats->currentText();
  return RadioGroup1->ItemText();
}

QString TfrmMain::PatternPreview(const QString& pattern) {
  // The choices in force with this pattern, put back as they were after.
  const TBatchChoices held = FBatch->Choices;
  FillChoices();
  FBatch->Choices.NamePattern = pattern.toStdString();
  FBatch->Choices.AlbumGain = false;  // a name does not depend on albums
  std::string name;
  const TBatchFile* shown = nullptr;
  for (const TBatchFile& file : FBatch->Files()) {
    if (!file.Probed || file.Outcome == foFailed) continue;
    name = FBatch->PreviewOutputName(file.Id);
    shown = &file;
    break;
  }
  FBatch->Choices = held;
  if (!shown || name.empty()) return QString();
  // Relative to the output folder, or to the source's folder without one.
  const QString full = QString::fromStdString(name);
  QString root = Edit1->text().trimmed();
  if (root.isEmpty()) root = QFileInfo(QString::fromStdString(shown->Source)).path();
  if (!root.endsWith('/')) root += '/';
  return full.startsWith(root) ? full.mid(root.size()) : full;
}
