#include "ui/TDriveInfoDialog.h"

#include <QFormLayout>
#include <QLineEdit>
#include <QVBoxLayout>

#include "devices/TDevice.h"
#include "diskio/SectorAccess.h"
#include "ui/FormParts.h"

namespace vantrel::ui {

TDriveInfoDialog::TDriveInfoDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("TDriveInfoDialog");
  setWindowTitle("驱动器信息");
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  auto edit = [this, form](const char* caption, const char* name) {
    auto* e = new QLineEdit(this);
    e->setObjectName(name);
    e->setReadOnly(true);
    e->setMinimumWidth(220);
    form->addRow(caption, e);
    return e;
  };
  EditName = edit("驱动器：", "EditName");
  EditCyl = edit("物理柱面：", "EditCyl");
  EditHeads = edit("物理刺头：", "EditHeads");
  EditSecPerTrk = edit("每个磁道的物理扇区：", "EditSecPerTrk");
  EditSectors = edit("物理扇区：", "EditSectors");
  EditBytesPerSec = edit("扇区字节：", "EditBytesPerSec");
  layout->addLayout(form);
  AddButtonRow(*this, *layout, false);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TDriveInfoDialog::Fill(TDevice& device) {
  EditName->setText(QString::fromStdString(device.Name));
  // A failed query leaves what it left, and that is shown.
  TDiskGeometry geometry;
  if (device.Kind == dkWindows) GetLogicalGeometry(device.Number, geometry);
  else GetPhysicalGeometry(device.Number, geometry);
  EditCyl->setText(QString::number(geometry.Cylinders));
  EditHeads->setText(QString::number(geometry.Heads));
  EditSecPerTrk->setText(QString::number(geometry.SectorsPerTrack));
  EditSectors->setText(QString::number(geometry.TotalSectors));
  EditBytesPerSec->setText(QString::number(geometry.BytesPerSector));
}

bool TDriveInfoDialog::Execute(TDevice& device) {
  Fill(device);
  return exec() == QDialog::Accepted;
}

}  // namespace vantrel::ui
