// Devices handed to the Linux backend already opened (by the system's disk
// service): read through the descriptor under the device's name, and only
// when the descriptor cannot write.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <fstream>

#include "diskio/DiskPlatformLinux.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

TEST(LinuxOpenedDeviceTest, HandedOverDescriptorIsReadUnderTheDeviceName) {
  test::TempDir dir;
  const std::string image = dir / "disk.img";
  {
    std::ofstream out(image, std::ios::binary);
    std::string bytes(4096, '\0');
    bytes.replace(1024, 5, "LBA 2");
    out << bytes;
  }
  LinuxDiskPlatform platform;
  const std::string device = "/dev/no-such-disk-here";
  EXPECT_LT(platform.Open(device), 0);

  // A descriptor that could write is never taken, and is closed.
  const int writable = ::open(image.c_str(), O_RDWR);
  ASSERT_GE(writable, 0);
  EXPECT_FALSE(platform.AdoptOpenedDevice(device, writable));
  EXPECT_EQ(::fcntl(writable, F_GETFD), -1);
  EXPECT_FALSE(platform.HasOpenedDevice(device));

  ASSERT_TRUE(platform.AdoptOpenedDevice(device, ::open(image.c_str(), O_RDONLY)));
  TDiskGeometry geometry;
  ASSERT_TRUE(platform.QueryGeometry(device, geometry));
  EXPECT_EQ(geometry.TotalSectors, 8u);
  // Each open is a copy of its own: closing one leaves the others readable.
  const int first = platform.Open(device);
  const int second = platform.Open(device);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  EXPECT_EQ(::fcntl(first, F_GETFL) & O_ACCMODE, O_RDONLY);
  platform.Close(first);
  std::array<char, 5> text{};
  std::size_t got = 0;
  int error = 0;
  ASSERT_TRUE(platform.ReadAt(second, 1024, text.data(), text.size(), got, error));
  EXPECT_EQ(std::string(text.data(), got), "LBA 2");
  platform.Close(second);

  platform.ForgetOpenedDevices();
  EXPECT_LT(platform.Open(device), 0);
}

}  // namespace
}  // namespace vantrel
