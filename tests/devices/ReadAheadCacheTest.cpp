// The read-ahead cache: fills, ageing, partial hits, fills that stop at the
// end of the device, requests longer than a fill and destroyed devices.

#include <gtest/gtest.h>

#include "devices/ReadAheadCache.h"
#include "devices/TDevice.h"
#include "diskio/SectorAccess.h"
#include "support/FakePlatform.h"

namespace vantrel {
namespace {

std::vector<std::uint8_t> Numbered(std::uint32_t sectors) {
  std::vector<std::uint8_t> v(sectors * 512);
  for (std::uint32_t s = 0; s < sectors; ++s)
    for (int i = 0; i < 4; ++i) v[s * 512 + i] = static_cast<std::uint8_t>(s >> (8 * i));
  return v;
}

std::uint32_t SectorAt(const std::vector<std::uint8_t>& buffer, std::size_t index) {
  const std::size_t o = index * 512;
  return buffer[o] | (buffer[o + 1] << 8) | (buffer[o + 2] << 16) | (static_cast<std::uint32_t>(buffer[o + 3]) << 24);
}

class ReadAheadCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform.AddPhysical(0x80, Numbered(10000));
    SetReadAheadCacheSwitch(true);
    device = MakeDevice(0x80, 10000, 100);
  }
  void TearDown() override {
    SetReadAheadCacheSwitch(false);
    SetErrorPrompt(nullptr);
  }

  std::unique_ptr<TDevice> MakeDevice(std::uint8_t number, std::uint32_t total, std::uint32_t readAhead) {
    auto d = std::make_unique<TDevice>();
    d->Number = number;
    d->TotalSectors = total;
    d->ReadAhead = readAhead;
    d->SetCacheEnabled(true);
    return d;
  }

  std::vector<std::uint8_t> Read(TDevice& d, std::uint32_t first, std::uint16_t count) {
    std::vector<std::uint8_t> buffer(count * 512);
    EXPECT_TRUE(d.ReadSectors(first, count, false, buffer.data()));
    for (std::uint16_t i = 0; i < count; ++i) EXPECT_EQ(SectorAt(buffer, i), first + i);
    return buffer;
  }

  test::FakePlatform platform;
  std::unique_ptr<TDevice> device;
};

TEST_F(ReadAheadCacheTest, MissFillsTheFirstEntryAndLaterReadsAreServedFromIt) {
  Read(*device, 10, 4);
  auto e = CacheEntryState(0);
  EXPECT_EQ(e.Owner, device.get());
  EXPECT_EQ(e.First, 10u);
  EXPECT_EQ(e.Last, 109u);
  EXPECT_EQ(e.Age, 15);
  ASSERT_EQ(platform.reads, 1);
  EXPECT_EQ(platform.readLog[0].second, 100u * 512);

  Read(*device, 14, 1);
  EXPECT_EQ(platform.reads, 1);
  EXPECT_EQ(CacheEntryState(0).Age, 15);  // already at the top
}

TEST_F(ReadAheadCacheTest, EntriesAgeAndTheOldestIsReplaced) {
  Read(*device, 0, 1);     // entry 0
  Read(*device, 1000, 1);  // entry 1: entry 0 aged to 14 on the lookup, 13 after the refill lookup
  EXPECT_EQ(CacheEntryState(1).First, 1000u);
  EXPECT_LT(CacheEntryState(0).Age, 15);
  Read(*device, 2000, 1);
  Read(*device, 3000, 1);
  Read(*device, 4000, 1);  // all four used: the lowest age is entry 0
  EXPECT_EQ(CacheEntryState(0).First, 4000u);
  EXPECT_EQ(CacheEntryState(1).First, 1000u);
}

TEST_F(ReadAheadCacheTest, PartialHitLoadsTheRestFromTheFirstMissingSector) {
  Read(*device, 0, 1);  // holds 0..99
  platform.readLog.clear();
  Read(*device, 95, 10);
  ASSERT_EQ(platform.readLog.size(), 1u);
  EXPECT_EQ(platform.readLog[0].first, 100u * 512);
  EXPECT_EQ(CacheEntryState(1).First, 100u);
}

TEST_F(ReadAheadCacheTest, RequestLongerThanAFillIsReadWhole) {
  platform.readLog.clear();
  Read(*device, 50, 250);
  // One fill of 100 sectors, then the remaining 150 read directly (in two 64 KiB chunks).
  ASSERT_EQ(platform.readLog.size(), 3u);
  EXPECT_EQ(platform.readLog[0].second, 100u * 512);
  EXPECT_EQ(platform.readLog[1].first, 150u * 512);
  EXPECT_EQ(platform.readLog[1].second + platform.readLog[2].second, 150u * 512);
}

TEST_F(ReadAheadCacheTest, FillNearTheEndStopsAtTheLastSector) {
  Read(*device, 9950, 2);
  EXPECT_EQ(CacheEntryState(0).Last, 9999u);
  // At or past the end the cache is not used: the read goes to the device and fails there.
  std::vector<std::uint8_t> buffer(512);
  const int before = platform.reads;
  EXPECT_FALSE(device->ReadSectors(10000, 1, false, buffer.data()));
  EXPECT_EQ(platform.reads, before + 1);
}

TEST_F(ReadAheadCacheTest, AFailedFillIsSplitOnceAndKeepsEveryGoodSector) {
  Read(*device, 0, 1);
  platform.FailRange("phys128", 600 * 512, 512);  // inside the fill, not the request
  std::vector<std::uint8_t> buffer(512);
  // Entry 0 is the victim only once it is the oldest; fill entries 1..3 first.
  Read(*device, 1000, 1);
  Read(*device, 2000, 1);
  Read(*device, 3000, 1);
  EXPECT_TRUE(device->ReadSectors(550, 1, false, buffer.data()));
  EXPECT_EQ(SectorAt(buffer, 0), 550u);
  // The entry holds the fill; the bad sector is remembered, not served.
  bool anyHolds550 = false;
  for (int i = 0; i < kCacheEntries; ++i) {
    const auto e = CacheEntryState(i);
    if (e.Owner && e.First <= 550 && 649 <= e.Last) anyHolds550 = true;
  }
  EXPECT_TRUE(anyHolds550);
  EXPECT_TRUE(device->HasUnreadableSectors(600, 1));
  EXPECT_EQ(device->Unreadable().Size(), 1u);
  const int before = platform.reads;
  Read(*device, 601, 40);
  EXPECT_EQ(platform.reads, before);
  EXPECT_FALSE(device->ReadSectors(598, 4, false, std::vector<std::uint8_t>(4 * 512).data()));
}

TEST_F(ReadAheadCacheTest, AFailedFillAsksNothingOnlyTheRequestedSectorsDo) {
  struct CountingPrompt : IErrorPrompt {
    std::vector<std::string> asked;
    TPromptAnswer AskAbortRetryIgnore(const std::string&, const std::string& text) override {
      asked.push_back(text);
      return TPromptAnswer::Abort;
    }
  } prompt;
  SetErrorPrompt(&prompt);
  platform.FailRange("phys128", 600 * 512, 512);
  std::vector<std::uint8_t> buffer(512);
  // Every fill from 550 on reaches the bad sector; the sectors asked for are good.
  for (std::uint32_t sector = 550; sector < 600; ++sector) {
    ASSERT_TRUE(device->ReadSectors(sector, 1, true, buffer.data()));
    EXPECT_EQ(SectorAt(buffer, 0), sector);
  }
  EXPECT_TRUE(prompt.asked.empty());
  EXPECT_FALSE(device->ReadSectors(600, 1, true, buffer.data()));
  ASSERT_EQ(prompt.asked.size(), 1u);
  EXPECT_NE(prompt.asked[0].find("LBA:600 blocks:1"), std::string::npos) << prompt.asked[0];
}

TEST_F(ReadAheadCacheTest, AFailedFillIsNotTriedAgainFromEachSectorItCovers) {
  platform.FailRange("phys128", 600 * 512, 512);
  for (std::uint32_t sector = 550; sector < 650; ++sector) {
    std::vector<std::uint8_t> buffer(512);
    EXPECT_EQ(device->ReadSectors(sector, 1, false, buffer.data()), sector != 600);
  }
  // A bad sector may take the device seconds each time: it is read by the
  // first fill and once more when that fill is split, no more.
  int badReads = 0;
  for (const auto& [offset, size] : platform.readLog) badReads += offset <= 600 * 512 && 600 * 512 < offset + size;
  EXPECT_EQ(badReads, 2);
  // One failed fill, then each sector of its range on its own, once.
  EXPECT_EQ(platform.reads, 1 + 100);
  // Past the range the cache fills again.
  Read(*device, 650, 1);
  Read(*device, 651, 1);
  EXPECT_EQ(platform.reads, 1 + 100 + 1);
}

TEST_F(ReadAheadCacheTest, DestroyingADeviceEmptiesOnlyItsEntries) {
  platform.AddPhysical(0x81, Numbered(5000));
  auto other = MakeDevice(0x81, 5000, 100);
  Read(*device, 0, 1);
  Read(*other, 0, 1);
  TDevice* gone = device.get();
  device.reset();
  for (int i = 0; i < kCacheEntries; ++i) EXPECT_NE(CacheEntryState(i).Owner, gone);
  EXPECT_EQ(CacheEntryState(1).Owner, other.get());
}

TEST_F(ReadAheadCacheTest, OffSwitchOrDisabledDeviceReadsDirectly) {
  SetReadAheadCacheSwitch(false);
  Read(*device, 10, 1);
  EXPECT_EQ(CacheEntryState(0).Owner, nullptr);
  SetReadAheadCacheSwitch(true);
  device->SetCacheEnabled(false);
  Read(*device, 10, 1);
  EXPECT_EQ(CacheEntryState(0).Owner, nullptr);
  EXPECT_EQ(platform.reads, 2);
}

}  // namespace
}  // namespace vantrel

namespace vantrel {
namespace {

// A bad sector is remembered per device: asked about again without being
// read, read again only on Retry, zeros on Ignore.
TEST(DeviceBadSectors, ABadSectorIsReadAgainOnlyWhenTheUserAnswersRetry) {
  struct ScriptedPrompt : IErrorPrompt {
    std::vector<TPromptAnswer> answers;
    int asked = 0;
    TPromptAnswer AskAbortRetryIgnore(const std::string&, const std::string&) override {
      return answers.at(static_cast<std::size_t>(asked++));
    }
  } prompt;
  test::FakePlatform platform;
  std::vector<std::uint8_t> data(64 * 512, 0xAB);
  platform.AddPhysical(0x80, data);
  platform.FailRange("phys128", 10 * 512, 512);
  SetErrorPrompt(&prompt);
  TDevice device;
  device.Number = 0x80;
  device.TotalSectors = 64;
  auto badReads = [&] {
    int n = 0;
    for (const auto& [offset, size] : platform.readLog) n += offset <= 10 * 512 && 10 * 512 < offset + size;
    return n;
  };
  std::vector<std::uint8_t> buffer(16 * 512, 0x11);
  // Without prompt: one read, one split; every good sector delivered, the bad one zeros.
  EXPECT_FALSE(device.ReadSectors(0, 16, false, buffer.data()));
  EXPECT_EQ(badReads(), 2);
  EXPECT_EQ(buffer[9 * 512], 0xAB);
  EXPECT_EQ(buffer[10 * 512], 0);
  EXPECT_EQ(buffer[11 * 512], 0xAB);
  // Ignore: true, zeros, not read; Abort: false, not read.
  prompt.answers = {TPromptAnswer::Ignore, TPromptAnswer::Abort, TPromptAnswer::Retry, TPromptAnswer::Retry};
  EXPECT_TRUE(device.ReadSectors(8, 4, true, buffer.data()));
  EXPECT_EQ(buffer[2 * 512], 0);
  EXPECT_FALSE(device.ReadSectors(10, 1, true, buffer.data()));
  EXPECT_EQ(badReads(), 2);
  EXPECT_TRUE(device.HasUnreadableSectors(10, 1));
  // Retry reads it again; once it reads, it is forgotten.
  platform.ClearFailures();
  EXPECT_TRUE(device.ReadSectors(10, 1, true, buffer.data()));
  EXPECT_EQ(badReads(), 3);
  EXPECT_EQ(buffer[0], 0xAB);
  EXPECT_FALSE(device.HasUnreadableSectors(0, 64));
  SetErrorPrompt(nullptr);
}

}  // namespace
}  // namespace vantrel
