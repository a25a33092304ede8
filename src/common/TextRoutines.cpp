#include "common/TextRoutines.h"

#include <algorithm>

namespace vantrel {

namespace {
constexpr std::uint8_t kCarriageReturn = 0x0D;
constexpr std::uint8_t kLineFeed = 0x0A;
constexpr std::size_t kMaxLine = 255;
}  // namespace

bool StartsWith(std::string_view text, const std::uint8_t* at, std::size_t available) {
  if (available < text.size()) return false;
  return std::equal(text.begin(), text.end(), at,
                    [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

std::string ReadTextLine(const std::uint8_t*& pos, const std::uint8_t* end) {
  std::string line;
  while (pos < end && *pos != kCarriageReturn && !(end - pos > 1 && pos[1] == kLineFeed)) {
    if (line.size() < kMaxLine) line.push_back(static_cast<char>(*pos));
    ++pos;
  }
  // The line end is two bytes, but a carriage return can be the last byte
  // before end; the position stops at end then.
  if (pos < end) pos += std::min<std::ptrdiff_t>(2, end - pos);
  return line;
}

}  // namespace vantrel
