#pragma once
// The three small modal dialogs that ask for the extent of a long operation
// before it starts, without their widgets: the sector range of a lost-drive
// search, the cluster range of a lost-data search, and the target folder and
// FAT copy of a save. Each dialog keeps the values of its controls (track bar
// positions, edit texts, captions) and runs the handlers the widgets would
// run; the front end draws them through a small view interface and calls the
// handlers when the user moves a track bar or presses "应用".
//
// The caller fills the public fields, calls Execute and reads the fields back
// when it returns true.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

class TSectorDialog;
class TClusterDialog;
class TDirSelectDialog;

// What the user left in a range dialog when it closed.
struct TRangeDialogResult {
  bool Ok = false;        // closed with "确定"
  std::string StartText;  // text of the start edit
  std::string EndText;    // text of the end edit
};

class ISectorDialogView {
 public:
  virtual ~ISectorDialogView() = default;
  // Shows the dialog modally with the dialog's prepared control values; while
  // it is open, the view forwards track bar moves, edit changes and "应用" to
  // the dialog's handlers and redraws from its fields.
  virtual TRangeDialogResult ShowModal(TSectorDialog& dialog) = 0;
};

class IClusterDialogView {
 public:
  virtual ~IClusterDialogView() = default;
  virtual TRangeDialogResult ShowModal(TClusterDialog& dialog) = 0;
};

struct TDirSelectResult {
  bool Ok = false;
  int FATItemIndex = -1;  // entry selected in ComboBoxFAT; -1 = none
  std::string Folder;     // path of the folder selected in the tree
};

class IDirSelectDialogView {
 public:
  virtual ~IDirSelectDialogView() = default;
  // Shows the folder chooser with ComboBoxFAT's items and preselected entry;
  // the view calls FolderChanged whenever the selected folder changes.
  virtual TDirSelectResult ShowModal(TDirSelectDialog& dialog) = 0;
};

// A whole decimal number as the edits accept it: blanks around it and a sign
// allowed, nothing else, and it must fit the type.
std::optional<std::int64_t> ParseEditInteger(const std::string& text);

// Track bars of both range dialogs run from 0 to this.
inline constexpr int RangeTrackBarMax = 50;

class TSectorDialog {
 public:
  // Fields set by the caller before Execute.
  std::uint64_t MaxSector = 0;  // number of sectors of the device
  // First and last sector of the range (in and out); the values are what
  // the user typed, not clamped to the device.
  std::int64_t RangeStart = 0;
  std::int64_t RangeEnd = 0;
  std::uint16_t SectorSize = 512;  // bytes per sector, for the size shown

  // Values of the controls.
  std::string Caption = "选择扇区范围";
  std::string GroupStartCaption = "开始扇区";
  std::string GroupEndCaption = "结束扇区";
  int TrackBarStartSec = 0;
  int TrackBarEndSec = RangeTrackBarMax;
  std::string EditStartSec;
  std::string EditEndSec;
  std::string LabelSize;

  // The drive dialog's defaults for a device: the first 100000 sectors, or the
  // whole device when it is smaller.
  void SetDefaults(std::uint64_t sectorCount, std::uint16_t bytesPerSector);

  void FormActivate();
  // The user moved a track bar to position (clamped to 0..50).
  void TrackBarStartSecChange(int position);
  void TrackBarEndSecChange(int position);
  void Button1Click() { UpdateSizeLabel(); }  // "应用"
  void UpdateSizeLabel();

  // Shows the dialog; on OK each edit holding a valid integer replaces its
  // field (an invalid one leaves it) and the result is true.
  bool Execute(ISectorDialogView& view);

 private:
  std::int64_t LastSector() const;
};

class TClusterDialog {
 public:
  // Number of data clusters of the drive; clusters are numbered 2 … ClusterCount + 1.
  std::int32_t ClusterCount = 0;
  std::int32_t RangeStart = 0;  // first cluster of the range (out)
  std::int32_t RangeEnd = 0;    // last cluster of the range (out)
  std::uint32_t ClusterBytes = 0;  // bytes per cluster, for the size shown (64 KiB fits too)

  std::string Caption = "选择簇范围";
  std::string GroupStartCaption = "开始簇";
  std::string GroupEndCaption = "结束簇";
  // The positions carry over from the last use; the edits start from them.
  int TrackBarStartClus = 0;
  int TrackBarEndClus = RangeTrackBarMax;
  std::string EditStartClus;
  std::string EditEndClus;
  std::string LabelSize;

  // The lost-data search's defaults: every data cluster of the drive.
  void SetDefaults(std::int32_t clusterCount, std::uint32_t bytesPerCluster);

  void FormActivate();
  void TrackBarStartClusChange(int position);
  void TrackBarEndClusChange(int position);
  void Button1Click() { UpdateSizeLabel(); }  // "应用"
  void UpdateSizeLabel();

  bool Execute(IClusterDialogView& view);

 private:
  void StartChanged();
  void EndChanged();
};

class TDirSelectDialog {
 public:
  // 0 = "no FAT (consecutive)", n = FAT copy n, kFATChoiceFree = "free clusters only" (out)
  std::uint8_t FATIndex = 0;
  std::string Folder;         // the chosen folder's path (out)

  std::string Caption = "选择文件夹...";
  std::vector<std::string> ComboBoxFAT;  // items
  int ComboBoxFATItemIndex = -1;         // preselected item
  std::string LabelFolder;               // path shown under the tree

  // "no FAT (consecutive)", then "FAT 1" … "FAT n", then "free clusters
  // only"; selects the item of the FAT choice `selected` (the first when
  // the list does not hold it).
  void FillFATChoices(int numberOfFATs, int selected);
  // The selected folder changed: the label shows it with a separator at the end.
  void FolderChanged(const std::string& path);

  // False when cancelled; otherwise FATIndex and Folder take the user's choice.
  bool Execute(IDirSelectDialogView& view);
  int NumberOfFATs() const { return numberOfFATs_; }

 private:
  int numberOfFATs_ = 0;
};

}  // namespace vantrel
