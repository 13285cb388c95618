#include "U_About.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "AppSupport.h"

TFrm_About::TFrm_About(QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("关于我们"));
  auto* root = new QVBoxLayout(this);
  lblProduct = new QLabel("Quellon  V1.20(Build 20090409)", this);
  QFont bold = lblProduct->font();
  bold.setBold(true);
  lblProduct->setFont(bold);
  root->addWidget(lblProduct);

  auto* grid = new QGridLayout();
  lblMail = new QLabel(QString("<a href=\"%1\">support@quellon.example</a>").arg(MAIL_URL), this);
  lblWeb = new QLabel(QString("<a href=\"%1\">www.quellon.example</a>").arg(WEB_URL), this);
  lblPhone = new QLabel(tr("+86 10 5550 0120    传真: +86 10 5550 0121"), this);
  grid->addWidget(new QLabel(tr("电子信箱"), this), 0, 0);
  grid->addWidget(lblMail, 0, 1);
  grid->addWidget(new QLabel(tr("公司网站"), this), 1, 0);
  grid->addWidget(lblWeb, 1, 1);
  grid->addWidget(new QLabel(tr("联系电话"), this), 2, 0);
  grid->addWidget(lblPhone, 2, 1);
  root->addLayout(grid);
  for (QLabel* link : {lblMail, lblWeb}) {
    link->setTextFormat(Qt::RichText);
    link->setOpenExternalLinks(false);
    connect(link, &QLabel::linkActivated, this, [](const QString& url) { ShellOpen(url); });
  }

  auto* buttons = new QHBoxLayout();
  btnOK = new QPushButton(tr("确定(&0)"), this);
  buttons->addStretch();
  buttons->addWidget(btnOK);
  root->addLayout(buttons);
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
}
