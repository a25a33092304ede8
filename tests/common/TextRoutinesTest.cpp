#include "common/TextRoutines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantrel {
namespace {

using namespace std::string_view_literals;

const std::uint8_t* BytesOf(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

TEST(TextRoutinesStartsWith, ComparesBytesAndNeedsThemAll) {
  const auto tar = "ustar\0  "sv;
  EXPECT_TRUE(StartsWith("ustar\0"sv, BytesOf(tar), tar.size()));
  EXPECT_FALSE(StartsWith("ustar "sv, BytesOf(tar), tar.size()));
  EXPECT_FALSE(StartsWith("ustar"sv, BytesOf(tar), 4));  // the prefix matches, the last byte is missing
  EXPECT_TRUE(StartsWith("\xFF\xD8"sv, BytesOf("\xFF\xD8\xFF"sv), 3));
  EXPECT_TRUE(StartsWith(""sv, nullptr, 0));
}

// Every line ReadTextLine gives for the first `limit` bytes of text, and
// where the position stopped.
std::vector<std::string> Lines(std::string_view text, std::size_t limit, std::size_t* stop = nullptr) {
  const std::uint8_t* pos = BytesOf(text);
  const std::uint8_t* const end = pos + limit;
  std::vector<std::string> lines;
  while (pos < end) lines.push_back(ReadTextLine(pos, end));
  lines.push_back(ReadTextLine(pos, end));  // at the end: empty, position kept
  if (stop) *stop = static_cast<std::size_t>(pos - BytesOf(text));
  return lines;
}

using Expected = std::vector<std::string>;

TEST(TextRoutinesReadTextLine, SplitsAtLineEnds) {
  EXPECT_EQ(Lines("  0\r\nSECTION\r\n"sv, 14), (Expected{"  0", "SECTION", ""}));
  EXPECT_EQ(Lines("\r\nx"sv, 3), (Expected{"", "x", ""}));
  // A lone carriage return still steps over two bytes.
  EXPECT_EQ(Lines("ab\rcd"sv, 5), (Expected{"ab", "d", ""}));
  // A lone line feed stops one byte early, so the line loses its last byte.
  EXPECT_EQ(Lines("ab\ncd"sv, 5), (Expected{"a", "cd", ""}));
}

TEST(TextRoutinesReadTextLine, NeverLooksAtOrPastTheEnd) {
  std::size_t stop = 0;
  // The line feed right at the end is not seen, so "c" is kept.
  EXPECT_EQ(Lines("abc\n"sv, 3, &stop), (Expected{"abc", ""}));
  EXPECT_EQ(stop, 3u);
  // A carriage return as the last byte: the position stops at the end.
  EXPECT_EQ(Lines("ab\r\n"sv, 3, &stop), (Expected{"ab", ""}));
  EXPECT_EQ(stop, 3u);
}

TEST(TextRoutinesReadTextLine, KeepsTheFirst255BytesOfALongLine) {
  const std::string text = std::string(300, 'x') + "\r\nok";
  EXPECT_EQ(Lines(text, text.size()), (Expected{std::string(255, 'x'), "ok", ""}));
}

}  // namespace
}  // namespace vantrel
