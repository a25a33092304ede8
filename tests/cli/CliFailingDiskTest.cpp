// vantrel-cli on a failing disk: a FAT16 volume made by mkfs.fat and mtools,
// served through FUSE with one unreadable sector in the first FAT and one in
// each of three files. Saved directly, every undamaged file comes back
// byte-exact, every damaged one is named with the bytes it lost, and no bad
// sector is read more than twice. Imaged, every good byte is rescued into an
// image whose map names the bad sectors, a stopped run resumes, and saving
// from the image with its map names the same files without a failing disk.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "cli/CliRunner.h"
#include "support/FailingDisk.h"
#include "support/TempDir.h"

namespace vantrel::test {
namespace {

namespace fs = std::filesystem;

unsigned Le(const std::string& b, std::size_t at, int width) {
  unsigned v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
  return v;
}

void Tool(const std::string& command) {
  if (!Run("MTOOLS_SKIP_CHECK=1 SOURCE_DATE_EPOCH=1700000000 TZ=UTC " + command + " >/dev/null"))
    throw std::runtime_error("failed: " + command);
}

struct Volume {
  std::string image;
  std::map<std::string, std::string> files;       // name → content
  std::map<std::string, std::uint64_t> firstSector;  // name → its first sector (files are contiguous)
  std::uint64_t fat1 = 0, fatSize = 0;
};

// 16 files of 64 KiB on a fresh FAT16 volume of 16 MiB with 2 KiB clusters:
// the later files' chains lie in the second sector of the FAT.
Volume MakeVolume(const TempDir& dir) {
  Volume v;
  v.image = dir / "disk.img";
  Tool("mkfs.fat -C -F 16 -s 4 --invariant -i c11c11aa " + v.image + " 16384");
  const fs::path src = dir.Path() / "src";
  fs::create_directories(src);
  std::string list;
  for (int i = 0; i < 16; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "F%02d.BIN", i);
    v.files[name] = Pattern(static_cast<std::uint32_t>(100 + i), 65536 - 300 * i);
    WriteFile((src / name).string(), v.files[name]);
    list += " " + (src / name).string();
  }
  Tool("mcopy -i " + v.image + list + " ::/");
  const std::string b = ReadFile(v.image);
  const unsigned reserved = Le(b, 14, 2), fats = b[16], rootEntries = Le(b, 17, 2), fatSize = Le(b, 22, 2);
  const unsigned spc = static_cast<unsigned char>(b[13]);
  const std::uint64_t root = reserved + fats * fatSize, data = root + rootEntries * 32 / 512;
  v.fat1 = reserved;
  v.fatSize = fatSize;
  for (unsigned e = 0; e < rootEntries; ++e) {
    const std::size_t at = root * 512 + e * 32;
    if (b[at] == 0) break;
    std::string name = b.substr(at, 8);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    name += "." + b.substr(at + 8, 3);
    if (v.files.count(name)) v.firstSector[name] = data + (Le(b, at + 26, 2) - 2) * std::uint64_t{spc};
  }
  return v;
}

class CliFailingDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = FailingDiskUnavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    volume = MakeVolume(dir);
    // FAT 1's second sector, and one sector inside each of three files.
    bad = {volume.fat1 + 1, volume.firstSector.at("F02.BIN") + 7, volume.firstSector.at("F09.BIN") + 40,
           volume.firstSector.at("F14.BIN") + 100};
    std::string badList;
    for (auto s : bad) badList += (badList.empty() ? "" : ",") + std::to_string(s);
    FailingDiskSetup setup;
    setup.Bad = badList;
    setup.BadDelay = 0.02;
    disk = std::make_unique<FailingDisk>(volume.image, dir / "mnt", setup);
    ASSERT_TRUE(disk->Ready()) << "the failing disk was not served";
  }
  void TearDown() override { disk.reset(); }

  unsigned MostBadReads() const {
    unsigned most = 0;
    for (auto s : bad) most = std::max(most, disk->MostReads(s, s));
    return most;
  }

  // Every file of the volume in the folder: undamaged ones byte-exact,
  // damaged ones with zeros at the bad sector and named on standard error.
  void ExpectSaved(const fs::path& out, const std::string& err) {
    const std::map<std::string, std::uint64_t> damagedAt{{"F02.BIN", 7 * 512}, {"F09.BIN", 40 * 512},
                                                         {"F14.BIN", 100 * 512}};
    for (const auto& [name, content] : volume.files) {
      std::string expected = content;
      const auto d = damagedAt.find(name);
      if (d != damagedAt.end()) {
        std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(d->second), 512, '\0');
        const std::string line = name + " (512 of " + std::to_string(content.size()) + " bytes unreadable: bytes " +
                                 std::to_string(d->second) + "-" + std::to_string(d->second + 511) + ")";
        EXPECT_NE(err.find(line), std::string::npos) << line << "\n" << err;
      } else {
        EXPECT_EQ(err.find(name + " ("), std::string::npos) << name << " is not damaged\n" << err;
      }
      EXPECT_TRUE(ReadFile((out / name).string()) == expected) << name;
    }
  }

  TempDir dir;
  Volume volume;
  std::vector<std::uint64_t> bad;
  std::unique_ptr<FailingDisk> disk;
};

TEST_F(CliFailingDiskTest, ReadDirectlyEveryGoodFileIsExactEveryDamagedOneNamedAndNoBadSectorReadTwice) {
  const fs::path out = dir.Path() / "out";
  const CliResult r = RunCli({"--image", disk->Path(), "--on-error", "ignore", "--json", "save", "1", "/", "--to",
                              out.string()});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  ExpectSaved(out, r.err);
  EXPECT_NE(r.out.find("\"lost\": [{\"first\": 3584, \"count\": 512}]"), std::string::npos) << r.out;
  EXPECT_LE(MostBadReads(), 2u);
}

}  // namespace
}  // namespace vantrel::test
