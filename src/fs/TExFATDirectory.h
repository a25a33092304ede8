#pragma once
// exFAT folders and files: entry sets of a file entry, a stream extension
// and file name entries, read with their set checksum; deleted sets keep
// their whole names. Shown, found and saved as FAT ones are.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

#include "format/ExFATFormat.h"
#include "fs/TFATDirectory.h"

namespace vantrel {

class TExFATdrive;

// The timestamps of a file entry: FAT date and time words, 10 ms parts and
// UTC offsets in minutes.
struct TExFATTimes {
  std::uint32_t Create = 0, Modify = 0, Access = 0;
  std::uint8_t Create10ms = 0, Modify10ms = 0;
  int CreateOffset = 0, ModifyOffset = 0, AccessOffset = 0;
};

class TExFATFile : public TFATFile {
 public:
  std::uint16_t Attributes = 0;
  bool NoFatChain = false;
  std::uint64_t DataLength = 0;
  std::uint64_t ValidDataLength = 0;
  TExFATTimes Times;

  std::uint64_t RecordedSize() const override { return std::max<std::uint64_t>(Size, DataLength); }
  void AssignTo(TCustomFile& target) const override;
  std::unique_ptr<TFSObject> Clone() const override;
};

// One entry set as read from a folder.
struct TExFATEntrySet {
  bool Deleted = false;
  bool ChecksumOk = false;
  std::uint16_t Attributes = 0;
  TExFATTimes Times;
  std::uint8_t Flags = 0;
  std::uint32_t FirstCluster = 0;
  std::uint64_t DataLength = 0;
  std::uint64_t ValidDataLength = 0;
  std::string Name;
};

class TExFATDirectory : public TFATDirectory {
 public:
  bool NoFatChain = false;
  std::uint64_t DataLength = 0;  // 0: as far as the chain goes (the root)
  TExFATTimes Times;

  TExFATdrive* ExFATDrive() const;
  void AssignTo(TCustomDirectory& target) const override;
  std::unique_ptr<TFSObject> Clone() const override;
  void LoadChildren(bool includeDeleted, bool onlyDeleted) override;
  bool ProbeSubDirs(bool includeDeleted) override;

  // The entries of the root that are no files.
  using TSpecialEntries = TExFATRootEntries;
  void ReadSpecialEntries(TSpecialEntries& special);

  // Calls back for each entry set of the folder (deleted ones too when
  // includeDeleted); false from the callback stops. Other entries go to
  // special when it is given.
  void ForEachSet(bool includeDeleted, const std::function<bool(const TExFATEntrySet&)>& callback,
                  TSpecialEntries* special = nullptr);
};

// True when the cluster starts like a folder of exFAT: with an entry set
// (in use or deleted) whose stream and name entries follow it and, where the
// set lies within the cluster's first sectors, whose checksum holds; or with
// the bitmap, up-case or label entry of a root.
bool IsExFATDirectoryCluster(TExFATdrive& drive, std::uint32_t cluster);

}  // namespace vantrel
