#pragma once
// An in-memory sector platform for tests: devices are byte vectors, reads can
// be made to fail, and every open and read is counted.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "diskio/DiskPlatform.h"

namespace vantrel::test {

struct FakeDevice {
  std::vector<std::uint8_t> data;
  TDiskGeometry geometry;
  bool geometryFails = false;
  // Logical drives only:
  std::string label;
  std::string fsName = "FAT32";
  TDriveType driveType = dtFixed;
};

class FakePlatform : public IDiskPlatform {
 public:
  FakePlatform();
  ~FakePlatform() override;

  // Adds a physical drive with the given bytes; geometry from its size.
  FakeDevice& AddPhysical(std::uint8_t drive, std::vector<std::uint8_t> data, std::uint16_t mediaKind = 3);
  FakeDevice& AddLogical(std::uint8_t drive, std::vector<std::uint8_t> data);

  // A read whose byte range touches [offset, offset + length) fails with error code.
  void FailRange(const std::string& name, std::uint64_t offset, std::uint64_t length, int error = 23);
  void ClearFailures() { failures_.clear(); }
  // Called before each read; may change what the device holds.
  std::function<void(const std::string& name, std::uint64_t offset, std::size_t size)> OnRead;

  int opens = 0;
  int reads = 0;
  int nameLookups = 0;  // PhysicalDeviceName and LogicalDeviceName calls
  std::vector<std::string> openedNames;
  std::vector<std::pair<std::uint64_t, std::size_t>> readLog;  // offset, size

  std::string PhysicalDeviceName(std::uint8_t drive) override;
  std::string LogicalDeviceName(std::uint8_t drive) override;
  int Open(const std::string& name) override;
  void Close(int handle) override;
  bool ReadAt(int handle, std::uint64_t offset, void* buffer, std::size_t size, std::size_t& got,
              int& error) override;
  bool QueryGeometry(const std::string& name, TDiskGeometry& geometry) override;
  bool GetVolumeInformation(std::uint8_t drive, std::string& label, std::string& fsName) override;
  TDriveType GetDriveType(std::uint8_t drive) override;

  std::map<std::string, FakeDevice> devices;

 private:
  struct Failure {
    std::string name;
    std::uint64_t offset, length;
    int error;
  };
  std::vector<Failure> failures_;
  std::map<int, std::string> handles_;
  int nextHandle_ = 3;
};

// A geometry whose TotalSectors covers the whole byte size.
TDiskGeometry GeometryFor(std::size_t bytes, std::uint16_t mediaKind);

}  // namespace vantrel::test
