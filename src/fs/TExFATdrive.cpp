#include "fs/TExFATdrive.h"

#include <algorithm>
#include <cstring>

#include "common/Bytes.h"
#include "common/DebugLog.h"
#include "common/Routines.h"
#include "devices/TDevice.h"
#include "format/FATFormat.h"
#include "fs/TExFATDirectory.h"
#include "host/UserInterface.h"

namespace vantrel {

TExFATdrive::TExFATdrive() = default;
TExFATdrive::~TExFATdrive() = default;

bool TExFATdrive::ReadBootRegion(TDevice& device, std::uint64_t deviceSector, std::vector<std::uint8_t>& region,
                                 bool& checksumOk) {
  checksumOk = false;
  const std::uint32_t deviceSize = device.BytesPerSector ? device.BytesPerSector : 512;
  std::vector<std::uint8_t> first(deviceSize);
  if (!device.ReadSectors(deviceSector, 1, false, first.data()) || !IsExFATBootSector(first.data(), first.size()))
    return false;
  const std::uint32_t shift = first[kExFATBytesPerSectorShift];
  if (shift < 9 || shift > 12 || (1u << shift) < deviceSize) return false;
  const std::uint32_t sectorSize = 1u << shift;
  region.assign(std::size_t{sectorSize} * kExFATBootRegionSectors, 0);
  const auto count = static_cast<std::uint16_t>(region.size() / deviceSize);
  if (!device.ReadSectors(deviceSector, count, false, region.data())) return false;
  checksumOk = ExFATBootRegionValid(region.data(), sectorSize);
  return true;
}

bool HoldsExFAT(TDevice& device, std::uint64_t deviceSector) {
  const std::uint32_t deviceSize = device.BytesPerSector ? device.BytesPerSector : 512;
  std::vector<std::uint8_t> sector(std::max<std::uint32_t>(deviceSize, 512));
  if (!device.ReadSectors(deviceSector, 1, false, sector.data())) sector.assign(sector.size(), 0);
  if (IsExFATBootSector(sector.data(), sector.size())) return true;
  // A FAT boot sector in place: nothing behind it to look for.
  if (IsBootSectorStrict(sector.data(), sector.size())) return false;
  // The backup boot sector lies 12 sectors of the volume's own size behind.
  for (std::uint32_t shift = 9; shift <= 12; ++shift) {
    if ((1u << shift) < deviceSize) continue;
    const std::uint64_t at = deviceSector + (std::uint64_t{kExFATBackupBootSector} << shift) / deviceSize;
    if (device.ReadSectors(at, 1, false, sector.data()) && IsExFATBootSector(sector.data(), sector.size()) &&
        sector[kExFATBytesPerSectorShift] == shift)
      return true;
  }
  return false;
}

std::uint64_t ExFATVolumeStart(TDevice& device, std::uint64_t deviceSector, const std::uint8_t* sector,
                               std::size_t size) {
  const TExFATLayout layout = DecodeExFATBootSector(sector, size);
  const std::uint32_t deviceSize = device.BytesPerSector ? device.BytesPerSector : 512;
  if (!layout.Valid || (1u << layout.BytesPerSectorShift) < deviceSize) return kNoVolume;
  const std::uint64_t scale = (1u << layout.BytesPerSectorShift) / deviceSize;
  // The first FAT starts with the media entry 0xFFFFFFF8 and entry 1 0xFFFFFFFF.
  std::vector<std::uint8_t> fat(deviceSize);
  auto fatAt = [&](std::uint64_t start) {
    const std::uint64_t at = start + std::uint64_t{layout.FatOffset} * scale;
    return at < device.TotalSectors && device.ReadSectors(at, 1, false, fat.data()) &&
           Le32(ByteSpan(fat), 0) == 0xFFFFFFF8u && Le32(ByteSpan(fat), 4) == 0xFFFFFFFFu;
  };
  const std::uint64_t backupOf = std::uint64_t{kExFATBackupBootSector} * scale;
  if (deviceSector >= backupOf && fatAt(deviceSector - backupOf)) return deviceSector - backupOf;
  if (fatAt(deviceSector)) return deviceSector;
  return kNoVolume;
}

bool TExFATdrive::Open(bool quiet) {
  GeometryValid = false;
  FromBackup = false;
  BootNote.clear();
  notes_.clear();
  bitmapClusters_.clear();
  bitmapValid_ = false;
  bool found = false;
  if (Device) {
    const std::uint32_t deviceSize = Device->BytesPerSector ? Device->BytesPerSector : 512;
    bool checksumOk = false;
    std::vector<std::uint8_t> region;
    std::string mainProblem;
    if (ReadBootRegion(*Device, BootSector, region, checksumOk)) {
      Layout = DecodeExFATBootSector(region.data(), region.size());
      if (Layout.Valid && checksumOk) found = true;
      mainProblem = !Layout.Valid ? Layout.Problem : "boot checksum does not hold";
    } else {
      mainProblem = "no exFAT boot sector";
    }
    if (found) BootRegion = std::move(region);
    // The backup boot region follows the main one.
    for (std::uint32_t shift = 9; !found && shift <= 12; ++shift) {
      if ((1u << shift) < deviceSize) continue;
      const std::uint64_t at = BootSector + (std::uint64_t{kExFATBackupBootSector} << shift) / deviceSize;
      std::vector<std::uint8_t> backup;
      bool backupOk = false;
      if (!ReadBootRegion(*Device, at, backup, backupOk) || backup[kExFATBytesPerSectorShift] != shift) continue;
      const TExFATLayout layout = DecodeExFATBootSector(backup.data(), backup.size());
      if (!layout.Valid || !backupOk) continue;
      Layout = layout;
      BootRegion = std::move(backup);
      FromBackup = found = true;
      BootNote = "主引导扇区损坏 (" + mainProblem + "), 使用备份引导扇区";
    }
    // Without a usable backup a main region whose checksum alone fails is
    // still what there is.
    if (!found && !region.empty() && DecodeExFATBootSector(region.data(), region.size()).Valid) {
      Layout = DecodeExFATBootSector(region.data(), region.size());
      BootRegion = std::move(region);
      found = true;
      BootNote = "引导区校验和错误, 备份引导区不可用";
    }
    if (!found) DebugMessage("exFAT: " + mainProblem, 3);
  }
  if (found) {
    DebugHexDump(BootRegion.data(), 512);
    std::memcpy(BootRecord.data(), BootRegion.data(), BootRecord.size());
  }
  const bool ok = found && ComputeGeometry(quiet);
  if (!found && !quiet)
    ShowMessageBox("从引导扇区计算逻辑驱动器的信息参数错误", "错误", TMsgType::mtInformation);
  if (ok) {
    ReadRootEntries();
    Name = Label;
    if (!BootNote.empty()) {
      DebugMessage(Name + ": " + BootNote, 1);
      FATChoiceNote = FATChoiceNote.empty() ? BootNote : BootNote + "; " + FATChoiceNote;
      if (FromBackup) Name += " (备份引导扇区)";
    }
  }
  CreateExFATTopFolders();
  return ok;
}

bool TExFATdrive::DeriveLayout() {
  if (!Layout.Valid) return false;
  const std::uint32_t deviceSize = Device && Device->BytesPerSector ? Device->BytesPerSector : 512;
  BytesPerSector = 1u << Layout.BytesPerSectorShift;
  if (BytesPerSector % deviceSize != 0) return false;
  SetDeviceSectorsPerSector(BytesPerSector / deviceSize);
  SectorsPerCluster = 1u << Layout.SectorsPerClusterShift;
  BytesPerCluster = BytesPerSector * SectorsPerCluster;
  ReservedSectors = Layout.FatOffset;
  NumberOfFATs = Layout.NumberOfFats;
  RootEntries = 0;
  RootDirSectors = 0;
  FATSize = Layout.FatLength;
  FATSectors = Layout.FatLength * Layout.NumberOfFats;
  FirstDataSector = Layout.ClusterHeapOffset;
  // The FAT readers work in 32-bit sector numbers: a volume beyond them is
  // read as far as they reach.
  const std::uint64_t heapEnd =
      std::uint64_t{Layout.ClusterHeapOffset} + (std::uint64_t{Layout.ClusterCount} << Layout.SectorsPerClusterShift);
  TotalSectors = static_cast<std::uint32_t>(std::min<std::uint64_t>(Layout.VolumeLength, 0xFFFFFFFFu));
  std::uint64_t clusters = Layout.ClusterCount;
  if (heapEnd > 0xFFFFFFFFu) clusters = (0xFFFFFFFFu - std::uint64_t{FirstDataSector}) >> Layout.SectorsPerClusterShift;
  // Entries beyond 0x0FFFFFF0 would read as the FAT32 marks they are not.
  ClusterCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(clusters, 0x0FFFFFEFu));
  DataSectors = ClusterCount * SectorsPerCluster;
  FATType = ftFAT32;  // 32-bit entries; the marks above 0xFFFFFFF0 read as FAT32's
  RootCluster = Layout.RootCluster;
  if (!IsValidCluster(RootCluster)) return false;
  RootSector = ClusterToSector(RootCluster);
  return true;
}

void TExFATdrive::CreateExFATTopFolders() {
  auto make = [this](const char* name, std::uint32_t cluster, bool withList) {
    auto d = std::make_unique<TExFATDirectory>();
    d->Drive = this;
    d->Name = name;
    d->StartCluster = cluster;
    if (withList) d->Items = std::make_unique<TItemList>();
    return d;
  };
  const std::uint32_t root = GeometryValid ? RootCluster : 0;
  RootDir = make("根目录", root, false);
  DeletedDir = make("删除", root, false);
  LostDir = make("丢失", 0, true);
  SearchDir = make("搜索", 0, true);
}

void TExFATdrive::ReadRootEntries() {
  TExFATDirectory root;
  root.Drive = this;
  root.StartCluster = RootCluster;
  TExFATDirectory::TSpecialEntries special;
  root.ReadSpecialEntries(special);
  static_cast<TExFATRootEntries&>(*this) = special;
  if (!IsValidCluster(BitmapCluster)) {
    DebugMessage(Format("exFAT: 分配位图簇 %u 超出范围 (valid range is 2-%u)", BitmapCluster, MaxCluster()), 3);
    BitmapCluster = 0;
    return;
  }
  // A bitmap covers every cluster; a longer one is read only as far as that.
  const std::uint64_t needed = (std::uint64_t{ClusterCount} + 7) / 8;
  if (BitmapLength < needed)
    DebugMessage(Format("exFAT: 分配位图太短: %llu 字节 (需要 %llu)", static_cast<unsigned long long>(BitmapLength),
                        static_cast<unsigned long long>(needed)),
                 3);
  BitmapLength = std::min(BitmapLength, needed);
  const std::uint64_t clusters = (BitmapLength + BytesPerCluster - 1) / BytesPerCluster;
  // The bitmap's own chain, or its clusters back to back where the FAT has none.
  std::uint32_t cluster = BitmapCluster;
  bitmapClusters_.push_back(cluster);
  while (bitmapClusters_.size() < clusters) {
    const std::uint32_t entry = GetFATEntry(cluster, 0);
    const std::uint32_t next = IsValidCluster(entry) ? entry : cluster + 1;
    if (!IsValidCluster(next) || std::find(bitmapClusters_.end() - std::min<std::size_t>(bitmapClusters_.size(), 64),
                                           bitmapClusters_.end(), next) != bitmapClusters_.end())
      break;
    bitmapClusters_.push_back(next);
    cluster = next;
  }
  bitmapSector_.assign(BytesPerSector, 0);
}

bool TExFATdrive::LoadBitmapSector(std::uint64_t sectorOfBitmap) {
  if (bitmapValid_ && bitmapSectorNo_ == sectorOfBitmap) return true;
  bitmapValid_ = false;
  const std::uint64_t index = sectorOfBitmap / SectorsPerCluster;
  if (index >= bitmapClusters_.size()) return false;
  const std::uint32_t sector =
      ClusterToSector(bitmapClusters_[index]) + static_cast<std::uint32_t>(sectorOfBitmap % SectorsPerCluster);
  if (!ReadSectors(sector, 1, false, bitmapSector_.data())) return false;
  bitmapValid_ = true;
  bitmapSectorNo_ = sectorOfBitmap;
  return true;
}

bool TExFATdrive::IsClusterFree(std::uint32_t cluster) {
  if (!GeometryValid || !IsValidCluster(cluster) || bitmapClusters_.empty()) return false;
  const std::uint64_t bit = cluster - 2u;
  const std::uint64_t byte = bit / 8;
  if (byte >= BitmapLength || !LoadBitmapSector(byte / BytesPerSector)) return false;
  return (bitmapSector_[byte % BytesPerSector] & (1u << (bit % 8))) == 0;
}

bool TExFATdrive::RunIsFree(std::uint32_t first, std::uint64_t count) {
  if (!IsValidCluster(first) || count == 0) return false;
  if (count > std::uint64_t{MaxCluster()} - first + 1) return false;
  // A file is never more than 4 GiB here: what lies beyond is not read.
  count = std::min<std::uint64_t>(count, (0xFFFFFFFFull + BytesPerCluster - 1) / BytesPerCluster);
  for (std::uint64_t i = 0; i < count;) {
    const auto c = static_cast<std::uint32_t>(first + i);
    const std::uint64_t bit = c - 2u;
    // Eight clusters at a time where the bitmap byte is theirs alone.
    if (bit % 8 == 0 && count - i >= 8) {
      const std::uint64_t byte = bit / 8;
      if (byte >= BitmapLength || !LoadBitmapSector(byte / BytesPerSector)) return false;
      if (bitmapSector_[byte % BytesPerSector] != 0) return false;
      i += 8;
      continue;
    }
    if (!IsClusterFree(c)) return false;
    ++i;
  }
  return true;
}

std::uint32_t TExFATdrive::NextFreeCluster(std::uint32_t cluster) {
  if (bitmapClusters_.empty()) return IsValidCluster(cluster + 1) ? cluster + 1 : 0;
  // Past the bitmap nothing is known to be free.
  const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{MaxCluster()} + 1, BitmapLength * 8 + 2);
  for (std::uint64_t c = std::uint64_t{cluster} + 1; c < end;) {
    if (c < 2) c = 2;
    const std::uint64_t bit = c - 2;
    const std::uint64_t byte = bit / 8;
    if (!LoadBitmapSector(byte / BytesPerSector)) return 0;
    const std::uint8_t bits = bitmapSector_[byte % BytesPerSector];
    // A full byte holds no free cluster.
    if (bits == 0xFF && bit % 8 == 0) {
      c += 8;
      continue;
    }
    if (!(bits & (1u << (bit % 8)))) return IsValidCluster(static_cast<std::uint32_t>(c)) ? static_cast<std::uint32_t>(c) : 0;
    ++c;
  }
  return 0;
}

void TExFATdrive::NoteFile(std::uint32_t firstCluster, bool contiguous, std::uint64_t validLength, bool live) {
  if (!IsValidCluster(firstCluster)) return;
  auto it = notes_.find(firstCluster);
  // A live file owns its clusters; a deleted one whose start is taken again
  // does not change how the live one reads.
  if (it != notes_.end() && it->second.Live && !live) return;
  TNote note;
  note.Layout.Contiguous = contiguous;
  note.Layout.ValidLength = validLength;
  note.Live = live;
  notes_[firstCluster] = note;
}

bool TExFATdrive::FileLayout(std::uint32_t firstCluster, TFileLayout& layout) const {
  const auto it = notes_.find(firstCluster);
  if (it == notes_.end()) return false;
  layout = it->second.Layout;
  return true;
}

}  // namespace vantrel
