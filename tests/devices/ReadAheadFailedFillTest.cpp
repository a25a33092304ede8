// The read-ahead cache after a fill that failed: the entry it was read into
// may hold a part of the failed read over its old sectors, and none of them
// is served again.

#include <gtest/gtest.h>

#include "devices/ReadAheadCache.h"
#include "devices/TDevice.h"
#include "diskio/SectorAccess.h"
#include "support/FakePlatform.h"

namespace vantrel {
namespace {

std::uint32_t SectorNumber(const std::vector<std::uint8_t>& b) {
  return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

TEST(ReadAheadFailedFill, TheVictimsOldSectorsAreReadFromTheDeviceAgain) {
  test::FakePlatform platform;
  std::vector<std::uint8_t> data(10000 * 512);
  for (std::uint32_t s = 0; s < 10000; ++s)
    for (int i = 0; i < 4; ++i) data[s * 512 + i] = static_cast<std::uint8_t>(s >> (8 * i));
  platform.AddPhysical(0x80, data);
  ResetReadAheadCache();
  SetReadAheadCacheSwitch(true);
  TDevice device;
  device.Number = 0x80;
  device.TotalSectors = 10000;
  device.ReadAhead = 100;
  device.SetCacheEnabled(true);
  std::vector<std::uint8_t> buffer(512);
  auto read = [&](std::uint32_t sector) {
    EXPECT_TRUE(device.ReadSectors(sector, 1, false, buffer.data())) << sector;
    return SectorNumber(buffer);
  };
  // Entries 0..3 hold 0..99, 1000.., 2000.., 3000..; entry 0 is the oldest.
  for (std::uint32_t first : {0u, 1000u, 2000u, 3000u}) EXPECT_EQ(read(first), first);
  platform.FailRange("phys128", 4050 * 512, 512);
  EXPECT_EQ(read(4000), 4000u);  // the fill into entry 0 fails on 4050
  // An old sector of entry 0 comes from the device.
  const int before = platform.reads;
  EXPECT_EQ(read(5), 5u);
  EXPECT_GT(platform.reads, before) << "sector 5 served from the entry the failed fill was read into";
  // The failed sector itself is never served as read, from the cache or
  // from the stale buffer.
  std::fill(buffer.begin(), buffer.end(), 0xEE);
  EXPECT_FALSE(device.ReadSectors(4050, 1, false, buffer.data()));
  EXPECT_NE(SectorNumber(buffer), 4050u);
  // The good sectors of the failed fill are kept.
  EXPECT_EQ(read(4051), 4051u);
  SetReadAheadCacheSwitch(false);
  ResetReadAheadCache();
}

}  // namespace
}  // namespace vantrel
