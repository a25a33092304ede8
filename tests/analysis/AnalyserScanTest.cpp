// The scan that rebuilds volumes without boot sector: crafted sequences for
// its steps and guards, random hostile sequences, and real volumes made by
// mkfs.fat and mtools whose boot sectors were wiped.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "analysis/TFATAnalyser.h"
#include "common/Bytes.h"
#include "common/DebugLog.h"
#include "devices/TDevice.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// What the volume makes of a boot record: the arithmetic of its Open.
struct Geometry {
  std::uint32_t spc = 0, reserved = 0, fats = 0, rootEntries = 0, fatSize = 0, total = 0, rootCluster = 0;
  std::uint32_t firstData = 0, clusterCount = 0;
  std::uint8_t type = ftNone;
};

Geometry Parse(const std::uint8_t* record) {
  const ByteSpan b(record, 90);
  Geometry g{b[13],
             Le16(b, 14),
             b[16],
             Le16(b, 17),
             Le16(b, 22) ? Le16(b, 22) : Le32(b, 36),
             Le16(b, 19) ? Le16(b, 19) : Le32(b, 32)};
  const std::uint32_t bytesPerSector = Le16(b, 11);
  if (bytesPerSector == 0 || g.spc == 0) return g;
  g.firstData = g.fats * g.fatSize + g.reserved + (g.rootEntries * 32 + bytesPerSector - 1) / bytesPerSector;
  if (g.total < g.firstData) return g;
  g.clusterCount = (g.total - g.firstData) / g.spc;
  g.type = g.clusterCount < 4085 ? ftFAT12 : g.clusterCount < 65525 ? ftFAT16 : ftFAT32;
  if (g.type == ftFAT32) g.rootCluster = Le32(b, 44);
  return g;
}

struct Rebuilt {
  std::uint32_t start;
  Geometry built;
  std::uint8_t fatType;  // the analyser's findings when it called the sink
  std::uint32_t dataStart;
};

// An analyser over a 512-byte device whose sink records what it rebuilds.
struct Scan : IRebuiltVolumeSink {
  TDevice device;
  TFATAnalyser analyser;
  std::vector<Rebuilt> volumes;
  unsigned completions = 0;

  Scan() {
    analyser.Start(&device);
    analyser.Sink = this;
  }
  ~Scan() override { analyser.Finish(); }
  bool AddRebuiltVolume(TDevice*, std::uint32_t start, const std::uint8_t* record) override {
    volumes.push_back({start, Parse(record), analyser.FATType, analyser.DataStart});
    return true;
  }
  void Feed(std::uint32_t sectorNo, const std::uint8_t* sector) {
    completions += analyser.AnalyseSector(&device, sectorNo, 512, sector);
  }
  void Feed(std::uint32_t sectorNo, const Bytes& sector) { Feed(sectorNo, sector.data()); }
  void Feed(std::initializer_list<std::pair<std::uint32_t, Bytes>> sectors) {
    for (const auto& [sectorNo, sector] : sectors) Feed(sectorNo, sector);
  }
};

Bytes FATStartSector(std::uint8_t type, std::size_t differing = 0) {
  const std::uint32_t end = type == ftFAT32 ? 0x0FFFFFFF : type == ftFAT16 ? 0xFFFF : 0xFFF;
  Bytes s(512, 0);
  auto put = [&](std::uint32_t j, std::uint32_t v) {
    if (type == ftFAT32) return PutLe32(s, j * 4, v);
    if (type == ftFAT16) return PutLe16(s, j * 2, static_cast<std::uint16_t>(v));
    const std::uint16_t w = Le16(s, j + j / 2);
    PutLe16(s, j + j / 2, static_cast<std::uint16_t>((j & 1) ? (w & 0xF) | (v << 4) : (w & 0xF000) | (v & 0xFFF)));
  };
  for (std::uint32_t j = 0; j < 43; ++j) put(j, j == 0 ? end - 7 : j < 3 || j == 42 ? end : j + 1);
  // A copy that lags behind by a few entries: distinct used values in free entries.
  for (std::size_t i = 0; i < differing; ++i) s[400 + i] = static_cast<std::uint8_t>(i + 1);
  return s;
}

// A full root sector: the volume label and fifteen files.
Bytes LabelSector() {
  Bytes s(512, 0);
  std::memcpy(s.data(), "RESCUE     \x08", 12);
  for (std::size_t e = 32; e < 512; e += 32) {
    std::memcpy(&s[e], ("DATA" + std::to_string(e / 32 + 10) + "  BIN\x20").data(), 12);
    PutLe16(s, e + 26, static_cast<std::uint16_t>(e / 32 + 20));
  }
  return s;
}

Bytes DotSector(std::uint32_t cluster) {
  Bytes s(512, 0);
  std::memcpy(&s[0], ".          \x10", 12);
  std::memcpy(&s[32], "..         \x10", 12);
  PutLe16(s, 20, static_cast<std::uint16_t>(cluster >> 16));
  PutLe16(s, 26, static_cast<std::uint16_t>(cluster));
  return s;
}

struct DebugLines : IDebugSink {
  DebugLines() { SetDebugSink(this); }
  ~DebugLines() override { SetDebugSink(nullptr); }
  void Add(const std::string& text) override { lines.push_back(text); }
  std::vector<std::string> lines;
};

TEST(AnalyserScan, FixedRootAndClusterSizeFromTwoDotEntries) {
  DebugLines debug;
  Scan scan;
  scan.Feed(10000, FATStartSector(ftFAT16));
  scan.Feed(10030, FATStartSector(ftFAT16, 15));  // a copy: fewer than 16 bytes differ
  scan.Feed(10060, LabelSector());                // first sector of the fixed root area
  scan.Feed(10100, DotSector(5));
  EXPECT_EQ(scan.analyser.FATSize, 30u);
  scan.Feed(10132, DotSector(9));
  ASSERT_EQ(scan.volumes.size(), 1u);
  const Rebuilt& v = scan.volumes[0];
  EXPECT_EQ(v.dataStart, 10076u);
  EXPECT_EQ(v.start, 9999u);
  EXPECT_EQ(std::vector<std::uint32_t>({v.built.spc, v.built.fats, v.built.fatSize, v.built.rootEntries, v.built.type}),
            std::vector<std::uint32_t>({8, 2, 30, 16 * 16, ftFAT16}));
  EXPECT_EQ(v.start + v.built.firstData, 10076u);
  EXPECT_EQ(debug.lines,
            (std::vector<std::string>{"FAT开始扇区: 10000, 结束扇区: 10029", "数据开始扇区: 10076", "根群: 0\r"}));
  EXPECT_FALSE(scan.analyser.FATFound) << "reset after completion";
}

TEST(AnalyserScan, SingleFATEndsAtTheDataAreaOrTheFixedRoot) {
  Scan fat32;
  fat32.Feed({{5000, FATStartSector(ftFAT32)}, {5100, LabelSector()}, {5108, DotSector(3)}, {5116, DotSector(4)}});
  ASSERT_EQ(fat32.volumes.size(), 1u);
  const Geometry& g = fat32.volumes[0].built;
  EXPECT_EQ(std::vector<std::uint32_t>({g.fats, g.fatSize, g.rootCluster, g.type}),
            std::vector<std::uint32_t>({1, 100, 2, ftFAT32}));

  Scan fat16;  // the FAT ends in front of the labelled root sector, not at cluster 2
  fat16.Feed({{3000, FATStartSector(ftFAT16)}, {3040, LabelSector()}, {3100, DotSector(3)}, {3104, DotSector(4)}});
  ASSERT_EQ(fat16.volumes.size(), 1u);
  EXPECT_EQ(fat16.volumes[0].built.fatSize, 40u);
  EXPECT_EQ(fat16.volumes[0].built.rootEntries, 56u * 16);
  EXPECT_EQ(fat16.volumes[0].start + fat16.volumes[0].built.firstData, 3096u);
}

TEST(AnalyserScan, CountsOnlyCopiesOfTheFirstFATStart) {
  Scan scan;
  TFATAnalyser& a = scan.analyser;
  scan.Feed(100, FATStartSector(ftFAT16));
  scan.Feed(150, FATStartSector(ftFAT16, 16));
  EXPECT_EQ(a.FATCount, 1u) << "16 differing bytes";
  scan.Feed(160, FATStartSector(ftFAT16, 15));
  EXPECT_EQ(std::vector<std::uint32_t>({a.FATCount, a.FATSize, a.FATEnd, a.ClusterCount}),
            std::vector<std::uint32_t>({2, 60, 159, 60 * 256 - 2}));
  scan.Feed(220, FATStartSector(ftFAT16));
  scan.Feed(300, FATStartSector(ftFAT16));  // not where a fourth copy would be
  EXPECT_EQ(std::vector<std::uint32_t>({a.FATCount, a.FATSize, a.FATEnd}), std::vector<std::uint32_t>({3, 60, 159}))
      << "a third copy does not stretch one FAT";
}

TEST(AnalyserScan, SkipsEvidenceThatFitsNoVolume) {
  Scan scan;
  TFATAnalyser& a = scan.analyser;
  scan.Feed(100, FATStartSector(ftFAT32));
  scan.Feed(130, FATStartSector(ftFAT32));
  scan.Feed(140, LabelSector());  // inside the second FAT: dropped once cluster 2 is known
  scan.Feed(168, DotSector(1));   // "." never names cluster 1
  scan.Feed(176, DotSector(10));
  for (std::uint32_t cluster : {10u, 8u, 11u, 13u, 0x10000000u})  // none gives cluster 2 at 160 with a power of two
    scan.Feed(180, DotSector(cluster));
  EXPECT_EQ(a.SectorsPerCluster, 0u);
  scan.Feed(180, DotSector(12));
  EXPECT_EQ(a.SectorsPerCluster, 2u);
  EXPECT_EQ(a.DataStart, 160u);
  EXPECT_FALSE(a.RootFound);
  Bytes twoLabels = LabelSector();
  std::memcpy(&twoLabels[480], "SECOND     \x08", 12);
  PutLe16(twoLabels, 506, 0);
  scan.Feed(200, twoLabels);
  EXPECT_TRUE(scan.volumes.empty());
  scan.Feed(201, LabelSector());  // offset 1 of cluster 22, after a run of two folder sectors
  ASSERT_EQ(scan.volumes.size(), 1u);
  EXPECT_EQ(scan.volumes[0].built.rootCluster, 22u);
}

// Sequences made from the evidence of a random layout (FAT starts, copies, a
// labelled root, "." sectors at their clusters), shifted now and then, mixed
// with stray starts, labels, "." entries and noise, up to the end of the
// 32-bit sector range: never a crash, and what is rebuilt is what its boot
// record describes.
TEST(AnalyserScan, HostileSequencesRebuildOnlyConsistentVolumes) {
  std::mt19937 rng(77);
  auto pick = [&](std::uint64_t n) { return static_cast<std::uint32_t>(rng() % n); };
  const std::uint8_t types[] = {ftFAT12, ftFAT16, ftFAT32};
  std::size_t rebuilt = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::uint8_t type = types[pick(3)];
    const std::uint64_t fatStart = pick(4) ? pick(200000) : 0xFFFFFFFFull - pick(20000);
    const std::uint64_t fatSize = pick(4) ? 1 + pick(300) : pick(0x100000), copies = 1 + pick(3);
    const std::uint64_t rootArea = type == ftFAT32 ? 0 : pick(40), perCluster = std::uint64_t{1} << pick(8);
    const std::uint64_t dataStart = fatStart + copies * fatSize + rootArea;
    auto shifted = [&](std::uint64_t sector) { return pick(5) ? sector : sector + pick(16) - 8; };
    std::vector<std::pair<std::uint64_t, Bytes>> events;
    for (std::uint64_t k = 0; k < copies; ++k)
      events.emplace_back(shifted(fatStart + k * fatSize), FATStartSector(type));
    events.emplace_back(shifted(type == ftFAT32 ? dataStart + pick(4) * perCluster : dataStart - rootArea),
                        LabelSector());
    for (int d = 0; d < 3; ++d) {
      const std::uint32_t cluster = 3 + pick(d == 2 ? 0x0FFFFFFF : 500);
      events.emplace_back(shifted(dataStart + (cluster - 2) * perCluster), DotSector(cluster));
    }
    for (int extra = pick(6); extra > 0; --extra) {
      Bytes s(512);
      for (auto& b : s) b = static_cast<std::uint8_t>(rng());
      const Bytes choices[] = {FATStartSector(types[pick(3)]), LabelSector(),
                               DotSector(static_cast<std::uint32_t>(rng())), s};
      events.emplace_back(fatStart + pick(4 * (dataStart - fatStart) + 100), choices[pick(4)]);
    }
    std::stable_sort(events.begin(), events.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    Scan scan;
    for (const auto& [sector, bytes] : events)
      if (sector <= 0xFFFFFFFFull) scan.Feed(static_cast<std::uint32_t>(sector), bytes);
    for (const Rebuilt& v : scan.volumes) {
      const Geometry& g = v.built;
      ASSERT_EQ(g.type, v.fatType) << "round " << round;
      ASSERT_EQ(std::uint64_t{v.start} + g.firstData, v.dataStart) << "round " << round;
      ASSERT_TRUE(g.spc <= 128 && (g.spc & (g.spc - 1)) == 0) << "round " << round;
      ASSERT_TRUE(g.type != ftFAT32 || (g.rootCluster >= 2 && g.rootCluster <= g.clusterCount + 1))
          << "round " << round;
      ++rebuilt;
    }
  }
  EXPECT_GT(rebuilt, 100u) << "the coherent part of the sequences should rebuild now and then";
}

// ---- real volumes -----------------------------------------------------------

std::string Text(std::size_t bytes, const std::string& seed) {
  std::string s;
  for (int line = 0; s.size() < bytes; ++line) s += seed + " line " + std::to_string(line) + ": the quick brown fox\n";
  return s.substr(0, bytes);
}

// mkfs.fat, then mtools: a large file first (a long chain in the first FAT
// sector), a root that fills its first sector with short and long names, and
// nested folders.
std::string MakeImage(const test::TempDir& dir, const std::string& name, const std::string& mkfsArgs, int kilobytes) {
  const std::string image = dir / name, files = dir / (name + ".files"), img = " -i '" + image + "' ";
  const std::string mtools = "MTOOLS_SKIP_CHECK=1 SOURCE_DATE_EPOCH=1700000000 TZ=UTC ";
  EXPECT_TRUE(test::Run("mkdir -p '" + files + "' && mkfs.fat -C " + mkfsArgs + " -n RESCUE --invariant -i 12345678 '" +
                        image + "' " + std::to_string(kilobytes) + " >/dev/null"));
  test::WriteFile(files + "/BIG.TXT", Text(200 * 1024, "big"));
  std::string root;
  for (int i = 0; i < 20; ++i) {
    const std::string file = (i % 4 ? "FILE" : "Long file name ") + std::to_string(i) + (i % 4 ? ".TXT" : ".txt");
    test::WriteFile(files + "/" + file, Text(700 + 900 * i, file));
    root += " '" + files + "/" + file + "'";
  }
  EXPECT_TRUE(test::Run(mtools + "mcopy" + img + "'" + files + "/BIG.TXT' ::/ && " + mtools + "mcopy" + img + root +
                        " ::/ && " + mtools + "mmd" + img + "::/DOCS ::/DOCS/DEEP ::/PHOTOS ::/PHOTOS/2023"));
  for (const char* folder : {"::/DOCS", "::/DOCS/DEEP", "::/PHOTOS", "::/PHOTOS/2023"})
    EXPECT_TRUE(test::Run(mtools + "mcopy" + img + "'" + files + "/FILE1.TXT' '" + files + "/FILE2.TXT' " + folder));
  return test::ReadFile(image);
}

// Wipes the boot sector at byte offset and, on FAT32, its backup; returns the real geometry.
Geometry WipeBootSector(std::string& image, std::size_t offset) {
  const auto* boot = reinterpret_cast<const std::uint8_t*>(image.data() + offset);
  const Geometry real = Parse(boot);
  const std::size_t backup = real.type == ftFAT32 ? Le16(ByteSpan(boot, 512), 50) : 0;
  std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(offset), 512, '\0');
  std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(offset + backup * 512), 512, '\0');
  return real;
}

void FeedImage(Scan& scan, const std::string& image) {
  for (std::size_t off = 0; off + 512 <= image.size(); off += 512)
    scan.Feed(static_cast<std::uint32_t>(off / 512), reinterpret_cast<const std::uint8_t*>(image.data() + off));
}

void ExpectRebuiltLike(const Rebuilt& v, const Geometry& real, std::uint32_t realStart) {
  // One reserved sector is assumed in front of the first FAT (mkfs.fat keeps
  // 1 on FAT12, 4 on FAT16 and 32 on FAT32), so the rebuilt volume starts
  // reserved - 1 sectors late; every sector it addresses lies where the real
  // volume has it.
  EXPECT_EQ(v.start, realStart + real.reserved - 1);
  EXPECT_EQ(
      std::vector<std::uint32_t>(
          {v.built.type, v.built.spc, v.built.fats, v.built.fatSize, v.built.rootCluster, v.built.rootEntries}),
      std::vector<std::uint32_t>({real.type, real.spc, real.fats, real.fatSize, real.rootCluster, real.rootEntries}));
  EXPECT_EQ(v.start + v.built.firstData, realStart + real.firstData) << "cluster 2 at the same sector";
  EXPECT_GE(std::uint64_t{v.start} + v.built.total,
            std::uint64_t{realStart} + real.firstData + std::uint64_t{real.clusterCount} * real.spc)
      << "the rebuilt volume covers the real data area";
}

struct RealCase {
  const char* name;
  const char* mkfsArgs;
  int kilobytes;
};
void PrintTo(const RealCase& c, std::ostream* os) { *os << c.name; }

class AnalyserRealVolume : public testing::TestWithParam<RealCase> {};

TEST_P(AnalyserRealVolume, RebuildsTheVolumeWithoutItsBootSector) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  std::string image = MakeImage(dir, "volume.img", GetParam().mkfsArgs, GetParam().kilobytes);
  const Geometry real = WipeBootSector(image, 0);
  Scan scan;
  FeedImage(scan, image);
  ASSERT_EQ(scan.volumes.size(), 1u);
  EXPECT_EQ(scan.completions, 1u);
  ExpectRebuiltLike(scan.volumes[0], real, 0);
}

INSTANTIATE_TEST_SUITE_P(AnalyserMkfsFat, AnalyserRealVolume,
                         testing::Values(RealCase{"FAT12", "-F 12", 2000}, RealCase{"FAT16", "-F 16", 20000},
                                         RealCase{"FAT32", "-F 32 -s 1", 40000},
                                         RealCase{"FAT16OneFAT", "-F 16 -f 1 -s 2", 20000},
                                         RealCase{"FAT32OneFAT", "-F 32 -f 1 -s 2", 70000}),
                         [](const testing::TestParamInfo<RealCase>& param) { return std::string(param.param.name); });

TEST(AnalyserRealVolumes, RebuildsTwoVolumesInOnePassAndNothingFromGarbage) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  const std::string gap(100 * 512, '\0');
  std::string image = gap + MakeImage(dir, "a.img", "-F 12", 2000) + gap;
  const auto second = static_cast<std::uint32_t>(image.size() / 512);
  image += MakeImage(dir, "b.img", "-F 32 -s 1", 40000);
  const Geometry realA = WipeBootSector(image, 100 * 512), realB = WipeBootSector(image, std::size_t{second} * 512);
  Scan scan;
  FeedImage(scan, image);
  ASSERT_EQ(scan.volumes.size(), 2u);
  ExpectRebuiltLike(scan.volumes[0], realA, 100);
  ExpectRebuiltLike(scan.volumes[1], realB, second);

  std::mt19937 rng(5);
  std::string garbage = Text(5 << 20, "garbage");
  for (std::size_t i = 0; i < garbage.size() / 2; ++i) garbage[i] = static_cast<char>(rng());
  Scan none;
  FeedImage(none, garbage);
  EXPECT_TRUE(none.volumes.empty());
  EXPECT_FALSE(none.analyser.FATFound);
}

}  // namespace
}  // namespace vantrel
