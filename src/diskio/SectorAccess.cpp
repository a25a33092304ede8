#include "diskio/SectorAccess.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "diskio/DiskPlatform.h"
#include "diskio/Legacy9x.h"

namespace vantrel {
namespace {

constexpr std::size_t kStagingSize = 65536;

// The furthest byte a read may reach: file offsets are signed 64-bit. A
// sector number from a disk can be anything; one whose byte offset would
// wrap around must fail, not read the start of the device.
bool FitsByteOffset(std::uint64_t firstSector, std::uint64_t bytes, std::uint64_t sectorSize) {
  constexpr std::uint64_t kMaxOffset = 0x7FFFFFFFFFFFFFFFull;
  return firstSector <= kMaxOffset / sectorSize && bytes <= kMaxOffset - firstSector * sectorSize;
}

// One cached read handle per kind: reading the same drive again reuses it,
// reading another drive of that kind closes it first.
struct ReadHandle {
  bool assigned = false;  // a drive number is remembered (even after a failed open)
  std::uint8_t drive = 0;
  int handle = -1;
};

struct SectorModule {
  // Unknown until first asked: the version is read once.
  int isNT = -1;
  IErrorPrompt* prompt = nullptr;
  int lastError = 0;
  IDiskPlatform* platform = nullptr;
  ReadHandle physical;
  ReadHandle logical;
  TDiskGeometry logicalGeometry;
  std::vector<std::uint8_t> physicalStaging = std::vector<std::uint8_t>(kStagingSize);
  std::vector<std::uint8_t> logicalStaging = std::vector<std::uint8_t>(kStagingSize);
};

SectorModule& Module() {
  static SectorModule module;
  return module;
}

void CloseHandle(ReadHandle& h) {
  if (h.handle >= 0) DiskPlatform().Close(h.handle);
  h = ReadHandle{};
}

using DeviceNameOf = std::string (IDiskPlatform::*)(std::uint8_t);

// The handle of drive, reusing the open one when it belongs to the same drive.
// The device name is looked up only to open a handle: reads go on one after
// another and must not ask the platform each time. opened tells whether this
// call opened the handle.
int GetReadHandle(ReadHandle& h, std::uint8_t drive, DeviceNameOf nameOf, bool& opened) {
  opened = false;
  if (h.assigned && h.drive == drive && h.handle >= 0) return h.handle;
  CloseHandle(h);
  h.assigned = true;
  h.drive = drive;
  const std::string name = (DiskPlatform().*nameOf)(drive);
  h.handle = name.empty() ? -1 : DiskPlatform().Open(name);
  opened = h.handle >= 0;
  return h.handle;
}

std::string PromptText(int error, std::uint8_t drive, std::uint64_t first, std::uint16_t count) {
  return "error no." + std::to_string(error) + "\r\n" + "drv:" + std::to_string(drive) +
         " LBA:" + std::to_string(first) + " blocks:" + std::to_string(count) + "\r\n\r\n" +
         "Abort, Retry or Ignore?";
}

void ApplyMediaType(std::uint16_t mediaKind, TDiskGeometry& g) {
  g.MediaKind = mediaKind;
  g.Removable = (mediaKind == 1 || mediaKind == 2 || mediaKind == 4) ? 1 : 0;
}

}  // namespace

void SetErrorPrompt(IErrorPrompt* prompt) { Module().prompt = prompt; }

IErrorPrompt* CurrentErrorPrompt() { return Module().prompt; }

bool IsNT() {
  auto& m = Module();
  // Only Windows 95/98/ME lack device files of disks; everything else,
  // Linux included, reads them.
  if (m.isNT < 0) m.isNT = IsWindowsNT() ? 1 : 0;
  return m.isNT != 0;
}

void SetIsNT(bool value) { Module().isNT = value ? 1 : 0; }

void SetDiskPlatform(IDiskPlatform* platform) {
  CloseSectorHandles();
  Module().platform = platform;
}

IDiskPlatform& DefaultDiskPlatform();

IDiskPlatform& DiskPlatform() {
  auto& m = Module();
  return m.platform ? *m.platform : DefaultDiskPlatform();
}

void CloseSectorHandles() {
  auto& m = Module();
  CloseHandle(m.physical);
  CloseHandle(m.logical);
}

bool ReadPhysicalSectors(std::uint8_t drive, std::uint64_t firstSector, std::uint16_t count,
                         bool prompt, void* buffer) {
  if (!IsNT()) return Read9xPhysicalSectors(drive, firstSector, count, prompt, buffer);
  auto& m = Module();
  IDiskPlatform& platform = DiskPlatform();
  bool opened = false;
  const int handle = GetReadHandle(m.physical, drive, &IDiskPlatform::PhysicalDeviceName, opened);
  if (handle < 0) return false;

  std::size_t remaining = static_cast<std::size_t>(count) * kPhysicalSectorSize;
  if (!FitsByteOffset(firstSector, remaining, kPhysicalSectorSize)) return false;
  std::uint64_t position = firstSector * kPhysicalSectorSize;
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (remaining > 0) {
    const std::size_t chunk = std::min(remaining, kStagingSize);
    bool good;
    for (;;) {
      std::size_t got = 0;
      int error = 0;
      good = platform.ReadAt(handle, position, m.physicalStaging.data(), chunk, got, error) &&
             got == chunk;
      if (good) break;
      if (error == 0) error = 6;  // a short read: past the end of the device
      m.lastError = error;
      if (!prompt) break;
      const TPromptAnswer answer =
          m.prompt ? m.prompt->AskAbortRetryIgnore("NT_read error",
                                                   PromptText(error, drive, firstSector, count))
                   : TPromptAnswer::Abort;
      if (answer == TPromptAnswer::Retry) continue;
      if (answer == TPromptAnswer::Ignore) good = true;
      break;
    }
    if (!good) return false;
    // After Ignore this is whatever the staging buffer holds.
    std::memcpy(out, m.physicalStaging.data(), chunk);
    out += chunk;
    position += chunk;
    remaining -= chunk;
  }
  return true;
}

int LastReadError() { return Module().lastError; }

TPromptAnswer AskReadError(std::uint8_t drive, std::uint64_t firstSector, std::uint16_t count, int error) {
  auto& m = Module();
  return m.prompt ? m.prompt->AskAbortRetryIgnore("NT_read error", PromptText(error, drive, firstSector, count))
                  : TPromptAnswer::Abort;
}

bool ReadLogicalSectors(std::uint8_t drive, std::uint64_t firstSector, std::uint16_t count,
                        void* buffer) {
  if (!IsNT()) return Read9xLogicalSectors(drive, firstSector, count, buffer);
  auto& m = Module();
  IDiskPlatform& platform = DiskPlatform();
  bool opened = false;
  const int handle = GetReadHandle(m.logical, drive, &IDiskPlatform::LogicalDeviceName, opened);
  if (handle < 0) return false;
  if (opened) {
    // Without a geometry the sector size is unknown: the handle is of no use.
    if (!GetLogicalGeometry(drive, m.logicalGeometry) || m.logicalGeometry.BytesPerSector == 0) {
      CloseHandle(m.logical);
      return false;
    }
  }
  const std::size_t sectorSize = m.logicalGeometry.BytesPerSector;
  std::size_t remaining = static_cast<std::size_t>(count) * sectorSize;
  if (!FitsByteOffset(firstSector, remaining, sectorSize)) return false;
  std::uint64_t position = firstSector * sectorSize;
  auto* out = static_cast<std::uint8_t*>(buffer);
  const std::size_t maxChunk = std::min<std::size_t>(128 * sectorSize, kStagingSize);
  while (remaining > 0) {
    const std::size_t chunk = std::min(remaining, maxChunk);
    std::size_t got = 0;
    int error = 0;
    if (!platform.ReadAt(handle, position, m.logicalStaging.data(), chunk, got, error) || got != chunk)
      return false;
    std::memcpy(out, m.logicalStaging.data(), chunk);
    out += chunk;
    position += chunk;
    remaining -= chunk;
  }
  return true;
}

bool GetPhysicalGeometry(std::uint8_t drive, TDiskGeometry& geometry) {
  if (!IsNT()) return Get9xPhysicalGeometry(drive, geometry);
  const std::string name = DiskPlatform().PhysicalDeviceName(drive);
  if (name.empty()) return false;
  TDiskGeometry g;
  if (!DiskPlatform().QueryGeometry(name, g)) return false;
  ApplyMediaType(g.MediaKind, g);
  geometry = g;
  return true;
}

bool GetLogicalGeometry(std::uint8_t drive, TDiskGeometry& geometry) {
  if (!IsNT()) return Get9xLogicalGeometry(drive, geometry);
  if (drive < 1 || drive > 26) return false;
  const std::string name = DiskPlatform().LogicalDeviceName(drive);
  if (name.empty()) return false;
  if (DiskPlatform().GetDriveType(drive) == dtCDROM) {
    geometry = TDiskGeometry{};
    geometry.MediaKind = 4;
    geometry.Removable = 1;
    geometry.BytesPerSector = 2048;
    return true;
  }
  TDiskGeometry g;
  if (!DiskPlatform().QueryGeometry(name, g)) return false;
  ApplyMediaType(g.MediaKind, g);
  // Logical reads go in the drive's own sectors: so does its size.
  if (g.TotalBytes != 0 && g.BytesPerSector > 512)
    g.TotalSectors = g.TotalBytes / g.BytesPerSector;
  geometry = g;
  return true;
}

}  // namespace vantrel
