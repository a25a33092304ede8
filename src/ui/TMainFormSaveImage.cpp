// The main window's save from a failing device: the selected items'
// clusters are copied to an image first, forward in large runs, and saved
// from the image, so that the dying device is read once, carefully.

#include <QFileInfo>

#include "devices/ReadAheadCache.h"
#include "devices/TDevice.h"
#include "fs/TFATdrive.h"
#include "host/UserInterface.h"
#include "recovery/RescueMap.h"
#include "recovery/Saving.h"
#include "recovery/UsedRanges.h"
#include "ui/DriveDialogs.h"
#include "ui/RangeDialogForms.h"
#include "ui/TImagingDialog.h"
#include "ui/TMainForm.h"

namespace vantrel::ui {
namespace {

const char* kCaption = "另存为";

}  // namespace

int TMainForm::AskImageFirst(const TFATdrive& drive) {
  // Only a device whose reads failed in this run: an image opened with its
  // map is never read where the map says the copy failed, and a device that
  // read well is read directly.
  if (!drive.Device || drive.Device->FailedReads == 0) return 0;
  switch (ShowMessageBox("此设备有无法读取的扇区，每读一次都可能损失更多数据。\r\r"
                         "是否先将所选文件用到的簇复制到映像文件，再从映像中保存？\r\r"
                         "“是”：先创建映像；“否”：直接从设备保存。",
                         kCaption, TMsgType::mtConfirmation, TMsgButtons::mbYesNoCancel)) {
    case TMsgResult::mrYes: return 1;
    case TMsgResult::mrNo: return 0;
    default: return -1;
  }
}

TSaveReport TMainForm::SaveSelectedViaImage(TFATdrive& drive, const std::vector<TFSObject*>& selected,
                                            bool deletedMode) {
  TSaveReport none;
  TSaveTarget target;
  if (!AskSaveTarget(drive, deletedMode, DirSelectDialog, *DirSelectForm, target)) {
    none.Stopped = target.Refused;
    return none;
  }
  TDevice& device = *drive.Device;
  // The drive's boot sectors, FATs and root folder, then what the save will
  // read of the items, through the FAT copy chosen for it.
  TByteRanges ranges;
  AddDriveStructureRanges(drive, 0, device.TotalSectors, ranges);
  AddItemRanges(drive, selected, deletedMode, target.FATChoice, 0, device.TotalSectors, ranges);

  TImagingDialog dialog(FDevices, FDrives, this);
  dialog.ChosenRangesFirst(&device, std::move(ranges));
  TImagingDialog::TOutcome outcome = TImagingDialog::TOutcome::Refused;
  // A refused start goes back to the dialog, to choose another target.
  while (outcome == TImagingDialog::TOutcome::Refused && dialog.exec() == QDialog::Accepted)
    outcome = dialog.Image(Status);
  if (outcome != TImagingDialog::TOutcome::Finished) {
    none.Stopped = outcome != TImagingDialog::TOutcome::Refused;
    return none;
  }

  // The image joins the disks as "打开映像文件" adds it, with its map.
  const QString imagePath = QString::fromStdString(dialog.Target());
  if (!OpenImage(imagePath)) return none;
  const std::string canonical = QFileInfo(imagePath).canonicalFilePath().toStdString();
  TDevice* image = nullptr;
  for (std::size_t i = 0; i < images_.size(); ++i)
    if (images_[i] == canonical)
      for (int d = 0; d < FDevices.Count(); ++d)
        if (TDevice* candidate = FDevices.Items(d);
            candidate->Kind == dkBIOS && candidate->Number == 0x80 + i)
          image = candidate;
  if (!image || image == &device || image->TotalSectors != device.TotalSectors ||
      image->BytesPerSector != device.BytesPerSector) {
    ShowMessageBox("映像文件 " + canonical + " 无法作为此设备的副本打开，未保存任何文件。", kCaption,
                   TMsgType::mtError);
    return none;
  }
  // The map this run wrote, whatever its name: an image opened before holds
  // the marks of its older map, and the cache its older bytes.
  image->ForgetUnreadable();
  ForgetCachedDevice(image);
  std::uint64_t sectors = 0;
  std::string error;
  if (!ApplyImagingMap(*image, dialog.MapPath(), sectors, error)) {
    ShowMessageBox("映射文件 " + dialog.MapPath() + " 无法使用：" + error + "\r未保存任何文件。", kCaption,
                   TMsgType::mtError);
    return none;
  }

  // The same items, read from the image: the drive's sectors lie at the
  // same place on it, and every sector the map does not hold as rescued is
  // unreadable there without a read, so damaged files are named as for any
  // save.
  struct TRestoreDevice {
    TFATdrive& drive;
    TDevice* device;
    ~TRestoreDevice() { drive.Device = device; }
  } restore{drive, drive.Device};
  drive.Device = image;
  return SaveSelectedTo(drive, selected, deletedMode, target, Status);
}

}  // namespace vantrel::ui
