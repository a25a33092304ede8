// vantrel-cli on an SDXC-like exFAT card made by mkfs.exfat and filled
// through exfat-fuse: the live and deleted trees listed and saved byte for
// byte, also with the main boot sector zeroed and the partition table gone.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "cli/CliRunner.h"
#include "support/TempDir.h"

namespace vantrel::test {
namespace {

namespace fs = std::filesystem;

// relative path -> bytes, of every file under root
std::map<std::string, std::string> Files(const fs::path& root) {
  std::map<std::string, std::string> files;
  // Names as UTF-8 with "/" and files opened by their path objects, so
  // that Chinese names read alike on Windows.
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    const std::u8string rel = fs::relative(e.path(), root).generic_u8string();
    std::ifstream in(e.path(), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    files[std::string(rel.begin(), rel.end())] = bytes.str();
  }
  // The save's record names the volume as exFAT; it is no saved file.
  const auto report = files.find("report.xml");
  if (report != files.end()) {
    EXPECT_NE(report->second.find("<ftype_str>exFAT</ftype_str>"), std::string::npos);
    files.erase(report);
  }
  return files;
}

class CliExFAT : public ::testing::Test {
 protected:
  void SetUp() override {
    if (fs::exists(Fixture("exfat-skip"))) GTEST_SKIP() << ReadFile(Fixture("exfat-skip"));
    if (!fs::exists(Fixture("exfat-card.img"))) GTEST_SKIP() << "exfat-card.img was not made";
  }
  // A copy of the card with the device sectors zeroed.
  std::string Damaged(const std::vector<std::uint64_t>& sectors) {
    const std::string path = tmp / "card.img";
    fs::copy_file(Fixture("exfat-card.img"), path, fs::copy_options::overwrite_existing);
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    const std::string zeros(512, '\0');
    for (auto s : sectors) {
      f.seekp(static_cast<std::streamoff>(s * 512));
      f.write(zeros.data(), 512);
    }
    return path;
  }
  void ExpectSavesAll(const std::string& image, const std::vector<std::string>& before) {
    for (const char* view : {"live", "deleted"}) {
      const std::string to = tmp / view;
      fs::create_directories(to);
      std::vector<std::string> args = {"--only-images", "--image", image};
      args.insert(args.end(), before.begin(), before.end());
      for (const char* w : {"save", "1", "/", "--view", view, "--to"}) args.push_back(w);
      args.push_back(to);
      const CliResult r = RunCli(args);
      ASSERT_EQ(r.exitCode, 0) << r.err;
      auto saved = Files(to);
      // The deleted fragmented file is read through the free clusters (below).
      saved.erase("clips/lost-clip.mp4");
      EXPECT_EQ(saved, Files(Fixture(std::string("exfat-card/") + view))) << view;
    }
    // Around the live file between its pieces: "free clusters only".
    const std::string to = tmp / "fragmented";
    std::vector<std::string> args = {"--only-images", "--image", image};
    args.insert(args.end(), before.begin(), before.end());
    for (const char* w : {"save", "1", "clips", "--view", "deleted", "--fat", "free", "--to"}) args.push_back(w);
    args.push_back(to);
    fs::create_directories(to);
    const CliResult r = RunCli(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFile(to + "/clips/lost-clip.mp4"),
              ReadFile(Fixture("exfat-card/deleted-fragmented/clips/lost-clip.mp4")));
  }
  TempDir tmp;
};

TEST_F(CliExFAT, ListsAndSavesTheLiveAndDeletedTreesOfTheCard) {
  const CliResult drives = RunCli({"--only-images", "--image", Fixture("exfat-card.img"), "drives"});
  ASSERT_EQ(drives.exitCode, 0) << drives.err;
  EXPECT_NE(drives.out.find("CARD"), std::string::npos) << drives.out;
  EXPECT_NE(drives.out.find("32768"), std::string::npos) << drives.out;
  EXPECT_NE(drives.out.find("exFAT"), std::string::npos) << drives.out;

  const CliResult deleted = RunCli({"--only-images", "--image", Fixture("exfat-card.img"), "--json", "ls", "1",
                                    "--view", "deleted", "--recursive"});
  ASSERT_EQ(deleted.exitCode, 0) << deleted.err;
  // Deleted items keep their whole long names; their clusters are all free.
  for (const char* name : {"删除的文件.txt", "supprimé.bin", "delete-me.jpg", "Old Trip", "day2.jpg"})
    EXPECT_NE(deleted.out.find(name), std::string::npos) << name << "\n" << deleted.out;
  EXPECT_EQ(deleted.out.find("差"), std::string::npos) << deleted.out;

  // A fragmented file and one past 15 characters of name among them.
  const CliResult cat = RunCli({"--only-images", "--image", Fixture("exfat-card.img"), "cat", "1",
                                "clips/fragmented.bin"});
  EXPECT_EQ(cat.out, ReadFile(Fixture("exfat-card/live/clips/fragmented.bin")));
  ExpectSavesAll(Fixture("exfat-card.img"), {});

  // A basic-data entry of a GUID partition table.
  const CliResult gpt = RunCli({"--only-images", "--image", Fixture("exfat-gpt.img"), "drives"});
  EXPECT_NE(gpt.out.find("GPTEX"), std::string::npos) << gpt.out;
  EXPECT_NE(gpt.out.find("exFAT"), std::string::npos) << gpt.out;
}

TEST_F(CliExFAT, ZeroedMainBootSectorOpensFromTheBackupWithANote) {
  const std::string image = Damaged({32768});
  const CliResult drives = RunCli({"--only-images", "--image", image, "drives"});
  ASSERT_EQ(drives.exitCode, 0) << drives.err;
  EXPECT_NE(drives.out.find("备份引导扇区"), std::string::npos) << drives.out;
  ExpectSavesAll(image, {});
}

TEST_F(CliExFAT, CardWithoutPartitionTableNorMainBootSectorComesBackFromTheSearch) {
  const std::string image = Damaged({0, 32768});
  const CliResult none = RunCli({"--only-images", "--image", image, "drives"});
  EXPECT_EQ(none.out.find("CARD"), std::string::npos) << none.out;
  ExpectSavesAll(image, {"find-drives", "1", "then"});
}

TEST_F(CliExFAT, QuickFormattedCardGivesItsFoldersBackWithTheirNames) {
  const std::string to = tmp / "lost";
  fs::create_directories(to);
  const CliResult r = RunCli({"--only-images", "--image", Fixture("exfat-quick.img"), "find-lost", "1", "--range",
                              "all", "then", "save", "1", "/", "--view", "lost", "--to", to});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // The folders come back under their first clusters, with what they hold
  // under its own names; files without a chain byte for byte.
  std::map<std::string, std::string> byName;
  const auto nameOf = [](const std::string& path) { return path.substr(path.rfind('/') + 1); };
  for (const auto& [path, bytes] : Files(to)) byName[nameOf(path)] = bytes;
  const auto live = Files(Fixture("exfat-card/live"));
  for (const char* path : {"DCIM/100CAMER/IMG_0001.JPG", "DCIM/100CAMER/MVI_0003.MP4", "照片/北京 2023 长城.jpg",
                           "clips/between.bin"}) {
    const std::string name = nameOf(path);
    ASSERT_TRUE(byName.count(name)) << name << "\n" << r.out;
    EXPECT_EQ(byName[name], live.at(path)) << name;
  }
  EXPECT_TRUE(fs::exists(fs::path(to) / fs::path(u8"蔟 5") / "100CAMER")) << r.out;
}

}  // namespace
}  // namespace vantrel::test
