#pragma once
// "驱动器信息": the geometry of the open drive's device.

#include <QDialog>

class QLineEdit;

namespace vantrel {
class TDevice;
}

namespace vantrel::ui {

class TDriveInfoDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TDriveInfoDialog(QWidget* parent = nullptr);
  // Fills the edits from the device and shows them; true when closed with OK.
  bool Execute(TDevice& device);
  void Fill(TDevice& device);

  QLineEdit *EditName, *EditCyl, *EditHeads, *EditSecPerTrk, *EditSectors, *EditBytesPerSec;
};

}  // namespace vantrel::ui
