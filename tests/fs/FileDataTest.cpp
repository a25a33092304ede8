// Reading file contents on volumes made by mkfs.fat and mtools: live files
// through the FAT (fragmented ones too), deleted files as consecutive
// clusters, chains that end early or reach the first and the last cluster,
// unreadable sectors, and the viewer's stream with its seeks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "devices/ReadAheadCache.h"
#include "devices/TDevice.h"
#include "diskio/HostDiskPlatform.h"
#include "fs/FileData.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "recovery/TDriveList.h"
#include "support/FakePlatform.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

using test::TempDir;

// Bytes that differ from file to file and from sector to sector.
using test::Pattern;

const char* kToolEnv = "MTOOLS_SKIP_CHECK=1 SOURCE_DATE_EPOCH=1700000000 TZ=UTC ";

void Tool(const std::string& command) {
  if (!test::Run(kToolEnv + command + " >/dev/null"))
    throw std::runtime_error("failed: " + command);
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// "1 457 664 bytes free" on the last line of mdir.
std::uint64_t FreeBytes(const std::string& image) {
  FILE* p = ::popen((kToolEnv + std::string("mdir -i ") + Quote(image) + " ::/").c_str(), "r");
  std::string text;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, p)) text.append(buffer, n);
  ::pclose(p);
  const std::size_t at = text.rfind("bytes free");
  std::uint64_t value = 0, scale = 1;
  for (std::size_t i = at; i-- > 0 && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == ' ');)
    if (text[i] != ' ') {
      value += static_cast<std::uint64_t>(text[i] - '0') * scale;
      scale *= 10;
    }
  return value;
}

std::size_t FindOnce(const std::string& image, const std::string& pattern) {
  const std::size_t at = image.find(pattern);
  if (at == std::string::npos || image.find(pattern, at + 1) != std::string::npos)
    throw std::runtime_error("not exactly one " + pattern);
  return at;
}

std::uint16_t Le16At(const std::string& b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}

void PutLe(std::string& b, std::size_t at, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i) b[at + i] = static_cast<char>(value >> (8 * i));
}

struct Sources {
  TempDir dir;
  std::string data, tail;             // the images
  std::map<std::string, std::string> files;  // name on the volume → bytes
  std::uint32_t link2First = 0;       // LINK2.BIN's first cluster
};
Sources* g_sources = nullptr;

class FileDataTest : public ::testing::Test {
 protected:
  void SetUp() override { VANTREL_SKIP_WITHOUT_HOST_TOOLS(); }
  static void SetUpTestSuite() {
    VANTREL_SKIP_WITHOUT_HOST_TOOLS();
    g_sources = new Sources;
    Sources& s = *g_sources;
    const std::string src = s.dir / "src";
    std::filesystem::create_directory(src);
    auto put = [&](const std::string& name, std::size_t size) {
      s.files[name] = Pattern(static_cast<std::uint32_t>(s.files.size() + 1), size);
      test::WriteFile(src + "/" + name, s.files[name]);
      return Quote(src + "/" + name);
    };

    // FAT16 with clusters of four sectors. FRAG.BIN fills the gap that
    // B.BIN left and goes on behind C.BIN.
    s.data = s.dir / "data.img";
    Tool("mkfs.fat -C -F 16 -s 4 --invariant -i 0f11da7a " + s.data + " 16384");
    const std::string a = put("A.BIN", 3000), b = put("B.BIN", 5000), c = put("C.BIN", 3 * 2048),
                      d = put("D.BIN", 7000);
    Tool("mcopy -i " + s.data + " " + a + " " + b + " " + c + " " + d + " ::/");
    Tool("mdel -i " + s.data + " ::/B.BIN ::/D.BIN");
    s.files.erase("B.BIN");
    s.files.erase("D.BIN");
    Tool("mcopy -i " + s.data + " " + put("FRAG.BIN", 20000) + " " + put("EMPTY.BIN", 0) + " " +
         put("M64.BIN", 2 * 65536) + " " + put("SHORT.BIN", 5000) + " " + put("LINK2.BIN", 4096) + " ::/");
    Tool("mcopy -i " + s.data + " " + put("Gone but here.bin", 10000) + " " + put("Gone exact.bin", 4 * 2048) +
         " ::/");
    Tool("mdel -i " + s.data + " '::/Gone but here.bin' '::/Gone exact.bin'");

    // Patches: SHORT.BIN claims 9000 bytes on a chain of three clusters;
    // LINK2.BIN's first cluster leads to cluster 2 in the first FAT copy only.
    std::string image = test::ReadFile(s.data);
    PutLe(image, FindOnce(image, "SHORT   BIN") + 28, 9000, 4);
    const std::size_t link2 = FindOnce(image, "LINK2   BIN");
    s.link2First = Le16At(image, link2 + 26);
    PutLe(image, Le16At(image, 14) * 512u + 2 * s.link2First, 2, 2);
    test::WriteFile(s.data, image);

    // A FAT12 floppy filled up so that TAIL.BIN ends in the last cluster.
    s.tail = s.dir / "tail.img";
    Tool("mkfs.fat -C --invariant -i 7a117a11 " + s.tail + " 1440");
    const std::uint64_t space = FreeBytes(s.tail);
    Tool("mcopy -i " + s.tail + " " + put("FILLER.BIN", space - 3 * 512) + " ::/");
    Tool("mcopy -i " + s.tail + " " + put("TAIL.BIN", 1500) + " ::/");
  }
  static void TearDownTestSuite() {
    delete g_sources;
    g_sources = nullptr;
  }

  void TearDown() override {
    CloseSectorHandles();
    ResetReadAheadCache();
    HostPlatform().ClearImageFiles();
  }

  // Opens the image's one volume through this machine's backend.
  TFATdrive& Open(const std::string& image) {
    HostDiskPlatform& platform = HostPlatform();
    platform.SetOnlyImages(true);
    platform.ClearImageFiles();
    platform.AddImageFile(image);
    CloseSectorHandles();
    ResetReadAheadCache();
    return Scan();
  }

  TFATdrive& Scan() {
    devices.Clear();
    drives.Clear();
    devices.Detect(nullptr);
    if (devices.Count() != 1) throw std::runtime_error("no device");
    drives.ScanDevice(*devices.Items(0));
    auto* drive = drives.Count() == 1 ? dynamic_cast<TFATdrive*>(drives.Items(0)) : nullptr;
    if (!drive || !drive->GeometryValid) throw std::runtime_error("no FAT volume");
    return *drive;
  }

  static TFATFile& File(TFATdrive& drive, const std::string& name, bool deletedView = false) {
    TFATDirectory& top = deletedView ? *drive.Deleted() : *drive.Root();
    if (!top.Items) top.LoadChildren(deletedView, true);
    for (const auto& item : *top.Items)
      if (!item->IsDirectory() && DisplayNameOf(*item) == name) return static_cast<TFATFile&>(*item);
    throw std::runtime_error("no file " + name);
  }

  // The whole file read in pieces of the given size.
  static std::string ReadAll(TFATdrive& drive, std::uint32_t first, std::uint32_t size, std::uint8_t choice,
                             std::uint32_t piece = 65536, std::uint32_t* failed = nullptr) {
    TFATCursor cursor;
    InitCursor(cursor, first, size);
    std::string out;
    std::vector<std::uint8_t> buffer(piece);
    for (int guard = 0; guard < 1000000; ++guard) {
      std::uint32_t delivered = 0;
      if (!ReadFileData(drive, cursor, piece, delivered, choice, buffer.data())) break;
      out.append(reinterpret_cast<const char*>(buffer.data()), delivered);
      if (delivered == 0) break;
    }
    if (failed) *failed = cursor.FailedSectors;
    return out;
  }

  static std::string ReadAll(TFATdrive& drive, const TFATFile& file, std::uint8_t choice,
                             std::uint32_t piece = 65536) {
    return ReadAll(drive, file.StartCluster, file.Size, choice, piece);
  }

  // A cluster's bytes as they lie in the (unpartitioned) image.
  static std::string Cluster(TFATdrive& drive, const std::string& image, std::uint32_t cluster) {
    const std::string bytes = test::ReadFile(image);
    return bytes.substr(static_cast<std::size_t>(drive.ClusterToSector(cluster)) * drive.BytesPerSector,
                        drive.BytesPerCluster);
  }

  static std::vector<std::uint32_t> Chain(TFATdrive& drive, std::uint32_t first) {
    std::vector<std::uint32_t> chain{first};
    while (chain.size() < 100000) {
      const std::uint32_t next = drive.GetFATEntry(chain.back(), 0);
      if (drive.IsEndOfChain(next) || !drive.IsValidCluster(next)) break;
      chain.push_back(next);
    }
    return chain;
  }

  const std::string& Expected(const std::string& name) { return g_sources->files.at(name); }

  TDeviceList devices;
  TDriveList drives;
};

TEST_F(FileDataTest, LiveFilesThroughTheFATAreByteExact) {
  TFATdrive& drive = Open(g_sources->data);
  ASSERT_EQ(drive.FATType, ftFAT16);
  ASSERT_EQ(drive.BytesPerCluster, 2048u);
  for (const char* name : {"A.BIN", "C.BIN", "FRAG.BIN", "EMPTY.BIN", "M64.BIN"}) {
    SCOPED_TRACE(name);
    const TFATFile& file = File(drive, name);
    EXPECT_EQ(ReadAll(drive, file, 1), Expected(name));
    EXPECT_EQ(ReadAll(drive, file, 2), Expected(name));
  }
  // The test means something only if FRAG.BIN really is in pieces.
  const std::vector<std::uint32_t> chain = Chain(drive, File(drive, "FRAG.BIN").StartCluster);
  ASSERT_EQ(chain.size(), 10u);
  int gaps = 0;
  for (std::size_t i = 1; i < chain.size(); ++i) gaps += chain[i] != chain[i - 1] + 1;
  EXPECT_GE(gaps, 1);
  // Through consecutive clusters the fragmented file comes out wrong.
  EXPECT_NE(ReadAll(drive, File(drive, "FRAG.BIN"), 0), Expected("FRAG.BIN"));
}

TEST_F(FileDataTest, PiecesOfAnySizeGiveTheSameBytes) {
  TFATdrive& drive = Open(g_sources->data);
  const TFATFile& frag = File(drive, "FRAG.BIN");
  for (std::uint32_t piece : {1u, 7u, 511u, 512u, 513u, 2047u, 2048u, 2049u, 4096u, 6000u}) {
    SCOPED_TRACE(piece);
    EXPECT_EQ(ReadAll(drive, frag, 1, piece), Expected("FRAG.BIN"));
  }
}

TEST_F(FileDataTest, ReadsEndExactlyAtTheSize) {
  TFATdrive& drive = Open(g_sources->data);
  const TFATFile& m64 = File(drive, "M64.BIN");
  TFATCursor cursor;
  InitCursor(cursor, m64.StartCluster, m64.Size);
  std::vector<std::uint8_t> buffer(65536);
  std::uint32_t delivered = 0;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(ReadFileData(drive, cursor, 65536, delivered, 1, buffer.data()));
    EXPECT_EQ(delivered, 65536u);
  }
  // A size that is a multiple of the piece ends with an empty, successful read.
  EXPECT_TRUE(ReadFileData(drive, cursor, 65536, delivered, 1, buffer.data()));
  EXPECT_EQ(delivered, 0u);
  EXPECT_EQ(cursor.Pos, m64.Size);
  // A cursor past the size is an error.
  cursor.Pos = m64.Size + 1;
  EXPECT_FALSE(ReadFileData(drive, cursor, 65536, delivered, 1, buffer.data()));
  EXPECT_EQ(delivered, 0u);

  const TFATFile& empty = File(drive, "EMPTY.BIN");
  EXPECT_EQ(empty.StartCluster, 0u);
  InitCursor(cursor, empty.StartCluster, empty.Size);
  EXPECT_TRUE(ReadFileData(drive, cursor, 65536, delivered, 1, buffer.data()));
  EXPECT_EQ(delivered, 0u);
}

TEST_F(FileDataTest, DeletedContiguousFilesReadAsConsecutiveClusters) {
  TFATdrive& drive = Open(g_sources->data);
  for (const char* name : {"Gone but here.bin", "Gone exact.bin"}) {
    SCOPED_TRACE(name);
    const TFATFile& file = File(drive, name, true);
    EXPECT_EQ(file.Status, isDeleted);
    EXPECT_EQ(ReadAll(drive, file, 0), Expected(name));
    // The freed FAT has no next cluster: reading through it repeats the first one.
    const std::string first = Cluster(drive, g_sources->data, file.StartCluster);
    std::string repeated;
    while (repeated.size() < file.Size) repeated += first;
    repeated.resize(file.Size);
    EXPECT_EQ(ReadAll(drive, file, 1), repeated);
  }
}

TEST_F(FileDataTest, AChainThatEndsBeforeTheSizeRepeatsItsLastCluster) {
  TFATdrive& drive = Open(g_sources->data);
  const TFATFile& file = File(drive, "SHORT.BIN");
  ASSERT_EQ(file.Size, 9000u);
  const std::vector<std::uint32_t> chain = Chain(drive, file.StartCluster);
  ASSERT_EQ(chain.size(), 3u);
  std::string expected;
  for (std::uint32_t c : chain) expected += Cluster(drive, g_sources->data, c);
  EXPECT_EQ(expected.substr(0, 5000), Expected("SHORT.BIN"));
  const std::string last = Cluster(drive, g_sources->data, chain.back());
  expected += last + last;
  expected.resize(9000);
  EXPECT_EQ(ReadAll(drive, file, 1), expected);
  EXPECT_EQ(ReadAll(drive, file, 1, 700), expected);
}

TEST_F(FileDataTest, ChainsReachTheFirstAndTheLastClusterOfTheVolume) {
  {
    // LINK2.BIN goes on at cluster 2 in FAT 1 and as written in FAT 2.
    TFATdrive& drive = Open(g_sources->data);
    const TFATFile& file = File(drive, "LINK2.BIN");
    ASSERT_EQ(file.StartCluster, g_sources->link2First);
    ASSERT_EQ(drive.GetFATEntry(file.StartCluster, 0), 2u);
    EXPECT_EQ(ReadAll(drive, file, 1),
              Cluster(drive, g_sources->data, file.StartCluster) + Cluster(drive, g_sources->data, 2));
    EXPECT_EQ(ReadAll(drive, file, 2), Expected("LINK2.BIN"));
  }
  CloseSectorHandles();
  TFATdrive& drive = Open(g_sources->tail);
  ASSERT_EQ(drive.FATType, ftFAT12);
  const TFATFile& tail = File(drive, "TAIL.BIN");
  const std::vector<std::uint32_t> chain = Chain(drive, tail.StartCluster);
  ASSERT_EQ(chain.size(), 3u);
  ASSERT_EQ(chain.back(), drive.ClusterCount + 1);
  EXPECT_EQ(ReadAll(drive, tail, 1), Expected("TAIL.BIN"));
  EXPECT_EQ(ReadAll(drive, tail, 0), Expected("TAIL.BIN"));
  EXPECT_EQ(ReadAll(drive, File(drive, "FILLER.BIN"), 1), Expected("FILLER.BIN"));
}

TEST_F(FileDataTest, SeekingFollowsTheChainAsReadingDoes) {
  TFATdrive& drive = Open(g_sources->data);
  const TFATFile& frag = File(drive, "FRAG.BIN");
  const std::string& bytes = Expected("FRAG.BIN");
  for (std::uint32_t at : {0u, 1u, 2047u, 2048u, 6143u, 6144u, 6145u, 12000u, 19999u}) {
    SCOPED_TRACE(at);
    TFATCursor cursor;
    InitCursor(cursor, frag.StartCluster, frag.Size);
    ASSERT_TRUE(SeekCursor(drive, cursor, at, 1));
    EXPECT_EQ(cursor.Pos, at);
    std::vector<std::uint8_t> buffer(3000);
    std::uint32_t delivered = 0;
    ASSERT_TRUE(ReadFileData(drive, cursor, 3000, delivered, 1, buffer.data()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), delivered), bytes.substr(at, 3000));
  }
  // At or past the end the cursor stays where it was.
  TFATCursor cursor;
  InitCursor(cursor, frag.StartCluster, frag.Size);
  ASSERT_TRUE(SeekCursor(drive, cursor, 5000, 1));
  const TFATCursor before = cursor;
  EXPECT_FALSE(SeekCursor(drive, cursor, frag.Size, 1));
  EXPECT_FALSE(SeekCursor(drive, cursor, frag.Size + 10000, 1));
  EXPECT_EQ(cursor.Current, before.Current);
  EXPECT_EQ(cursor.Pos, before.Pos);

  // Beyond the end of a short chain a seek stays on its last cluster, as reading does.
  const TFATFile& shortFile = File(drive, "SHORT.BIN");
  const std::string whole = ReadAll(drive, shortFile, 1);
  for (std::uint32_t at : {6144u, 8191u, 8192u, 8999u}) {
    SCOPED_TRACE(at);
    InitCursor(cursor, shortFile.StartCluster, shortFile.Size);
    ASSERT_TRUE(SeekCursor(drive, cursor, at, 1));
    std::vector<std::uint8_t> buffer(9000);
    std::uint32_t delivered = 0;
    ASSERT_TRUE(ReadFileData(drive, cursor, 9000, delivered, 1, buffer.data()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), delivered), whole.substr(at));
  }
  // Deleted files seek through consecutive clusters.
  const TFATFile& gone = File(drive, "Gone but here.bin", true);
  InitCursor(cursor, gone.StartCluster, gone.Size);
  ASSERT_TRUE(SeekCursor(drive, cursor, 9000, 0));
  std::vector<std::uint8_t> buffer(2000);
  std::uint32_t delivered = 0;
  ASSERT_TRUE(ReadFileData(drive, cursor, 2000, delivered, 0, buffer.data()));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), delivered),
            Expected("Gone but here.bin").substr(9000));
}

TEST_F(FileDataTest, StreamReadsAndSeeksLikeTheViewerNeeds) {
  TFATdrive& drive = Open(g_sources->data);
  const TFATFile& frag = File(drive, "FRAG.BIN");
  const std::string& bytes = Expected("FRAG.BIN");
  TFATStream stream(drive, 1, frag.Size, frag.StartCluster);
  EXPECT_EQ(stream.GetSize(), 20000u);
  std::vector<std::uint8_t> buffer(2048);
  auto read = [&](std::uint32_t count) {
    const std::uint32_t n = stream.Read(buffer.data(), count);
    return std::string(reinterpret_cast<char*>(buffer.data()), n);
  };
  // The hex page seeks before every block of 2048 bytes, in any order.
  for (std::int64_t block : {4, 0, 9, 3, 2, 8}) {
    SCOPED_TRACE(block);
    EXPECT_EQ(stream.Seek(block * 2048, TFATStream::soBeginning), block * 2048);
    EXPECT_EQ(read(2048), bytes.substr(block * 2048, 2048));
  }
  EXPECT_EQ(stream.Seek(-100, TFATStream::soEnd), 19900);
  EXPECT_EQ(read(2048), bytes.substr(19900));
  EXPECT_EQ(stream.GetPosition(), 20000);
  EXPECT_EQ(stream.Seek(-1000, TFATStream::soCurrent), 19000);
  EXPECT_EQ(read(300), bytes.substr(19000, 300));
  EXPECT_EQ(read(300), bytes.substr(19300, 300));

  // At or past the end a seek still answers the position asked for; a read gives nothing.
  EXPECT_EQ(stream.Seek(20000, TFATStream::soBeginning), 20000);
  EXPECT_EQ(read(2048), "");
  EXPECT_EQ(stream.Seek(100, TFATStream::soEnd), 20100);
  EXPECT_EQ(read(2048), "");
  EXPECT_EQ(stream.Seek(-30000, TFATStream::soCurrent), -9900);
  EXPECT_EQ(read(2048), "");
  EXPECT_EQ(stream.Seek(0, TFATStream::soBeginning), 0);
  EXPECT_EQ(read(2048), bytes.substr(0, 2048));

  // The text page reads everything at once after asking for the size.
  TFATStream whole(drive, 1, frag.Size, frag.StartCluster);
  std::vector<std::uint8_t> all(whole.GetSize());
  EXPECT_EQ(whole.Read(all.data(), whole.GetSize()), 20000u);
  EXPECT_EQ(std::string(all.begin(), all.end()), bytes);
}

TEST_F(FileDataTest, StreamOfAnEntryWithoutClusterEndsAtItsSize) {
  TFATdrive& drive = Open(g_sources->data);
  TFATStream stream(drive, 1, 5000, 0);
  std::vector<std::uint8_t> buffer(8192, 0xAA);
  EXPECT_EQ(stream.Seek(4000, TFATStream::soBeginning), 4000);
  EXPECT_EQ(stream.Read(buffer.data(), 8192), 1000u);
  EXPECT_EQ(stream.GetPosition(), 5000);
  EXPECT_EQ(std::count(buffer.begin(), buffer.begin() + 1000, 0), 1000);
  EXPECT_EQ(stream.Read(buffer.data(), 8192), 0u);
  EXPECT_GT(stream.Cursor().FailedSectors, 0u);
}

TEST_F(FileDataTest, AnEntryWithoutAClusterOfTheVolumeGivesOnlyZerosThroughEitherChoice) {
  // A deleted FAT32 entry whose high cluster word was cleared can be left
  // with cluster 0; reading it must not run on into the clusters 2, 3, ...
  // of other files.
  TFATdrive& drive = Open(g_sources->data);
  const std::uint32_t size = 4 * drive.BytesPerCluster;
  for (const std::uint32_t first : {0u, 1u, drive.ClusterCount + 2}) {
    for (const std::uint8_t choice : {0, 1}) {
      SCOPED_TRACE(std::to_string(first) + " through choice " + std::to_string(choice));
      std::uint32_t failed = 0;
      const std::string bytes = ReadAll(drive, first, size, choice, 65536, &failed);
      EXPECT_EQ(bytes.size(), size);
      EXPECT_EQ(static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\0')), bytes.size());
      EXPECT_GT(failed, 0u);
    }
  }
}

// The data image in memory, with reads that fail where a test says.
class FileDataFaultTest : public FileDataTest {
 protected:
  TFATdrive& OpenInMemory() {
    std::string image = test::ReadFile(g_sources->data);
    auto& device = platform.AddPhysical(0x80, std::vector<std::uint8_t>(image.begin(), image.end()), 2);
    device.geometry.Unpartitioned = true;
    SetErrorPrompt(nullptr);  // every failed read is aborted
    return Scan();
  }
  test::FakePlatform platform;
};

TEST_F(FileDataFaultTest, AnUnreadableSectorGivesZerosNotTheSectorBeforeIt) {
  TFATdrive& drive = OpenInMemory();
  const TFATFile& frag = File(drive, "FRAG.BIN");
  // The second sector of the file's second cluster (file bytes 2560..3071).
  const std::vector<std::uint32_t> chain = Chain(drive, frag.StartCluster);
  const std::uint64_t bad = static_cast<std::uint64_t>(drive.ClusterToSector(chain[1]) + 1) * 512;
  platform.FailRange("phys128", bad, 512);
  std::string expected = Expected("FRAG.BIN");
  std::memset(expected.data() + 2560, 0, 512);

  for (std::uint32_t piece : {65536u, 2048u, 300u, 100u}) {
    SCOPED_TRACE(piece);
    std::uint32_t failed = 0;
    EXPECT_EQ(ReadAll(drive, frag.StartCluster, frag.Size, 1, piece, &failed), expected);
    // Pieces smaller than the sector try it once per piece.
    if (piece >= 512) EXPECT_EQ(failed, 1u);
    else EXPECT_GE(failed, 1u);
  }
  // Read in small pieces through the stream, after a sector that was read well.
  TFATStream stream(drive, 1, frag.Size, frag.StartCluster);
  std::vector<std::uint8_t> buffer(256);
  stream.Seek(2048 + 256, TFATStream::soBeginning);
  ASSERT_EQ(stream.Read(buffer.data(), 256), 256u);
  ASSERT_EQ(stream.Read(buffer.data(), 256), 256u);
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), 256);
  EXPECT_GT(stream.Cursor().FailedSectors, 0u);
}

// A file's last bytes, less than a sector, come with the run before them:
// a file in one piece takes one read. A last sector that cannot be read
// costs only its own bytes and is read at most twice.
TEST_F(FileDataFaultTest, AFilesLastPartialSectorComesWithTheRunBeforeIt) {
  TFATdrive& drive = OpenInMemory();
  const TFATFile& a = File(drive, "A.BIN");
  ASSERT_EQ(a.Size % 512, 440u);
  const std::vector<std::uint32_t> chain = Chain(drive, a.StartCluster);
  ASSERT_EQ(chain.size(), 2u);
  ASSERT_EQ(chain[1], chain[0] + 1);
  platform.readLog.clear();
  std::uint32_t failed = 0;
  EXPECT_EQ(ReadAll(drive, a.StartCluster, a.Size, 1, 65536, &failed), Expected("A.BIN"));
  EXPECT_EQ(failed, 0u);
  EXPECT_EQ(platform.readLog.size(), 1u);

  const std::uint64_t tail = std::uint64_t{drive.ClusterToSector(chain[1]) + 1} * 512;
  platform.FailRange("phys128", tail, 512);
  platform.readLog.clear();
  std::string expected = Expected("A.BIN");
  std::memset(expected.data() + 2560, 0, 440);
  EXPECT_EQ(ReadAll(drive, a.StartCluster, a.Size, 1, 65536, &failed), expected);
  EXPECT_EQ(failed, 1u);
  const auto tailReads = std::count_if(platform.readLog.begin(), platform.readLog.end(), [&](const auto& r) {
    return r.first <= tail && tail < r.first + r.second;
  });
  EXPECT_LE(tailReads, 2);
}

}  // namespace
}  // namespace vantrel
