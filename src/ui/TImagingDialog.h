#pragma once
// "创建映像": a device or one of its drives copied to an image file with a
// map beside it, the way careful rescue tools do. The run shows in the
// window's progress dialog; Cancel stops it with the map saved, and starting
// again with the same image and map resumes.

#include <QDialog>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class QCheckBox;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace vantrel {
class TDevice;
class TDeviceList;
class TDriveList;
class TStatusDialog;
}  // namespace vantrel

namespace vantrel::ui {

class TImagingDialog : public QDialog {
  Q_OBJECT
 public:
  TImagingDialog(const TDeviceList& devices, const TDriveList& drives, QWidget* parent = nullptr);

  enum class TOutcome { Refused, Stopped, Failed, Finished, Open };
  // Images the chosen source into the chosen target; refusals and failures
  // are told in a message box. A finished run asks whether to open the
  // image for recovery (Open).
  TOutcome Image(TStatusDialog& status);
  std::string Target() const;
  void SelectDevice(const TDevice* device);  // the row of the whole device
  // For a save from a failing device: the whole device is imaged, ranges
  // (bytes from its start) first, and the rest only when RestBox is
  // checked. A finished run returns Finished without asking to open the
  // image; the caller opens it.
  void ChosenRangesFirst(const TDevice* device, std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges);
  std::string MapPath() const;

  QListWidget* SourceList = nullptr;
  QLineEdit* TargetEdit = nullptr;
  QLineEdit* MapEdit = nullptr;
  QPushButton *BrowseBtn = nullptr, *StartBtn = nullptr, *CancelBtn = nullptr;
  QCheckBox* RestBox = nullptr;  // shown with ChosenRangesFirst

 private:
  struct TSource {
    TDevice* Device;
    std::uint64_t First, Count;
  };
  std::vector<TSource> sources_;
  bool mapEdited_ = false;
  bool rangesFirst_ = false;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> first_;
  void UpdateButtons();
};

}  // namespace vantrel::ui
