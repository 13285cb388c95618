#include "SkippedFiles.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QPushButton>
#include <QVBoxLayout>

#include "AppSupport.h"
#include "ReasonText.h"

TfrmSkipped::TfrmSkipped(QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("跳过的文件"));
  resize(640, 320);
  lvSkipped = new QTreeWidget(this);
  lvSkipped->setRootIsDecorated(false);
  lvSkipped->setHeaderLabels({tr("文件名称"), tr("文件夹"), tr("原因")});
  lvSkipped->setColumnWidth(scName, 180);
  lvSkipped->setColumnWidth(scFolder, 220);
  lvSkipped->setSelectionMode(QAbstractItemView::ExtendedSelection);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::hide);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lvSkipped);
  layout->addWidget(buttons);
}

void TfrmSkipped::ShowFiles(const std::vector<const TBatchFile*>& files) {
  lvSkipped->clear();
  for (const TBatchFile* file : files) {
    const QString source = QString::fromStdString(file->Source);
    const QFileInfo info(source);
    auto* item = new QTreeWidgetItem(lvSkipped);
    item->setText(scName, info.fileName());
    item->setText(scFolder, info.path());
    // In the window's language; a detail the English reason adds follows on a
    // line of its own, shown whole in the tooltip.
    item->setText(scReason, FileReasonText(*file));
    item->setToolTip(scName, source);
    item->setToolTip(scReason, item->text(scReason));
  }
  setWindowTitle(tr("跳过的文件（%1 个）").arg(files.size()));
}
