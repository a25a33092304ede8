#include "support/FakePlatform.h"

#include <algorithm>
#include <cstring>

#include "devices/ReadAheadCache.h"

namespace vantrel::test {

TDiskGeometry GeometryFor(std::size_t bytes, std::uint16_t mediaKind) {
  TDiskGeometry g;
  g.MediaKind = mediaKind;
  g.Heads = 255;
  g.SectorsPerTrack = 63;
  g.BytesPerSector = 512;
  g.TotalSectors = static_cast<std::uint32_t>(bytes / 512);
  g.TotalBytes = bytes;
  g.Cylinders = g.TotalSectors / (255 * 63);
  return g;
}

FakePlatform::FakePlatform() {
  ResetReadAheadCache();
  SetDiskPlatform(this);
}

FakePlatform::~FakePlatform() {
  SetDiskPlatform(nullptr);
  ResetReadAheadCache();
}

static std::string PhysName(std::uint8_t drive) { return "phys" + std::to_string(drive); }
static std::string LogName(std::uint8_t drive) { return "log" + std::to_string(drive); }

FakeDevice& FakePlatform::AddPhysical(std::uint8_t drive, std::vector<std::uint8_t> data,
                                      std::uint16_t mediaKind) {
  FakeDevice& d = devices[PhysName(drive)];
  d.geometry = GeometryFor(data.size(), mediaKind);
  d.data = std::move(data);
  return d;
}

FakeDevice& FakePlatform::AddLogical(std::uint8_t drive, std::vector<std::uint8_t> data) {
  FakeDevice& d = devices[LogName(drive)];
  d.geometry = GeometryFor(data.size(), 3);
  d.data = std::move(data);
  return d;
}

void FakePlatform::FailRange(const std::string& name, std::uint64_t offset, std::uint64_t length, int error) {
  failures_.push_back({name, offset, length, error});
}

std::string FakePlatform::PhysicalDeviceName(std::uint8_t drive) {
  ++nameLookups;
  if (drive >= 2 && drive < 0x80) return "";
  return devices.count(PhysName(drive)) ? PhysName(drive) : "";
}

std::string FakePlatform::LogicalDeviceName(std::uint8_t drive) {
  ++nameLookups;
  return devices.count(LogName(drive)) ? LogName(drive) : "";
}

int FakePlatform::Open(const std::string& name) {
  ++opens;
  openedNames.push_back(name);
  if (!devices.count(name)) return -1;
  handles_[nextHandle_] = name;
  return nextHandle_++;
}

void FakePlatform::Close(int handle) { handles_.erase(handle); }

bool FakePlatform::ReadAt(int handle, std::uint64_t offset, void* buffer, std::size_t size,
                          std::size_t& got, int& error) {
  ++reads;
  readLog.emplace_back(offset, size);
  got = 0;
  error = 0;
  const auto h = handles_.find(handle);
  if (h == handles_.end()) {
    error = 6;
    return false;
  }
  if (OnRead) OnRead(h->second, offset, size);
  for (const auto& f : failures_) {
    if (f.name == h->second && offset < f.offset + f.length && f.offset < offset + size) {
      error = f.error;
      return false;
    }
  }
  const auto& data = devices[h->second].data;
  if (offset < data.size()) {
    got = static_cast<std::size_t>(std::min<std::uint64_t>(size, data.size() - offset));
    std::memcpy(buffer, data.data() + offset, got);
  }
  return true;
}

bool FakePlatform::QueryGeometry(const std::string& name, TDiskGeometry& geometry) {
  const auto it = devices.find(name);
  if (it == devices.end() || it->second.geometryFails) return false;
  geometry = it->second.geometry;
  return true;
}

bool FakePlatform::GetVolumeInformation(std::uint8_t drive, std::string& label, std::string& fsName) {
  const auto it = devices.find(LogName(drive));
  if (it == devices.end()) return false;
  label = it->second.label;
  fsName = it->second.fsName;
  return true;
}

TDriveType FakePlatform::GetDriveType(std::uint8_t drive) {
  const auto it = devices.find(LogName(drive));
  return it == devices.end() ? dtNoRoot : it->second.driveType;
}

}  // namespace vantrel::test
