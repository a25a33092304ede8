#pragma once
// FAT folders and files as the explorer shows them. A folder reads its
// entries lazily; the same root directory is shown twice, live ("根目录")
// and as the deleted view ("删除") that lists deleted files and every folder.

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>

#include "fs/TCustom.h"

namespace vantrel {

class TFATdrive;

class TFATFile : public TCustomFile {
 public:
  std::uint8_t Attr = 0;
  std::uint32_t StartCluster = 0;
  std::uint16_t Time = 0;
  std::uint16_t Date = 0;

  TFATdrive* FATDrive() const;
  // The size the entry records; more than Size where the model cannot hold
  // it (an exFAT file of 4 GiB or more).
  virtual std::uint64_t RecordedSize() const { return Size; }
  void AssignTo(TCustomFile& target) const override;
  bool SetName(const std::string& name) override;
  std::string GetPath(const TCustomDirectory* ancestor) const override;
  void UpdateListItem(TListItem& item) const override;
  std::unique_ptr<TFSObject> Clone() const override;
};

// Called for each item of a walk; false stops the walk.
using TForEachCallback = std::function<bool(TFSObject* item, int userData)>;

class TFATDirectory : public TCustomDirectory {
 public:
  std::uint32_t StartCluster = 0;  // 0: the fixed root area of FAT12/16, read from Sector
  std::uint32_t Sector = 0;
  std::uint16_t Time = 0;
  std::uint16_t Date = 0;
  // The folder's entries are all deleted (a deleted folder that nothing
  // reaches any more, found as lost data): its children are its deleted
  // entries, in every view, as those of a deleted folder are.
  bool DeletedChildren = false;
  // The last LoadChildren met a sector of the folder (or of the FAT) that
  // could not be read: the entries listed are not all there are.
  bool Incomplete = false;

  TFATdrive* FATDrive() const;
  void AssignTo(TCustomDirectory& target) const override;
  bool SetName(const std::string& name) override;
  std::string GetPath(const TCustomDirectory* ancestor) const override;
  void UpdateListItem(TListItem& item) const override;
  std::unique_ptr<TFSObject> Clone() const override;
  void ExpandNode(ITreeView& tree, ITreeView::Node node, bool deletedView) override;
  void FillListView(IListView& list, bool deletedView) override;
  int CompareItems(const TListItem& item1, const TListItem& item2, int column) const override;
  bool HasSubdirectories() const override;

  // Fills Items from the disk (live view, or the deleted view when
  // includeDeleted and onlyDeleted are both set).
  virtual void LoadChildren(bool includeDeleted, bool onlyDeleted);
  // True when the folder holds a folder entry other than "." and "..".
  virtual bool ProbeSubDirs(bool includeDeleted);
  // Calls back for each child (and, when recursive, everything below),
  // loading folders that are not loaded and unloading them again after.
  bool ForEach(const TForEachCallback& callback, bool load, int userData, bool recursive, bool onlyDeleted);

  static constexpr int kMaxWalkDepth = 256;
};

// Keeps a recursive walk finite on a damaged tree: a folder that contains
// itself, or many entries that lead into the same folder, would make it
// endless or exponential. Each folder is walked once, and no deeper than
// kMaxWalkDepth.
class TWalkGuard {
 public:
  bool MayEnter(const TFATDirectory& folder, int depth);

 private:
  std::unordered_set<std::uint64_t> seen_;
};

// The list's columns, in order.
constexpr int kColumnName = 0, kColumnSize = 1, kColumnDate = 2, kColumnCluster = 3, kColumnCondition = 4,
              kColumnType = 5,
              kColumnVerdict = 6;

// The display name of an item (its stored name through the deleted-mark option).
std::string DisplayNameOf(const TFSObject& item);

}  // namespace vantrel
