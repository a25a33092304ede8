// The sector layer over an in-memory platform: chunking, positioning, the
// cached read handles and the abort/retry/ignore prompt.

#include <gtest/gtest.h>

#include <numeric>

#include "diskio/SectorAccess.h"
#include "support/FakePlatform.h"

namespace vantrel {
namespace {

using test::FakePlatform;

std::vector<std::uint8_t> Pattern(std::size_t bytes) {
  std::vector<std::uint8_t> v(bytes);
  for (std::size_t i = 0; i < bytes; ++i) v[i] = static_cast<std::uint8_t>((i / 512) * 7 + i);
  return v;
}

struct ScriptedPrompt : IErrorPrompt {
  std::vector<TPromptAnswer> answers;
  std::vector<std::pair<std::string, std::string>> asked;
  TPromptAnswer AskAbortRetryIgnore(const std::string& caption, const std::string& text) override {
    asked.emplace_back(caption, text);
    if (answers.empty()) return TPromptAnswer::Abort;
    const TPromptAnswer a = answers.front();
    answers.erase(answers.begin());
    return a;
  }
};

class SectorAccess : public ::testing::Test {
 protected:
  void SetUp() override { SetErrorPrompt(&prompt); }
  void TearDown() override { SetErrorPrompt(nullptr); }
  FakePlatform platform;
  ScriptedPrompt prompt;
};

TEST_F(SectorAccess, ReadsIn64KiBChunks) {
  platform.AddPhysical(0x80, Pattern(300 * 512));
  std::vector<std::uint8_t> buffer(129 * 512);
  ASSERT_TRUE(ReadPhysicalSectors(0x80, 10, 129, false, buffer.data()));
  ASSERT_EQ(platform.readLog.size(), 2u);
  EXPECT_EQ(platform.readLog[0], std::make_pair(std::uint64_t{10 * 512}, std::size_t{65536}));
  EXPECT_EQ(platform.readLog[1], std::make_pair(std::uint64_t{138 * 512}, std::size_t{512}));
  const auto whole = Pattern(300 * 512);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), whole.begin() + 10 * 512));
}

TEST_F(SectorAccess, PositionsPastFourGiB) {
  platform.AddPhysical(0x80, Pattern(1024));
  std::vector<std::uint8_t> buffer(512);
  ReadPhysicalSectors(0x80, 0x00800000, 1, false, buffer.data());
  ASSERT_EQ(platform.readLog.size(), 1u);
  EXPECT_EQ(platform.readLog[0].first, 1ull << 32);
}

TEST_F(SectorAccess, DrivesWithoutDeviceFail) {
  platform.AddPhysical(0x80, Pattern(1024));
  std::vector<std::uint8_t> buffer(512);
  TDiskGeometry g;
  EXPECT_FALSE(ReadPhysicalSectors(0x05, 0, 1, true, buffer.data()));
  EXPECT_FALSE(GetPhysicalGeometry(0x05, g));
  EXPECT_FALSE(ReadPhysicalSectors(0x81, 0, 1, true, buffer.data()));
  EXPECT_TRUE(prompt.asked.empty());
}

TEST_F(SectorAccess, ReusesTheHandleOfTheSameDriveAndReopensOnSwitch) {
  platform.AddPhysical(0x00, Pattern(2880 * 512), 1);
  platform.AddPhysical(0x80, Pattern(4096));
  std::vector<std::uint8_t> buffer(512);
  ASSERT_TRUE(ReadPhysicalSectors(0x00, 0, 1, false, buffer.data()));
  ASSERT_TRUE(ReadPhysicalSectors(0x00, 1, 1, false, buffer.data()));
  ASSERT_TRUE(ReadPhysicalSectors(0x80, 0, 1, false, buffer.data()));
  ASSERT_TRUE(ReadPhysicalSectors(0x00, 2, 1, false, buffer.data()));
  EXPECT_EQ(platform.openedNames, (std::vector<std::string>{"phys0", "phys128", "phys0"}));
}

TEST_F(SectorAccess, ReadsThroughAnOpenHandleDoNotLookTheDeviceUpAgain) {
  platform.AddPhysical(0x80, Pattern(64 * 512));
  platform.AddLogical(4, Pattern(64 * 512));
  std::vector<std::uint8_t> buffer(512);
  ASSERT_TRUE(ReadPhysicalSectors(0x80, 0, 1, false, buffer.data()));
  ASSERT_TRUE(ReadLogicalSectors(4, 0, 1, buffer.data()));
  const int lookups = platform.nameLookups;
  for (std::uint32_t sector = 1; sector < 64; ++sector) {
    ASSERT_TRUE(ReadPhysicalSectors(0x80, sector, 1, false, buffer.data()));
    ASSERT_TRUE(ReadLogicalSectors(4, sector, 1, buffer.data()));
  }
  EXPECT_EQ(platform.nameLookups, lookups);
  EXPECT_EQ(platform.opens, 2);
}

TEST_F(SectorAccess, FailedReadWithoutPromptReturnsFalseSilently) {
  platform.AddPhysical(0x80, Pattern(300 * 512));
  platform.FailRange("phys128", 200 * 512, 512);
  std::vector<std::uint8_t> buffer(200 * 512);
  EXPECT_FALSE(ReadPhysicalSectors(0x80, 100, 200, false, buffer.data()));
  EXPECT_TRUE(prompt.asked.empty());
}

TEST_F(SectorAccess, PromptNamesTheWholeRequestAndAbortEndsTheRead) {
  platform.AddPhysical(0x80, Pattern(600 * 512));
  platform.FailRange("phys128", (5 + 256) * 512, 512, 23);  // inside the third chunk
  prompt.answers = {TPromptAnswer::Abort};
  std::vector<std::uint8_t> buffer(300 * 512);
  EXPECT_FALSE(ReadPhysicalSectors(0x80, 5, 300, true, buffer.data()));
  ASSERT_EQ(prompt.asked.size(), 1u);
  EXPECT_EQ(prompt.asked[0].first, "NT_read error");
  EXPECT_EQ(prompt.asked[0].second,
            "error no.23\r\ndrv:128 LBA:5 blocks:300\r\n\r\nAbort, Retry or Ignore?");
  EXPECT_EQ(platform.reads, 3);  // nothing after the failed chunk
}

TEST_F(SectorAccess, RetryReadsTheSameChunkAgain) {
  platform.AddPhysical(0x80, Pattern(64 * 512));
  platform.FailRange("phys128", 0, 512);
  int failuresLeft = 2;
  platform.OnRead = [&](const std::string&, std::uint64_t, std::size_t) {
    if (failuresLeft-- == 0) platform.ClearFailures();
  };
  prompt.answers = {TPromptAnswer::Retry, TPromptAnswer::Retry};
  std::vector<std::uint8_t> buffer(4 * 512);
  EXPECT_TRUE(ReadPhysicalSectors(0x80, 0, 4, true, buffer.data()));
  EXPECT_EQ(prompt.asked.size(), 2u);
  EXPECT_EQ(platform.reads, 3);
  EXPECT_EQ(buffer[513], Pattern(64 * 512)[513]);
}

TEST_F(SectorAccess, IgnoreDeliversTheStagingBufferAndGoesOn) {
  auto data = Pattern(400 * 512);
  platform.AddPhysical(0x80, data);
  std::vector<std::uint8_t> buffer(256 * 512);
  // A good read leaves sectors 0..127 in the staging buffer.
  ASSERT_TRUE(ReadPhysicalSectors(0x80, 0, 128, false, buffer.data()));
  platform.FailRange("phys128", 200 * 512, 128 * 512);
  prompt.answers = {TPromptAnswer::Ignore};
  std::fill(buffer.begin(), buffer.end(), 0xEE);
  ASSERT_TRUE(ReadPhysicalSectors(0x80, 200, 129, true, buffer.data()));
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 65536, data.begin()));
  // The failed chunk was followed by the rest of the request.
  EXPECT_TRUE(std::equal(buffer.begin() + 65536, buffer.begin() + 65536 + 512, data.begin() + 328 * 512));
}

TEST_F(SectorAccess, ShortReadPastTheEndFails) {
  platform.AddPhysical(0x80, Pattern(10 * 512));
  std::vector<std::uint8_t> buffer(4 * 512);
  EXPECT_FALSE(ReadPhysicalSectors(0x80, 8, 4, false, buffer.data()));
  EXPECT_TRUE(ReadPhysicalSectors(0x80, 6, 4, false, buffer.data()));
}

TEST_F(SectorAccess, LogicalReadsUseTheDriveSectorSizeAndNeverPrompt) {
  auto& d = platform.AddLogical(4, Pattern(512 * 1024));
  d.geometry.BytesPerSector = 2048;
  std::vector<std::uint8_t> buffer(40 * 2048);
  ASSERT_TRUE(ReadLogicalSectors(4, 3, 40, buffer.data()));
  ASSERT_EQ(platform.readLog.size(), 2u);
  EXPECT_EQ(platform.readLog[0], std::make_pair(std::uint64_t{3 * 2048}, std::size_t{65536}));
  EXPECT_EQ(platform.readLog[1].second, std::size_t{8 * 2048});
  platform.FailRange("log4", 0, 2048);
  EXPECT_FALSE(ReadLogicalSectors(4, 0, 1, buffer.data()));
  EXPECT_TRUE(prompt.asked.empty());
}

TEST_F(SectorAccess, LogicalReadsStartAtTheSectorTimesItsSize) {
  const auto data = Pattern(64 * 1024);
  platform.AddLogical(6, data).geometry.BytesPerSector = 520;
  std::vector<std::uint8_t> buffer(2 * 520);
  ASSERT_TRUE(ReadLogicalSectors(6, 3, 2, buffer.data()));
  ASSERT_EQ(platform.readLog.size(), 1u);
  EXPECT_EQ(platform.readLog[0], std::make_pair(std::uint64_t{3 * 520}, std::size_t{2 * 520}));
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), data.begin() + 3 * 520));
}

TEST_F(SectorAccess, ALogicalDriveCountsItsSizeInItsOwnSectors) {
  // 1 MiB in sectors of 4096 bytes: 256 of them, not 2048.
  platform.AddLogical(7, std::vector<std::uint8_t>(1 << 20)).geometry.BytesPerSector = 4096;
  TDiskGeometry g;
  ASSERT_TRUE(GetLogicalGeometry(7, g));
  EXPECT_EQ(g.TotalSectors, 256u);
  // Physical reads stay in 512-byte sectors.
  platform.AddPhysical(0x80, std::vector<std::uint8_t>(1 << 20)).geometry.BytesPerSector = 4096;
  ASSERT_TRUE(GetPhysicalGeometry(0x80, g));
  EXPECT_EQ(g.TotalSectors, 2048u);
}

TEST_F(SectorAccess, GeometryKinds) {
  platform.AddLogical(5, Pattern(4096)).driveType = dtCDROM;
  TDiskGeometry g;
  ASSERT_TRUE(GetLogicalGeometry(5, g));
  EXPECT_EQ(g.MediaKind, 4);
  EXPECT_EQ(g.Removable, 1);
  EXPECT_EQ(g.BytesPerSector, 2048u);
  EXPECT_EQ(g.TotalSectors, 0u);

  platform.AddPhysical(0x80, Pattern(4096), 3);
  platform.AddPhysical(0x81, Pattern(4096), 2);
  ASSERT_TRUE(GetPhysicalGeometry(0x80, g));
  EXPECT_EQ(g.Removable, 0);
  ASSERT_TRUE(GetPhysicalGeometry(0x81, g));
  EXPECT_EQ(g.MediaKind, 2);
  EXPECT_EQ(g.Removable, 1);
}

}  // namespace
}  // namespace vantrel
