// The hex view's arithmetic without a window: bytes per line from the
// width, addresses, short last lines, keys and the scroll bar, and reading
// only the blocks of the lines drawn.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/HexLayout.h"
#include "common/SystemInfo.h"

namespace vantrel {
namespace {

// Byte i of the stream is a value that differs from its neighbours' and
// repeats only every 251 bytes, so a line shown at the wrong offset shows.
std::uint8_t ByteAt(std::int64_t i) { return static_cast<std::uint8_t>((i * 7 + i / 251) % 251); }

class PatternSource : public IHexSource {
 public:
  explicit PatternSource(std::int64_t size) : size_(size) {}
  std::int64_t Size() const override { return size_; }
  std::uint32_t ReadAt(std::int64_t offset, std::uint8_t* buffer, std::uint32_t count) override {
    reads.push_back(offset);
    std::uint32_t n = 0;
    for (; n < count && offset + n < size_; ++n) buffer[n] = ByteAt(offset + n);
    return n;
  }
  std::vector<std::int64_t> reads;

 private:
  std::int64_t size_;
};

// A font of 8 × 14 pixel cells: CharWidth 9, LineHeight 16.
THexLayout Layout(IHexSource* source, int width, int height = 160) {
  THexLayout layout;
  layout.SetFontMetrics(14, 8);
  layout.SetClientSize(width, height);
  layout.SetStream(source);
  return layout;
}

void ExpectLineShowsItsBytes(THexLayout& layout, std::int64_t line) {
  std::uint8_t bytes[16];
  const int count = layout.LineBytes(line, bytes);
  for (int i = 0; i < count; ++i) ASSERT_EQ(bytes[i], ByteAt(line * layout.BytesPerLine() + i)) << "line " << line;
}

TEST(HexLayoutTest, BytesPerLineFollowTheWidthFromOneToSixteen) {
  PatternSource source(1000);
  // 10 address cells, then 4 cells per byte: 16 bytes need 74 cells of 9 px.
  EXPECT_EQ(Layout(&source, 74 * 9).BytesPerLine(), 16);
  EXPECT_EQ(Layout(&source, 73 * 9).BytesPerLine(), 15);
  EXPECT_EQ(Layout(&source, 5000).BytesPerLine(), 16);  // never more
  EXPECT_EQ(Layout(&source, 50).BytesPerLine(), 1);     // never fewer
  EXPECT_EQ(Layout(&source, 0).BytesPerLine(), 1);
  // Without the character column a byte takes three cells; without the address ten more fit.
  THexLayout layout = Layout(&source, 58 * 9);
  EXPECT_EQ(layout.BytesPerLine(), 12);
  layout.SetShowCharacters(false);
  EXPECT_EQ(layout.BytesPerLine(), 16);
  layout.SetShowAddress(false);
  layout.SetShowCharacters(true);
  EXPECT_EQ(layout.BytesPerLine(), 14);
  EXPECT_EQ(layout.VisibleLines(), 160 / 16 + 1);
  EXPECT_EQ(layout.LineCount(), 1000 / 14 + 1);
}

TEST(HexLayoutTest, AddressesAndTheShortLastLine) {
  PatternSource source(20);
  THexLayout layout = Layout(&source, 800);
  EXPECT_EQ(layout.AddressText(1), "      10h");
  EXPECT_EQ(layout.AddressText(0xABCDE), "  ABCDE0h");
  EXPECT_EQ(layout.LineCount(), 2);
  EXPECT_EQ(layout.BytesOnLine(0), 16);
  EXPECT_EQ(layout.BytesOnLine(1), 4);
  EXPECT_EQ(layout.BytesOnLine(2), 0);
  std::uint8_t bytes[16];
  ASSERT_EQ(layout.LineBytes(1, bytes), 4);
  EXPECT_EQ(bytes[3], ByteAt(19));
  EXPECT_EQ(THexLayout::HexText(bytes, 4).size(), 3u * 4 - 1);
  const std::uint8_t sample[] = {0x00, 0xAB, 0x7F};
  EXPECT_EQ(THexLayout::HexText(sample, 3), "00\tAB\t7F");
  EXPECT_EQ(layout.CharsX(), 16 * 3 * 9 + 10 * 9);
}

TEST(HexLayoutTest, EndThenPageUpShowsTheBytesOfThoseLines) {
  PatternSource source(100000);
  THexLayout layout = Layout(&source, 800);  // 11 visible lines of 16 bytes
  const std::int64_t lines = 100000 / 16;
  for (std::int64_t line = 0; line < layout.VisibleLines(); ++line) ExpectLineShowsItsBytes(layout, line);
  EXPECT_EQ(layout.Key(THexLayout::hkEnd), THexLayout::rdAll);
  EXPECT_EQ(layout.CurrentLine(), lines - 1);
  EXPECT_EQ(layout.TopLine(), lines - 1 - layout.VisibleLines() + 2);
  for (std::int64_t i = 0; i < layout.VisibleLines(); ++i) ExpectLineShowsItsBytes(layout, layout.TopLine() + i);
  layout.Key(THexLayout::hkPageUp);
  EXPECT_EQ(layout.CurrentLine(), lines - 1 - layout.VisibleLines());
  EXPECT_EQ(layout.TopLine(), layout.CurrentLine());
  for (std::int64_t i = 0; i < layout.VisibleLines(); ++i) ExpectLineShowsItsBytes(layout, layout.TopLine() + i);
  // A line that straddles two 2048-byte blocks shows the bytes of both.
  THexLayout narrow = Layout(&source, 10 * 9 + 7 * 4 * 9);  // 7 bytes a line
  ASSERT_EQ(narrow.BytesPerLine(), 7);
  ExpectLineShowsItsBytes(narrow, 2048 / 7);
  // Home goes back; moving by one line asks for one line to be drawn.
  layout.Key(THexLayout::hkHome);
  EXPECT_EQ(layout.TopLine(), 0);
  for (int i = 0; i < layout.VisibleLines() - 2; ++i) EXPECT_EQ(layout.Key(THexLayout::hkDown), THexLayout::rdNone);
  EXPECT_EQ(layout.Key(THexLayout::hkDown), THexLayout::rdLineUp);
  EXPECT_EQ(layout.Scroll(THexLayout::scLineUp), THexLayout::rdLineDown);
  EXPECT_EQ(layout.Click(3 * 16 + 5), THexLayout::rdNone);
  EXPECT_EQ(layout.CurrentLine(), 3);
}

TEST(HexLayoutTest, TheScrollBarHas65536StepsWhateverTheLength) {
  PatternSource huge(0xFFFFFFFFLL);  // the largest FAT file
  THexLayout layout = Layout(&huge, 800);
  EXPECT_EQ(layout.LineCount(), 0x10000000LL);
  layout.Scroll(THexLayout::scThumb, 65535);
  EXPECT_EQ(layout.TopLine(), layout.LineCount() - 4096);
  EXPECT_EQ(layout.ScrollPosition(), 65535);
  layout.Scroll(THexLayout::scThumb, 32768);
  EXPECT_EQ(layout.TopLine(), layout.LineCount() / 2);
  layout.Key(THexLayout::hkEnd);
  EXPECT_EQ(layout.CurrentLine(), 0x10000000LL - 1);
  ExpectLineShowsItsBytes(layout, layout.CurrentLine());
  // The last line's block is read, zeros past the end of the stream.
  std::uint8_t bytes[16];
  EXPECT_EQ(layout.LineBytes(layout.LineCount() - 1, bytes), 15);
  // Only the blocks of lines asked for were read, never the whole stream.
  EXPECT_LE(huge.reads.size(), 3u);
  for (std::int64_t offset : huge.reads) EXPECT_EQ(offset % THexLayout::kBlockSize, 0);
  // A few lines.
  PatternSource small(40);
  THexLayout few = Layout(&small, 800);
  few.Scroll(THexLayout::scThumb, 65535);
  EXPECT_EQ(few.TopLine(), 2);
  EXPECT_EQ(few.ScrollPosition(), 43691);
  few.Scroll(THexLayout::scPageDown);
  EXPECT_EQ(few.TopLine(), 2);
}

TEST(HexLayoutTest, AnEmptyStreamHasNoLinesAndNothingMoves) {
  PatternSource empty(0);
  THexLayout layout = Layout(&empty, 800);
  EXPECT_EQ(layout.LineCount(), 0);
  for (auto key : {THexLayout::hkEnd, THexLayout::hkPageDown, THexLayout::hkUp, THexLayout::hkPageUp})
    EXPECT_EQ(layout.Key(key), THexLayout::rdNone);
  EXPECT_EQ(layout.Scroll(THexLayout::scLineUp), THexLayout::rdNone);
  EXPECT_EQ(layout.Scroll(THexLayout::scThumb, 40000), THexLayout::rdNone);
  EXPECT_EQ(layout.Click(100), THexLayout::rdNone);
  EXPECT_EQ(layout.TopLine(), 0);
  EXPECT_EQ(layout.CurrentLine(), 0);
  EXPECT_EQ(layout.ScrollPosition(), 0);
  EXPECT_TRUE(empty.reads.empty());
  // Without a stream keys do nothing at all.
  THexLayout none = Layout(nullptr, 800);
  EXPECT_EQ(none.Key(THexLayout::hkEnd), THexLayout::rdNone);
}

TEST(SystemInfoTest, NumbersAndTextsOfTheInformationDialogs) {
  EXPECT_EQ(LenientStrToInt("0x20"), 32);
  EXPECT_EQ(LenientStrToInt("$1F"), 31);
  EXPECT_EQ(LenientStrToInt("  -12abc"), -12);
  EXPECT_EQ(LenientStrToInt("+7"), 7);
  EXPECT_EQ(LenientStrToInt("abc"), 0);
  EXPECT_EQ(LenientStrToInt(""), 0);
  EXPECT_EQ(LenientStrToInt("0xZ"), 0);
  EXPECT_EQ(LenientStrToInt("99999999999999999999999"), INT64_MAX);
  EXPECT_EQ(DisplayInfoText(1024, 768, 16), "1024x768, 16-位(65536 色)");
  EXPECT_EQ(DisplayInfoText(1920, 1080, 32), "1920x1080, 32-位(4294967296 色)");
  const TCapacity gb = CapacityOf(4096ull * 262144);
  EXPECT_DOUBLE_EQ(gb.Amount, 1.0);
  EXPECT_STREQ(gb.Unit, " GB");
  const TCapacity mb = CapacityOf(4096ull * 262000);
  EXPECT_NEAR(mb.Amount, 1023.4375, 1e-9);
  EXPECT_STREQ(mb.Unit, " MB");
  const TInfoRow drive = SplitEnvironmentEntry("=C:=C:\\windows");
  EXPECT_EQ(drive.Name, "");
  EXPECT_EQ(drive.Value, "C:=C:\\windows");
  const TInfoRow path = SplitEnvironmentEntry("PATH=/bin:/usr/bin");
  EXPECT_EQ(path.Name, "PATH");
  EXPECT_EQ(path.Value, "/bin:/usr/bin");
}

}  // namespace
}  // namespace vantrel
