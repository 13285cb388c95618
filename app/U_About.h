// TFrm_About: the about box "关于我们": product and version, e-mail address
// and web page (opened by the desktop when clicked), telephone and fax.
#pragma once
#include <QDialog>
#include <QLabel>
#include <QPushButton>

class TFrm_About : public QDialog {
  Q_OBJECT
 public:
  explicit TFrm_About(QWidget* parent = nullptr);

  static constexpr const char* MAIL_URL = "mailto:support@quellon.example";
  static constexpr const char* WEB_URL = "https://www.quellon.example/";

  QLabel* lblProduct;
  QLabel* lblMail;
  QLabel* lblWeb;
  QLabel* lblPhone;
  QPushButton* btnOK;
};
