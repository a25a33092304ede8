// exFAT volumes built byte by byte: entry sets, files without a FAT chain
// and with a valid length short of their size, deleted sets and their
// condition from the bitmap, and damaged boot regions, sets and chains.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/Bytes.h"
#include "format/ExFATFormat.h"
#include "fs/FileData.h"
#include "fs/TExFATDirectory.h"
#include "fs/TExFATdrive.h"
#include "support/FixtureDisk.h"

namespace vantrel::test {
namespace {

// 512-byte sectors and clusters: FAT at 24, heap at 32, 200 clusters; the
// bitmap in cluster 2, the up-case table in 3, the root in 4.
constexpr std::uint32_t kHeap = 32, kClusters = 200, kRoot = 4;

class ExFATImage {
 public:
  ExFATImage() : bytes_(512 * 256, 0) {
    std::uint8_t* b = bytes_.data();
    const std::uint8_t jump[] = {0xEB, 0x76, 0x90, 'E', 'X', 'F', 'A', 'T', ' ', ' ', ' '};
    std::copy(std::begin(jump), std::end(jump), b);
    std::span<std::uint8_t> s(b, 512);
    PutLe32(s, kExFATVolumeLength, 256);
    PutLe32(s, kExFATFatOffset, 24);
    PutLe32(s, kExFATFatLength, 8);
    PutLe32(s, kExFATClusterHeapOffset, kHeap);
    PutLe32(s, kExFATClusterCount, kClusters);
    PutLe32(s, kExFATRootCluster, kRoot);
    s[kExFATBytesPerSectorShift] = 9;
    s[kExFATSectorsPerClusterShift] = 0;
    s[kExFATNumberOfFats] = 1;
    s[510] = 0x55;
    s[511] = 0xAA;
    Fat(0, 0xFFFFFFF8);
    Fat(1, 0xFFFFFFFF);
    for (std::uint32_t c : {2u, 3u, kRoot}) Fat(c, 0xFFFFFFFF), Use(c);
    std::uint8_t bitmap[32] = {0x81};
    PutLe32(std::span<std::uint8_t>(bitmap), kExFATFirstCluster, 2);
    PutLe32(std::span<std::uint8_t>(bitmap), kExFATDataLength, (kClusters + 7) / 8);
    root_.insert(root_.end(), bitmap, bitmap + 32);
    std::uint8_t label[32] = {0x83, 4, 'T', 0, 'E', 0, 'S', 0, 'T', 0};
    root_.insert(root_.end(), label, label + 32);
  }
  void Fat(std::uint32_t cluster, std::uint32_t value) {
    PutLe32(std::span<std::uint8_t>(bytes_), 24 * 512 + cluster * 4, value);
  }
  void Use(std::uint32_t cluster) { bytes_[Cluster(2) + (cluster - 2) / 8] |= 1u << ((cluster - 2) % 8); }
  std::size_t Cluster(std::uint32_t c) const { return (kHeap + c - 2) * 512; }
  void Put(std::uint32_t cluster, const std::string& data) {
    std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(Cluster(cluster)));
  }
  // An entry set in the root (or only its first `keep` entries).
  void File(const std::u16string& name, std::uint32_t first, std::uint64_t length, std::uint64_t valid,
            bool noFatChain, bool deleted = false, std::uint16_t attributes = 0x20, int keep = -1) {
    const std::uint32_t names = static_cast<std::uint32_t>((name.size() + 14) / 15);
    std::vector<std::uint8_t> set(32 * (2 + names), 0);
    std::span<std::uint8_t> s(set);
    set[0] = deleted ? 0x05 : 0x85;
    set[1] = static_cast<std::uint8_t>(1 + names);
    PutLe16(s, kExFATAttributes, attributes);
    PutLe32(s, kExFATModifyTimestamp, (0x5B21u << 16) | 0x6000);  // 01.09.2025 12:00
    set[32] = deleted ? 0x40 : 0xC0;
    set[32 + kExFATStreamFlags] = noFatChain ? 3 : 1;
    set[32 + kExFATNameLength] = static_cast<std::uint8_t>(name.size());
    PutLe32(s, 32 + kExFATValidDataLength, static_cast<std::uint32_t>(valid));
    PutLe32(s, 32 + kExFATFirstCluster, first);
    PutLe32(s, 32 + kExFATDataLength, static_cast<std::uint32_t>(length));
    for (std::uint32_t i = 0; i < names; ++i) set[64 + 32 * i] = deleted ? 0x41 : 0xC1;
    for (std::size_t i = 0; i < name.size(); ++i) PutLe16(s, 64 + 32 * (i / 15) + 2 + 2 * (i % 15), name[i]);
    PutLe16(s, kExFATSetChecksum, ExFATSetChecksum(set.data(), 2 + names));
    if (keep >= 0) set.resize(32 * static_cast<std::size_t>(keep));
    root_.insert(root_.end(), set.begin(), set.end());
  }
  // The bytes with the root (over clusters 4, 5, ... chained in the FAT) and
  // both boot regions with their checksums.
  std::vector<std::uint8_t> Bytes() {
    std::vector<std::uint8_t> out = bytes_;
    const std::uint32_t rootClusters = static_cast<std::uint32_t>(std::max<std::size_t>(1, (root_.size() + 511) / 512));
    for (std::uint32_t i = 0; i < rootClusters; ++i) {
      PutLe32(std::span<std::uint8_t>(out), 24 * 512 + (kRoot + i) * 4, i + 1 < rootClusters ? kRoot + i + 1 : 0xFFFFFFFF);
      out[Cluster(2) + (kRoot + i - 2) / 8] |= 1u << ((kRoot + i - 2) % 8);
    }
    std::copy(root_.begin(), root_.end(), out.begin() + static_cast<std::ptrdiff_t>(Cluster(kRoot)));
    const std::uint32_t sum = ExFATBootChecksum(out.data(), 512);
    for (int i = 0; i < 128; ++i) PutLe32(std::span<std::uint8_t>(out), 11 * 512 + 4 * i, sum);
    std::copy_n(out.begin(), 12 * 512, out.begin() + 12 * 512);
    return out;
  }
  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint8_t> root_;
};

struct Opened {
  explicit Opened(std::vector<std::uint8_t> bytes) : volume(std::move(bytes)) {
    drive.Device = volume.device.get();
    drive.SectorCount = 256;
    ok = drive.Open(true);
  }
  TExFATDirectory& Root(bool deleted = false) {
    auto& dir = static_cast<TExFATDirectory&>(deleted ? *drive.DeletedDir : *drive.RootDir);
    if (!dir.Items) dir.LoadChildren(deleted, true);
    return dir;
  }
  TExFATFile* File(const std::string& name, bool deleted = false) {
    for (auto& item : *Root(deleted).Items)
      if (item->Name == name) return dynamic_cast<TExFATFile*>(item.get());
    return nullptr;
  }
  std::string Read(TExFATFile& file, std::uint8_t choice) {
    TFATStream stream(drive, choice, file.Size, file.StartCluster);
    std::string data(file.Size, '?');
    data.resize(stream.Read(reinterpret_cast<std::uint8_t*>(data.data()), file.Size));
    return data;
  }
  MemoryVolume volume;
  TExFATdrive drive;
  bool ok = false;
};

std::string Pattern(std::size_t n, char seed) {
  std::string s(n, 0);
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7 % 251);
  return s;
}

TEST(ExFATVolume, EntrySetsNoFatChainChainsAndValidLength) {
  ExFATImage image;
  const std::string a = Pattern(1500, 'a'), b = Pattern(1200, 'b');
  image.Put(10, a);
  for (std::uint32_t c : {10u, 11u, 12u}) image.Use(c);
  // b lies on clusters 20, 30, 25 by its chain.
  image.Put(20, b.substr(0, 512));
  image.Put(30, b.substr(512, 512));
  image.Put(25, b.substr(1024));
  image.Fat(20, 30), image.Fat(30, 25), image.Fat(25, 0xFFFFFFFF);
  for (std::uint32_t c : {20u, 25u, 30u}) image.Use(c);
  image.File(u"照片 de l'été 2025 (très long nom).jpg", 10, 1500, 1000, true);
  image.File(u"b.bin", 20, 1200, 1200, false);
  image.File(u"DCIM", 40, 512, 512, true, false, 0x10);
  Opened v(image.Bytes());
  ASSERT_TRUE(v.ok);
  EXPECT_EQ(v.drive.Name, "TEST");
  EXPECT_STREQ(v.drive.TypeName(), "exFAT");
  EXPECT_EQ(v.drive.FATChoice, 1);
  ASSERT_EQ(v.Root().Items->size(), 3u);
  TExFATFile* fa = v.File("照片 de l'été 2025 (très long nom).jpg");
  ASSERT_NE(fa, nullptr);
  EXPECT_TRUE(fa->NoFatChain);
  EXPECT_EQ(fa->Date, 0x5B21);
  // No chain in the FAT: read back to back whatever the choice; past the
  // valid length, zeros.
  for (std::uint8_t choice : {std::uint8_t{0}, std::uint8_t{1}})
    EXPECT_EQ(v.Read(*fa, choice), a.substr(0, 1000) + std::string(500, '\0'));
  EXPECT_EQ(v.Read(*v.File("b.bin"), 1), b);
  EXPECT_TRUE(v.Root().HasSubdirectories());
}

TEST(ExFATVolume, DeletedSetsKeepTheirNamesAndTheBitmapGivesTheirCondition) {
  ExFATImage image;
  image.Put(50, Pattern(700, 'x'));
  image.File(u"gone.txt", 50, 700, 700, true, true);   // clusters 50, 51 free
  image.File(u"taken.txt", 60, 700, 700, true, true);  // cluster 61 used again
  image.Use(61);
  image.File(u"live.txt", 61, 10, 10, true);
  Opened v(image.Bytes());
  ASSERT_TRUE(v.ok);
  EXPECT_EQ(v.Root().Items->size(), 1u);  // the live view
  TExFATFile* gone = v.File("gone.txt", true);
  TExFATFile* taken = v.File("taken.txt", true);
  ASSERT_TRUE(gone && taken);
  EXPECT_EQ(v.Root(true).Items->size(), 2u);
  EXPECT_EQ(gone->Status, isDeleted);
  EXPECT_EQ(gone->Condition, ccGood);
  EXPECT_EQ(taken->Condition, ccBad);
  EXPECT_EQ(v.Read(*gone, 0), Pattern(700, 'x'));
  // Free clusters only: past the used cluster 61.
  EXPECT_EQ(v.drive.NextFreeCluster(60), 62u);
}

TEST(ExFATVolume, DamagedBootRegionsSetsAndChainsEndClearly) {
  {
    // A broken checksum: the backup region opens the volume, with a note.
    ExFATImage image;
    image.File(u"a", 10, 1, 1, true);
    auto bytes = image.Bytes();
    bytes[kExFATClusterCount] ^= 1;
    Opened v(bytes);
    ASSERT_TRUE(v.ok);
    EXPECT_TRUE(v.drive.FromBackup);
    EXPECT_NE(v.drive.FATChoiceNote.find("备份"), std::string::npos);
    EXPECT_EQ(v.Root().Items->size(), 1u);
  }
  {
    // Both checksums broken: the main region still opens, with a note.
    ExFATImage image;
    image.File(u"a", 10, 1, 1, true);
    auto bytes = image.Bytes();
    bytes[11 * 512] ^= 1;
    bytes[23 * 512] ^= 1;
    Opened v(bytes);
    ASSERT_TRUE(v.ok);
    EXPECT_FALSE(v.drive.FromBackup);
    EXPECT_NE(v.drive.FATChoiceNote.find("校验和"), std::string::npos);
  }
  {
    // Shifts out of range in both regions: nothing to open, an empty drive.
    ExFATImage image;
    auto bytes = image.Bytes();
    bytes[kExFATSectorsPerClusterShift] = bytes[12 * 512 + kExFATSectorsPerClusterShift] = 20;
    Opened v(bytes);
    EXPECT_FALSE(v.ok);
    ASSERT_TRUE(v.drive.RootDir);
    v.Root();
  }
  {
    // A set that claims 18 secondary entries runs past the folder; a name
    // length beyond the names there; a root whose chain comes back on itself;
    // a bitmap outside the heap.
    ExFATImage image;
    image.File(u"first", 10, 1, 1, true);
    for (int i = 0; i < 40; ++i) image.File(u"filler-" + std::u16string(1, u'a' + i % 26), 10, 1, 1, true);
    image.root_[32 * 2 + 32 * 3 * 1 + 32 + kExFATNameLength] = 255;
    const std::size_t last = image.root_.size();
    image.File(u"cut", 10, 1, 1, true, false, 0x20, 1);
    image.root_[last + 1] = 18;
    auto bytes = image.Bytes();
    const std::uint32_t lastRoot = kRoot + static_cast<std::uint32_t>((image.root_.size() - 1) / 512);
    PutLe32(std::span<std::uint8_t>(bytes), 24 * 512 + lastRoot * 4, kRoot);  // the root's chain loops
    PutLe32(std::span<std::uint8_t>(bytes), image.Cluster(kRoot) + kExFATFirstCluster, 5000);
    Opened v(bytes);
    ASSERT_TRUE(v.ok);
    EXPECT_FALSE(v.drive.IsClusterFree(100));
    const auto& items = *v.Root().Items;
    EXPECT_EQ(items.size(), 41u);
    EXPECT_EQ(items.front()->Name, "first");
    EXPECT_EQ(items[1]->Name, "filler-a");
  }
}

}  // namespace
}  // namespace vantrel::test
