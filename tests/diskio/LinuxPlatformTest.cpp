// The Linux backend on real files: image numbering, volume images, offsets
// beyond 4 GiB in a sparse image, and read-only opening.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "diskio/DiskPlatformLinux.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

using test::TempDir;

class LinuxPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform.SetOnlyImages(true);
    SetDiskPlatform(&platform);
  }
  void TearDown() override { SetDiskPlatform(nullptr); }
  LinuxDiskPlatform platform;
  TempDir dir;
};

TEST_F(LinuxPlatformTest, ImagesAreNumberedFromTheFirstHardDisk) {
  ASSERT_TRUE(test::Run("truncate -s 1M " + dir / "a.img"));
  ASSERT_TRUE(test::Run("mkfs.fat -C " + dir / "b.img" + " 1440 >/dev/null"));
  platform.AddImageFile(dir / "a.img");
  platform.AddImageFile(dir / "b.img");
  EXPECT_EQ(platform.PhysicalDeviceName(0x80), dir / "a.img");
  EXPECT_EQ(platform.PhysicalDeviceName(0x81), dir / "b.img");
  EXPECT_EQ(platform.PhysicalDeviceName(0x82), "");
  EXPECT_EQ(platform.PhysicalDeviceName(0x00), "");
  EXPECT_EQ(platform.LogicalDeviceName(3), "");

  TDiskGeometry g;
  ASSERT_TRUE(GetPhysicalGeometry(0x80, g));
  EXPECT_EQ(g.TotalSectors, 2048u);
  EXPECT_EQ(g.MediaKind, 3);
  EXPECT_FALSE(g.Unpartitioned);
  ASSERT_TRUE(GetPhysicalGeometry(0x81, g));
  EXPECT_EQ(g.TotalSectors, 2880u);
  EXPECT_EQ(g.MediaKind, 1);
  EXPECT_TRUE(g.Unpartitioned);
  EXPECT_EQ(g.Heads * g.Cylinders * g.SectorsPerTrack, 2880u);
}

TEST_F(LinuxPlatformTest, TheMediumMakesAFloppyOrARemovableDiskNotItsContent) {
  // A volume without table on a disk too large for a floppy is a fixed disk.
  ASSERT_TRUE(test::Run("mkfs.fat -C -F 16 " + dir / "whole.img" + " 65536 >/dev/null"));
  // A floppy of the standard size with its boot sector zeroed is still one.
  ASSERT_TRUE(test::Run("mkfs.fat -C " + dir / "floppy.img" + " 1440 >/dev/null && dd if=/dev/zero of=" +
                        dir / "floppy.img" + " bs=512 count=1 conv=notrunc status=none"));
  platform.AddImageFile(dir / "whole.img");
  platform.AddImageFile(dir / "floppy.img");
  TDiskGeometry g;
  ASSERT_TRUE(GetPhysicalGeometry(0x80, g));
  EXPECT_EQ(g.MediaKind, 3);
  EXPECT_EQ(g.Removable, 0);
  EXPECT_TRUE(g.Unpartitioned);
  ASSERT_TRUE(GetPhysicalGeometry(0x81, g));
  EXPECT_EQ(g.MediaKind, 1);
  EXPECT_TRUE(g.Unpartitioned);
}

TEST_F(LinuxPlatformTest, TotalSectorsKeepsAPartialLastCylinder) {
  // 255 × 63 sectors make a cylinder; one cylinder and 100 sectors more.
  ASSERT_TRUE(test::Run("truncate -s " + std::to_string((255 * 63 + 100) * 512) + " " + dir / "c.img"));
  platform.AddImageFile(dir / "c.img");
  TDiskGeometry g;
  ASSERT_TRUE(GetPhysicalGeometry(0x80, g));
  EXPECT_EQ(g.TotalSectors, 255u * 63 + 100);
  EXPECT_EQ(g.Cylinders, 1u);
}

TEST_F(LinuxPlatformTest, ReadsAcrossFourGiBOfASparseImage) {
  const std::string image = dir / "sparse.img";
  ASSERT_TRUE(test::Run("truncate -s 5G " + image));
  {
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp((1ll << 32) - 3);
    f.write("ABCDEF", 6);
  }
  platform.AddImageFile(image);
  std::vector<std::uint8_t> buffer(1024);
  ASSERT_TRUE(ReadPhysicalSectors(0x80, 0x00800000 - 1, 2, false, buffer.data()));
  EXPECT_EQ(std::string(buffer.begin() + 509, buffer.begin() + 515), "ABCDEF");
  TDiskGeometry g;
  ASSERT_TRUE(GetPhysicalGeometry(0x80, g));
  EXPECT_EQ(g.TotalSectors, 5u * 1024 * 1024 * 2);
}

TEST_F(LinuxPlatformTest, OpensDevicesReadOnly) {
  const std::string image = dir / "ro.img";
  ASSERT_TRUE(test::Run("truncate -s 64K " + image));
  const int handle = platform.Open(image);
  ASSERT_GE(handle, 0);
  const int flags = fcntl(handle, F_GETFL);
  platform.Close(handle);
  EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
}

TEST_F(LinuxPlatformTest, MissingImageIsNoDevice) {
  platform.AddImageFile(dir / "missing.img");
  TDiskGeometry g;
  EXPECT_FALSE(GetPhysicalGeometry(0x80, g));
  std::vector<std::uint8_t> buffer(512);
  EXPECT_FALSE(ReadPhysicalSectors(0x80, 0, 1, false, buffer.data()));
}

TEST(FATBootSectorTest, RecognisesVolumeBootSectorsButNotPartitionTables) {
  std::vector<std::uint8_t> s(512, 0);
  s[0] = 0xEB; s[1] = 0x3C; s[2] = 0x90;
  s[11] = 0x00; s[12] = 0x02;  // 512 bytes per sector
  s[13] = 4; s[14] = 1; s[16] = 2; s[21] = 0xF8;
  s[510] = 0x55; s[511] = 0xAA;
  EXPECT_TRUE(LooksLikeFATBootSector(s));
  s[13] = 3;  // sectors per cluster must be a power of two
  EXPECT_FALSE(LooksLikeFATBootSector(s));
  s[13] = 4;
  s[0] = 0xFA;  // a master boot record starts with code, not a jump over a parameter block
  EXPECT_FALSE(LooksLikeFATBootSector(s));
  EXPECT_FALSE(LooksLikeFATBootSector(std::vector<std::uint8_t>(100, 0)));
}

}  // namespace
}  // namespace vantrel
