// Shared routines: FAT dates, wildcard masks, shortened paths, long-name
// characters and the debug log.

#include <gtest/gtest.h>

#include "app/TDebugBox.h"
#include "common/DebugLog.h"
#include "common/HexDump.h"
#include "common/Routines.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

TEST(FormatDosDateTime, DayMonthFullYearHourMinute) {
  EXPECT_EQ(FormatDosDateTime(0x7A3C, 0x2E6A), "10.03.2003 15:17");
  EXPECT_EQ(FormatDosDateTime(0, 0), "00.00.1980 00:00");
  EXPECT_EQ(FormatDosDateTime(0xFFFF, 0xFFFF), "31.15.2107 31:63");
}

TEST(MatchesMask, WildcardsAndCase) {
  EXPECT_TRUE(MatchesMask("report.doc", "*report*", '?', false, '*'));
  EXPECT_FALSE(MatchesMask("report.doc", "*REPORT*", '?', true, '*'));
  EXPECT_TRUE(MatchesMask("report.doc", "*REPORT*", '?', false, '*'));
  EXPECT_TRUE(MatchesMask("a.txt", "?.txt", '?', false, '*'));
  EXPECT_FALSE(MatchesMask("ab.txt", "?.txt", '?', false, '*'));
  EXPECT_TRUE(MatchesMask("abc", "abc*", '?', false, '*'));
  EXPECT_FALSE(MatchesMask("ab", "abc*", '?', false, '*'));
  EXPECT_TRUE(MatchesMask("anything", "*", '?', false, '*'));
  EXPECT_TRUE(MatchesMask("ab", "a*b", '?', false, '*'));
  EXPECT_TRUE(MatchesMask("axxb", "a*b", '?', false, '*'));
  // A run followed by more pattern needs a character left to try.
  EXPECT_FALSE(MatchesMask("a", "a**", '?', false, '*'));
  EXPECT_TRUE(MatchesMask("ax", "a**", '?', false, '*'));
}

TEST(MatchesMask, MatchesByCharacterNotByte) {
  EXPECT_TRUE(MatchesMask("报告.doc", "??.doc", '?', false, '*'));
  EXPECT_TRUE(MatchesMask("新建文件夹", "*文件*", '?', false, '*'));
  EXPECT_FALSE(MatchesMask("报告.doc", "?.doc", '?', false, '*'));
}

TEST(MatchesMask, ManyRunsOnALongNameFinishQuickly) {
  const std::string name(255, 'a');
  EXPECT_FALSE(MatchesMask(name, "*a*a*a*a*a*a*a*a*a*a*b", '?', false, '*'));
}

TEST(ShortenPath, ReplacesMiddleFolders) {
  EXPECT_EQ(ShortenPath("C:\\A\\B\\C\\D\\file.txt", 15), "C:\\...\\file.txt");
  EXPECT_EQ(ShortenPath("C:\\file.txt", 5), "C:\\file.txt");
  EXPECT_EQ(ShortenPath("/a/b/c/d/e/file.txt", 15), "/.../e/file.txt");
}

TEST(WideToUtf8, KeepsEveryCharacter) {
  const std::uint16_t name[] = {0x4E2D, 0x6587, '.', 't', 'x', 't', 0, 'x'};
  EXPECT_EQ(WideToUtf8(name, 8), "中文.txt");
  const std::uint16_t emoji[] = {0xD83D, 0xDE00, 0xD800, 'a'};
  EXPECT_EQ(WideToUtf8(emoji, 4), "\xF0\x9F\x98\x80\xEF\xBF\xBD" "a");
  EXPECT_EQ(WideToUtf8(name, 2), "中文");
}

TEST(Utf8, InvalidBytesSurviveARoundTrip) {
  const std::string raw = "\xE5" "BC.TXT";
  EXPECT_EQ(Utf8SequenceLength(raw, 0), 0u);
  EXPECT_EQ(CodePointsToUtf8(Utf8ToCodePoints(raw)), raw);
  EXPECT_EQ(Utf8SequenceLength("大", 0), 3u);
}

TEST(FreeSpace, SixtyFourBitCountOfTheFileSystemHoldingAPath) {
  test::TempDir dir;
  EXPECT_GT(GetFreeBytes(dir.Path().string()), 0u);
  // A path that does not exist yet counts on its nearest existing folder.
  EXPECT_EQ(GetFreeBytes(dir / "not/yet/there") > 0, true);
  EXPECT_FALSE(DriveRootOf(dir.Path().string()).empty());
}

struct Collect : IDebugSink {
  std::vector<std::string> lines;
  void Add(const std::string& text) override { lines.push_back(text); }
};

TEST(DebugLog, LevelFilterAndHexDumpRows) {
  Collect sink;
  SetDebugSink(&sink);
  DebugMessage("one", 1);
  DebugMessage("three", 3);
  DebugMessage("four", 4);
  EXPECT_EQ(sink.lines, (std::vector<std::string>{"one", "three"}));

  sink.lines.clear();
  std::uint8_t bytes[32] = {0};
  bytes[0] = 0x41;
  bytes[1] = 0x0A;
  bytes[17] = 0x7A;
  DebugHexDump(bytes, 32);
  SetDebugSink(nullptr);
  ASSERT_EQ(sink.lines.size(), 4u);
  EXPECT_EQ(sink.lines[0], "十六进制: ");
  EXPECT_EQ(sink.lines[1].size(), 78u);
  EXPECT_EQ(sink.lines[1].substr(0, 17), "0000h :  41 0A 00");
  EXPECT_EQ(sink.lines[1].substr(56, 5), "  :  ");
  EXPECT_EQ(sink.lines[1].substr(61, 3), "A..");
  EXPECT_EQ(sink.lines[2].substr(0, 4), "0010");
  EXPECT_EQ(sink.lines[2][62], 'z');
  EXPECT_EQ(sink.lines[2].back(), '\n');
  EXPECT_EQ(sink.lines[3], "");
}

TEST(DebugBox, TimeStampAndCorners) {
  TDebugBox box;
  EXPECT_EQ(box.Caption, "调试窗口");
  EXPECT_FALSE(box.Visible);
  auto o = box.Origin(1024, 768);
  EXPECT_EQ(o.Left, 1024 - 250);
  EXPECT_EQ(o.Top, 0);
  box.Width = 400;
  EXPECT_EQ(box.Origin(1024, 768).Left, 624);  // the right edge stays on the border
  box.Position = poBottomLeft;
  EXPECT_EQ(box.Origin(1024, 768).Top, 568);

  box.Add("plain");
  box.TimeStamp = true;
  box.SetTimeSource([] {
    std::tm t{};
    t.tm_year = 103;
    t.tm_mon = 2;
    t.tm_mday = 10;
    t.tm_hour = 14;
    t.tm_min = 7;
    t.tm_sec = 33;
    t.tm_isdst = -1;
    return std::mktime(&t);
  });
  box.Add("检测设备...");
  ASSERT_EQ(box.Lines().size(), 2u);
  EXPECT_EQ(box.Lines()[1], "14:07:33 - 检测设备...");
  EXPECT_EQ(box.Selected(), 1);
}

TEST(HexDumpLine, AddressHexAndCharacters) {
  const std::uint8_t bytes[] = {'H', 'i', 0x00, 0xE5};
  EXPECT_EQ(HexDumpLine(0x1F0, bytes, 4, 4), "     1F0h  48 69 00 E5  Hi..");
}

}  // namespace
}  // namespace vantrel
