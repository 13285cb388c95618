#include "QualitySettings.h"

#include <QFormLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "Quality.h"

namespace {

// The item that stands for the format's default.
const char* const DEFAULT_ITEM = QT_TRANSLATE_NOOP("TQualityPage", "默认");

// The formats of the page and their usual choices, in display order.
struct TFormatRow {
  const char* Format;
  const char* Caption;
  QStringList Items;
};

const std::vector<TFormatRow>& Rows() {
  static const std::vector<TFormatRow> rows = {
      {"MP3", "MP3 (VBR V0-V9 / CBR)", {"V0", "V2", "V4", "V6", "128k", "192k", "256k", "320k"}},
      {"AAC",
       QT_TRANSLATE_NOOP("TQualityPage", "AAC (质量 q / 比特率)"),
       {"q0.5", "q1", "q1.5", "128k", "192k", "256k"}},
      {"M4A",
       QT_TRANSLATE_NOOP("TQualityPage", "M4A (质量 q / 比特率)"),
       {"q0.5", "q1", "q1.5", "128k", "192k", "256k"}},
      {"VORBIS",
       QT_TRANSLATE_NOOP("TQualityPage", "Vorbis (质量 q-1 至 q10)"),
       {"q3", "q5", "q7", "q10", "128k", "192k"}},
      {"OPUS",
       QT_TRANSLATE_NOOP("TQualityPage", "Opus (比特率:vbr/cvbr/cbr)"),
       {"64k:vbr", "96k:vbr", "128k:vbr", "160k:vbr", "96k:cvbr", "128k:cbr"}},
      {"FLAC",
       QT_TRANSLATE_NOOP("TQualityPage", "FLAC (压缩级别)"),
       {"level0", "level5", "level8"}},
      {"OGG",
       QT_TRANSLATE_NOOP("TQualityPage", "OGG (FLAC, 压缩级别)"),
       {"level0", "level5", "level8"}},
      {"MP2", QT_TRANSLATE_NOOP("TQualityPage", "MP2 (比特率)"), {"128k", "192k", "256k", "384k"}},
      {"WMA", QT_TRANSLATE_NOOP("TQualityPage", "WMA (比特率)"), {"64k", "128k", "192k"}},
  };
  return rows;
}

// The list's text in its usual form ("v2" as "V2"); a text that is not a
// quality stays as typed, for Check to refuse.
std::string ListText(const QComboBox* list) {
  const QString text = list->currentText().trimmed();
  // The first item, in the window's language (or as typed in Chinese).
  if (text == list->itemText(0) || text == QString(DEFAULT_ITEM)) return "";
  TQuality quality;
  std::string why;
  return ParseQuality(text.toStdString(), quality, why) ? QualityText(quality)
                                                        : text.toStdString();
}

}  // namespace

std::string TQualityChoices::Text() const {
  std::string text;
  for (const auto& [format, quality] : ByFormat)
    if (!quality.empty()) text += (text.empty() ? "" : ",") + format + "=" + quality;
  return text;
}

TQualityPage::TQualityPage(QTabWidget* pages) : QWidget(pages) {
  auto* rows = new QVBoxLayout(this);
  auto* form = new QFormLayout();
  for (const TFormatRow& row : Rows()) {
    auto* list = new QComboBox(this);
    list->setEditable(true);
    list->addItem(tr(DEFAULT_ITEM));
    list->addItems(row.Items);
    list->setToolTip(
        tr("V0-V9: MP3 VBR; 192k: 比特率; 96k:vbr/cvbr/cbr: Opus; q5: 编码器质量; "
           "level8: FLAC 压缩级别"));
    form->addRow(tr(row.Caption), list);
    Lists[row.Format] = list;
  }
  rows->addLayout(form);
  auto* note = new QLabel(tr("按所选格式的编码器使用；编码器不接受的值在转换前被拒绝。"), this);
  note->setWordWrap(true);
  rows->addWidget(note);
  rows->addStretch();
  pages->addTab(this, tr("音质"));
}

void TQualityPage::Show(const TQualityChoices& choices) {
  for (const auto& [format, list] : Lists) {
    const auto found = choices.ByFormat.find(format);
    const QString text = found == choices.ByFormat.end() || found->second.empty()
                             ? tr(DEFAULT_ITEM)
                             : QString::fromStdString(found->second);
    const int item = list->findText(text, Qt::MatchFixedString);
    if (item >= 0)
      list->setCurrentIndex(item);
    else
      list->setEditText(text);
  }
}

TQualityChoices TQualityPage::Read() const {
  TQualityChoices choices;
  for (const auto& [format, list] : Lists) {
    const std::string text = ListText(list);
    if (!text.empty()) choices.ByFormat[format] = text;
  }
  return choices;
}

bool TQualityPage::Check(QString& why) const {
  for (const TFormatRow& row : Rows()) {
    const std::string text = ListText(Lists.at(row.Format));
    TQualitySettings settings;
    std::string reason;
    if (!text.empty() && !ComposeQuality(text, row.Format, 0, 0, settings, reason)) {
      why = QString::fromStdString(reason);
      return false;
    }
  }
  return true;
}

void ReadQualityConfig(QSettings& settings, const QString& section, TQualityChoices& choices) {
  choices = TQualityChoices();
  for (const TFormatRow& row : Rows()) {
    const std::string text =
        settings.value(section + "/quality_" + row.Format).toString().trimmed().toStdString();
    // A text no longer understood is left out: the format's default.
    TQuality quality;
    std::string why;
    if (!text.empty() && ParseQuality(text, quality, why))
      choices.ByFormat[row.Format] = QualityText(quality);
  }
}

void WriteQualityConfig(QSettings& settings, const QString& section,
                        const TQualityChoices& choices) {
  for (const TFormatRow& row : Rows()) {
    const auto found = choices.ByFormat.find(row.Format);
    settings.setValue(section + "/quality_" + row.Format,
                      QString::fromStdString(found == choices.ByFormat.end() ? "" : found->second));
  }
}
