// The search of a device for lost volumes: boot sectors that no partition
// entry names any more, and volumes whose boot sector is gone too, which the
// analyser rebuilds from their FATs and folders.

#include <vector>

#include "analysis/TFATAnalyser.h"
#include "common/Bytes.h"
#include "common/DebugLog.h"
#include "devices/TDevice.h"
#include "format/FATFormat.h"
#include "format/ExFATFormat.h"
#include "fs/TExFATdrive.h"
#include "fs/TFATdrive.h"
#include "host/TStatusDialog.h"
#include "host/UserInterface.h"
#include "recovery/TDriveList.h"

namespace vantrel {
namespace {

// Where the volume of a boot sector starts. A FAT32 volume keeps a copy of
// its boot sector a few sectors in; when the original is gone, the copy is
// the first boot sector the search meets, and its volume starts that many
// sectors earlier: the first FAT lies that far before where the copy would
// put it.
std::uint64_t VolumeStartOf(TDevice& device, std::uint64_t sectorNo, const std::uint8_t* sector) {
  const ByteSpan boot(sector, 512);
  const std::uint16_t backupAt = Le16(boot, kBpbBackupBootSector32);
  const std::uint16_t reserved = Le16(boot, kBpbReservedSectors);
  const bool fat32 = Le16(boot, kBpbFATSize16) == 0 && Le32(boot, kBpbFATSize32) != 0;
  if (!fat32 || backupAt == 0 || backupAt >= reserved || backupAt > sectorNo) return sectorNo;
  std::vector<std::uint8_t> fat(device.BytesPerSector ? device.BytesPerSector : 512);
  auto fatStartsAt = [&](std::uint64_t at) {
    return device.ReadSectors(at, 1, false, fat.data()) &&
           IsFATStart(fat.data(), fat.size(), ftFAT32);
  };
  const std::uint64_t original = sectorNo - backupAt;
  if (fatStartsAt(original + reserved) && !fatStartsAt(sectorNo + reserved))
    return original;
  return sectorNo;
}

}  // namespace

void FindLostDrives(TDevice& device, std::uint64_t firstSector, std::uint64_t lastSector, TDriveList& drives,
                    TStatusDialog* dialog) {
  if (device.TotalSectors == 0) return;
  // Past the end of the device there is nothing to read.
  if (lastSector >= device.TotalSectors) lastSector = device.TotalSectors - 1;
  if (firstSector >= device.TotalSectors) firstSector = device.TotalSectors - 1;

  std::vector<std::uint8_t> buffer(device.BytesPerSector ? device.BytesPerSector : 512);
  TFATAnalyser analyser;
  analyser.Sink = &drives;
  // The cache goes off again on every way out, an exception's included.
  struct CacheGuard {
    TDevice& cached;
    explicit CacheGuard(TDevice& d) : cached(d) { cached.SetCacheEnabled(true); }
    ~CacheGuard() { cached.SetCacheEnabled(false); }
  } guard(device);

  const std::string caption = "查找逻辑驱动器 - 请稍后...";
  if (dialog) {
    dialog->Init(caption, "", "", "", "", true, true);
    dialog->Total = lastSector >= firstSector ? lastSector - firstSector + 1ull : 1;
    dialog->Step = 1;
    dialog->RefreshInterval = 500;
    dialog->Show();
  }
  std::uint32_t found = 0;
  std::uint64_t current = firstSector;
  analyser.Start(&device);
  // Beyond 2 TiB the analyser counts from in front of the range (a FAT at
  // its first sector has its boot sector there).
  if (lastSector > 0xFFFFFFFFu && firstSector > 0) analyser.Base = firstSector - 1;
  bool ok;
  do {
    if (dialog && dialog->IsRefreshDue()) {
      dialog->SetTexts(caption,
                       Format("物理扇区 %llu - %llu", static_cast<unsigned long long>(current),
                              static_cast<unsigned long long>(lastSector)),
                       "",
                       Format("丢失的驱动器: %u", found), "");
      ProcessMessages();
    }
    ok = device.ReadSectors(current, 1, true, buffer.data());
    if (ok) {
      if (IsBootSectorLenient(buffer.data(), buffer.size())) {
        const std::uint64_t start = VolumeStartOf(device, current, buffer.data());
        if (!drives.HasDriveAt(device, start) && !drives.IsBackupBootSector(device, current, buffer.data())) {
          drives.AddLostDrive(device, current, true, 0, start);
          ++found;
        }
      } else if (IsExFATBootSector(buffer.data(), buffer.size())) {
        // A main boot sector or, when that is gone, its backup.
        const std::uint64_t start = ExFATVolumeStart(device, current, buffer.data(), buffer.size());
        if (start != kNoVolume && !drives.HasDriveAt(device, start)) {
          drives.AddLostDrive(device, start, true, 0, start);
          ++found;
        }
      }
      if (analyser.AnalyseSector(&device, current, static_cast<std::uint32_t>(buffer.size()), buffer.data())) ++found;
      ++current;
    }
    if (dialog) {
      if (dialog->Cancelled) break;
      dialog->StepIt();
    }
  } while (ok && current <= lastSector && current != 0);
  analyser.Finish();
  if (dialog) dialog->Hide();
}

}  // namespace vantrel
