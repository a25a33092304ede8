#pragma once
// Byte and line routines for the content tests of lost clusters. Both work on
// a caller's buffer and never read at or past its end.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel {

// True when the bytes at `at` equal the characters of text, one by one; false
// when fewer than text.size() bytes are available there.
bool StartsWith(std::string_view text, const std::uint8_t* at, std::size_t available);

// Collects bytes from pos while the byte is not a carriage return, the byte
// after it is not a line feed and pos is before end; then, when pos is still
// before end, steps over the two bytes of the line end. Only the first 255
// bytes of a longer line are kept; pos still passes the whole line.
//
// A line ending in a lone line feed loses its last character ("ab\n" reads as
// "a"), because the stop comes on the byte in front of the line feed. The
// byte at end is never looked at, so a line cut off by end keeps all its bytes.
std::string ReadTextLine(const std::uint8_t*& pos, const std::uint8_t* end);

}  // namespace vantrel
