// The arithmetic of the Windows backend, on any system: which device each
// drive number opens, what a driver's MEDIA_TYPE and geometry make of a
// disk, and the UTF-16 form of the names handed to the wide-character calls.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "diskio/NTDeviceNames.h"

namespace vantrel {
namespace {

TEST(WindowsDeviceNames, EachDriveNumberOpensItsOwnDevice) {
  EXPECT_EQ(NTDiskDeviceName(0), "\\\\.\\PhysicalDrive0");
  EXPECT_EQ(NTDiskDeviceName(1), "\\\\.\\PhysicalDrive1");
  EXPECT_EQ(NTDiskDeviceName(31), "\\\\.\\PhysicalDrive31");
  EXPECT_EQ(NTFloppyDeviceName(0), "\\\\.\\A:");
  EXPECT_EQ(NTFloppyDeviceName(1), "\\\\.\\B:");
  // 0x02..0x7F are no physical drives on the NT family.
  EXPECT_EQ(NTFloppyDeviceName(2), "");
  EXPECT_EQ(NTFloppyDeviceName(0x05), "");
  EXPECT_EQ(NTLogicalDeviceName(1), "\\\\.\\A:");
  EXPECT_EQ(NTLogicalDeviceName(3), "\\\\.\\C:");
  EXPECT_EQ(NTLogicalDeviceName(26), "\\\\.\\Z:");
  EXPECT_EQ(NTLogicalDeviceName(0), "");
  EXPECT_EQ(NTLogicalDeviceName(27), "");
  EXPECT_EQ(NTDriveRoot(3), "C:\\");
  EXPECT_EQ(NTDriveRoot(27), "");
}

TEST(WindowsDeviceNames, DeviceNamesAreToldApartFromImageFiles) {
  for (std::uint8_t d = 1; d <= 26; ++d) EXPECT_EQ(NTDriveOfDeviceName(NTLogicalDeviceName(d)), d);
  EXPECT_EQ(NTDriveOfDeviceName("\\\\.\\e:"), 5);
  EXPECT_EQ(NTDriveOfDeviceName("\\\\.\\PhysicalDrive0"), 0);
  EXPECT_EQ(NTDriveOfDeviceName("\\\\.\\CD:"), 0);
  EXPECT_EQ(NTDriveOfDeviceName("C:"), 0);
  EXPECT_EQ(NTDriveOfDeviceName("\\\\.\\1:"), 0);

  EXPECT_EQ(NTDiskNumberOfDeviceName("\\\\.\\PhysicalDrive0"), 0);
  EXPECT_EQ(NTDiskNumberOfDeviceName("\\\\.\\PhysicalDrive12"), 12);
  EXPECT_EQ(NTDiskNumberOfDeviceName("\\\\.\\PhysicalDrive"), -1);
  EXPECT_EQ(NTDiskNumberOfDeviceName("\\\\.\\PhysicalDrive1x"), -1);
  EXPECT_EQ(NTDiskNumberOfDeviceName("\\\\.\\PhysicalDrive99999999999999999999"), -1);
  EXPECT_EQ(NTDiskNumberOfDeviceName("\\\\.\\C:"), -1);

  EXPECT_TRUE(IsNTDeviceName("\\\\.\\PhysicalDrive3"));
  EXPECT_TRUE(IsNTDeviceName("\\\\.\\A:"));
  EXPECT_FALSE(IsNTDeviceName("C:\\images\\card.img"));
  EXPECT_FALSE(IsNTDeviceName("\\\\server\\share\\card.img"));
  EXPECT_FALSE(IsNTDeviceName("\\\\?\\C:\\card.img"));
  EXPECT_FALSE(IsNTDeviceName("card.img"));
}

TEST(WindowsDeviceNames, MediaTypeGivesTheKindOfMedium) {
  for (std::uint32_t type = 0; type <= 40; ++type) {
    TDiskGeometry g;
    g.MediaKind = 9;
    g.Removable = 9;
    ApplyNTMediaType(type, g);
    const bool floppy = (type >= 1 && type <= 10) || (type >= 13 && type <= 22);
    if (floppy) {
      EXPECT_EQ(g.MediaKind, 1) << type;
      EXPECT_EQ(g.Removable, 1) << type;
    } else if (type == 11) {  // a USB stick, a card reader
      EXPECT_EQ(g.MediaKind, 2);
      EXPECT_EQ(g.Removable, 1);
    } else if (type == 12) {
      EXPECT_EQ(g.MediaKind, 3);
      EXPECT_EQ(g.Removable, 0);
    } else {
      EXPECT_EQ(g.MediaKind, 0) << type;
      EXPECT_EQ(g.Removable, 0) << type;
    }
  }
  TDiskGeometry g;
  ApplyNTMediaType(0xFFFFFFFFu, g);
  EXPECT_EQ(g.MediaKind, 0);
}

TEST(WindowsDeviceNames, DriverGeometryGivesTheSize) {
  TDiskGeometry g;
  // A 1.44 MB floppy (F3_1Pt44_512).
  ASSERT_TRUE(FillFromNTGeometry(g, 80, 2, 2, 18, 512, 0));
  EXPECT_EQ(g.MediaKind, 1);
  EXPECT_EQ(g.Removable, 1);
  EXPECT_EQ(g.Cylinders, 80u);
  EXPECT_EQ(g.Heads, 2u);
  EXPECT_EQ(g.SectorsPerTrack, 18u);
  EXPECT_EQ(g.TotalSectors, 2880u);
  EXPECT_EQ(g.TotalBytes, 0u);

  // The exact size keeps the sectors of a partial last cylinder.
  const std::uint64_t bytes = (255ull * 63 * 1000 + 100) * 512;
  ASSERT_TRUE(FillFromNTGeometry(g, 1000, kMediaFixed, 255, 63, 512, bytes));
  EXPECT_EQ(g.MediaKind, 3);
  EXPECT_EQ(g.TotalSectors, 255ull * 63 * 1000 + 100);
  EXPECT_EQ(g.TotalBytes, bytes);

  // A disk beyond 2 TiB: the size does not wrap at 32 bits.
  ASSERT_TRUE(FillFromNTGeometry(g, 300000, kMediaFixed, 255, 63, 512, 0));
  EXPECT_EQ(g.TotalSectors, 300000ull * 255 * 63);

  // Sizes are counted in 512-byte sectors whatever the sector size.
  ASSERT_TRUE(FillFromNTGeometry(g, 1000, kMediaRemovable, 64, 32, 4096, 0));
  EXPECT_EQ(g.BytesPerSector, 4096u);
  EXPECT_EQ(g.TotalSectors, 1000ull * 64 * 32 * 8);
  EXPECT_EQ(g.MediaKind, 2);
}

TEST(WindowsDeviceNames, AbsurdDriverGeometryNeitherWrapsNorPasses) {
  TDiskGeometry g;
  // A product beyond 64 bits stops at the largest size, never a small one.
  ASSERT_TRUE(FillFromNTGeometry(g, std::numeric_limits<std::int64_t>::max(), kMediaFixed, 0xFFFFFFFFu,
                                 0xFFFFFFFFu, 0xFFFFFFFFu, 0));
  EXPECT_EQ(g.TotalSectors, std::numeric_limits<std::uint64_t>::max() / 512);
  EXPECT_EQ(g.Cylinders, 0xFFFFFFFFu);  // its low 32 bits
  EXPECT_FALSE(FillFromNTGeometry(g, -1, kMediaFixed, 255, 63, 512, 0));
  EXPECT_FALSE(FillFromNTGeometry(g, 1000, kMediaFixed, 255, 63, 0, 0));
}

TEST(WindowsDeviceNames, Utf8NamesBecomeUtf16) {
  std::u16string wide;
  ASSERT_TRUE(Utf8ToUtf16("C:\\images\\card.img", wide));
  EXPECT_EQ(wide, u"C:\\images\\card.img");
  ASSERT_TRUE(Utf8ToUtf16("数据恢复/卡.img", wide));
  EXPECT_EQ(wide, u"数据恢复/卡.img");
  ASSERT_TRUE(Utf8ToUtf16("Übersicht é", wide));
  EXPECT_EQ(wide, u"Übersicht é");
  // Beyond U+FFFF: a surrogate pair.
  ASSERT_TRUE(Utf8ToUtf16("\xF0\x9F\x98\x80.img", wide));
  EXPECT_EQ(wide, (std::u16string{0xD83D, 0xDE00, u'.', u'i', u'm', u'g'}));
  ASSERT_TRUE(Utf8ToUtf16("\xF4\x8F\xBF\xBF", wide));  // U+10FFFF, the last one
  EXPECT_EQ(wide, (std::u16string{0xDBFF, 0xDFFF}));
  ASSERT_TRUE(Utf8ToUtf16("", wide));
  EXPECT_TRUE(wide.empty());
}

TEST(WindowsDeviceNames, BytesThatAreNotUtf8NameNoFile) {
  std::u16string wide;
  for (const char* bad : {"\xC0\xAF",           // overlong "/": must not turn into a separator
                          "\xE0\x80\xAF",       // overlong again
                          "\xED\xA0\x80",       // a surrogate
                          "\xF4\x90\x80\x80",   // beyond U+10FFFF
                          "\xE6\x95",           // cut short
                          "card\x80.img",       // a lone continuation byte
                          "\xFF", "\xF8\x88\x80\x80\x80"})
    EXPECT_FALSE(Utf8ToUtf16(bad, wide)) << bad;
}

}  // namespace
}  // namespace vantrel
