// Device detection over an in-memory platform: order, names and sizes, the
// read-ahead measurement.

#include <gtest/gtest.h>

#include "common/Clock.h"
#include "devices/ReadAheadCache.h"
#include "devices/TDevice.h"
#include "host/TStatusDialog.h"
#include "support/FakePlatform.h"

namespace vantrel {
namespace {

// Each tick query advances the fake clock by one millisecond.
struct SteppingClock {
  explicit SteppingClock(std::uint32_t step = 1) {
    SetTickSource([this, step] { return now += step; });
  }
  ~SteppingClock() { SetTickSource(nullptr); }
  std::uint32_t now = 1000;
};

TEST(DeviceList, DetectsFloppiesDisksThenFATDrivesWithNamesAndSizes) {
  test::FakePlatform platform;
  SteppingClock clock;
  platform.AddPhysical(0x00, std::vector<std::uint8_t>(2880 * 512), 1);
  platform.AddPhysical(0x01, std::vector<std::uint8_t>(1440 * 512), 1);
  auto& disk = platform.AddPhysical(0x80, std::vector<std::uint8_t>(4096 * 512), 3);
  disk.geometry.TotalSectors = 156301488;  // the name is from the geometry, not the bytes
  platform.AddLogical(3, std::vector<std::uint8_t>(4096 * 512)).fsName = "FAT32";
  platform.AddLogical(4, std::vector<std::uint8_t>(4096 * 512)).fsName = "NTFS";

  TStatusDialog dialog(nullptr);
  TDeviceList list;
  list.Detect(&dialog);
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Items(0)->Name, "软盘 #1   (1.41 MB)");
  EXPECT_EQ(list.Items(1)->Name, "软盘 #2   (0.70 MB)");
  EXPECT_EQ(list.Items(2)->Name, "固定磁盘 #3   (74.53 GB)");
  EXPECT_EQ(list.Items(3)->Name, "Windows驱动器 C:   (2.00 MB)");
  EXPECT_EQ(list.Items(0)->Partitioned, 0);
  EXPECT_EQ(list.Items(2)->Partitioned, 1);
  EXPECT_EQ(list.Items(3)->Kind, dkWindows);
  EXPECT_EQ(list.Items(3)->Partitioned, 0);
  EXPECT_EQ(list.GetDeviceName(2, false), "固定磁盘 #3");
  EXPECT_EQ(dialog.Caption(), "扫描驱动器");
}

TEST(DeviceList, VolumeImageIsNotPartitioned) {
  test::FakePlatform platform;
  SteppingClock clock;
  platform.AddPhysical(0x80, std::vector<std::uint8_t>(100000 * 512), 2).geometry.Unpartitioned = true;
  TDeviceList list;
  list.Detect(nullptr);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Items(0)->Partitioned, 0);
  EXPECT_EQ(list.Items(0)->Name, "可移动磁盘 #1   (48.83 MB)");
}

TEST(MeasureReadAhead, SmallDevicesAreNeverCached) {
  test::FakePlatform platform;
  SteppingClock clock;
  platform.AddPhysical(0x80, std::vector<std::uint8_t>(2047 * 512));
  TDevice d;
  d.Number = 0x80;
  d.TotalSectors = 2047;
  d.MeasureReadAhead();
  EXPECT_EQ(d.ReadAhead, 0u);
  platform.devices["phys128"].data.resize(2048 * 512);
  d.TotalSectors = 2048;
  d.MeasureReadAhead();
  EXPECT_GT(d.ReadAhead, 0u);
}

TEST(MeasureReadAhead, TenTimesTheReadsIn100msCappedAt2MiB) {
  test::FakePlatform platform;
  platform.AddPhysical(0x80, std::vector<std::uint8_t>(4096 * 512));
  TDevice d;
  d.Number = 0x80;
  d.TotalSectors = 4096;

  // Each read takes a given number of milliseconds on the fake clock.
  std::uint32_t now = 5000, perRead = 0;
  SetTickSource([&] { return now; });
  platform.OnRead = [&](const std::string&, std::uint64_t, std::size_t) { now += perRead; };

  perRead = 100;  // one read fills the 100 ms
  d.MeasureReadAhead();
  EXPECT_EQ(d.ReadAhead, 1u);
  perRead = 4;  // 25 reads
  d.MeasureReadAhead();
  EXPECT_EQ(d.ReadAhead, 250u);
  perRead = 0;
  int reads = 0;
  platform.OnRead = [&](const std::string&, std::uint64_t, std::size_t) {
    if (++reads % 50 == 0) now += 10;  // 500 reads in 100 ms
  };
  d.MeasureReadAhead();
  EXPECT_EQ(d.ReadAhead, 4096u);  // not 5000: an entry holds 2 MiB
  EXPECT_FALSE(d.CacheEnabled);
  SetTickSource(nullptr);
}

TEST(MeasureReadAhead, AFastSmallMediumWrapsInsteadOfReadingPastItsEnd) {
  test::FakePlatform platform;
  platform.AddPhysical(0x80, std::vector<std::uint8_t>(2880 * 512), 1);
  TDevice d;
  d.Number = 0x80;
  d.TotalSectors = 2880;
  std::uint32_t now = 5000;
  int reads = 0;
  SetTickSource([&] { return now; });
  platform.OnRead = [&](const std::string&, std::uint64_t, std::size_t) {
    if (++reads % 100 == 0) now += 1;  // 10000 reads in 100 ms, more than the medium holds
  };
  d.MeasureReadAhead();
  EXPECT_EQ(d.ReadAhead, 4096u);
  SetTickSource(nullptr);
}

TEST(MeasureReadAhead, FailingReadsMeanNoCache) {
  test::FakePlatform platform;
  SteppingClock clock;
  platform.AddPhysical(0x80, std::vector<std::uint8_t>(4096 * 512));
  platform.FailRange("phys128", 5 * 512, 512);
  TDevice d;
  d.Number = 0x80;
  d.TotalSectors = 4096;
  d.MeasureReadAhead();
  EXPECT_EQ(d.ReadAhead, 0u);
}

}  // namespace
}  // namespace vantrel

namespace vantrel {
namespace {

TEST(MeasureReadAhead, DetectionLeavesItToTheFirstScanThatUsesTheCache) {
  test::FakePlatform platform;
  SteppingClock clock(10);
  platform.AddPhysical(0x80, std::vector<std::uint8_t>(8192 * 512));
  TDeviceList list;
  list.Detect(nullptr);
  TDevice& d = *list.Items(0);
  EXPECT_TRUE(d.ReadAheadPending);
  EXPECT_EQ(d.ReadAhead, 0u);
  const int readsAfterDetect = platform.reads;

  std::vector<std::uint8_t> buffer(512);
  ASSERT_TRUE(d.ReadSectors(5, 1, false, buffer.data()));  // no scan: nothing measured
  EXPECT_TRUE(d.ReadAheadPending);
  EXPECT_EQ(platform.reads, readsAfterDetect + 1);

  SetReadAheadCacheSwitch(true);
  d.SetCacheEnabled(true);
  ASSERT_TRUE(d.ReadSectors(5, 1, false, buffer.data()));
  EXPECT_FALSE(d.ReadAheadPending);
  EXPECT_GT(d.ReadAhead, 0u);
  EXPECT_TRUE(d.CacheEnabled);
  EXPECT_EQ(CacheEntryState(0).Owner, &d);  // the read was served through a fill
  SetReadAheadCacheSwitch(false);
}

}  // namespace
}  // namespace vantrel
