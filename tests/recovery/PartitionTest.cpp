// Partition tables: a disk partitioned by sfdisk and formatted by mkfs.fat,
// chains of extended boot records (relative starts, loops, unreadable
// tables) and devices whose sector 0 cannot be read.

#include <gtest/gtest.h>

#include <fstream>

#include "diskio/SectorAccess.h"
#include "fs/TFATDirectory.h"
#include "support/FixtureDisk.h"
#include "support/LostImages.h"
#include "support/Recorders.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

using test::FixtureDisk;
using test::FixturePath;

// Writes partition entry slot (0..3) of the table sector that starts at table.
void PutEntry(std::uint8_t* table, int slot, std::uint8_t type, std::uint32_t start, std::uint32_t count) {
  std::uint8_t* e = table + 446 + 16 * slot;
  e[4] = type;
  for (int i = 0; i < 4; ++i) {
    e[8 + i] = static_cast<std::uint8_t>(start >> (8 * i));
    e[12 + i] = static_cast<std::uint8_t>(count >> (8 * i));
  }
  table[510] = 0x55;
  table[511] = 0xAA;
}

std::vector<std::uint32_t> Starts(const TDriveList& drives) {
  std::vector<std::uint32_t> starts;
  for (int i = 0; i < drives.Count(); ++i) {
    EXPECT_EQ(drives.Items(i)->BootSector, drives.Items(i)->StartSector);
    starts.push_back(drives.Items(i)->StartSector);
  }
  return starts;
}

struct CountingPrompt : IErrorPrompt {
  CountingPrompt() { SetErrorPrompt(this); }
  ~CountingPrompt() override { SetErrorPrompt(nullptr); }
  TPromptAnswer AskAbortRetryIgnore(const std::string&, const std::string&) override {
    ++asked;
    return TPromptAnswer::Abort;
  }
  int asked = 0;
};

TEST(Partitions, DiskMadeBySfdiskListsItsFATPartitionsInOrder) {
  // Primary FAT16, an NTFS entry, and an extended partition with two FAT32.
  FixtureDisk disk(FixturePath("disk.img"));
  ASSERT_EQ(disk.devices.Count(), 1);
  EXPECT_EQ(Starts(disk.drives), (std::vector<std::uint32_t>{2048, 38912, 108544}));
  const struct {
    const char* label;
    std::uint8_t type;
    std::uint32_t sectors;
    const char* list;
  } expected[] = {{"PRIMARY16  ", ftFAT16, 32768, "disk-primary16.files"},
                  {"LOGICAL32A ", ftFAT32, 67584, "disk-logical32a.files"},
                  {"LOGICAL32B ", ftFAT32, 67584, "disk-logical32b.files"}};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(expected[i].label);
    TFATdrive& d = disk.Drive(i);
    EXPECT_EQ(d.Name, expected[i].label);
    EXPECT_EQ(d.FATType, expected[i].type);
    EXPECT_EQ(d.SectorCount, expected[i].sectors);
    // The volume is read from its own start: its files are where mtools put them.
    d.Root()->LoadChildren(false, false);
    ASSERT_EQ(d.Root()->Items->size(), 2u);
    const auto& hello = static_cast<const TFATFile&>(*(*d.Root()->Items)[0]);
    EXPECT_EQ(hello.Name, "hello.txt");
    EXPECT_EQ(hello.StartCluster, test::ReadFixtureList(expected[i].list)[0].cluster);
  }
}

TEST(Partitions, LogicalDrivesCountFromTheFirstExtendedPartition) {
  // FAT at 63; extended at 1,000,000 holding a FAT32 at 63 and a further
  // extended at 500,000 (from the first one), which holds a FAT32 at 63.
  test::TempDir dir;
  const std::string image = dir / "chain.img";
  const auto volume = test::ReadFixtureBytes("fat12.img");
  {
    std::ofstream out(image, std::ios::binary);
    auto put = [&](std::uint64_t sector, const std::uint8_t* bytes, std::size_t size) {
      out.seekp(static_cast<std::streamoff>(sector * 512));
      out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    };
    std::uint8_t mbr[512] = {}, ebr1[512] = {}, ebr2[512] = {};
    PutEntry(mbr, 0, 0x0F, 1000000, 600000);  // the extended entry first: primaries still come first
    PutEntry(mbr, 1, 0x06, 63, 4142);
    PutEntry(mbr, 2, 0x07, 10000, 1000);  // NTFS
    PutEntry(mbr, 3, 0x16, 20000, 1000);  // hidden FAT16
    PutEntry(ebr1, 0, 0x0B, 63, 4142);
    PutEntry(ebr1, 1, 0x05, 500000, 100000);
    PutEntry(ebr2, 0, 0x0C, 63, 4142);
    put(0, mbr, 512);
    put(1000000, ebr1, 512);
    put(1500000, ebr2, 512);
    for (std::uint64_t start : {63u, 1000063u, 1500063u}) put(start, volume.data(), volume.size());
  }
  FixtureDisk disk(image);
  EXPECT_EQ(Starts(disk.drives), (std::vector<std::uint32_t>{63, 1000063, 1500063}));
  for (int i = 0; i < disk.drives.Count(); ++i) {
    EXPECT_TRUE(disk.Drive(i).GeometryValid);
    EXPECT_EQ(disk.Drive(i).Name, "FAT12VOL   ");
    EXPECT_EQ(disk.Drive(i).SectorCount, 4142u);
  }
}

TEST(Partitions, ATableWrittenOverAWholeDiskVolumeIsReadAndBothVolumesListed) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  // Formatted whole, then partitioned by sfdisk, which keeps the old boot
  // sector's bytes around its table.
  test::TempDir dir;
  const std::string image = dir / "re.img";
  test::ImageTool("truncate -s 64M " + image);
  test::ImageTool("mkfs.fat -F 16 -n WHOLEDISK " + image);
  test::ImageTool("sh -c \"echo 'start=2048, type=6' | sfdisk -q " + image + "\"");
  test::ImageTool("mkfs.fat -F 16 -n PARTITION --offset 2048 " + image + " 64512");
  FixtureDisk disk(image);
  ASSERT_EQ(Starts(disk.drives), (std::vector<std::uint32_t>{2048, 0}));
  EXPECT_EQ(disk.Drive(0).Name, "PARTITION  ");
  EXPECT_EQ(disk.Drive(1).Name, "WHOLEDISK  ");
  EXPECT_EQ(disk.devices.Items(0)->MediaType, 3);  // a fixed disk, whatever its sector 0 holds
}

TEST(Partitions, ThreeLogicalDrivesMadeBySfdiskAreFoundThroughTheChain) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  // Each extended boot record's link counts from the first one: only a
  // third logical drive shows a link counted from the wrong table.
  test::TempDir dir;
  const std::string image = dir / "three.img";
  test::ImageTool("truncate -s 16M " + image);
  test::ImageTool("sh -c \"printf 'start=2048, type=5\\nstart=4096, size=4096, type=1\\n"
                  "start=10240, size=4096, type=1\\nstart=20480, size=4096, type=1\\n' | sfdisk -q " + image + "\"");
  for (const std::uint32_t start : {4096u, 10240u, 20480u})
    test::ImageTool("mkfs.fat -F 12 -n L" + std::to_string(start) + " --offset " + std::to_string(start) + " " +
                    image + " 2048");
  FixtureDisk disk(image);
  ASSERT_EQ(Starts(disk.drives), (std::vector<std::uint32_t>{4096, 10240, 20480}));
  EXPECT_EQ(disk.Drive(2).Name, "L20480     ");
}

class PartitionChains : public ::testing::Test {
 protected:
  PartitionChains() {
    platform.AddPhysical(0x80, std::vector<std::uint8_t>(400 * 512));
    device = test::MakeDisk(0x80, 400, true);
  }
  std::uint8_t* Sector(std::uint32_t n) { return platform.devices["phys128"].data.data() + n * 512; }
  test::FakePlatform platform;
  std::unique_ptr<TDevice> device;
  TDriveList drives;
  test::MessageRecorder messages;  // the empty boot sectors are refused
  test::DebugRecorder debug;
};

TEST_F(PartitionChains, ChainThatComesBackToATableIsCutOff) {
  PutEntry(Sector(0), 0, 0x05, 100, 300);
  PutEntry(Sector(100), 0, 0x06, 10, 20);
  PutEntry(Sector(100), 1, 0x05, 50, 50);
  PutEntry(Sector(150), 0, 0x0E, 10, 20);
  PutEntry(Sector(150), 1, 0x05, 0, 50);  // back to the first extended boot record
  drives.ScanDevice(*device);
  // A drive whose boot sector is refused stays in the list.
  EXPECT_EQ(Starts(drives), (std::vector<std::uint32_t>{110, 160}));
  EXPECT_TRUE(debug.Has("分区表循环: 扇区 100"));

  // A table that names itself.
  drives.Clear();
  PutEntry(Sector(150), 1, 0x05, 50, 50);
  drives.ScanDevice(*device);
  EXPECT_EQ(Starts(drives), (std::vector<std::uint32_t>{110, 160}));
  EXPECT_TRUE(debug.Has("分区表循环: 扇区 150"));
}

TEST_F(PartitionChains, ATableWithoutItsMarkerIsNone) {
  PutEntry(Sector(0), 0, 0x05, 100, 300);
  PutEntry(Sector(0), 1, 0x01, 300, 20);
  PutEntry(Sector(100), 0, 0x06, 10, 20);
  Sector(100)[510] = 0;
  drives.ScanDevice(*device);
  EXPECT_EQ(Starts(drives), (std::vector<std::uint32_t>{300}));
  Sector(0)[511] = 0;
  drives.Clear();
  drives.ScanDevice(*device);
  EXPECT_EQ(drives.Count(), 0);
}

TEST_F(PartitionChains, UnreadableTableEndsItsChainSilently) {
  CountingPrompt prompt;
  PutEntry(Sector(0), 0, 0x05, 100, 300);
  PutEntry(Sector(0), 1, 0x01, 300, 20);
  PutEntry(Sector(100), 0, 0x06, 10, 20);
  PutEntry(Sector(100), 1, 0x05, 50, 50);
  PutEntry(Sector(150), 0, 0x0E, 10, 20);
  platform.FailRange("phys128", 150 * 512, 512);
  drives.ScanDevice(*device);
  EXPECT_EQ(Starts(drives), (std::vector<std::uint32_t>{300, 110}));
  EXPECT_EQ(prompt.asked, 0);
}

TEST_F(PartitionChains, UnreadableFirstSectorGivesNoDrive) {
  CountingPrompt prompt;
  platform.FailRange("phys128", 0, 512);
  // An empty removable drive must not ask.
  device->Flags = 1;
  drives.ScanDevice(*device);
  EXPECT_EQ(drives.Count(), 0);
  EXPECT_EQ(prompt.asked, 0);
  // A fixed disk does.
  device->Flags = 0;
  device->Partitioned = 0;
  drives.ScanDevice(*device);
  EXPECT_EQ(drives.Count(), 0);
  EXPECT_EQ(prompt.asked, 1);
}

}  // namespace
}  // namespace vantrel
