// vantrel-cli on a failing disk: a FAT16 volume made by mkfs.fat and mtools,
// served through FUSE with one unreadable sector in the first FAT and one in
// each of three files. Saved directly, every undamaged file comes back
// byte-exact, every damaged one is named with the bytes it lost, and no bad
// sector is read more than twice. Imaged, every good byte is rescued into an
// image whose map names the bad sectors, a stopped run resumes, and saving
// from the image with its map names the same files without a failing disk.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>
#include <map>
#include <stdexcept>

#include "cli/CliRunner.h"
#include "support/FailingDisk.h"
#include "support/TempDir.h"

namespace vantrel::test {
namespace {

namespace fs = std::filesystem;

// 16 files: the later files' chains lie in the second sector of the FAT.
FailingVolume MakeVolume(const TempDir& dir) {
  FailingVolume v;
  if (!MakeFailingVolume(dir.Path().string(), 16, 100, v)) throw std::runtime_error("the failing volume was not made");
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
    setup.BadDelay = badDelay;
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

  double badDelay = 0.02;  // seconds a failing read takes
  TempDir dir;
  FailingVolume volume;
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

// Bytes of the image that differ from the volume outside the bad sectors.
std::size_t GoodBytesWrong(const std::string& volume, const std::string& image, const std::vector<std::uint64_t>& bad) {
  if (image.size() != volume.size()) return volume.size();
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < volume.size(); ++i)
    if (volume[i] != image[i] && std::find(bad.begin(), bad.end(), i / 512) == bad.end()) ++wrong;
  return wrong;
}

double Seconds(const std::function<void()>& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

TEST_F(CliFailingDiskTest, ImagedEveryGoodByteIsRescuedAndSavingFromTheImageWithItsMapNamesTheSameFiles) {
  const std::string image = dir / "rescued.img", map = dir / "rescued.map";
  CliResult r;
  const double ours = Seconds([&] { r = RunCli({"--image", disk->Path(), "image", "1", "--to", image, "--map", map}); });
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(GoodBytesWrong(ReadFile(volume.image), ReadFile(image), bad), 0u);
  EXPECT_LE(MostBadReads(), 2u);
  // The map names exactly the bad sectors, and ddrescue reads it.
  const std::string text = ReadFile(map);
  for (auto s : bad) {
    char run[64];
    std::snprintf(run, sizeof run, "0x%08llX  0x00000200  -", static_cast<unsigned long long>(s * 512));
    EXPECT_NE(text.find(run), std::string::npos) << run << "\n" << text;
  }
  if (test::Run("command -v ddrescuelog >/dev/null")) {
    EXPECT_TRUE(test::Run("ddrescuelog -t '" + map + "' >/dev/null 2>&1")) << text;
  }

  // GNU ddrescue on the same disk: ours takes no much longer and reads no bad sector more often.
  if (test::Run("command -v ddrescue >/dev/null")) {
    const auto before = disk->Counts();
    const double theirs =
        Seconds([&] { test::Run("ddrescue -q '" + disk->Path() + "' '" + (dir / "dd.img") + "' '" + (dir / "dd.map") + "'"); });
    unsigned theirMost = 0;
    for (auto s : bad) {
      const auto b = before.count(s) ? before.at(s) : 0u;
      theirMost = std::max(theirMost, disk->MostReads(s, s) - b);
    }
    EXPECT_LE(MostBadReads() - theirMost, theirMost);
    EXPECT_LE(ours, theirs * 1.5 + 1.0) << "ours " << ours << " s, ddrescue " << theirs << " s";
  }

  // From the image with its map: the same files named, no failing disk needed.
  const fs::path out = dir.Path() / "from-image";
  r = RunCli({"--image", image, "--map", map, "save", "1", "/", "--to", out.string()});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("4 sector(s) not rescued"), std::string::npos) << r.err;
  ExpectSaved(out, r.err);
}

// Failing reads slow enough that a run is surely stopped before its end.
class CliSlowFailingDiskTest : public CliFailingDiskTest {
 protected:
  void SetUp() override {
    badDelay = 0.15;
    CliFailingDiskTest::SetUp();
  }
};

TEST_F(CliSlowFailingDiskTest, AStoppedImagingRunResumesFromItsMapAndBadInputIsRefused) {
  const std::string image = dir / "rescued.img", map = dir / "rescued.map";
  const std::string cli = VANTREL_CLI;
  // Stopped by Ctrl+C part way: the map says what was done.
  test::Run("timeout -s INT 0.4 " + cli + " --image '" + disk->Path() + "' image 1 --to '" + image + "' --map '" + map +
      "' 2>/dev/null");
  ASSERT_TRUE(fs::exists(map));
  EXPECT_EQ(ReadFile(map).find("# Finished"), std::string::npos) << "the first run was not stopped";
  const CliResult r = RunCli({"--image", disk->Path(), "image", "1", "--to", image, "--map", map});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(GoodBytesWrong(ReadFile(volume.image), ReadFile(image), bad), 0u);
  EXPECT_LE(MostBadReads(), 2u);

  // A map that does not parse, or describes another size: one line naming the line, the image untouched.
  const std::string good = ReadFile(map), imaged = ReadFile(image);
  std::string broken = good;
  broken.replace(broken.rfind("0x"), 2, "zz");
  WriteFile(map, broken);
  CliResult bad1 = RunCli({"--image", disk->Path(), "image", "1", "--to", image, "--map", map});
  EXPECT_EQ(bad1.exitCode, 1);
  EXPECT_NE(bad1.err.find("map line "), std::string::npos) << bad1.err;
  WriteFile(map, "0 +\n0 0x1000 +\n");
  CliResult bad2 = RunCli({"--image", disk->Path(), "image", "1", "--to", image, "--map", map});
  EXPECT_NE(bad2.err.find("describes 4096 bytes, the device has 8388608"), std::string::npos) << bad2.err;
  EXPECT_TRUE(ReadFile(image) == imaged);
  // An image without its map would be overwritten; the device itself is never a target.
  fs::remove(map);
  CliResult noMap = RunCli({"--image", disk->Path(), "image", "1", "--to", image});
  EXPECT_NE(noMap.err.find("exists and has no map"), std::string::npos) << noMap.err;
  CliResult onDevice = RunCli({"--image", disk->Path(), "image", "1", "--to", disk->Path(), "--map", dir / "x.map"});
  EXPECT_NE(onDevice.err.find("onto the device being read"), std::string::npos) << onDevice.err;
  EXPECT_TRUE(ReadFile(image) == imaged);
}

TEST_F(CliFailingDiskTest, AFullTargetDiskEndsWithAClearMessageAndAMapOfWhatWasWritten) {
  const fs::path full = dir.Path() / "full";
  fs::create_directories(full);
  if (!test::Run("mount -t tmpfs -o size=2m tmpfs '" + full.string() + "' 2>/dev/null"))
    GTEST_SKIP() << "cannot mount a small tmpfs here";
  const std::string image = (full / "rescued.img").string(), map = dir / "full.map";
  const CliResult r = RunCli({"--image", disk->Path(), "image", "1", "--to", image, "--map", map});
  const std::string imaged = ReadFile(image), source = ReadFile(volume.image);
  test::Run("umount '" + full.string() + "'");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("is its disk full?"), std::string::npos) << r.err;
  // What the map holds as rescued is in the image, byte for byte.
  const std::string text = ReadFile(map);
  std::istringstream lines(text);
  std::string line;
  std::uint64_t rescued = 0;
  bool status = false;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (!status) {
      status = true;
      continue;
    }
    unsigned long long pos = 0, size = 0;
    char c = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%llx %llx %c", &pos, &size, &c), 3) << line;
    if (c != '+') continue;
    rescued += size;
    ASSERT_LE(pos + size, imaged.size()) << line;
    EXPECT_EQ(imaged.compare(pos, size, source, pos, size), 0) << line;
  }
  EXPECT_GT(rescued, 0u);
  EXPECT_LE(rescued, 2u << 20);
}

}  // namespace
}  // namespace vantrel::test
