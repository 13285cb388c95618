// TfrmSkipped: the window listing the files an add left out (a folder's
// files without sound, pictures, empty or unreadable files), each with its
// folder and the reason, opened from the status line's "跳过 N 个…" link.
// Not modal: the list can stay open beside the main window.
//
// Threads: GUI thread. Owned by the main window (QObject parent).
#pragma once
#include <QDialog>
#include <QString>
#include <QTreeWidget>
#include <vector>

#include "Batch.h"

class TfrmSkipped : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmSkipped(QWidget* parent = nullptr);
  // Shows these files, one row each, in the order given.
  void ShowFiles(const std::vector<const TBatchFile*>& files);

  enum TColumn : int { scName = 0, scFolder = 1, scReason = 2 };
  QTreeWidget* lvSkipped = nullptr;
};
