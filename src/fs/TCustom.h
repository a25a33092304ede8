#pragma once
// The abstract drive, folder and file that the user interface handles. A
// folder owns its children; views only point at them.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/Verdict.h"
#include "fs/Views.h"

namespace vantrel {

class TCustomDirectory;
class TCustomDrive;
class TDevice;

enum TItemStatus : std::uint8_t { isNormal = 0, isDeleted = 1, isLost = 2 };
enum TCondition : std::uint8_t { ccNone = 0, ccGood = 1, ccBad = 2 };
enum TDriveFlags : std::uint8_t { dfLost = 1, dfRebuilt = 2, dfNoFAT = 4 };

// What a folder's Items hold: files and folders.
class TFSObject {
 public:
  virtual ~TFSObject() = default;
  virtual bool IsDirectory() const = 0;

  std::string Name;  // as stored; a deleted entry keeps its raw 0xE5 mark
  TCustomDrive* Drive = nullptr;
  std::uint8_t Status = isNormal;
  std::uint8_t Condition = ccNone;
  TCustomDirectory* Parent = nullptr;

  virtual bool SetName(const std::string& name) = 0;
  // Folder names from below ancestor down to the item's folder, joined by "\".
  virtual std::string GetPath(const TCustomDirectory* ancestor) const = 0;
  virtual void UpdateListItem(TListItem& item) const = 0;
  // A standalone copy of the item (never sharing a folder's children).
  virtual std::unique_ptr<TFSObject> Clone() const = 0;
};

using TItemList = std::vector<std::unique_ptr<TFSObject>>;

class TCustomFile : public TFSObject {
 public:
  bool IsDirectory() const override { return false; }
  std::uint32_t Size = 0;
  // What the file's own bytes said when it was found, viewed or saved last.
  TVerdict Verdict = vdNone;
  std::uint64_t BadOffset = 0;  // the first bad byte of a damaged file
  virtual void AssignTo(TCustomFile& target) const;
};

class TCustomDirectory : public TFSObject {
 public:
  ~TCustomDirectory() override;
  bool IsDirectory() const override { return true; }

  std::uint8_t Expanded = 0;
  // The children; null while they have not been loaded.
  std::unique_ptr<TItemList> Items;

  // Copies the fields; a copy never shares the source's children (its Items stay null).
  virtual void AssignTo(TCustomDirectory& target) const;
  // Frees every child and empties Items (the list itself stays).
  virtual void Clear();
  virtual void ExpandNode(ITreeView& tree, ITreeView::Node node, bool deletedView) = 0;
  virtual void FillListView(IListView& list, bool deletedView) = 0;
  virtual int CompareItems(const TListItem& item1, const TListItem& item2, int column) const = 0;
  virtual bool HasSubdirectories() const = 0;
};

class TCustomDrive {
 public:
  virtual ~TCustomDrive();

  TDevice* Device = nullptr;  // not owned
  std::string Name;
  std::uint8_t Flags = 0;
  // Device sectors: a volume may lie anywhere on a disk beyond 2 TiB.
  std::uint64_t BootSector = 0;
  std::uint64_t StartSector = 0;
  std::uint64_t SectorCount = 0;
  std::unique_ptr<TCustomDirectory> RootDir;
  std::unique_ptr<TCustomDirectory> DeletedDir;
  std::unique_ptr<TCustomDirectory> LostDir;
  std::unique_ptr<TCustomDirectory> SearchDir;

  virtual bool ReadSectors(std::uint32_t firstSector, std::uint16_t count, bool prompt, void* buffer) = 0;
  virtual bool Open(bool quiet) = 0;
  virtual void FillTree(ITreeView& tree) = 0;
  virtual void SetupColumns(IListView& list) = 0;
};

}  // namespace vantrel
