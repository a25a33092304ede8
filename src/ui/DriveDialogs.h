#pragma once
// Choosing what to read: the drive dialog (a logical drive, its FAT copy and
// the bad-cluster switch, or a device to search for lost drives), the preview
// of a drive, and the FAT choice for viewing one file.

#include <QDialog>
#include <cstdint>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTabWidget;
class QTreeWidget;

namespace vantrel {
class TCustomDrive;
class TDevice;
}

namespace vantrel::ui {

class TMainForm;

class TPreviewDrvDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TPreviewDrvDialog(QWidget* parent = nullptr);
  // Fills the dialog from the drive; false (nothing shown) when it is no FAT drive.
  bool Fill(TCustomDrive* drive);
  bool Execute();

  TCustomDrive* PreviewDrive = nullptr;
  QLineEdit *EditPhysSec, *EditTotalSec, *EditSecPerClus, *EditFAT, *EditOEM, *EditVolLabel;
  QTreeWidget* ListView1 = nullptr;
};

class TDriveDlg : public QDialog {
  Q_OBJECT
 public:
  TDriveDlg(TMainForm& main, TPreviewDrvDialog& preview, QWidget* parent = nullptr);
  bool Execute();

  std::uint8_t SelectedDrive = 0;
  std::uint8_t SelectedFAT = 0;
  bool SkipBadClusters = true;
  // The page Execute opens on: 0 logical drives, 1 devices (TabSheetPhysicalDrv).
  int FirstPage = 0;

  QTabWidget* PageControl1 = nullptr;
  QListWidget* ListView1 = nullptr;  // logical drives
  QListWidget* ListView2 = nullptr;  // devices
  QPushButton *ButtonOK, *ButtonPreview, *ButtonFind, *Button3, *Button2;
  QLabel* LabelFAT = nullptr;
  QLabel* LabelFATNote = nullptr;
  QComboBox* ComboBoxFAT = nullptr;
  QCheckBox* CheckBoxSkipBadClus = nullptr;

  void FormActivate();
  void PageChanged();  // PageControl1Change, ListView1Click, ListView2Click
  // The device a lost-drive search would scan: the selected drive's or the
  // selected device; null without a selection.
  TDevice* SearchDevice() const;
  void ButtonFindClick();
  void Button3Click();
  void ButtonPreviewClick();

 private:
  void ComboBoxFATChange(int index);
  TMainForm& main_;
  TPreviewDrvDialog& preview_;
  std::vector<TDevice*> devices_;  // the devices of ListView2, in order
  bool filling_ = false;
};

class TFATSelectDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TFATSelectDialog(QWidget* parent = nullptr);
  // "no FAT (consecutive)", "FAT 1" … "FAT n", "free clusters only"; the
  // choice `selected` (0, a copy or kFATChoiceFree) preselected.
  void Fill(int numberOfFATs, int selected);
  bool Execute();
  std::uint8_t SelectedFAT = 0;
  QComboBox* ComboBoxFAT = nullptr;

 private:
  int numberOfFATs_ = 0;
};

}  // namespace vantrel::ui
