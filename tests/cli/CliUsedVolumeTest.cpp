// vantrel-cli on a FAT16 volume that has been in use (made by mkfs.fat and
// mtools): the files at its start were deleted, so that its first FAT
// entries are free while later files lie in pieces; a deleted folder's
// first cluster now holds a live folder; and an entry claims a size no
// volume of 32 MiB can hold. Then a FAT32 volume with more clusters than
// 16 bits count.

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "cli/CliRunner.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel::test {
namespace {

namespace fs = std::filesystem;

struct UsedVolume {
  TempDir dir;
  std::string image;      // as mtools left it
  std::string firstGone;  // the same with its first FAT zeroed
  std::string frag, s2;   // FRAG.BIN (clusters 17, 19, 20) and S2.TXT (cluster 18)
};
UsedVolume* g_volume = nullptr;

std::string Le32Bytes(std::uint32_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF), static_cast<char>((v >> 16) & 0xFF),
          static_cast<char>(v >> 24)};
}

void MakeUsedVolume(UsedVolume& m) {
  const std::string img = " -i " + m.dir / "v.img" + " ";
  m.image = m.dir / "v.img";
  WriteFile(m.dir / "big", Pattern(1, 15 * 2048));
  WriteFile(m.dir / "s1", Pattern(2, 100));
  m.s2 = Pattern(3, 100);
  WriteFile(m.dir / "s2", m.s2);
  m.frag = Pattern(4, 6000);
  WriteFile(m.dir / "frag", m.frag);
  ImageTool("mkfs.fat -C -F 16 -s 4 --invariant -i 16f16f16 " + m.image + " 32768");
  // BIG.BIN takes clusters 2 to 16; FRAG.BIN goes around S2.TXT.
  ImageTool("mcopy" + img + m.dir / "big" + " ::/BIG.BIN");
  ImageTool("mcopy" + img + m.dir / "s1" + " ::/S1.TXT");
  ImageTool("mcopy" + img + m.dir / "s2" + " ::/S2.TXT");
  ImageTool("mdel" + img + "::/S1.TXT");
  ImageTool("mcopy" + img + m.dir / "frag" + " ::/FRAG.BIN");
  // A/OLD's cluster (22) goes to NEW.
  ImageTool("mmd" + img + "::/A");
  ImageTool("mmd" + img + "::/A/OLD");
  ImageTool("mdeltree" + img + "::/A/OLD");
  ImageTool("mmd" + img + "::/NEW");
  ImageTool("mdel" + img + "::/BIG.BIN");
  // mshowfat lists FRAG.BIN as "<17> <19-20>"; FirstClusters takes the last run.
  if (FirstClusters(m.image, {"::/FRAG.BIN", "::/S2.TXT", "::/NEW"}) != std::vector<std::uint32_t>{19, 18, 22})
    throw std::runtime_error("mtools placed the files elsewhere");

  std::string bytes = ReadFile(m.image);
  // S2.TXT claims 0xFFFFFFF0 bytes; its chain is one cluster.
  const std::size_t entry = bytes.find("S2      TXT");
  bytes.replace(entry + 28, 4, Le32Bytes(0xFFFFFFF0));
  WriteFile(m.image, bytes);
  // The first FAT (sectors 4 to 4 + FAT size) wiped.
  const std::size_t reserved = static_cast<unsigned char>(bytes[14]) | static_cast<unsigned char>(bytes[15]) << 8;
  const std::size_t fatSize = static_cast<unsigned char>(bytes[22]) | static_cast<unsigned char>(bytes[23]) << 8;
  bytes.replace(reserved * 512, fatSize * 512, std::string(fatSize * 512, '\0'));
  m.firstGone = m.dir / "first-gone.img";
  WriteFile(m.firstGone, bytes);
}

class CliUsedVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override { VANTREL_SKIP_WITHOUT_HOST_TOOLS(); }
  static void SetUpTestSuite() {
    VANTREL_SKIP_WITHOUT_HOST_TOOLS();
    g_volume = new UsedVolume;
    MakeUsedVolume(*g_volume);
  }
  static void TearDownTestSuite() {
    delete g_volume;
    g_volume = nullptr;
  }
  static CliResult Cli(std::vector<std::string> args, const std::string& image = g_volume->image) {
    args.insert(args.begin(), {"--only-images", "--image", image});
    return RunCli(args);
  }
  TempDir out;
};

TEST_F(CliUsedVolumeTest, AFATWithFreeFirstEntriesOrAWipedFirstCopyIsFollowed) {
  CliResult r = Cli({"drives", "--json"});
  EXPECT_NE(r.out.find("\"flags\": \"-\", \"fat_choice\": 1, \"fat_note\": \"\""), std::string::npos) << r.out;
  r = Cli({"cat", "1", "/FRAG.BIN"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(r.out == g_volume->frag);

  // The second copy holds the chains: it is the drive's choice, and says why.
  r = Cli({"drives", "--json"}, g_volume->firstGone);
  EXPECT_NE(r.out.find("\"fat_choice\": 2, \"fat_note\": \"FAT 1 为空或已损坏, 使用包含簇链的 FAT 2\""),
            std::string::npos)
      << r.out;
  r = Cli({"cat", "1", "/FRAG.BIN"}, g_volume->firstGone);
  EXPECT_TRUE(r.out == g_volume->frag);

  // Read as consecutive clusters on the user's word: saved, with a warning naming it.
  r = Cli({"save", "1", "/FRAG.BIN", "--no-fat", "--to", out.Path().string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("按 \"no FAT (consecutive)\" 保存的内容可能属于其他文件:\n" + out / "FRAG.BIN"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("saved 1 file(s), 1 read as consecutive clusters against their FAT chain\n"), std::string::npos);
}

TEST_F(CliUsedVolumeTest, ASizeBeyondTheChainIsSavedAsFarAsTheChainAndSaidSo) {
  const CliResult r = Cli({"save", "1", "/", "--to", out.Path().string()});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(ReadFile(out / "S2.TXT").size(), 2048u);
  EXPECT_EQ(ReadFile(out / "S2.TXT").substr(0, 100), g_volume->s2);
  EXPECT_EQ(ReadFile(out / "FRAG.BIN"), g_volume->frag);  // the files after it are reached
  EXPECT_NE(r.err.find(out / "S2.TXT" + " (2048 / 4294967280)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("saved 2 file(s), 1 cut to what the volume holds"), std::string::npos) << r.err;
  const CliResult cat = Cli({"cat", "1", "/S2.TXT"});
  EXPECT_EQ(cat.out.size(), 2048u);
  EXPECT_EQ(cat.err, "vantrel-cli: /S2.TXT claims 4294967280 bytes; its chain holds 2048\n");
}

TEST_F(CliUsedVolumeTest, ADeletedFolderWhoseClusterALiveOneTookIsNamedInTheReport) {
  const CliResult r = Cli({"save", "1", "/NEW", "/A", "--view", "deleted", "--to", out.Path().string()});
  EXPECT_TRUE(fs::is_directory(out.Path() / "NEW"));
  EXPECT_FALSE(fs::exists(out.Path() / "A/_LD"));
  EXPECT_NE(r.err.find("以下目录未保存:\n" + out / "A/_LD" + ": 第一簇 22 上的目录已保存过"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(", 1 folder(s) skipped"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace vantrel::test

namespace vantrel::test {
namespace {

TEST(CliFAT32, AFileBeyondCluster65535WithReservedBitsSetInItsChainReadsRight) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  // 64 MiB in clusters of 512 bytes: 131000 clusters or so. The free-cluster
  // hint of the FSInfo sector (sector 1) sends mcopy to cluster 70000.
  TempDir dir;
  const std::string image = dir / "fat32.img";
  const std::string content = Pattern(7, 6000);
  WriteFile(dir / "high", content);
  ImageTool("mkfs.fat -C -F 32 -s 1 --invariant " + image + " 65536");
  std::string bytes = ReadFile(image);
  bytes.replace(512 + 0x1EC, 4, Le32Bytes(70000));
  WriteFile(image, bytes);
  ImageTool("mcopy -i " + image + " " + dir / "high" + " ::/HIGH.BIN");
  ASSERT_EQ(FirstClusters(image, {"::/HIGH.BIN"}), std::vector<std::uint32_t>{70001});

  // The top four bits of a FAT32 entry are reserved: set in every entry of
  // the chain, in both copies, they change nothing.
  bytes = ReadFile(image);
  auto le = [&](std::size_t at, int width) {
    std::size_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
    return v;
  };
  const std::size_t reserved = le(14, 2), fatSize = le(36, 4);
  for (std::size_t copy = 0; copy < 2; ++copy)
    for (std::size_t cluster = 70001; cluster <= 70012; ++cluster)
      bytes[(reserved + copy * fatSize) * 512 + cluster * 4 + 3] |= static_cast<char>(0xF0);
  WriteFile(image, bytes);

  const CliResult r = RunCli({"--only-images", "--image", image, "cat", "1", "/HIGH.BIN"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(r.out == content);
}

}  // namespace
}  // namespace vantrel::test
