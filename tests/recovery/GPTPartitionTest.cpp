// GUID partition tables: a disk partitioned by sfdisk (label: gpt) with two
// FAT32 volumes made by mkfs.fat, read through its primary table, through
// its backup when the primary is gone, and by the lost-drive search when
// both are gone; hybrid records; headers whose numbers are hostile.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "fs/TFATDirectory.h"
#include "host/RangeDialogs.h"
#include "recovery/GPTPartitions.h"
#include "support/FixtureDisk.h"
#include "support/Recorders.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

using test::FixtureDisk;
using test::FixturePath;

constexpr std::uint64_t kEFIStart = 2048, kDataStart = 69632, kSize = 67584;

// A debug line holds the text.
bool Mentions(const test::DebugRecorder& debug, const std::string& text) {
  return std::any_of(debug.lines.begin(), debug.lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

std::vector<std::uint64_t> Starts(const TDriveList& drives) {
  std::vector<std::uint64_t> starts;
  for (int i = 0; i < drives.Count(); ++i) starts.push_back(drives.Items(i)->StartSector);
  return starts;
}

// A copy of gpt.img with sectors overwritten (zeroed unless bytes are given).
class GPTImage {
 public:
  GPTImage() : path_(dir_ / "gpt.img") { std::filesystem::copy_file(FixturePath("gpt.img"), path_); }
  std::uint64_t Sectors() const { return std::filesystem::file_size(path_) / 512; }
  void Zero(std::uint64_t first, std::uint64_t count) {
    Put(first, std::vector<std::uint8_t>(count * 512, 0));
  }
  void Put(std::uint64_t sector, const std::vector<std::uint8_t>& bytes) {
    std::fstream f(path_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(sector * 512));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::vector<std::uint8_t> Get(std::uint64_t sector, std::size_t count) const {
    std::ifstream f(path_, std::ios::binary);
    std::vector<std::uint8_t> bytes(count * 512);
    f.seekg(static_cast<std::streamoff>(sector * 512));
    f.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
  }
  const std::string& Path() const { return path_; }

 private:
  test::TempDir dir_;
  std::string path_;
};

// Both volumes at their starts, by the names a user sees, with their files
// where mtools put them.
void ExpectBothVolumes(const FixtureDisk& disk) {
  ASSERT_EQ(Starts(disk.drives), (std::vector<std::uint64_t>{kEFIStart, kDataStart}));
  const struct {
    const char* name;
    const char* list;
  } expected[] = {{"EFI system", "gpt-efi.files"}, {"GPTDATA    ", "gpt-data.files"}};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(expected[i].name);
    TFATdrive& d = disk.Drive(i);
    EXPECT_EQ(d.Name, expected[i].name);
    EXPECT_EQ(d.BootSector, d.StartSector);
    EXPECT_EQ(d.SectorCount, kSize);
    EXPECT_TRUE(d.GeometryValid);
    EXPECT_EQ(d.FATType, ftFAT32);
    d.Root()->LoadChildren(false, false);
    ASSERT_EQ(d.Root()->Items->size(), 2u);
    const auto& hello = static_cast<const TFATFile&>(*(*d.Root()->Items)[0]);
    EXPECT_EQ(hello.Name, "hello.txt");
    EXPECT_EQ(hello.StartCluster, test::ReadFixtureList(expected[i].list)[0].cluster);
    EXPECT_EQ(hello.Size, 6u);
  }
}

TEST(GPT, DiskMadeBySfdiskListsBothFAT32VolumesInEntryOrder) {
  test::DebugRecorder debug;
  FixtureDisk disk(FixturePath("gpt.img"));
  ASSERT_EQ(disk.devices.Count(), 1);
  ExpectBothVolumes(disk);
  EXPECT_FALSE(Mentions(debug, "备份"));
  // The search finds the volumes the table lists and adds neither again,
  // nor the backup boot sectors of the FAT32 volumes.
  FindLostDrives(*disk.devices.Items(0), 0, disk.devices.Items(0)->TotalSectors - 1, disk.drives, nullptr);
  EXPECT_EQ(Starts(disk.drives), (std::vector<std::uint64_t>{kEFIStart, kDataStart}));
}

TEST(GPT, DamagedPrimaryTableFallsBackToTheBackupAtTheLastSector) {
  {
    GPTImage image;
    image.Zero(1, 1);  // the primary header
    test::DebugRecorder debug;
    FixtureDisk disk(image.Path());
    ExpectBothVolumes(disk);
    EXPECT_TRUE(debug.Has("GPT: 使用备份表: 扇区 " + std::to_string(image.Sectors() - 1)));
  }
  {
    // An intact primary header whose entry array no longer matches its CRC32.
    GPTImage image;
    auto entries = image.Get(2, 1);
    entries[56] ^= 0x20;  // a letter of the first entry's name
    image.Put(2, entries);
    test::DebugRecorder debug;
    FixtureDisk disk(image.Path());
    ExpectBothVolumes(disk);
    EXPECT_TRUE(Mentions(debug, "分区项 CRC32 错误: 扇区 2"));
    EXPECT_TRUE(Mentions(debug, "使用备份表"));
  }
}

TEST(GPT, WithBothTablesGoneTheLostDriveSearchFindsTheVolumes) {
  GPTImage image;
  image.Zero(1, 33);
  image.Zero(image.Sectors() - 33, 33);
  test::DebugRecorder debug;
  FixtureDisk disk(image.Path());
  // The protective entry is no partition of its own.
  EXPECT_EQ(disk.drives.Count(), 0);
  FindLostDrives(*disk.devices.Items(0), 0, disk.devices.Items(0)->TotalSectors - 1, disk.drives, nullptr);
  ASSERT_EQ(Starts(disk.drives), (std::vector<std::uint64_t>{kEFIStart, kDataStart}));
  EXPECT_EQ(disk.Drive(1).Name, "GPTDATA     (lost)");
  EXPECT_EQ(disk.Drive(0).Flags, dfLost);
  disk.Drive(1).Root()->LoadChildren(false, false);
  EXPECT_EQ((*disk.Drive(1).Root()->Items)[0]->Name, "hello.txt");
}

TEST(GPT, HybridRecordIsReadAsItsGUIDPartitionTable) {
  GPTImage image;
  auto mbr = image.Get(0, 1);
  // A second entry that repeats the data partition as FAT32 (LBA).
  std::uint8_t* e = mbr.data() + 446 + 16;
  e[4] = 0x0C;
  for (int i = 0; i < 4; ++i) {
    e[8 + i] = static_cast<std::uint8_t>(kDataStart >> (8 * i));
    e[12 + i] = static_cast<std::uint8_t>(kSize >> (8 * i));
  }
  image.Put(0, mbr);
  {
    FixtureDisk disk(image.Path());
    ExpectBothVolumes(disk);
  }
  // Without an intact GPT, the record's own FAT entry is all there is.
  image.Zero(1, 33);
  image.Zero(image.Sectors() - 33, 33);
  FixtureDisk disk(image.Path());
  EXPECT_EQ(Starts(disk.drives), (std::vector<std::uint64_t>{kDataStart}));
}

// A header sector with a correct CRC32 over whatever the test put in it.
std::vector<std::uint8_t> Header(std::uint64_t myLBA, std::uint64_t entriesLBA, std::uint32_t count,
                                 std::uint32_t size, std::uint32_t headerSize = 92) {
  std::vector<std::uint8_t> s(512, 0);
  std::memcpy(s.data(), "EFI PART", 8);
  auto put = [&](std::size_t at, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put(8, 0x00010000, 4);
  put(12, headerSize, 4);
  put(24, myLBA, 8);
  put(72, entriesLBA, 8);
  put(80, count, 4);
  put(84, size, 4);
  put(16, Crc32(s.data(), std::min<std::size_t>(headerSize, 512)), 4);
  return s;
}

TEST(GPT, HeaderNumbersAreCheckedBeforeAnythingIsRead) {
  EXPECT_EQ(Crc32(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0xCBF43926u);
  TGPTHeader h;
  EXPECT_TRUE(ParseGPTHeader(Header(1, 2, 128, 128), 1, 1000, h));
  EXPECT_EQ(h.EntriesLBA, 2u);
  EXPECT_EQ(h.EntryCount, 128u);
  auto flipped = Header(1, 2, 128, 128);
  flipped[40] ^= 1;  // a field the CRC32 covers
  EXPECT_FALSE(ParseGPTHeader(flipped, 1, 1000, h));
  const struct {
    std::vector<std::uint8_t> sector;
    std::uint64_t lba, total;
    const char* why;
  } refused[] = {
      {Header(1, 2, 128, 128), 7, 1000, "a header copied from elsewhere"},
      {Header(1, 2, 0xFFFFFFFF, 128), 1, 1u << 30, "four billion entries"},
      {Header(1, 2, 128, 0), 1, 1000, "entries of no size"},
      {Header(1, 2, 128, 100), 1, 1000, "entries smaller than one"},
      {Header(1, 2, 2, 0x80000000), 1, 1u << 30, "entries of 2 GiB"},
      {Header(1, 2, 128, 128, 513), 1, 1000, "a header larger than its sector"},
      {Header(1, 2, 128, 128, 20), 1, 1000, "a header without its fields"},
      {Header(1, 1, 128, 128), 1, 1000, "the array over the header"},
      {Header(1, 990, 128, 128), 1, 1000, "the array past the end of the disk"},
      {Header(1, 0xFFFFFFFFFFFFFFF0ull, 128, 128), 1, 1000, "the array at a wrapping sector"},
  };
  for (const auto& r : refused) EXPECT_FALSE(ParseGPTHeader(r.sector, r.lba, r.total, h)) << r.why;

  // Unused entries are skipped; names are decoded, control characters shown as '?'.
  std::vector<std::uint8_t> array(3 * 128, 0);
  array[128] = 0xA2;
  array[128 + 32] = 9;                  // first sector 9
  array[128 + 40] = 20;                 // last sector 20
  const char16_t name[] = u"Da\u0007ta\u4E2D";
  for (std::size_t i = 0; name[i]; ++i) {
    array[128 + 56 + 2 * i] = static_cast<std::uint8_t>(name[i]);
    array[128 + 57 + 2 * i] = static_cast<std::uint8_t>(name[i] >> 8);
  }
  TGPTHeader three;
  three.EntryCount = 3;
  three.EntrySize = 128;
  const auto entries = ParseGPTEntries(array, three);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Index, 1u);
  EXPECT_EQ(entries[0].FirstLBA, 9u);
  EXPECT_EQ(entries[0].LastLBA, 20u);
  EXPECT_EQ(entries[0].Name, "Da?ta\xE4\xB8\xAD");
}

TEST(GPT, SectorRangeDialogCountsTheSectorsOfA3TiBDisk) {
  const std::uint64_t sectors = 3ull << 31;  // 3 TiB of 512-byte sectors
  TSectorDialog dialog;
  dialog.SetDefaults(sectors, 512);
  dialog.FormActivate();
  EXPECT_EQ(dialog.GroupEndCaption, "结束扇区 (max. 6442450943)");
  EXPECT_EQ(dialog.EditEndSec, "100000");
  dialog.TrackBarEndSecChange(RangeTrackBarMax);
  EXPECT_EQ(dialog.EditEndSec, "6442450943");
  dialog.TrackBarStartSecChange(RangeTrackBarMax / 2);
  EXPECT_EQ(dialog.EditStartSec, "3221225472");  // half of the last sector, rounded to even
  EXPECT_EQ(dialog.LabelSize, "1536.00 GB");
}

}  // namespace
}  // namespace vantrel
