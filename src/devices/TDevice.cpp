#include "devices/TDevice.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/Clock.h"
#include "common/DebugLog.h"
#include "devices/ReadAheadCache.h"
#include "diskio/DiskPlatform.h"
#include "diskio/SectorAccess.h"
#include "host/TStatusDialog.h"
#include "host/UserInterface.h"

namespace vantrel {

TDevice::~TDevice() { ForgetCachedDevice(this); }

bool TDevice::RawRead(std::uint64_t firstSector, std::uint16_t count, std::uint8_t* buffer) {
  const bool ok = Kind == dkBIOS ? ReadPhysicalSectors(Number, firstSector, count, false, buffer)
                                 : ReadLogicalSectors(Number, firstSector, count, buffer);
  if (!ok) ++FailedReads;
  return ok;
}

bool TDevice::ReadSectorsDirect(std::uint64_t firstSector, std::uint16_t count, bool prompt, void* buffer) {
  if (count == 0) return true;
  auto* out = static_cast<std::uint8_t*>(buffer);
  if (!unreadable_.Intersects(firstSector, count)) {
    if (RawRead(firstSector, count, out)) return true;
    // One sector alone needs no second read to know which one failed.
    if (count == 1) unreadable_.Add(firstSector, 1);
  }
  return ReadSplit(firstSector, count, prompt, out);
}

bool TDevice::ReadSplit(std::uint64_t firstSector, std::uint16_t count, bool prompt, std::uint8_t* buffer) {
  const std::size_t sectorSize = BytesPerSector ? BytesPerSector : 512;
  bool all = true;
  for (std::uint16_t i = 0; i < count; ++i) {
    const std::uint64_t sector = firstSector + i;
    std::uint8_t* out = buffer + i * sectorSize;
    if (!unreadable_.Contains(sector)) {
      if (RawRead(sector, 1, out)) continue;
      unreadable_.Add(sector, 1);
    } else if (count > 1 || i > 0) {
      ++SparedReads;
    }
    if (!AnswerBadSector(sector, prompt, out, firstSector, count)) {
      all = false;
      // Abort ends the request; without a prompt the rest is still read, so
      // that every bad sector of it is known and every good one delivered.
      if (prompt) return false;
    }
  }
  return all;
}

bool TDevice::AnswerBadSector(std::uint64_t sector, bool prompt, std::uint8_t* buffer, std::uint64_t requestFirst,
                              std::uint16_t requestCount) {
  const std::size_t sectorSize = BytesPerSector ? BytesPerSector : 512;
  std::memset(buffer, 0, sectorSize);
  // Logical drives never prompt.
  if (!prompt || Kind != dkBIOS) return false;
  for (;;) {
    const int error = LastReadError();
    switch (AskReadError(Number, requestFirst, requestCount, error ? error : 23)) {
      case TPromptAnswer::Retry:
        if (!notCopied_.Contains(sector) && RawRead(sector, 1, buffer)) {
          unreadable_.Remove(sector, 1);
          ForgetCachedDevice(this);  // entries hold zeros where it failed
          return true;
        }
        std::memset(buffer, 0, sectorSize);
        continue;
      case TPromptAnswer::Ignore:
        return true;  // zeros; the sector stays unreadable
      case TPromptAnswer::Abort:
        return false;
    }
  }
}

bool TDevice::ReadSectors(std::uint64_t firstSector, std::uint16_t count, bool prompt, void* buffer) {
  if (count == 0) return true;
  if (ReadAheadPending && ReadAheadCacheSwitch() && CacheEnabled) {
    MeasureReadAhead();
    SetCacheEnabled(true);  // the scan that asked goes on with the cache
  }
  if (ReadAheadCacheSwitch() && CacheEnabled && ReadAhead > 0 && firstSector < TotalSectors)
    return CachedRead(*this, firstSector, count, prompt, static_cast<std::uint8_t*>(buffer));
  return ReadSectorsDirect(firstSector, count, prompt, buffer);
}

void TDevice::MeasureReadAhead() {
  ReadAheadPending = false;
  ReadAhead = 0;
  if (TotalSectors < 2048) return;
  SetCacheEnabled(false);
  std::vector<std::uint8_t> sector(BytesPerSector ? BytesPerSector : 512);
  if (!ReadSectors(0, 1, false, sector.data())) return;

  // Count single-sector reads for 100 ms. A fast medium may reach its end
  // before the time is up; the count then goes on from sector 0 again
  // instead of failing past the end.
  const std::uint32_t start = GetTickCount();
  std::uint32_t reads = 0;
  std::uint64_t sectorNo = 0;
  const std::uint32_t sectorSize = BytesPerSector ? BytesPerSector : 512;
  while (GetTickCount() - start < 100) {
    if (!ReadSectors(sectorNo, 1, false, sector.data())) return;
    ++reads;
    if (++sectorNo >= TotalSectors) sectorNo = 0;
    // Once the reads would fill an entry, more of them change nothing.
    if (static_cast<std::uint64_t>(reads) * 10 * sectorSize > kCacheEntryBytes) break;
  }
  std::uint32_t readAhead = reads <= 1 ? 1 : reads * 10;
  if (static_cast<std::uint64_t>(readAhead) * sectorSize > kCacheEntryBytes)
    readAhead = kCacheEntryBytes / sectorSize;
  ReadAhead = readAhead;
}

int TDeviceList::IndexOf(const TDevice* device) const {
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == device) return static_cast<int>(i);
  return -1;
}

TDevice* TDeviceList::Add(std::unique_ptr<TDevice> device) {
  items_.push_back(std::move(device));
  return items_.back().get();
}

void TDeviceList::Detect(TStatusDialog* dialog) {
  DebugMessage("检测设备...", 1);
  for (unsigned number = 0; number <= 255; ++number) {
    if (dialog)
      dialog->SetTexts("扫描驱动器", Format("检测 BIOS 驱动器 %d", number), "请稍后...", "", "");
    ProcessMessages();
    TDiskGeometry g;
    if (!GetPhysicalGeometry(static_cast<std::uint8_t>(number), g)) continue;
    auto device = std::make_unique<TDevice>();
    device->Kind = dkBIOS;
    device->Number = static_cast<std::uint8_t>(number);
    device->TotalSectors = g.TotalSectors;
    // Physical reads are always in 512-byte sectors, whatever the disk reports.
    device->BytesPerSector = kPhysicalSectorSize;
    // Bit 1: sector 0 holds an old boot sector beside the table.
    device->Partitioned = (g.MediaKind == 1 || g.Unpartitioned) ? 0 : (g.AlsoWholeVolume ? 3 : 1);
    if (g.MediaKind <= 3) device->MediaType = static_cast<std::uint8_t>(g.MediaKind);
    device->Flags = g.Removable & 1;
    Add(std::move(device))->ReadAheadPending = true;
  }
  for (unsigned number = 1; number <= 26; ++number) {
    TDiskGeometry g;
    if (!GetLogicalGeometry(static_cast<std::uint8_t>(number), g)) continue;
    const std::string root = std::string(1, static_cast<char>('A' + number - 1)) + ":\\";
    if (dialog) dialog->SetTexts("扫描驱动器", Format("检测Windows驱动器 %s", root.c_str()), "请稍后...", "", "");
    ProcessMessages();
    std::string label, fsName;
    if (!DiskPlatform().GetVolumeInformation(static_cast<std::uint8_t>(number), label, fsName)) continue;
    std::string upper = fsName;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    if (upper.find("FAT") == std::string::npos) continue;
    auto device = std::make_unique<TDevice>();
    device->Kind = dkWindows;
    device->Number = static_cast<std::uint8_t>(number);
    device->Partitioned = 0;
    const TDriveType type = DiskPlatform().GetDriveType(static_cast<std::uint8_t>(number));
    device->MediaType = (type >= dtRemovable && type <= dtRamDisk) ? static_cast<std::uint8_t>(type) : 0;
    device->TotalSectors = g.TotalSectors;
    device->BytesPerSector = static_cast<std::uint16_t>(g.BytesPerSector);
    device->Flags = g.Removable & 1;
    Add(std::move(device))->ReadAheadPending = true;
  }
  for (int i = 0; i < Count(); ++i) Items(i)->Name = GetDeviceName(i, true);
}

std::string TDeviceList::GetDeviceName(int index, bool withSize) const {
  const TDevice* d = Items(index);
  std::string name;
  if (d->Kind == dkBIOS) {
    switch (d->MediaType) {
      case 1: name = "软盘 #"; break;
      case 2: name = "可移动磁盘 #"; break;
      case 3: name = "固定磁盘 #"; break;
      case 5: name = "光驱 #"; break;
      default: name = "未知磁盘 #"; break;
    }
    name += std::to_string(index + 1);
  } else {
    name = std::string("Windows驱动器 ") + static_cast<char>('A' + d->Number - 1) + ":";
  }
  if (withSize) {
    // Sizes count 512-byte sectors here, whatever the device's sector size.
    const double mb = static_cast<double>(d->TotalSectors) / 2048.0;
    if (mb >= 1000)
      name += "   (" + Format("%.2f GB)", mb / 1024);
    else
      name += "   (" + Format("%.2f MB)", mb);
  }
  return name;
}

}  // namespace vantrel
