// vantrel-cli on a 3 TiB disk: a sparse image file (it takes a few hundred
// KiB of real space) partitioned by sfdisk with a GUID partition table, whose
// one FAT32 volume, made by mkfs.fat and filled by mtools, starts beyond
// sector 2^32. Listed with its true size, browsed, read raw and saved
// byte-exact, found again by the lost-drive search once both tables are gone.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <stdexcept>

#include "cli/CliRunner.h"
#include "support/TempDir.h"

namespace vantrel::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kDiskSectors = 3ull << 31;           // 3 TiB
constexpr std::uint64_t kStart = (1ull << 32) + 2048;        // beyond every 32-bit sector number
constexpr std::uint64_t kVolumeSectors = 67584;

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

void Tool(const std::string& command) {
  if (!Run("MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null SOURCE_DATE_EPOCH=1700000000 TZ=UTC " + command +
           " >/dev/null 2>&1"))
    throw std::runtime_error("failed: " + command);
}

std::map<std::string, std::string> ReadTree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = fs::relative(it->path(), root).string();
    if (rel == "report.xml") continue;  // the save's record, not a saved file
    tree[it->is_directory() ? rel + "/" : rel] = it->is_directory() ? "" : ReadFile(it->path().string());
  }
  return tree;
}

class CliBigDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTREL_SKIP_WITHOUT_HOST_TOOLS();
    image = dir / "big.img";
    Tool("truncate -s " + std::to_string(kDiskSectors * 512) + " " + Quote(image));
    WriteFile(dir / "table",
              "label: gpt\nunit: sectors\nstart=" + std::to_string(kStart) + ", size=" + std::to_string(kVolumeSectors) +
                  ", type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name=\"Far data\"\n");
    Tool("sfdisk -q " + Quote(image) + " < " + Quote(dir / "table"));
    // The hidden-sectors field has 32 bits: a volume this far in leaves it 0.
    Tool("mkfs.fat --invariant -i 3a3a3a3a -n FARVOL -F 32 -s 1 --offset=" + std::to_string(kStart) + " " +
         Quote(image) + " 33792");
    const std::string volume = Quote(image + "@@" + std::to_string(kStart * 512));
    fs::create_directories(dir.Path() / "src" / "folder");
    fs::create_directories(dir.Path() / "out");
    files = {{"big.bin", Pattern(1, 300000)}, {"small.txt", "far away\n"}, {"folder/", ""},
             {"folder/inner.bin", Pattern(2, 70000)}};
    for (const auto& [rel, content] : files)
      if (rel.back() != '/') WriteFile(dir / ("src/" + rel), content);
    Tool("mcopy -i " + volume + " " + Quote(dir / "src/big.bin") + " " + Quote(dir / "src/small.txt") + " ::/");
    Tool("mmd -i " + volume + " ::/folder");
    Tool("mcopy -i " + volume + " " + Quote(dir / "src/folder/inner.bin") + " ::/folder/");
  }

  CliResult Cli(std::vector<std::string> args) {
    args.insert(args.begin(), {"--only-images", "--image", image});
    return RunCli(args);
  }

  TempDir dir;
  std::string image;
  std::map<std::string, std::string> files;
};

TEST_F(CliBigDisk, VolumeBeyondSector2Pow32IsListedBrowsedReadAndSavedByteExact) {
  // Sparse: the image takes far less room than it measures.
  EXPECT_EQ(fs::file_size(image), kDiskSectors * 512);
#ifndef _WIN32
  struct stat st {};
  ASSERT_EQ(::stat(image.c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, 64 << 20);
#endif

  const auto devices = Cli({"devices"});
  ASSERT_EQ(devices.exitCode, 0) << devices.err;
  EXPECT_NE(devices.out.find("(3072.00 GB)"), std::string::npos) << devices.out;
  EXPECT_NE(devices.out.find(" 6442450944 "), std::string::npos) << devices.out;
  const auto devicesJson = Cli({"--json", "devices"});
  EXPECT_NE(devicesJson.out.find("\"total_sectors\": 6442450944"), std::string::npos) << devicesJson.out;

  const auto drives = Cli({"--json", "drives"});
  ASSERT_EQ(drives.exitCode, 0) << drives.err;
  EXPECT_NE(drives.out.find("\"start_sector\": 4294969344"), std::string::npos) << drives.out;
  EXPECT_NE(drives.out.find("\"sector_count\": 67584"), std::string::npos) << drives.out;
  EXPECT_NE(drives.out.find("\"label\": \"FARVOL     \""), std::string::npos) << drives.out;
  EXPECT_NE(drives.out.find("\"fat_type\": \"FAT32\""), std::string::npos) << drives.out;

  const auto ls = Cli({"ls", "1", "/", "--recursive"});
  ASSERT_EQ(ls.exitCode, 0) << ls.err;
  for (const char* name : {"big.bin", "small.txt", "folder", "inner.bin"})
    EXPECT_NE(ls.out.find(name), std::string::npos) << name << "\n" << ls.out;

  // The raw sectors of the device, its boot sector at its 64-bit address.
  const auto read = Cli({"read", "1", std::to_string(kStart), "1"});
  ASSERT_EQ(read.exitCode, 0) << read.err;
  EXPECT_NE(read.out.find("FARVOL"), std::string::npos) << read.out;

  const auto save = Cli({"save", "1", "/", "--to", dir / "out"});
  ASSERT_EQ(save.exitCode, 0) << save.err;
  EXPECT_EQ(ReadTree(dir.Path() / "out"), files);

  // The search over the volume's start adds no second drive for it.
  const std::string range = std::to_string(kStart - 8) + "-" + std::to_string(kStart + 8);
  const auto again = Cli({"find-drives", "1", "--range", range});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_NE(again.err.find("found 0 drive(s)"), std::string::npos) << again.err;
}

TEST_F(CliBigDisk, WithoutItsTablesTheVolumeIsFoundBeyondSector2Pow32AndSaved) {
  // Both headers and entry arrays zeroed, the protective record kept.
  Tool("dd if=/dev/zero of=" + Quote(image) + " bs=512 seek=1 count=33 conv=notrunc");
  Tool("dd if=/dev/zero of=" + Quote(image) + " bs=512 seek=" + std::to_string(kDiskSectors - 33) +
       " count=33 conv=notrunc");
  const auto none = Cli({"drives"});
  ASSERT_EQ(none.exitCode, 0) << none.err;
  EXPECT_EQ(none.out.find("FARVOL"), std::string::npos) << none.out;

  const std::string range = std::to_string(kStart - 100) + "-" + std::to_string(kStart + 100);
  const auto found = Cli({"find-drives", "1", "--range", range, "then", "save", "1", "/", "--to", dir / "out"});
  ASSERT_EQ(found.exitCode, 0) << found.err;
  EXPECT_NE(found.err.find("found 1 drive(s)"), std::string::npos) << found.err;
  EXPECT_NE(found.out.find("4294969344"), std::string::npos) << found.out;
  EXPECT_NE(found.out.find("FARVOL      (lost)"), std::string::npos) << found.out;
  EXPECT_EQ(ReadTree(dir.Path() / "out"), files);
}

}  // namespace
}  // namespace vantrel::test
