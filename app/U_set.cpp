#include "U_set.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QTabWidget>

#include "MusicSettings.h"
#include "QualitySettings.h"
#include <QVBoxLayout>

#include <algorithm>

#include "OptionFrm.h"

namespace {

QComboBox* List(const QStringList& items, QWidget* parent) {
  auto* list = new QComboBox(parent);
  list->addItems(items);
  list->setCurrentIndex(0);
  return list;
}

QGroupBox* Group(const QString& caption, QWidget* content, QWidget* parent,
                 QWidget* trailing = nullptr) {
  auto* box = new QGroupBox(caption, parent);
  auto* row = new QHBoxLayout(box);
  row->addWidget(content, 1);
  if (trailing) row->addWidget(trailing);
  return box;
}

}  // namespace

TFrm_set::TFrm_set(TfrmOption* options, QWidget* parent) : QDialog(parent), Options(options) {
  setWindowTitle(tr("参数设置"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  auto* root = new QVBoxLayout(this);
  auto* pages = new QTabWidget(this);
  auto* page = new QWidget(pages);
  auto* grid = new QVBoxLayout(page);
  // The settings file and the options dialog take these lists' indexes, so
  // their words follow the language.
  cboChannels = List({tr("自动"), tr("单声道"), tr("立体声")}, page);
  cboSampleRate = List({tr("自动"), "8000", "11025", "22050", "44100"}, page);
  // The items up to "256 " carry a trailing blank; "320" has none. "自动"
  // leaves the bit rate to the encoder: the way back from a remembered one.
  cboBitRate = List({tr("自动"), "8 ", "16 ", "32 ", "64 ", "128 ", "256 ", "320"}, page);
  grid->addWidget(Group(tr("声道"), cboChannels, page));
  grid->addWidget(Group(tr("采样率(HZ)"), cboSampleRate, page));
  grid->addWidget(Group(tr("当前比特率"), cboBitRate, page, new QLabel("kbit", page)));
  pages->addTab(page, tr("参数信息"));
  auto* convertPage = new QWidget(pages);
  auto* convertRows = new QVBoxLayout(convertPage);
  spnJobs = new QSpinBox(convertPage);
  spnJobs->setRange(1, 64);
  convertRows->addWidget(Group(tr("同时转换的文件数"), spnJobs, convertPage));
  chkSplit = new QCheckBox(tr("长文件分段并行编码（用上空闲的处理器核心）"), convertPage);
  chkSplit->setChecked(true);
  convertRows->addWidget(chkSplit);
  chkSync = new QCheckBox(tr("只转换新的或已更改的文件"), convertPage);
  chkSync->setToolTip(
      tr("输出文件夹中已由此方式生成、源文件和设置都未改变的文件保持不变；"
         "更改过的源文件重新转换并替换其旧的输出，不会替换您自己的文件"));
  convertRows->addWidget(chkSync);
  chkDeleteOrphans = new QCheckBox(tr("删除源文件已不存在的输出文件"), convertPage);
  chkDeleteOrphans->setToolTip(
      tr("转换结束后删除由同步生成、其源文件已从所添加的文件夹中删除的输出文件"
         "（生成后被修改过的文件保留）"));
  chkDeleteOrphans->setEnabled(false);
  convertRows->addWidget(chkDeleteOrphans);
  connect(chkSync, &QCheckBox::toggled, chkDeleteOrphans, &QWidget::setEnabled);
  // The language: items in the order of TLanguageChoice; the names of the
  // languages are written in their own.
  cboLanguage = new QComboBox(convertPage);
  cboLanguage->addItems({tr("跟随系统"), "中文", "English"});
  auto* restart = new QLabel(tr("重新启动程序后生效"), convertPage);
  convertRows->addWidget(Group(tr("语言"), cboLanguage, convertPage, restart));
  convertRows->addStretch();
  pages->addTab(convertPage, tr("转换"));
  MusicPage = new TMusicPage(pages);
  QualityPage = new TQualityPage(pages);
  root->addWidget(pages);

  auto* buttons = new QHBoxLayout();
  btnOK = new QPushButton(tr("确定"), this);
  btnCancel = new QPushButton(tr("取消"), this);
  buttons->addStretch();
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);
  root->addLayout(buttons);
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  ShowChoices();

  connect(btnOK, &QPushButton::clicked, this, [this] { Apply(); });
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TFrm_set::Apply() {
  if (!Options) return;
  // The first item hands on the text it always did, whatever the language shows.
  const bool bitRateChosen = cboBitRate->currentIndex() > 0;
  Options->ApplyAudioSettings(cboChannels->currentIndex(), cboSampleRate->currentIndex(),
                              bitRateChosen ? cboBitRate->currentText() : QString("Auto"),
                              bitRateChosen);
}

void TFrm_set::ShowChoices() {
  if (!Options) return;
  cboChannels->setCurrentIndex(std::max(0, Options->grpAudioChannels->ItemIndex()));
  cboSampleRate->setCurrentIndex(std::max(0, Options->grpAudioSampleRate->ItemIndex()));
  if (!Options->chkAudioBitRate->isChecked()) return;
  const int item = cboBitRate->findText(Options->edtAudioBitRate->text());
  if (item > 0) cboBitRate->setCurrentIndex(item);
}
