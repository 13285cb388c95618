// The main window's music choices: the further formats beside the six radio
// buttons (one choice among all of them) and the settings of the page "音乐".
#include "MainFrm.h"

void TfrmMain::BuildMoreFormatsControl(QWidget* client) {
  cboMoreFormats = BuildMoreFormats(client);
  // In the group's free room after its six buttons.
  cboMoreFormats->setGeometry(500, 10, 100, 24);
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
