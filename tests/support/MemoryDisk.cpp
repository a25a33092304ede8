#include "support/MemoryDisk.h"

#include <fstream>
#include <memory>
#include <stdexcept>

#include "devices/ReadAheadCache.h"

namespace vantrel::test {

std::vector<std::uint8_t> ImageBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("no image " + path);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
    throw std::runtime_error("cannot read image " + path);
  return bytes;
}

MemoryDisk::MemoryDisk() : cacheSwitch_(ReadAheadCacheSwitch()) { SetReadAheadCacheSwitch(true); }

MemoryDisk::MemoryDisk(std::vector<std::uint8_t> bytes, bool partitioned) : MemoryDisk() {
  AddDisk(std::move(bytes), partitioned);
}

MemoryDisk::~MemoryDisk() {
  drives.Clear();
  devices.Clear();
  SetReadAheadCacheSwitch(cacheSwitch_);
}

TDevice& MemoryDisk::AddDisk(std::vector<std::uint8_t> bytes, bool partitioned) {
  const auto number = static_cast<std::uint8_t>(0x80 + devices.Count());
  const auto sectors = static_cast<std::uint32_t>(bytes.size() / 512);
  platform.AddPhysical(number, std::move(bytes));
  auto device = std::make_unique<TDevice>();
  device->Kind = dkBIOS;
  device->Number = number;
  device->MediaType = 3;
  device->TotalSectors = sectors;
  device->BytesPerSector = 512;
  device->Partitioned = partitioned ? 1 : 0;
  device->ReadAhead = 128;
  device->Name = "固定磁盘 #" + std::to_string(devices.Count() + 1);
  TDevice& added = *devices.Add(std::move(device));
  drives.ScanDevice(added);
  return added;
}

TFATdrive& MemoryDisk::Drive(int index) const {
  if (index >= drives.Count()) throw std::out_of_range("no drive " + std::to_string(index));
  auto* drive = dynamic_cast<TFATdrive*>(drives.Items(index));
  if (!drive) throw std::out_of_range("drive " + std::to_string(index) + " is not FAT");
  return *drive;
}

}  // namespace vantrel::test
