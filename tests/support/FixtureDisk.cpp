#include "support/FixtureDisk.h"

#include <algorithm>
#include <stdexcept>

#include "common/Clock.h"
#include "devices/ReadAheadCache.h"
#include "support/TempDir.h"

namespace vantrel::test {

FixtureDisk::FixtureDisk(const std::vector<std::string>& images) {
  platform_->SetOnlyImages(true);
  for (const auto& image : images) platform_->AddImageFile(image);
  SetDiskPlatform(platform_.get());
  ResetReadAheadCache();
  // Detection measures the read-ahead for 100 ms of real time per disk; a
  // clock that runs fast ends it after a few reads.
  std::uint32_t now = 0;
  SetTickSource([&now] { return now += 10; });
  devices.Detect(nullptr);
  SetTickSource(nullptr);
  for (int i = 0; i < devices.Count(); ++i) drives.ScanDevice(*devices.Items(i));
}

FixtureDisk::~FixtureDisk() {
  drives.Clear();
  devices.Clear();
  SetDiskPlatform(nullptr);
  ResetReadAheadCache();
}

TFATdrive& FixtureDisk::Drive(int index) const {
  if (index >= drives.Count()) throw std::out_of_range("no drive " + std::to_string(index));
  return *dynamic_cast<TFATdrive*>(drives.Items(index));
}

std::vector<std::uint8_t> ReadFixtureBytes(const std::string& name, std::size_t limit) {
  const std::string content = ReadFile(FixturePath(name));
  if (content.empty()) throw std::runtime_error("no fixture image " + name);
  return std::vector<std::uint8_t>(content.begin(), content.begin() + std::min(limit, content.size()));
}

std::unique_ptr<TDevice> MakeDisk(std::uint8_t number, std::uint32_t totalSectors, bool partitioned) {
  auto device = std::make_unique<TDevice>();
  device->Kind = dkBIOS;
  device->Number = number;
  device->MediaType = 3;
  device->TotalSectors = totalSectors;
  device->BytesPerSector = 512;
  device->Partitioned = partitioned ? 1 : 0;
  device->Name = "test disk";
  return device;
}

MemoryVolume::MemoryVolume(std::vector<std::uint8_t> bytes) {
  const auto sectors = static_cast<std::uint32_t>(bytes.size() / 512);
  platform.AddPhysical(0x80, std::move(bytes));
  device = MakeDisk(0x80, sectors, false);
  drive.Device = device.get();
  drive.SectorCount = sectors;
}

void MemoryVolume::Poke(std::size_t offset, const std::vector<std::uint8_t>& bytes) {
  std::copy(bytes.begin(), bytes.end(), Bytes().begin() + static_cast<std::ptrdiff_t>(offset));
}

void MemoryVolume::SetFATEntry(std::uint32_t cluster, std::uint32_t value) {
  for (std::uint32_t copy = 0; copy < drive.NumberOfFATs; ++copy) {
    const std::size_t fat = (drive.ReservedSectors + copy * drive.FATSize) * std::size_t{drive.BytesPerSector};
    auto& b = Bytes();
    if (drive.FATType == ftFAT16) {
      b[fat + cluster * 2] = value & 0xFF;
      b[fat + cluster * 2 + 1] = (value >> 8) & 0xFF;
    } else if (drive.FATType == ftFAT32) {
      for (int i = 0; i < 4; ++i) b[fat + cluster * 4 + i] = (value >> (8 * i)) & 0xFF;
    } else {
      const std::size_t at = fat + cluster + cluster / 2;
      if (cluster & 1) {
        b[at] = static_cast<std::uint8_t>((b[at] & 0x0F) | ((value << 4) & 0xF0));
        b[at + 1] = (value >> 4) & 0xFF;
      } else {
        b[at] = value & 0xFF;
        b[at + 1] = static_cast<std::uint8_t>((b[at + 1] & 0xF0) | ((value >> 8) & 0x0F));
      }
    }
  }
}

}  // namespace vantrel::test
