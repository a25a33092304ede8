// The imaging map: runs split and joined as statuses change, the text GNU
// ddrescue writes and reads, and maps that are refused with the line at fault.

#include <gtest/gtest.h>

#include "recovery/RescueMap.h"

namespace vantrel {
namespace {

std::string Runs(const TRescueMap& map) {
  std::string s;
  for (const auto& [pos, r] : map.Runs()) s += std::to_string(r.Pos) + ":" + std::to_string(r.Size) + static_cast<char>(r.Status) + " ";
  return s;
}

TEST(RescueMap, RunsSplitAndJoinAndTheTextReadsBack) {
  TRescueMap map(4096);
  map.Set(1024, 512, rsBadSector);
  map.Set(0, 1024, rsFinished);
  map.Set(1536, 2560, rsFinished);
  EXPECT_EQ(Runs(map), "0:1024+ 1024:512- 1536:2560+ ");
  EXPECT_EQ(map.BadAreas(), 1u);
  map.Set(1024, 512, rsFinished);
  EXPECT_EQ(Runs(map), "0:4096+ ");
  map.Set(4000, 1000, rsNonTrimmed);  // cut at the end of the device
  EXPECT_EQ(Runs(map), "0:4000+ 4000:96* ");
  TRescueRun run;
  ASSERT_TRUE(map.FindNext(4050, rsNonTrimmed, run));
  EXPECT_EQ(run.Pos, 4050u);
  EXPECT_EQ(run.Size, 46u);
  EXPECT_FALSE(map.FindNext(0, rsNonScraped, run));

  TRescueMap back;
  std::string error;
  ASSERT_TRUE(TRescueMap::Parse(map.Text("test"), 4096, back, error)) << error;
  EXPECT_EQ(Runs(back), Runs(map));
}

TEST(RescueMap, MapsThatDoNotParseOverlapLeaveGapsOrDescribeAnotherSizeAreRefused) {
  const std::string head = "# Mapfile. Created by GNU ddrescue version 1.27\n# current_pos  current_status  current_pass\n0x00000000     ?               1\n";
  TRescueMap map;
  std::string error;
  EXPECT_TRUE(TRescueMap::Parse(head + "0x0 0x800 +\n0x800 0x800 ?\n", 4096, map, error)) << error;
  EXPECT_FALSE(TRescueMap::Parse(head + "0x0 0x800 +\n0x400 0xC00 ?\n", 4096, map, error));
  EXPECT_EQ(error, "map line 5: overlaps the run before it: \"0x400 0xC00 ?\"");
  EXPECT_FALSE(TRescueMap::Parse(head + "0x0 0x800 +\n0x900 0x700 ?\n", 4096, map, error));
  EXPECT_EQ(error, "map line 5: leaves a gap after byte 2048: \"0x900 0x700 ?\"");
  EXPECT_FALSE(TRescueMap::Parse(head + "0x0 0x800 x\n", 4096, map, error));
  EXPECT_EQ(error.rfind("map line 4: not a run", 0), 0u) << error;
  EXPECT_FALSE(TRescueMap::Parse(head + "0x0 0x800 +\n", 4096, map, error));
  EXPECT_EQ(error, "map line 4: describes 2048 bytes, the device has 4096");
  EXPECT_FALSE(TRescueMap::Parse("hello\n", 4096, map, error));
  EXPECT_EQ(error.rfind("map line 1: not a status line", 0), 0u) << error;
}

}  // namespace
}  // namespace vantrel
