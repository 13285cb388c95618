#include "MusicSettings.h"

#include <QCoreApplication>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "NamePattern.h"

namespace {
// The items of "标签编码", in their order.
const std::pair<const char*, TTagEncoding> TagEncodingItems[] = {
    {QT_TRANSLATE_NOOP("TMusicPage", "自动"), teAuto},
    {"GBK", teGbk},
    {"Big5", teBig5},
    {"Shift-JIS", teShiftJis},
    {"EUC-KR", teEucKr},
    {"Latin-1", teLatin1}};
}  // namespace

TMusicPage::TMusicPage(QTabWidget* pages) : QWidget(pages) {
  auto* rows = new QVBoxLayout(this);
  chkFolderCover = new QCheckBox(tr("无封面时使用文件夹中的 folder.jpg / cover.jpg"), this);
  chkKeepTime = new QCheckBox(tr("输出文件保留源文件的修改时间"), this);
  chkNormalize = new QCheckBox(tr("响度标准化 (EBU R128，真峰值不超过 -1 dBTP)"), this);
  spnTarget = new QDoubleSpinBox(this);
  spnTarget->setRange(-70.0, -1.0);
  spnTarget->setDecimals(1);
  spnTarget->setSingleStep(0.5);
  spnTarget->setSuffix(" LUFS");
  chkReplayGain = new QCheckBox(tr("写入 ReplayGain 标签 (不改变音频)"), this);
  chkAlbumGain = new QCheckBox(tr("同一文件夹的文件作为专辑 (专辑增益)"), this);
  cboTagEncoding = new QComboBox(this);
  for (const auto& item : TagEncodingItems) cboTagEncoding->addItem(tr(item.first));
  cboTagEncoding->setToolTip(tr("标签中 GBK、Big5 等旧编码的文字按此读取；自动：逐个文件识别"));
  chkUseCue = new QCheckBox(tr("使用 CUE 分轨"), this);
  chkUseCue->setToolTip(
      tr("CUE 文件及带 CUE 的整轨文件按音轨添加，每轨输出一个文件；对之后添加的文件生效"));
  chkGapsAtStart = new QCheckBox(tr("音轨间隙放在下一轨开头"), this);
  chkGapsAtStart->setToolTip(tr("INDEX 00 到 INDEX 01 之间的间隙归入下一轨（默认归入上一轨末尾）"));
  auto* target = new QFormLayout();
  target->addRow(tr("目标响度"), spnTarget);
  auto* encoding = new QFormLayout();
  encoding->addRow(tr("标签编码"), cboTagEncoding);
  for (QWidget* w : std::initializer_list<QWidget*>{chkFolderCover, chkKeepTime, chkNormalize})
    rows->addWidget(w);
  rows->addLayout(target);
  rows->addWidget(chkReplayGain);
  rows->addWidget(chkAlbumGain);
  rows->addLayout(encoding);
  rows->addWidget(chkUseCue);
  rows->addWidget(chkGapsAtStart);
  // Output names from tags, with the first row's name as it is typed.
  edtNamePattern = new QLineEdit(this);
  edtNamePattern->setPlaceholderText("{albumartist}/{year} - {album}/{track:02} - {title}");
  edtNamePattern->setToolTip(
      tr("留空：按源文件命名。字段：%1；{track:02} 补零到两位；“/” 分隔文件夹")
          .arg(QString::fromStdString(NameFieldsText())));
  lblNamePreview = new QLabel(this);
  lblNamePreview->setWordWrap(true);
  lblNamePreview->setTextFormat(Qt::PlainText);
  auto* names = new QFormLayout();
  names->addRow(tr("文件名模板"), edtNamePattern);
  names->addRow("", lblNamePreview);
  rows->addLayout(names);
  auto* also = new QGroupBox(tr("同时输出 (每个文件只解码一次)"), this);
  also->setToolTip(
      tr("勾选的格式与主窗口所选格式一起写出；指定输出文件夹时各格式写入其中的同名子文件夹 (如 "
         "mp3/、opus/)"));
  auto* alsoGrid = new QGridLayout(also);
  for (size_t i = 0; i < AlsoFormatItems.size(); ++i) {
    auto* box = new QCheckBox(AlsoFormatItems[i], also);
    alsoGrid->addWidget(box, static_cast<int>(i / 6), static_cast<int>(i % 6));
    chkAlsoFormats.push_back(box);
  }
  rows->addWidget(also);
  rows->addStretch();
  connect(edtNamePattern, &QLineEdit::textChanged, this, [this] { UpdateNamePreview(); });
  connect(chkNormalize, &QCheckBox::toggled, spnTarget, &QWidget::setEnabled);
  connect(chkReplayGain, &QCheckBox::toggled, chkAlbumGain, &QWidget::setEnabled);
  connect(chkUseCue, &QCheckBox::toggled, chkGapsAtStart, &QWidget::setEnabled);
  pages->addTab(this, tr("音乐"));
  Show(TMusicSettings());
}

void TMusicPage::Show(const TMusicSettings& s) {
  chkFolderCover->setChecked(s.Controls.FolderCover);
  chkKeepTime->setChecked(s.Controls.KeepTime);
  chkNormalize->setChecked(s.Controls.Normalize);
  spnTarget->setValue(QString::fromStdString(s.Controls.Target).toDouble());
  spnTarget->setEnabled(s.Controls.Normalize);
  chkReplayGain->setChecked(s.Controls.ReplayGain);
  chkAlbumGain->setChecked(s.AlbumGain);
  chkAlbumGain->setEnabled(s.Controls.ReplayGain);
  for (int i = 0; i < cboTagEncoding->count(); ++i)
    if (TagEncodingItems[i].second == s.TagEncoding) cboTagEncoding->setCurrentIndex(i);
  chkUseCue->setChecked(s.UseCue);
  chkGapsAtStart->setChecked(s.GapsAtStart);
  chkGapsAtStart->setEnabled(s.UseCue);
  for (size_t i = 0; i < AlsoFormatItems.size(); ++i)
    chkAlsoFormats[i]->setChecked(std::find(s.AlsoFormats.begin(), s.AlsoFormats.end(),
                                            AlsoFormatItems[i]) != s.AlsoFormats.end());
  edtNamePattern->setText(QString::fromStdString(s.NamePattern));
  UpdateNamePreview();
}

void TMusicPage::UpdateNamePreview() {
  const QString pattern = edtNamePattern->text();
  if (pattern.trimmed().isEmpty()) {
    lblNamePreview->setText(tr("按源文件命名（name_(new).ext）"));
    return;
  }
  TNamePattern parsed;
  std::string why;
  if (!parsed.Parse(pattern.toStdString(), why)) {
    lblNamePreview->setText(tr("模板无效：%1").arg(QString::fromStdString(why)));
    return;
  }
  const QString name = PreviewName ? PreviewName(pattern) : QString();
  lblNamePreview->setText(name.isEmpty() ? tr("预览：（列表中没有可预览的文件）")
                                         : tr("预览：%1").arg(name));
}

TMusicSettings TMusicPage::Read() const {
  TMusicSettings s;
  s.Controls.FolderCover = chkFolderCover->isChecked();
  s.Controls.KeepTime = chkKeepTime->isChecked();
  s.Controls.Normalize = chkNormalize->isChecked();
  s.Controls.Target = QString::number(spnTarget->value(), 'f', 1).toStdString();
  s.Controls.ReplayGain = chkReplayGain->isChecked();
  s.AlbumGain = chkAlbumGain->isChecked() && s.Controls.ReplayGain;
  s.TagEncoding = TagEncodingItems[std::max(0, cboTagEncoding->currentIndex())].second;
  s.UseCue = chkUseCue->isChecked();
  s.GapsAtStart = chkGapsAtStart->isChecked();
  const QString pattern = edtNamePattern->text();
  s.NamePattern = pattern.trimmed().isEmpty() ? "" : pattern.toStdString();
  for (size_t i = 0; i < AlsoFormatItems.size(); ++i)
    if (chkAlsoFormats[i]->isChecked()) s.AlsoFormats.push_back(AlsoFormatItems[i]);
  return s;
}

std::vector<std::string> FurtherFormats(const TMusicSettings& music, const std::string& chosen) {
  std::vector<std::string> further;
  for (const std::string& format : music.AlsoFormats)
    if (QString::fromStdString(format).compare(QString::fromStdString(chosen),
                                               Qt::CaseInsensitive) != 0)
      further.push_back(format);
  return further;
}

QComboBox* BuildMoreFormats(QWidget* parent) {
  auto* combo = new QComboBox(parent);
  combo->addItem(QCoreApplication::translate("TMusicPage", "更多格式"));
  for (const char* item : MusicFormatItems) combo->addItem(item);
  return combo;
}

void ReadMusicConfig(QSettings& settings, const QString& section, TMusicSettings& music) {
  const QString key = section + "/music_";
  TMusicControls& c = music.Controls;
  c.FolderCover = settings.value(key + "folder_cover", false).toBool();
  c.KeepTime = settings.value(key + "keep_time", false).toBool();
  c.Normalize = settings.value(key + "normalize", false).toBool();
  bool ok = false;
  const double target = settings.value(key + "target", -16.0).toDouble(&ok);
  c.Target = QString::number(ok && target >= -70 && target < 0 ? target : -16.0).toStdString();
  c.ReplayGain = settings.value(key + "replaygain", false).toBool();
  music.AlbumGain = settings.value(key + "album_gain", false).toBool();
  if (!ParseTagEncoding(settings.value(key + "tag_encoding", "auto").toString().toStdString(),
                        music.TagEncoding))
    music.TagEncoding = teAuto;
  music.UseCue = settings.value(key + "use_cue", true).toBool();
  music.GapsAtStart = settings.value(key + "gaps_at_start", false).toBool();
  // A pattern that no longer parses is dropped: names as the source.
  music.NamePattern = settings.value(key + "name_pattern", QString()).toString().toStdString();
  TNamePattern pattern;
  std::string why;
  if (!music.NamePattern.empty() && !pattern.Parse(music.NamePattern, why))
    music.NamePattern.clear();
  music.AlsoFormats.clear();
  const QStringList also = settings.value(key + "also_formats", "").toString().split(',');
  for (const char* item : AlsoFormatItems)
    if (also.contains(item, Qt::CaseInsensitive)) music.AlsoFormats.push_back(item);
}

void WriteMusicConfig(QSettings& settings, const QString& section, const TMusicSettings& music) {
  const QString key = section + "/music_";
  const TMusicControls& c = music.Controls;
  settings.setValue(key + "folder_cover", c.FolderCover);
  settings.setValue(key + "keep_time", c.KeepTime);
  settings.setValue(key + "normalize", c.Normalize);
  settings.setValue(key + "target", QString::fromStdString(c.Target).toDouble());
  settings.setValue(key + "replaygain", c.ReplayGain);
  settings.setValue(key + "album_gain", music.AlbumGain);
  settings.setValue(key + "tag_encoding", TagEncodingName(music.TagEncoding));
  settings.setValue(key + "use_cue", music.UseCue);
  settings.setValue(key + "gaps_at_start", music.GapsAtStart);
  settings.setValue(key + "name_pattern", QString::fromStdString(music.NamePattern));
  QStringList also;
  for (const std::string& format : music.AlsoFormats) also << QString::fromStdString(format);
  settings.setValue(key + "also_formats", also.join(','));
}
