#pragma once
// "系统信息": the machine and the system as they were at start-up, in four tabs.

#include <QDialog>

#include "common/SystemInfo.h"

class QTabWidget;
class QTreeWidget;

namespace vantrel::ui {

class TDialogSystemInfo : public QDialog {
  Q_OBJECT
 public:
  explicit TDialogSystemInfo(QWidget* parent = nullptr);
  bool Execute();
  // Fills the four lists (done once, on creation).
  void Fill(const TSystemInfo& info);

  QTabWidget* PageControl1 = nullptr;
  QTreeWidget *ListView1, *ListView2, *ListView3, *ListView4;
};

// A capacity as the drive list shows it: "%n MB" or "%n GB", two decimals,
// thousands separated as the locale writes them.
QString CapacityText(std::uint64_t bytes);

}  // namespace vantrel::ui
