// Sector numbers beyond 32 bits: where reads land on the platform, sector
// numbers from a disk whose byte offset would wrap around, and the size a
// disk beyond 2 TiB is shown with.

#include <gtest/gtest.h>

#include "devices/TDevice.h"
#include "diskio/SectorAccess.h"
#include "fs/TFATdrive.h"
#include "support/FakePlatform.h"

namespace vantrel {
namespace {

using test::FakePlatform;

TEST(SectorAddress, ReadsBeyond2TiBLandAtTheirByteAndWrappingOnesReadNothing) {
  FakePlatform platform;
  platform.AddPhysical(0x80, std::vector<std::uint8_t>(64 * 512, 0x11));
  platform.AddLogical(3, std::vector<std::uint8_t>(64 * 2048, 0x22));
  platform.devices["log3"].geometry.BytesPerSector = 2048;
  std::vector<std::uint8_t> buffer(2048, 0);

  // Past the end of the small device, but asked at the byte of sector 2^32 + 5.
  EXPECT_FALSE(ReadPhysicalSectors(0x80, (1ull << 32) + 5, 1, false, buffer.data()));
  ASSERT_FALSE(platform.readLog.empty());
  EXPECT_EQ(platform.readLog.back().first, ((1ull << 32) + 5) * 512);
  EXPECT_FALSE(ReadLogicalSectors(3, (1ull << 32) + 5, 1, buffer.data()));
  EXPECT_EQ(platform.readLog.back().first, ((1ull << 32) + 5) * 2048);

  // 2^55 sectors of 512 bytes are 2^64 bytes: the offset would wrap to the
  // device's first byte. Such a read fails without reading anything.
  const int reads = platform.reads;
  EXPECT_FALSE(ReadPhysicalSectors(0x80, 1ull << 55, 1, false, buffer.data()));
  EXPECT_FALSE(ReadPhysicalSectors(0x80, (1ull << 54) - 1, 2, false, buffer.data()));
  EXPECT_FALSE(ReadLogicalSectors(3, 1ull << 53, 1, buffer.data()));
  EXPECT_FALSE(ReadPhysicalSectors(0x80, ~0ull, 1, false, buffer.data()));
  EXPECT_EQ(platform.reads, reads);
  EXPECT_EQ(buffer[0], 0);

  // A volume whose start lies at the very end of the address range reads nothing either.
  TDevice device;
  device.Number = 0x80;
  device.TotalSectors = 64;
  TFATdrive drive;
  drive.Device = &device;
  drive.StartSector = ~0ull - 10;
  EXPECT_FALSE(drive.ReadSectors(5, 1, false, buffer.data()));
  EXPECT_EQ(platform.reads, reads);
}

TEST(SectorAddress, DiskBeyond2TiBIsNamedWithItsTrueSize) {
  TDeviceList list;
  auto disk = std::make_unique<TDevice>();
  disk->MediaType = 3;
  disk->TotalSectors = 3ull << 31;  // 3 TiB
  list.Add(std::move(disk));
  EXPECT_EQ(list.GetDeviceName(0, true), "固定磁盘 #1   (3072.00 GB)");
}

}  // namespace
}  // namespace vantrel
