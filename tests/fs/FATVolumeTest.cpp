// FAT volumes made by mkfs.fat and mtools: geometry and type by cluster
// count, the boot-sector checks, the FAT probe, FAT entries (the FAT12 entry
// across two sectors) and the chain readers on loops and stray clusters.

#include <gtest/gtest.h>

#include <set>

#include <cctype>

#include "common/Bytes.h"
#include "diskio/SectorAccess.h"
#include "fs/TFATDirectory.h"
#include "support/FixtureDisk.h"
#include "support/MemoryDisk.h"
#include "support/Recorders.h"

namespace vantrel {
namespace {

using test::FixtureDisk;
using test::FixturePath;
using test::MemoryVolume;
using test::ReadFixtureBytes;

// The first cluster of a file of the image's test tree, as mtools reported it.
std::uint32_t ClusterOf(const std::string& list, const std::string& path) {
  for (const auto& item : test::ReadFixtureList(list))
    if (item.path == path) return item.cluster;
  ADD_FAILURE() << path << " is not in " << list;
  return 0;
}

struct Layout {
  const char* image;
  std::uint8_t type;
  std::uint32_t clusters, rootSector, firstDataSector, rootCluster, bytesPerCluster;
  const char* label;
  bool noFAT;  // nothing but the root in the FAT
};

// Sector numbers from the boot sectors mkfs.fat wrote: reserved sectors,
// then the FAT copies, then the fixed root area of FAT12/16.
const Layout kLayouts[] = {
    {"floppy.img", ftFAT12, 2847, 19, 33, 0, 512, "FLOPPY     ", true},
    {"fat12.img", ftFAT12, 4084, 26, 58, 0, 512, "FAT12VOL   ", false},
    {"fat16-min.img", ftFAT16, 4087, 33, 65, 0, 512, "FAT16MIN   ", true},
    {"fat16.img", ftFAT16, 65524, 514, 546, 0, 512, "FAT16VOL   ", false},
    {"fat32.img", ftFAT32, 65525, 1057, 1057, 2, 512, "FAT32VOL   ", false},
    {"fat16-2k.img", ftFAT16, 5101, 11, 19, 0, 2048, "SECTOR2K   ", false},
    {"fat12-64k.img", ftFAT12, 255, 3, 7, 0, 65536, "CLUSTER64K ", false},
};

class VolumeLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(VolumeLayout, OpensWithTheGeometryMkfsWrote) {
  const Layout& l = GetParam();
  test::MessageRecorder messages;
  FixtureDisk disk(FixturePath(l.image));
  ASSERT_EQ(disk.drives.Count(), 1);
  TFATdrive& d = disk.Drive(0);
  EXPECT_TRUE(d.GeometryValid);
  EXPECT_EQ(d.FATType, l.type);
  EXPECT_EQ(d.ClusterCount, l.clusters);
  EXPECT_EQ(d.RootSector, l.rootSector);
  EXPECT_EQ(d.FirstDataSector, l.firstDataSector);
  EXPECT_EQ(d.RootCluster, l.rootCluster);
  EXPECT_EQ(d.BytesPerCluster, l.bytesPerCluster);
  EXPECT_EQ(d.Name, l.label);
  EXPECT_EQ(d.StartSector, 0u);
  EXPECT_EQ(d.SectorCount, disk.devices.Items(0)->TotalSectors);
  EXPECT_EQ((d.Flags & dfNoFAT) != 0, l.noFAT);
  EXPECT_EQ(d.FATChoice, l.noFAT ? 0 : 1);
  // 64 KiB clusters are read like any other, after the boot-sector warning.
  if (l.bytesPerCluster > 32768)
    EXPECT_EQ(messages.shown, std::vector<std::string>{"信息: 启动扇区参数错误: bytes per sector (65536) > 32768 !"});
  else
    EXPECT_TRUE(messages.shown.empty());
}

void PrintTo(const Layout& l, std::ostream* os) { *os << l.image; }

INSTANTIATE_TEST_SUITE_P(FixtureImages, VolumeLayout, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<Layout>& param) {
                           std::string name = param.param.image;
                           for (char& c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

TEST(FATVolume, TheClusterCountAloneDecidesTheType) {
  // A real FAT16 boot record with the total sector count moved around the
  // two thresholds; 65 sectors come before the data area.
  MemoryVolume v(ReadFixtureBytes("fat16-min.img"));
  ASSERT_TRUE(v.drive.Open(true));
  const std::pair<std::uint32_t, std::uint8_t> cases[] = {
      {4084, ftFAT12}, {4085, ftFAT16}, {65524, ftFAT16}, {65525, ftFAT32}};
  for (const auto& [clusters, type] : cases) {
    const std::uint32_t total = clusters + 65;
    v.drive.BootRecord[19] = v.drive.BootRecord[20] = 0;
    for (int i = 0; i < 4; ++i) v.drive.BootRecord[32 + i] = static_cast<std::uint8_t>(total >> (8 * i));
    ASSERT_TRUE(v.drive.ComputeGeometry(true));
    EXPECT_EQ(v.drive.ClusterCount, clusters);
    EXPECT_EQ(v.drive.FATType, type) << clusters << " clusters";
  }
}

TEST(FATVolume, BrokenBootSectorsAreRefusedWithOneMessage) {
  struct Case {
    const char* fault;
    std::size_t offset;
    std::vector<std::uint8_t> bytes;
  };
  const Case cases[] = {
      {"zero bytes per sector", 11, {0, 0}},
      {"odd bytes per sector", 11, {0x01, 0x02}},
      {"zero sectors per cluster", 13, {0}},
      {"FATs larger than the volume", 22, {0xFF, 0x7F}},
      {"a volume smaller than its FATs and root area", 19, {50, 0}},
      {"no sector count at all", 19, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    MemoryVolume v(ReadFixtureBytes("fat12.img"));
    v.Poke(c.offset, c.bytes);
    {
      test::MessageRecorder messages;
      EXPECT_FALSE(v.drive.Open(false));
      EXPECT_EQ(messages.shown, std::vector<std::string>{"错误: 从引导扇区计算逻辑驱动器的信息参数错误"});
    }
    test::MessageRecorder messages;
    EXPECT_FALSE(v.drive.Open(true));
    EXPECT_TRUE(messages.shown.empty());
    // The drive still shows, empty.
    ASSERT_NE(v.drive.Root(), nullptr);
    ASSERT_NE(v.drive.Deleted(), nullptr);
    v.drive.Root()->LoadChildren(false, false);
    EXPECT_TRUE(v.drive.Root()->Items->empty());
    EXPECT_EQ(v.drive.GetFATEntry(2, 0), 0u);
  }
}

TEST(FATVolume, ImplausibleRootClusterIsReportedButOpens) {
  MemoryVolume v(ReadFixtureBytes("fat32.img", 1 << 20));
  v.Poke(44, {0xA0, 0x86, 0x01, 0x00});  // 100000 > 65525
  {
    test::MessageRecorder messages;
    EXPECT_TRUE(v.drive.Open(false));
    EXPECT_EQ(messages.shown, std::vector<std::string>{
                                  "信息: 启动扇区参数错误:  root directory cluster (100000) > count of clusters !"});
  }
  v.Poke(44, {1, 0, 0, 0});
  test::MessageRecorder messages;
  EXPECT_TRUE(v.drive.Open(false));
  EXPECT_EQ(messages.shown,
            std::vector<std::string>{"信息: 启动扇区参数错误:  root directory cluster (1) < 2 !"});
  EXPECT_TRUE(v.drive.Open(true));
  EXPECT_EQ(messages.shown.size(), 1u);
}

TEST(FATVolume, Fat32RootClusterZeroListsNothing) {
  // FAT32 has no fixed root area: a root cluster of 0 must not be read as
  // one, which would take the sectors in front of the data area (the end of
  // the last FAT copy) for entries.
  MemoryVolume v(ReadFixtureBytes("fat32.img", 1 << 20));
  ASSERT_TRUE(v.drive.Open(true));
  const std::uint32_t firstData = v.drive.FirstDataSector;
  const std::vector<std::uint8_t> ghost = {'G', 'H', 'O', 'S', 'T', ' ', ' ', ' ', 'T', 'X', 'T', 0x20};
  const std::vector<std::uint8_t> folder = {'F', 'O', 'L', 'D', 'E', 'R', ' ', ' ', ' ', ' ', ' ', 0x10};
  for (std::uint32_t s = firstData - 2; s < firstData; ++s) {
    v.Poke(s * 512u, ghost);
    v.Poke(s * 512u + 32, folder);
  }
  v.Poke(44, {0, 0, 0, 0});
  ASSERT_TRUE(v.drive.Open(true));
  ASSERT_EQ(v.drive.RootCluster, 0u);
  EXPECT_FALSE(v.drive.Root()->ProbeSubDirs(false));
  v.drive.Root()->LoadChildren(false, false);
  EXPECT_TRUE(v.drive.Root()->Items->empty());
  v.drive.Deleted()->LoadChildren(true, true);
  EXPECT_TRUE(v.drive.Deleted()->Items->empty());
  TChainCursor cursor(0, v.drive.RootSector);
  std::vector<std::uint8_t> buffer(v.drive.BytesPerSector);
  EXPECT_FALSE(v.drive.ReadChainSector(cursor, buffer.data()));
  EXPECT_FALSE(v.drive.ReadChainEntry(cursor, buffer.data()));
}

TEST(FATVolume, AnyClusterInUseBesidesTheRootMakesTheFATUsable) {
  // FAT32: the root's own end-of-chain entry does not count. Every other
  // entry free, up to the last cluster: a FAT that describes no file.
  MemoryVolume v32(ReadFixtureBytes("fat32.img", 1 << 20));
  ASSERT_TRUE(v32.drive.Open(true));
  for (std::uint32_t n = 3; n <= v32.drive.MaxCluster(); ++n) v32.SetFATEntry(n, 0);
  ASSERT_TRUE(v32.drive.Open(true));
  EXPECT_TRUE(v32.drive.Flags & dfNoFAT);
  EXPECT_EQ(v32.drive.FATChoice, 0);
  // A file of one cluster is a chain of one end-of-chain entry, wherever it lies.
  v32.SetFATEntry(v32.drive.MaxCluster() - 1, 0x0FFFFFFF);
  ASSERT_TRUE(v32.drive.Open(true));
  EXPECT_FALSE(v32.drive.Flags & dfNoFAT);
  EXPECT_EQ(v32.drive.FATChoice, 1);

  MemoryVolume floppy(ReadFixtureBytes("floppy.img"));
  ASSERT_TRUE(floppy.drive.Open(true));
  EXPECT_TRUE(floppy.drive.Flags & dfNoFAT);
  floppy.SetFATEntry(9, 0xFFF);
  ASSERT_TRUE(floppy.drive.Open(true));
  EXPECT_FALSE(floppy.drive.Flags & dfNoFAT);
}

TEST(FATVolume, ChainsFollowTheFATAsMtoolsWroteIt) {
  // big.bin: 200000 bytes in 391 clusters of 512 bytes, one run; on FAT12
  // the run passes cluster 341, whose entry starts in the last byte of a
  // FAT sector.
  for (const char* name : {"fat12", "fat16", "fat32"}) {
    SCOPED_TRACE(name);
    FixtureDisk disk(FixturePath(std::string(name) + ".img"));
    TFATdrive& d = disk.Drive(0);
    std::uint32_t cluster = ClusterOf(std::string(name) + ".files", "big.bin");
    const std::uint32_t first = cluster;
    int length = 1;
    while (std::uint32_t next = d.NextCluster(cluster, 1)) {
      ASSERT_EQ(next, cluster + 1);
      EXPECT_EQ(d.NextCluster(cluster, 2), next);  // the second FAT copy agrees
      cluster = next;
      ++length;
    }
    EXPECT_EQ(length, 391);
    EXPECT_TRUE(d.IsEndOfChain(d.GetFATEntry(cluster, 0)));
    if (d.FATType == ftFAT12) {
      ASSERT_LT(first, 341u);
      EXPECT_EQ(d.GetFATEntry(341, 0), 342u);
      EXPECT_EQ(d.GetFATEntry(341, 1), 342u);
    }
  }
}

TEST(FATVolume, Fat12EntryAcrossTwoSectorsIsAssembledFromBoth) {
  MemoryVolume v(ReadFixtureBytes("fat12.img"));
  ASSERT_TRUE(v.drive.Open(true));
  // Entry 341 is at byte 511 of the first FAT copy (it starts at sector 2):
  // its low nibble in the high half of that byte, the rest in the next sector.
  const std::size_t fat = 2 * 512;
  v.Bytes()[fat + 511] = static_cast<std::uint8_t>((v.Bytes()[fat + 511] & 0x0F) | 0xC0);
  v.Bytes()[fat + 512] = 0xAB;
  ASSERT_TRUE(v.drive.Open(true));
  EXPECT_EQ(v.drive.GetFATEntry(342, 0), 343u);  // next sector first
  EXPECT_EQ(v.drive.GetFATEntry(341, 0), 0xABCu);
  EXPECT_EQ(v.drive.GetFATEntry(340, 0), 341u);
  EXPECT_EQ(v.drive.GetFATEntry(341, 0), 0xABCu);
  EXPECT_EQ(v.drive.GetFATEntry(341, 1), 342u);  // the second copy is untouched
}

TEST(FATVolume, ClustersOutOfRangeAreNeverRead) {
  MemoryVolume v(ReadFixtureBytes("fat12.img"));
  ASSERT_TRUE(v.drive.Open(true));
  test::DebugRecorder debug;
  const int reads = v.platform.reads;
  EXPECT_EQ(v.drive.GetFATEntry(1, 0), 0u);
  EXPECT_EQ(v.drive.GetFATEntry(4086, 0), 0u);
  EXPECT_EQ(v.platform.reads, reads);
  EXPECT_EQ(debug.lines, (std::vector<std::string>{"获取FAT错误, 参数错误: N 1 (valid range is 2-4085)",
                                                   "获取FAT错误, 参数错误: N 4086 (valid range is 2-4085)"}));
  debug.lines.clear();
  EXPECT_EQ(v.drive.GetFATEntry(4085, 0), 0u);  // the last cluster: free, and read
  EXPECT_TRUE(debug.lines.empty());
}

TEST(FATVolume, EntriesPastTheFATSizeAreNeverRead) {
  // A boot sector that claims FATs of one sector: what follows the first
  // copy's sector is the second copy, what follows that the root area. The
  // entries that do not fit in a copy's sector are no entries of it, the
  // entry of cluster 341 (its second byte in the next sector) included.
  MemoryVolume v(ReadFixtureBytes("floppy.img"));
  v.Poke(22, {1, 0});
  for (std::size_t at = 2 * 512; at < 17 * 512; ++at) v.Bytes()[at] = 0x55;
  v.Poke(512 + 450, {0x23, 0x01});  // cluster 300: 0x123
  ASSERT_TRUE(v.drive.Open(true));
  ASSERT_EQ(v.drive.FATType, ftFAT12);
  ASSERT_EQ(v.drive.FATSize, 1u);
  ASSERT_EQ(v.drive.FirstDataSector, 17u);
  EXPECT_EQ(v.drive.GetFATEntry(300, 0), 0x123u);
  const int reads = v.platform.reads;
  for (std::uint32_t copy : {0u, 1u}) {
    SCOPED_TRACE(copy);
    EXPECT_EQ(v.drive.GetFATEntry(341, copy), 0u);
    EXPECT_EQ(v.drive.GetFATEntry(342, copy), 0u);
    EXPECT_EQ(v.drive.GetFATEntry(v.drive.MaxCluster(), copy), 0u);
  }
  EXPECT_EQ(v.platform.reads, reads);
}

TEST(FATVolume, CopiesTheBootSectorDoesNotHaveAreNeverRead) {
  // One FAT copy: where a second one would be lies the root area.
  MemoryVolume one(ReadFixtureBytes("floppy.img"));
  one.Poke(16, {1});
  for (std::size_t at = 10 * 512; at < 24 * 512; ++at) one.Bytes()[at] = 0x55;
  ASSERT_TRUE(one.drive.Open(true));
  ASSERT_EQ(one.drive.NumberOfFATs, 1u);
  ASSERT_EQ(one.drive.FirstDataSector, 24u);
  one.SetFATEntry(5, 6);
  ASSERT_TRUE(one.drive.Open(true));
  EXPECT_EQ(one.drive.GetFATEntry(5, 0), 6u);
  const int reads = one.platform.reads;
  EXPECT_EQ(one.drive.GetFATEntry(5, 1), 0u);
  EXPECT_EQ(one.drive.NextCluster(5, 2), 0u);
  EXPECT_EQ(one.platform.reads, reads);

  // No copy at all: the sectors behind the reserved one are the root area,
  // whatever they hold, and the volume is read without a FAT.
  MemoryVolume none(ReadFixtureBytes("floppy.img"));
  ASSERT_TRUE(none.drive.Open(true));
  none.SetFATEntry(5, 0xFFF);
  none.Poke(16, {0});
  ASSERT_TRUE(none.drive.Open(true));
  EXPECT_EQ(none.drive.NumberOfFATs, 0u);
  EXPECT_EQ(none.drive.GetFATEntry(5, 0), 0u);
  EXPECT_TRUE(none.drive.Flags & dfNoFAT);
  EXPECT_EQ(none.drive.FATChoice, 0);
}

// Sectors a chain reader delivers from a cluster before it stops.
int SectorsOfChain(TFATdrive& d, std::uint32_t cluster, std::uint32_t sector = 0) {
  TChainCursor cursor(cluster, sector);
  std::vector<std::uint8_t> buffer(d.BytesPerSector);
  int n = 0;
  while (d.ReadChainSector(cursor, buffer.data()) && n < 100000) ++n;
  return n;
}

TEST(FATVolume, ChainsEndWhereTheyComeBackOrLeaveTheVolume) {
  MemoryVolume v(ReadFixtureBytes("fat12.img"));
  ASSERT_TRUE(v.drive.Open(true));
  const std::uint32_t big = ClusterOf("fat12.files", "big.bin");
  EXPECT_EQ(SectorsOfChain(v.drive, big), 391);

  test::DebugRecorder debug;
  v.SetFATEntry(big + 1, big);  // a loop of two clusters
  ASSERT_TRUE(v.drive.Open(true));
  EXPECT_EQ(SectorsOfChain(v.drive, big), 2);
  EXPECT_TRUE(debug.Has("簇链循环: cluster " + std::to_string(big)));

  v.SetFATEntry(big, big);  // a cluster that points at itself
  ASSERT_TRUE(v.drive.Open(true));
  EXPECT_EQ(SectorsOfChain(v.drive, big), 1);

  v.SetFATEntry(big, 4086);  // past the last cluster (and below the end marks)
  ASSERT_TRUE(v.drive.Open(true));
  debug.lines.clear();
  EXPECT_EQ(SectorsOfChain(v.drive, big), 1);
  EXPECT_EQ(debug.lines,
            std::vector<std::string>{"扇区数据读取错误, 参数错误: cluster 4086 (valid range is 0-4085)"});

  // Without a FAT the chain is the following clusters, up to the last one.
  v.drive.FATChoice = 0;
  EXPECT_EQ(SectorsOfChain(v.drive, 4080), 6);
}

TEST(FATVolume, AChainCutShortByAnUnreadableSectorIsToldFromItsEnd) {
  MemoryVolume v(ReadFixtureBytes("fat12.img"));
  ASSERT_TRUE(v.drive.Open(true));
  SetErrorPrompt(nullptr);  // every failed read is aborted
  const std::uint32_t big = ClusterOf("fat12.files", "big.bin");
  std::vector<std::uint32_t> chain{big};
  while (std::uint32_t next = v.drive.NextCluster(chain.back(), 1)) chain.push_back(next);
  ASSERT_EQ(chain.size(), 391u);
  auto walk = [&](TChainCursor& cursor) {
    std::vector<std::uint8_t> buffer(v.drive.BytesPerSector);
    int n = 0;
    while (v.drive.ReadChainSector(cursor, buffer.data()) && n < 1000) ++n;
    return n;
  };
  TChainCursor whole(big, 0);
  EXPECT_EQ(walk(whole), 391);
  EXPECT_FALSE(whole.ReadFailed);
  EXPECT_EQ(v.drive.ChainReadFailures, 0u);

  // A sector of the folder's data: the walk stops before it and says why.
  test::DebugRecorder debug;
  const std::uint32_t bad = v.drive.ClusterToSector(chain[10]);
  v.platform.FailRange("phys128", std::uint64_t{bad} * 512, 512);
  TChainCursor cut(big, 0);
  EXPECT_EQ(walk(cut), 10);
  EXPECT_TRUE(cut.ReadFailed);
  EXPECT_EQ(v.drive.ChainReadFailures, 1u);
  EXPECT_TRUE(debug.Has("簇链读取中断: 扇区 " + std::to_string(bad) + " 无法读取 (cluster " +
                        std::to_string(chain[10]) + "), 列表不完整"));

  // A sector of the FAT that holds the way on from a later cluster (the
  // first whose entry reaches past the first FAT sector, which is cached).
  std::size_t at = 11;
  auto lastByte = [&](std::size_t i) { return (chain[i] + chain[i] / 2 + 1) / 512; };
  while (at < chain.size() && lastByte(at) == 0) ++at;
  ASSERT_LT(at, chain.size());
  const std::uint32_t fatSector = v.drive.ReservedSectors + lastByte(at);
  v.platform.FailRange("phys128", std::uint64_t{fatSector} * 512, 512);
  // The same sector of the second FAT copy stands in for it.
  TChainCursor fromCopy(chain[11], 0);
  EXPECT_EQ(walk(fromCopy), static_cast<int>(chain.size() - 11));
  EXPECT_FALSE(fromCopy.ReadFailed);
  EXPECT_EQ(v.drive.ChainReadFailures, 1u);
  // Unreadable in both copies, the chain ends there (the volume opened
  // anew: what the FAT sectors read before held stays valid within a run).
  v.platform.FailRange("phys128", (std::uint64_t{fatSector} + v.drive.FATSize) * 512, 512);
  ASSERT_TRUE(v.drive.Open(true));
  TChainCursor fromLater(chain[11], 0);
  EXPECT_EQ(walk(fromLater), static_cast<int>(at - 10));
  EXPECT_TRUE(fromLater.ReadFailed);
  EXPECT_EQ(v.drive.ChainReadFailures, 2u);
}

TEST(FATVolume, FixedRootAreaEndsWhereTheDataAreaBegins) {
  MemoryVolume v(ReadFixtureBytes("fat12.img"));
  ASSERT_TRUE(v.drive.Open(true));
  // A root area full of entries: the readers must not go on into cluster 2.
  for (std::size_t at = 26 * 512; at < 58 * 512; at += 32) v.Poke(at, {'X'});
  ASSERT_TRUE(v.drive.Open(true));
  EXPECT_EQ(SectorsOfChain(v.drive, 0, v.drive.RootSector), 32);
  TChainCursor cursor(0, v.drive.RootSector);
  std::uint8_t entry[32];
  int entries = 0;
  while (v.drive.ReadChainEntry(cursor, entry)) ++entries;
  EXPECT_EQ(entries, 512);
  for (const auto& [offset, size] : v.platform.readLog) EXPECT_LT(offset, 58u * 512);
}


// A boot sector that claims a FAT of millions of sectors on a disk of a few
// kilobytes: the search for a copy that holds chains reads what the disk has
// and stops at its end instead of trying every claimed sector one by one.
TEST(FATVolume, AFATClaimedPastTheDeviceEndIsNotReadThere) {
  std::vector<std::uint8_t> image(64 * 1024, 0);
  const std::uint8_t boot[] = {0xEB, 0x58, 0x90, 'm', 'k', 'f', 's', '.', 'f', 'a', 't'};
  std::copy(std::begin(boot), std::end(boot), image.begin());
  auto put = [&](std::size_t at, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  };
  put(11, 512, 2);          // bytes per sector
  image[13] = 8;            // sectors per cluster
  put(14, 32, 2);           // reserved sectors
  image[16] = 2;            // FAT copies
  image[21] = 0xF8;         // media
  put(32, 0xFFFFFF00, 4);   // total sectors
  put(36, 0x00F00000, 4);   // sectors per FAT
  put(44, 2, 4);            // root cluster
  image[510] = 0x55;
  image[511] = 0xAA;
  test::MemoryDisk disk(std::move(image), false);
  TFATdrive& drive = disk.Drive(0);
  EXPECT_TRUE(drive.Flags & dfNoFAT);
  EXPECT_LT(disk.platform.reads, 1000);
}

}  // namespace
}  // namespace vantrel

namespace vantrel {
namespace {

TEST(FATVolume, AnUnreadableFolderSectorCostsOnlyItsEntriesAndMarksTheFolderIncomplete) {
  test::MemoryVolume v(ReadFixtureBytes("fat12.img"));
  ASSERT_TRUE(v.drive.Open(true));
  SetErrorPrompt(nullptr);
  auto names = [&] {
    TFATDirectory& root = *v.drive.Root();
    root.LoadChildren(false, false);
    std::set<std::string> n;
    for (const auto& item : *root.Items) n.insert(item->Name);
    return n;
  };
  const auto whole = names();
  EXPECT_FALSE(v.drive.Root()->Incomplete);
  v.platform.FailRange("phys128", std::uint64_t{v.drive.RootSector} * 512, 512);
  // What was read stays valid within a run: the volume is opened again.
  ASSERT_TRUE(v.drive.Open(true));
  const auto cut = names();
  EXPECT_TRUE(v.drive.Root()->Incomplete);
  // The entries of the sectors after it are all there.
  EXPECT_FALSE(cut.empty());
  EXPECT_LT(cut.size(), whole.size());
  for (const auto& name : cut) EXPECT_TRUE(whole.count(name)) << name;
  EXPECT_TRUE(cut.count("docs"));
}

}  // namespace
}  // namespace vantrel
