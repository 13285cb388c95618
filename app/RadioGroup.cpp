#include "RadioGroup.h"

#include <QGridLayout>

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, int columns,
                         QWidget* parent)
    : QGroupBox(caption, parent), Group(new QButtonGroup(this)) {
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(6, 2, 6, 2);
  grid->setHorizontalSpacing(4);
  grid->setVerticalSpacing(0);
  const int cols = columns > 0 ? columns : 1;
  // Items fill the first column top to bottom, then the next, as such groups do.
  const int rows = (static_cast<int>(items.size()) + cols - 1) / cols;
  for (int i = 0; i < items.size(); ++i) {
    auto* button = new QRadioButton(items[i], this);
    Group->addButton(button, i);
    grid->addWidget(button, i % rows, i / rows);
    Buttons.push_back(button);
  }
  for (int c = 0; c < cols; ++c) grid->setColumnStretch(c, 1);
  connect(Group, &QButtonGroup::idClicked, this, &TRadioGroup::Clicked);
}

int TRadioGroup::ItemIndex() const { return Group->checkedId(); }

void TRadioGroup::SetItemIndex(int index) {
  if (index >= 0 && index < Count()) {
    Buttons[static_cast<size_t>(index)]->setChecked(true);
    return;
  }
  Group->setExclusive(false);
  for (QRadioButton* button : Buttons) button->setChecked(false);
  Group->setExclusive(true);
}

QString TRadioGroup::ItemText() const {
  const int index = ItemIndex();
  return index >= 0 ? Buttons[static_cast<size_t>(index)]->text() : QString();
}

QRadioButton* TRadioGroup::Button(int index) const {
  return index >= 0 && index < Count() ? Buttons[static_cast<size_t>(index)] : nullptr;
}
