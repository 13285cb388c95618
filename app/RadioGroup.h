// TRadioGroup: a framed group of radio buttons laid out in columns, with one
// selected item addressed by its index (-1: none), as the windows use for
// their choice lists.
#pragma once
#include <QButtonGroup>
#include <QGroupBox>
#include <QRadioButton>
#include <QStringList>
#include <vector>

class TRadioGroup : public QGroupBox {
  Q_OBJECT
 public:
  TRadioGroup(const QString& caption, const QStringList& items, int columns,
              QWidget* parent = nullptr);
  int ItemIndex() const;
  void SetItemIndex(int index);  // out of range: no item selected
  QString ItemText() const;      // "" without a selection
  int Count() const { return static_cast<int>(Buttons.size()); }
  QRadioButton* Button(int index) const;

 signals:
  void Clicked(int index);  // the user picked an item

 private:
  QButtonGroup* Group;
  std::vector<QRadioButton*> Buttons;
};
