// The analyser's building blocks on crafted bytes, and its FAT test against
// a plain quadratic reading of the rule.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "common/Bytes.h"
#include "devices/TDevice.h"
#include "fs/FATBlocks.h"

namespace vantrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t EndOf(std::uint8_t type) { return type == ftFAT32 ? 0x0FFFFFFF : type == ftFAT16 ? 0xFFFF : 0xFFF; }

void PutEntry(Bytes& s, std::uint32_t j, std::uint32_t v, std::uint8_t type) {
  if (type == ftFAT32) return PutLe32(s, j * 4, v);
  if (type == ftFAT16) return PutLe16(s, j * 2, static_cast<std::uint16_t>(v));
  const std::uint16_t w = Le16(s, j + j / 2);
  PutLe16(s, j + j / 2, static_cast<std::uint16_t>((j & 1) ? (w & 0xF) | (v << 4) : (w & 0xF000) | (v & 0xFFF)));
}

// A FAT's first sector: media entry, two ends of chain, a file in clusters 3 .. 2 + length.
Bytes FATStartSector(std::uint8_t type, std::uint32_t length, std::size_t size = 512) {
  Bytes s(size, 0);
  for (std::uint32_t j = 0; j < 3; ++j) PutEntry(s, j, EndOf(type) - (j == 0 ? 7 : 0), type);
  for (std::uint32_t c = 3; c < 3 + length; ++c) PutEntry(s, c, c + 1 < 3 + length ? c + 1 : EndOf(type), type);
  return s;
}

struct FATVerdict {
  bool passed = false;
  std::uint8_t type = ftNone;
  bool isStart = false;
  bool operator==(const FATVerdict&) const = default;
};

FATVerdict Detect(const Bytes& s) {
  FATVerdict v;
  v.passed = DetectFAT(s.data(), s.size(), v.type, v.isStart);
  return v;
}

// The rule read literally: each used entry counts the other examined entries
// holding its value, and five or more fail the type.
FATVerdict DetectQuadratic(const Bytes& s) {
  for (const std::uint8_t type : {ftFAT32, ftFAT16, ftFAT12}) {
    const bool isStart = IsFATStart(s.data(), s.size(), type);
    const std::size_t n = type == ftFAT32 ? s.size() / 4 : type == ftFAT16 ? s.size() / 2 : s.size() * 2 / 3;
    std::uint32_t previous = 0, links = 0, first = isStart ? 2 : 0;
    bool failed = false;
    for (std::uint32_t j = first; j < n && !failed; ++j) {
      const std::uint32_t v = GetEntry(s.data(), s.size(), j, type);
      const TFATEntryKind kind = ClassifyEntry(type, v);
      if (kind == feEndOfChain) previous = 0;
      if (kind != feUsed) continue;
      int duplicates = 0;
      for (std::uint32_t k = first; k < n; ++k) duplicates += k != j && GetEntry(s.data(), s.size(), k, type) == v;
      failed = duplicates > 4;
      links += v == previous + 1;
      previous = v;
    }
    if (!failed && links > 16) return {true, type, isStart};
  }
  return {};
}

TEST(AnalyserFATSector, TypesLinksAndDuplicates) {
  EXPECT_EQ(Detect(Bytes(512, 0)), FATVerdict{});
  // F8 FF FF FF 03 00 04 00 ...: read as 32-bit values nothing ascends by one.
  EXPECT_EQ(Detect(FATStartSector(ftFAT16, 40)), (FATVerdict{true, ftFAT16, true}));
  EXPECT_EQ(Detect(FATStartSector(ftFAT32, 40)), (FATVerdict{true, ftFAT32, true}));
  EXPECT_EQ(Detect(FATStartSector(ftFAT12, 40)), (FATVerdict{true, ftFAT12, true}));
  // A chain of 19 clusters gives 17 links: its first entry starts the run.
  EXPECT_TRUE(Detect(FATStartSector(ftFAT16, 19)).passed);
  EXPECT_FALSE(Detect(FATStartSector(ftFAT16, 18)).passed);

  Bytes s = FATStartSector(ftFAT16, 60);
  for (std::uint32_t j = 100; j < 105; ++j) PutEntry(s, j, 0x777, ftFAT16);
  EXPECT_TRUE(Detect(s).passed) << "five holders: four others each";
  PutEntry(s, 105, 0x777, ftFAT16);
  EXPECT_FALSE(Detect(s).passed) << "six holders, however many links";

  // A 1 right after an end of chain continues the chain from 0.
  Bytes ones(512, 0);
  for (std::uint32_t j = 0; j < 6; j += 2) PutEntry(ones, j, 0xFFFF, ftFAT16), PutEntry(ones, j + 1, 1, ftFAT16);
  for (std::uint32_t j = 0; j < 15; ++j) PutEntry(ones, 10 + j, 100 + j, ftFAT16);
  EXPECT_EQ(Detect(ones), (FATVerdict{true, ftFAT16, false}));
  PutEntry(ones, 5, 2, ftFAT16);
  EXPECT_FALSE(Detect(ones).passed);
}

TEST(AnalyserFATSector, FastCountAgreesWithTheQuadraticRule) {
  std::mt19937 rng(20240611);
  auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
  int passed = 0;
  const int rounds = 2400;
  for (int round = 0; round < rounds; ++round) {
    const std::size_t sizes[] = {512, 512, 512, 1024, 2048, 513, 100, 3};
    Bytes s(sizes[pick(8)], 0);
    const auto type = static_cast<std::uint8_t>(1 + pick(3));
    const auto n = static_cast<std::uint32_t>(type == ftFAT32   ? s.size() / 4
                                              : type == ftFAT16 ? s.size() / 2
                                                                : s.size() * 2 / 3);
    switch (pick(4)) {
      case 0:  // noise, dense or mostly zero
        for (auto& b : s) b = pick(2) || !pick(4) ? static_cast<std::uint8_t>(rng()) : 0;
        break;
      case 1:  // one chain hopping over free, reserved and end-of-chain entries
        for (std::uint32_t j = pick(3), v = pick(3) ? 1 + pick(2) : 500; j < n; ++j) {
          const std::uint32_t gap = pick(4);
          PutEntry(s, j,
                   gap == 0 && !pick(6) ? EndOf(type)
                   : gap == 1           ? EndOf(type) - 8 - pick(7)
                   : gap == 2           ? 0
                                        : v++,
                   type);
        }
        break;
      default:  // a FAT start, or not, with ascending runs here and there
        if (pick(2)) s = FATStartSector(type, std::min<std::uint32_t>(n > 4 ? n - 4 : 0, 10 + pick(40)), s.size());
        for (std::uint32_t j = 0; j + 1 < n; ++j)
          if (!pick(3)) PutEntry(s, j, 100 + j, type);
    }
    for (std::uint32_t h = pick(9), v = 100 + pick(50); h > 0 && n > 0; --h) PutEntry(s, pick(n), v, type);
    if (!pick(4)) PutEntry(s, 0, EndOf(type) - 7, type);
    const FATVerdict fast = Detect(s);
    ASSERT_EQ(fast, DetectQuadratic(s)) << "round " << round << " size " << s.size();
    passed += fast.passed;
  }
  EXPECT_GT(passed, rounds / 8) << "both outcomes must be well represented";
  EXPECT_LT(passed, rounds * 7 / 8);
}

// A full directory sector: a volume label and fifteen files.
Bytes DirSector() {
  Bytes s(512, 0);
  std::memcpy(s.data(), "VOLUME     \x08", 12);
  for (std::size_t e = 32; e < 512; e += 32) {
    std::memcpy(&s[e], ("FILE" + std::to_string(e / 32 + 10) + "  TXT\x20").data(), 12);
    PutLe16(s, e + 14, 0x5A4B);                                          // 11:18:22
    for (std::size_t date : {16, 18, 24}) PutLe16(s, e + date, 0x466E);  // 2015-03-14
    PutLe16(s, e + 22, 0x5A4B);
    PutLe16(s, e + 26, static_cast<std::uint16_t>(e / 32 + 10));
    PutLe32(s, e + 28, 1000);
  }
  return s;
}

TEST(AnalyserDirectorySector, NamesTheReasonOfEachRejection) {
  struct Case {
    const char* what;
    void (*change)(Bytes&);
    TDirSectorVerdict expected;
  };
  const Case cases[] = {
      {"plain", [](Bytes&) {}, dsOk},
      {"deleted, 0x05, lower case, high bytes",
       [](Bytes& s) { s[64] = 0xE5, s[96] = 0x05, s[129] = 'a', s[160] = 0x80; }, dsOk},
      {"long name: last piece, then a piece under it",
       [](Bytes& s) { std::fill(&s[32], &s[96], 0), s[32] = 0x42, s[64] = 0x01, s[43] = s[75] = 0x0F; }, dsOk},
      {"long-name piece with nothing pending",
       [](Bytes& s) { std::fill(&s[64], &s[96], 0), s[64] = 0x01, s[75] = 0x0F; }, dsBadName},
      {"largest values",
       [](Bytes& s) {
         PutLe32(s, 60, 64 * 512 + 511), PutLe16(s, 58, 101), PutLe16(s, 54, 0xBF7D), PutLe16(s, 56, 0xFF9F);
       },
       dsOk},
      {"first entry ends the folder", [](Bytes& s) { std::fill(&s[0], &s[32], 0); }, dsEndOfDirectory},
      {"a short folder ends in zeros", [](Bytes& s) { std::fill(&s[96], &s[512], 0); }, dsOk},
      {"bytes after the end of the folder", [](Bytes& s) { std::fill(&s[96], &s[500], 0); }, dsBadName},
      {"empty file without cluster", [](Bytes& s) { s[64 + 26] = s[64 + 27] = s[64 + 20] = s[64 + 21] = 0;
                                                    s[64 + 28] = s[64 + 29] = s[64 + 30] = s[64 + 31] = 0; }, dsOk},
      {"folder without cluster", [](Bytes& s) { s[64 + 26] = s[64 + 27] = s[64 + 20] = s[64 + 21] = 0;
                                                s[64 + 11] = 0x10; }, dsBadCluster},
      {"dot entry", [](Bytes& s) { std::memcpy(&s[32], ".          ", 11); }, dsBadName},
      {"question mark", [](Bytes& s) { s[40] = '?'; }, dsBadName},
      {"0x05 not first", [](Bytes& s) { s[33] = 0x05; }, dsBadName},
      {"cluster 1", [](Bytes& s) { PutLe16(s, 58, 1); }, dsBadCluster},
      {"cluster past the volume", [](Bytes& s) { PutLe16(s, 52, 1); }, dsBadCluster},
      {"label with a cluster", [](Bytes& s) { PutLe16(s, 26, 5); }, dsBadCluster},
      {"attribute 0x40", [](Bytes& s) { s[43] = 0x60; }, dsBadAttribute},
      {"file larger than the volume", [](Bytes& s) { PutLe32(s, 60, 65 * 512); }, dsTooLarge},
      {"minute 60", [](Bytes& s) { PutLe16(s, 54, 60 << 5); }, dsBadTime},
      {"second 60", [](Bytes& s) { PutLe16(s, 46, 30); }, dsBadTime},
      {"month 13", [](Bytes& s) { PutLe16(s, 56, (13 << 5) | 1); }, dsBadDate},
      {"day 0", [](Bytes& s) { PutLe16(s, 48, 1 << 5); }, dsBadDate},
      {"half a sector", [](Bytes& s) { s.resize(511); }, dsTooShort},
  };
  for (const Case& c : cases) {
    Bytes s = DirSector();
    c.change(s);
    EXPECT_EQ(CheckDirectorySector(s.data(), s.size(), 100, 64), c.expected) << c.what;
  }
  const Bytes s = DirSector();
  EXPECT_EQ(CheckDirectorySector(s.data(), s.size(), 0xFFFFFFFF, 0xFFFFFFFF), dsOk)
      << "no overflow at the widest bound";
}

TEST(AnalyserDirEntries, DotEntriesLabelsNamesAndBootSectors) {
  Bytes d(512, 0);
  std::memcpy(&d[0], ".          \x10", 12);
  std::memcpy(&d[32], "..         \x10", 12);
  PutLe16(d, 20, 1), PutLe16(d, 26, 0x2345);
  std::uint32_t cluster = 0, index = 0xFFFFFFFF;
  EXPECT_TRUE(HasDotEntries(d.data(), d.size(), cluster) && cluster == 0x12345u);
  EXPECT_FALSE(HasDotEntries(d.data(), 63, cluster)) << "\"..\" cut off";
  EXPECT_FALSE(NextDirEntry(d.data(), d.size(), d.data(), index)) << "no overflow of the offset";
  d[43] = 0x20;
  EXPECT_FALSE(HasDotEntries(d.data(), d.size(), cluster)) << "\"..\" is no folder";

  Bytes s = DirSector();
  s[0] = '2';  // a first byte without bit 0x40 is no label
  EXPECT_FALSE(HasVolumeLabel(s.data(), s.size()));
  std::memcpy(&s[0], "A B C   D E", 11);
  EXPECT_EQ(ShortNameToString(s.data()), "ABC.DE");

  Bytes boot(512, 0);
  boot[0] = 0xEB, boot[510] = 0x55, boot[511] = 0xAA;
  PutLe16(boot, 11, 4096);
  EXPECT_TRUE(IsBootSector(boot.data(), boot.size()));
  EXPECT_FALSE(IsBootSector(boot.data(), 511));
  PutLe16(boot, 11, 256);
  EXPECT_FALSE(IsBootSector(boot.data(), boot.size()));
}

TEST(AnalyserBootSector, BuildsTheRecordAndPlacesTheTotal) {
  TDevice fixed, removable;
  removable.Flags = 1;
  std::array<std::uint8_t, kBootRecordSize> r;
  r.fill(0xCC);
  const ByteSpan b(r);
  // 1 reserved + 2 × 100 FAT sectors + 32 root sectors + 2 × 32651 = 65535.
  ASSERT_TRUE(BuildBootSector(&fixed, r, 32651, 2, 100, 0, 512, 2, ftFAT16));
  EXPECT_EQ(std::vector<int>({Le16(b, 11), b[13], Le16(b, 14), b[16], Le16(b, 17), Le16(b, 19), b[21], Le16(b, 22)}),
            std::vector<int>({512, 2, 1, 2, 512, 65535, 0xF8, 100}));
  EXPECT_EQ(Le32(b, 32) | Le32(b, 36) | b[0] | b[89], 0u);
  ASSERT_TRUE(BuildBootSector(&removable, r, 32651, 2, 100, 0, 528, 2, ftFAT16));  // one root sector more
  EXPECT_EQ(Le16(b, 19), 0);
  EXPECT_EQ(Le32(b, 32), 65536u);
  EXPECT_EQ(b[21], 0xF0);
  ASSERT_TRUE(BuildBootSector(&fixed, r, 137854, 2, 1077, 2, 0, 1, ftFAT32));
  EXPECT_EQ(std::vector<std::uint32_t>({Le16(b, 22), Le32(b, 32), Le32(b, 36), Le32(b, 44)}),
            std::vector<std::uint32_t>({0, 137854 + 1 + 2154, 1077, 2}));
  // A total past 32 bits would wrap into a volume that ends before its data.
  EXPECT_FALSE(BuildBootSector(&fixed, r, 0x0FFFFFF5, 2, 1 << 21, 2, 0, 128, ftFAT32));
  EXPECT_EQ(std::count(r.begin(), r.end(), 0), static_cast<std::ptrdiff_t>(r.size()));

  // The estimate stays inside its type, or the record would parse as another.
  EXPECT_EQ(EstimateClusterCount(ftFAT12, 9, 512), 3070u);
  EXPECT_EQ(EstimateClusterCount(ftFAT12, 12, 512), 4084u);
  EXPECT_EQ(EstimateClusterCount(ftFAT16, 256, 512), 65524u);
  EXPECT_EQ(EstimateClusterCount(ftFAT32, 100, 512), 65525u);
}

}  // namespace
}  // namespace vantrel
