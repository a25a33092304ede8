// The lost-drive search on a disk made by sfdisk, mkfs.fat and mtools: FAT12,
// FAT16 and FAT32 volumes whose partition table was zeroed, two of which lost
// their boot sectors too (the FAT32 one with its backup copy). The drives
// found are browsed and saved; searching again, other devices, the range,
// cancel and a failing read.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>

#include "common/Bytes.h"
#include "common/Clock.h"
#include "devices/TDevice.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "host/TStatusDialog.h"
#include "host/UserInterface.h"
#include "recovery/Saving.h"
#include "recovery/TDriveList.h"
#include "support/LostImages.h"
#include "support/MemoryDisk.h"
#include "support/Recorders.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

using test::ImageTool;
using test::MemoryDisk;
using test::ShellQuote;
using test::TempDir;
using Bytes = std::vector<std::uint8_t>;

// The volumes of the disk, in partition-table order.
struct Volume {
  std::uint32_t start;
  const char* label;
  std::uint8_t type;
  std::uint32_t sectorsPerCluster;
  // From the boot sector mkfs.fat wrote.
  std::string storedLabel;
  std::uint32_t reserved = 0, firstData = 0;
};

struct Disk {
  std::string image;  // the partitioned disk, intact
  std::vector<Volume> volumes = {{2048, "ALPHA", ftFAT12, 4, "", 0, 0},
                                 {8192, "BRAVO", ftFAT16, 4, "", 0, 0},
                                 {43008, "CHARLIE", ftFAT32, 1, "", 0, 0}};
  // Every volume holds these: a long chain first, so that the first FAT
  // sector reads as a FAT; two folders, whose "." entries give the cluster
  // size. Path → bytes.
  std::map<std::string, std::string> files = {{"BIG.BIN", test::Pattern(1, 65536)},
                                              {"README.TXT", test::Pattern(2, 3000)},
                                              {"ONE/IN.TXT", test::Pattern(3, 5000)}};
};
Disk* g = nullptr;

void MakeDisk(const std::string& dir) {
  const std::string image = dir + "/disk.img", source = dir + "/src";
  ImageTool("mkdir -p " + ShellQuote(source) + " && truncate -s 56M " + ShellQuote(image));
  test::WriteFile(dir + "/table", "label: dos\nstart=2048, size=4096, type=1\nstart=8192, size=32768, type=6\n"
                                  "start=43008, size=69632, type=c\n");
  ImageTool("sfdisk -q " + ShellQuote(image) + " < " + ShellQuote(dir + "/table"));
  ImageTool("mkfs.fat -F 12 -s 4 --invariant -i 0a1fa000 -n ALPHA --offset=2048 -h 2048 " + ShellQuote(image) + " 2048");
  ImageTool("mkfs.fat -F 16 -s 4 --invariant -i 0b2fb000 -n BRAVO --offset=8192 -h 8192 " + ShellQuote(image) +
            " 16384");
  ImageTool("mkfs.fat -F 32 -s 1 --invariant -i 0c3fc000 -n CHARLIE --offset=43008 -h 43008 " + ShellQuote(image) +
            " 34816");
  for (const auto& [path, bytes] : Disk().files) test::WriteFile(source + "/" + path.substr(path.find('/') + 1), bytes);
  for (const Volume& v : Disk().volumes) {
    const std::string img = " -i " + ShellQuote(image + "@@" + std::to_string(v.start * 512ull)) + " ";
    ImageTool("mcopy" + img + ShellQuote(source + "/BIG.BIN") + " ::/");
    ImageTool("mmd" + img + "::/ONE ::/TWO");
    ImageTool("mcopy" + img + ShellQuote(source + "/README.TXT") + " ::/");
    ImageTool("mcopy" + img + ShellQuote(source + "/IN.TXT") + " ::/ONE/");
  }
}

void LoadDisk(Disk& d, const std::string& dir) {
  d.image = dir + "/disk.img";
  const Bytes bytes = test::ImageBytes(d.image);
  for (Volume& v : d.volumes) {
    const ByteSpan boot(bytes.data() + v.start * 512ull, 512);
    const std::size_t labelAt = v.type == ftFAT32 ? 71 : 43;
    v.storedLabel.assign(reinterpret_cast<const char*>(boot.data()) + labelAt, 11);
    v.reserved = Le16(boot, 14);
    const std::uint32_t fatSize = Le16(boot, 22) ? Le16(boot, 22) : Le32(boot, 36);
    v.firstData = v.reserved + boot[16] * fatSize + (Le16(boot, 17) * 32 + 511) / 512;
  }
}

void Zero(Bytes& image, std::uint32_t sector) { std::fill_n(image.begin() + sector * 512ull, 512, 0); }

Bytes Intact() { return test::ImageBytes(g->image); }

// The disk whose partition table is gone.
Bytes WithoutTable() {
  Bytes image = Intact();
  Zero(image, 0);
  return image;
}

// ... and whose FAT16 and FAT32 volumes lost their boot sectors, the FAT32
// one its backup too.
Bytes WithoutBootSectors() {
  Bytes image = WithoutTable();
  Zero(image, g->volumes[1].start);
  Zero(image, g->volumes[2].start);
  Zero(image, g->volumes[2].start + 6);
  return image;
}

using ProgressView = test::ProgressRecorder;

class LostDrives : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    VANTREL_SKIP_WITHOUT_HOST_TOOLS();
    g = new Disk;
    LoadDisk(*g, test::MadeOnce("lost-drives", MakeDisk));
  }
  static void TearDownTestSuite() {
    delete g;
    g = nullptr;
  }
  void SetUp() override {
    VANTREL_SKIP_WITHOUT_HOST_TOOLS();
    SetTickSource([this] { return now_ += 1000; });
    view.dialog = &dialog;
  }
  void TearDown() override { SetTickSource(nullptr); }

  // Searches the device; its cache is off again afterwards.
  void Search(MemoryDisk& disk, TDevice& device, std::uint32_t first, std::uint32_t last) {
    view.device = &device;
    FindLostDrives(device, first, last, disk.drives, &dialog);
    EXPECT_FALSE(device.CacheEnabled);
    EXPECT_FALSE(dialog.Visible());
  }
  void SearchAll(MemoryDisk& disk) { Search(disk, disk.Device(), 0, disk.Device().TotalSectors - 1); }

  static std::vector<std::uint32_t> Starts(const MemoryDisk& disk) {
    std::vector<std::uint32_t> starts;
    for (int i = 0; i < disk.drives.Count(); ++i) starts.push_back(disk.drives.Items(i)->StartSector);
    return starts;
  }

  // The root's names, and the files read back through the drive's FAT.
  static void ExpectBrowsableAndSavable(TFATdrive& drive) {
    auto& root = static_cast<TFATDirectory&>(*drive.RootDir);
    root.LoadChildren(false, false);
    std::set<std::string> names;
    for (const auto& item : *root.Items) names.insert(item->Name);
    EXPECT_EQ(names, (std::set<std::string>{"BIG.BIN", "ONE", "TWO", "README.TXT"})) << drive.Name;
    TempDir out;
    TSaveContext context;
    context.FATChoice = drive.FATChoice;
    EXPECT_EQ(context.FATChoice, 1);
    for (const auto& item : *root.Items)
      if (item->IsDirectory())
        SaveFolder(static_cast<TFATDirectory&>(*item), out.Path().string(), context, true, false, false);
      else
        SaveFile(static_cast<TFATFile&>(*item), out.Path().string(), context);
    for (const auto& [path, bytes] : g->files) EXPECT_TRUE(test::ReadFile(out / path) == bytes) << drive.Name << ": " << path;
  }

  ProgressView view;
  TStatusDialog dialog{&view};

 private:
  std::uint32_t now_ = 1000;
};

TEST_F(LostDrives, ZeroedTableGivesEachVolumeAtItsSector) {
  MemoryDisk disk(WithoutTable(), true);
  ASSERT_EQ(disk.drives.Count(), 0);
  SearchAll(disk);
  ASSERT_EQ(Starts(disk), (std::vector<std::uint32_t>{2048, 8192, 43008}));
  for (int i = 0; i < 3; ++i) {
    TFATdrive& drive = disk.Drive(i);
    const Volume& v = g->volumes[i];
    EXPECT_EQ(drive.Name, v.storedLabel + " (lost)");
    EXPECT_EQ(drive.Name.substr(0, std::string(v.label).size()), v.label);
    EXPECT_EQ(drive.Flags, dfLost);
    EXPECT_EQ(drive.Device, &disk.Device());
    EXPECT_EQ(drive.BootSector, v.start);
    EXPECT_EQ(drive.SectorCount, 0u);
    EXPECT_EQ(drive.FATType, v.type);
    ExpectBrowsableAndSavable(drive);
  }
  EXPECT_EQ(dialog.Caption(), "查找逻辑驱动器 - 请稍后...");
  EXPECT_EQ(dialog.Line(3), "丢失的驱动器: 3");
  const std::string lastLine = "物理扇区 " + std::to_string(disk.Device().TotalSectors - 1) + " - " +
                               std::to_string(disk.Device().TotalSectors - 1);
  EXPECT_EQ(dialog.Line(1), lastLine);
  for (const auto& [text, cacheOn] : view.lines) EXPECT_TRUE(cacheOn) << text;

  // Searching again adds nothing.
  SearchAll(disk);
  EXPECT_EQ(disk.drives.Count(), 3);
}

TEST_F(LostDrives, ListedVolumesAreNotFoundAgainOnTheirOwnDevice) {
  MemoryDisk disk(Intact(), true);
  ASSERT_EQ(Starts(disk), (std::vector<std::uint32_t>{2048, 8192, 43008}));
  // Neither the boot sectors, nor the FAT32 backup, nor the evidence of the
  // volumes makes a new drive.
  SearchAll(disk);
  EXPECT_EQ(disk.drives.Count(), 3);

  // The same volumes at the same sectors of a second disk are its own.
  TDevice& second = disk.AddDisk(WithoutTable(), true);
  ASSERT_EQ(disk.drives.Count(), 3);
  Search(disk, second, 0, 99999);
  ASSERT_EQ(disk.drives.Count(), 6);
  for (int i = 3; i < 6; ++i) {
    EXPECT_EQ(disk.drives.Items(i)->Device, &second);
    EXPECT_EQ(disk.drives.Items(i)->StartSector, g->volumes[i - 3].start);
  }
}

TEST_F(LostDrives, Fat32BackupBootSectorFindsTheVolumeAtItsRealStart) {
  Bytes image = WithoutTable();
  const Volume& v = g->volumes[2];
  Zero(image, v.start);  // the original is gone, the copy six sectors in is not
  MemoryDisk disk(image, true);
  SearchAll(disk);
  ASSERT_EQ(Starts(disk), (std::vector<std::uint32_t>{2048, 8192, 43008}));
  TFATdrive& drive = disk.Drive(2);
  EXPECT_EQ(drive.BootSector, v.start + 6);
  EXPECT_EQ(drive.Flags, dfLost);
  ExpectBrowsableAndSavable(drive);
}

TEST_F(LostDrives, VolumesWithoutBootSectorAreRebuilt) {
  MemoryDisk disk(WithoutBootSectors(), true);
  SearchAll(disk);
  ASSERT_EQ(disk.drives.Count(), 3);
  EXPECT_EQ(disk.Drive(0).Name, g->volumes[0].storedLabel + " (lost)");
  for (int i = 1; i < 3; ++i) {
    TFATdrive& drive = disk.Drive(i);
    const Volume& v = g->volumes[i];
    SCOPED_TRACE(v.label);
    EXPECT_EQ(drive.Name, "驱动器 (不包含启动扇区)");
    EXPECT_EQ(drive.Flags, dfLost | dfRebuilt);
    EXPECT_EQ(drive.Device, &disk.Device());
    ASSERT_TRUE(drive.GeometryValid);
    // One reserved sector in front of the first FAT: the volume starts late
    // by the others, and every sector it addresses is where it really is.
    EXPECT_EQ(drive.StartSector, v.start + v.reserved - 1);
    EXPECT_EQ(drive.StartSector + drive.FirstDataSector, v.start + v.firstData);
    EXPECT_EQ(drive.FATType, v.type);
    EXPECT_EQ(drive.SectorsPerCluster, v.sectorsPerCluster);
    EXPECT_EQ(drive.RootCluster, v.type == ftFAT32 ? 2u : 0u);
    EXPECT_EQ(drive.RootEntries, v.type == ftFAT32 ? 0u : 512u);
    ExpectBrowsableAndSavable(drive);
  }
  // A second search over the same range finds the same volumes: nothing new.
  SearchAll(disk);
  EXPECT_EQ(disk.drives.Count(), 3);
}

// Fills a volume of an image (at a byte offset) with the files every
// volume of these tests holds.
void FillVolume(const std::string& image, std::uint64_t offset, const std::string& source) {
  const std::string img = " -i " + ShellQuote(image + "@@" + std::to_string(offset)) + " ";
  ImageTool("mcopy" + img + ShellQuote(source + "/BIG.BIN") + " ::/");
  ImageTool("mmd" + img + "::/ONE ::/TWO");
  ImageTool("mcopy" + img + ShellQuote(source + "/README.TXT") + " ::/");
  ImageTool("mcopy" + img + ShellQuote(source + "/IN.TXT") + " ::/ONE/");
}

std::string WriteSources(const TempDir& dir) {
  const std::string source = dir / "src";
  ImageTool("mkdir -p " + ShellQuote(source));
  for (const auto& [path, bytes] : g->files) test::WriteFile(source + "/" + path.substr(path.find('/') + 1), bytes);
  return source;
}

TEST_F(LostDrives, BackToBackVolumesWithoutBootSectorsAreBothRebuiltEachInItsOwnSpace) {
  // The first volume's FAT could describe more clusters than fit before the
  // second volume: an estimate from it runs into the second's FATs.
  TempDir dir;
  const std::string image = dir / "two.img", source = WriteSources(dir);
  ImageTool("truncate -s 40M " + ShellQuote(image));
  test::WriteFile(dir / "table", "start=2048, size=32768, type=6\nstart=34816, size=32768, type=6\n");
  ImageTool("sfdisk -q " + ShellQuote(image) + " < " + ShellQuote(dir / "table"));
  for (const std::uint32_t start : {2048u, 34816u}) {
    ImageTool("mkfs.fat -F 16 -s 4 --invariant -n V" + std::to_string(start) + " --offset=" +
              std::to_string(start) + " " + ShellQuote(image) + " 16384");
    FillVolume(image, start * 512ull, source);
  }
  Bytes bytes = test::ImageBytes(image);
  // A rebuilt volume starts one sector in front of its first FAT.
  const std::uint32_t reserved = Le16(ByteSpan(bytes.data() + 2048 * 512, 512), 14);
  for (const std::uint32_t sector : {0u, 2048u, 34816u}) Zero(bytes, sector);
  MemoryDisk disk(bytes, true);
  SearchAll(disk);
  ASSERT_EQ(Starts(disk), (std::vector<std::uint32_t>{2048 + reserved - 1, 34816 + reserved - 1}));
  EXPECT_LE(disk.Drive(0).StartSector + disk.Drive(0).TotalSectors, 34816u + reserved - 1);
  EXPECT_LE(disk.Drive(1).StartSector + disk.Drive(1).TotalSectors, disk.Device().TotalSectors);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(disk.Drive(i).Flags, dfLost | dfRebuilt);
    ExpectBrowsableAndSavable(disk.Drive(i));
  }
}

TEST_F(LostDrives, AFloppyWithoutBootSectorIsRebuiltFromItsFATsAndRootWithinTheDevice) {
  // mkfs.fat's 1.44 MB floppy (media byte 0xF0), files in the root only: no
  // "." entry tells the cluster size.
  TempDir dir;
  const std::string image = dir / "floppy.img", source = WriteSources(dir);
  ImageTool("mkfs.fat -C -n FLOPPY --invariant " + ShellQuote(image) + " 1440");
  ImageTool("mcopy -i " + ShellQuote(image) + " " + ShellQuote(source + "/BIG.BIN") + " " +
            ShellQuote(source + "/README.TXT") + " ::/");
  Bytes bytes = test::ImageBytes(image);
  Zero(bytes, 0);
  MemoryDisk disk(bytes, false);
  ASSERT_EQ(disk.drives.Count(), 1);  // the floppy's own volume, refused
  SearchAll(disk);
  ASSERT_EQ(disk.drives.Count(), 2);
  TFATdrive& drive = disk.Drive(1);
  ASSERT_TRUE(drive.GeometryValid);
  EXPECT_EQ(drive.FATType, ftFAT12);
  EXPECT_EQ(drive.StartSector, 0u);
  EXPECT_EQ(drive.TotalSectors, 2880u);
  EXPECT_EQ(drive.RootEntries, 224u);
  auto& root = static_cast<TFATDirectory&>(*drive.RootDir);
  root.LoadChildren(false, false);
  TempDir out;
  TSaveContext context;
  context.FATChoice = drive.FATChoice;
  for (const auto& item : *root.Items) SaveFile(static_cast<TFATFile&>(*item), out.Path().string(), context);
  EXPECT_TRUE(test::ReadFile(out / "BIG.BIN") == g->files.at("BIG.BIN"));
  EXPECT_TRUE(test::ReadFile(out / "README.TXT") == g->files.at("README.TXT"));
}

TEST_F(LostDrives, CancelKeepsTheDrivesFoundSoFar) {
  MemoryDisk disk(WithoutTable(), true);
  view.cancelAt = "物理扇区 9000 - " + std::to_string(disk.Device().TotalSectors - 1);
  SearchAll(disk);
  EXPECT_TRUE(dialog.Cancelled);
  EXPECT_EQ(Starts(disk), (std::vector<std::uint32_t>{2048, 8192}));
  EXPECT_EQ(view.lines.back().first.rfind("物理扇区 9000 ", 0), 0u) << "the search went on";
}

TEST_F(LostDrives, UnreadableSectorEndsTheSearch) {
  MemoryDisk disk(WithoutTable(), true);
  // No error prompt is installed: the failed read is aborted.
  disk.platform.FailRange("phys128", 20000 * 512ull, 512);
  SearchAll(disk);
  EXPECT_EQ(Starts(disk), (std::vector<std::uint32_t>{2048, 8192}));
}

void FailingMessageLoop() { throw std::runtime_error("the window is gone"); }

TEST_F(LostDrives, ErrorThatEscapesLeavesTheCacheOff) {
  MemoryDisk disk(WithoutTable(), true);
  SetProcessMessagesHook(&FailingMessageLoop);
  EXPECT_THROW(FindLostDrives(disk.Device(), 0, 99999, disk.drives, &dialog), std::runtime_error);
  SetProcessMessagesHook(nullptr);
  EXPECT_FALSE(disk.Device().CacheEnabled);
}

TEST_F(LostDrives, RangeKeepsToTheDevice) {
  MemoryDisk disk(WithoutTable(), true);
  // A last sector below the first examines the first alone.
  Search(disk, disk.Device(), 8192, 5);
  EXPECT_EQ(Starts(disk), (std::vector<std::uint32_t>{8192}));
  EXPECT_EQ(std::count_if(view.lines.begin(), view.lines.end(), [](const auto& l) { return !l.first.empty(); }), 1);
  // Beyond the end of the device the search stops at its last sector.
  Search(disk, disk.Device(), 43008, 0xFFFFFFFF);
  EXPECT_EQ(Starts(disk), (std::vector<std::uint32_t>{8192, 43008}));
  Search(disk, disk.Device(), 0xFFFFFFF0, 0xFFFFFFFF);
  EXPECT_EQ(disk.drives.Count(), 2);
  // Without its boot sector in the range, the FAT12 volume (one reserved
  // sector) is rebuilt from its FATs and folders, at its real start.
  Search(disk, disk.Device(), 2049, 8191);
  ASSERT_EQ(Starts(disk), (std::vector<std::uint32_t>{8192, 43008, 2048}));
  EXPECT_EQ(disk.Drive(2).Flags, dfLost | dfRebuilt);
  EXPECT_EQ(disk.Drive(2).FATType, ftFAT12);
}

}  // namespace
}  // namespace vantrel
