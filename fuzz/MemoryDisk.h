#pragma once
// The fuzz input as a disk: physical drive 0x80 holds the bytes (padded with
// zeros to whole sectors, and a few sectors more), nothing else exists. The
// input is read where libFuzzer keeps it: copying and clearing half a
// megabyte for every run cost more than many of the runs themselves. Message boxes answer "All"/"OK", the
// read-error prompt aborts, the debug log goes nowhere.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "devices/ReadAheadCache.h"
#include "devices/TDevice.h"
#include "diskio/DiskPlatform.h"
#include "diskio/SectorAccess.h"
#include "fs/TFATdrive.h"
#include "host/UserInterface.h"
#include "recovery/TDriveList.h"

namespace vantrel::fuzz {

class MemoryPlatform : public IDiskPlatform {
 public:
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;      // bytes of the input
  std::uint64_t length = 0;  // bytes of the device: whole sectors, zeros after the input
  bool unpartitioned = true;

  std::string PhysicalDeviceName(std::uint8_t drive) override { return drive == 0x80 ? "memory" : ""; }
  std::string LogicalDeviceName(std::uint8_t) override { return ""; }
  int Open(const std::string& name) override { return name == "memory" ? 3 : -1; }
  void Close(int) override {}
  bool ReadAt(int, std::uint64_t offset, void* buffer, std::size_t count, std::size_t& got, int& error) override {
    error = 0;
    got = 0;
    if (offset >= length) return true;
    got = static_cast<std::size_t>(std::min<std::uint64_t>(count, length - offset));
    const std::size_t fromInput = offset < size ? static_cast<std::size_t>(std::min<std::uint64_t>(got, size - offset)) : 0;
    if (fromInput > 0) std::memcpy(buffer, data + offset, fromInput);
    std::memset(static_cast<std::uint8_t*>(buffer) + fromInput, 0, got - fromInput);
    return true;
  }
  bool QueryGeometry(const std::string&, TDiskGeometry& g) override {
    g = TDiskGeometry{};
    g.MediaKind = unpartitioned ? 2 : 3;
    g.BytesPerSector = 512;
    g.Heads = 255;
    g.SectorsPerTrack = 63;
    g.TotalSectors = static_cast<std::uint32_t>(length / 512);
    g.Unpartitioned = unpartitioned;
    return true;
  }
  bool GetVolumeInformation(std::uint8_t, std::string&, std::string&) override { return false; }
  TDriveType GetDriveType(std::uint8_t) override { return dtNoRoot; }
};

class QuietBox : public IMessageBox {
 public:
  TMsgResult Show(const std::string&, const std::string&, TMsgType, TMsgButtons buttons) override {
    return buttons == TMsgButtons::mbOK ? TMsgResult::mrOK : buttons == TMsgButtons::mbYesNoAll ? TMsgResult::mrAll : TMsgResult::mrYes;
  }
};

// Sets the input up as a device and scans it for drives.
class FuzzDisk {
 public:
  FuzzDisk(const std::uint8_t* data, std::size_t size, bool unpartitioned) {
    platform_.data = data;
    platform_.size = size;
    platform_.length = (size + 511) / 512 * 512 + 512 * 8;  // at least a few sectors
    platform_.unpartitioned = unpartitioned;
    SetDiskPlatform(&platform_);
    SetMessageBox(&box_);
    SetErrorPrompt(nullptr);
    SetReadAheadCacheSwitch(true);
    ResetReadAheadCache();
    device_ = std::make_unique<TDevice>();
    device_->Number = 0x80;
    device_->TotalSectors = static_cast<std::uint32_t>(platform_.length / 512);
    device_->BytesPerSector = 512;
    device_->Partitioned = unpartitioned ? 0 : 1;
    device_->MediaType = 3;
    device_->ReadAhead = 64;
  }
  ~FuzzDisk() {
    drives.Clear();
    device_.reset();
    SetMessageBox(nullptr);
    SetDiskPlatform(nullptr);
  }
  TDevice& Device() { return *device_; }
  void Scan() { drives.ScanDevice(*device_); }
  // Each volume of the list in turn (every drive on this device is a FAT volume).
  template <class Fn>
  void ForEachDrive(Fn&& fn) {
    for (int i = 0; i < drives.Count(); ++i) fn(static_cast<TFATdrive&>(*drives.Items(i)));
  }
  TDriveList drives;

 private:
  MemoryPlatform platform_;
  QuietBox box_;
  std::unique_ptr<TDevice> device_;
};

}  // namespace vantrel::fuzz
