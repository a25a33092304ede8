#include "common/HexDump.h"

#include <cstdio>

namespace vantrel {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void AppendHex(std::string& line, std::uint8_t b) {
  line += kHex[b >> 4];
  line += kHex[b & 0xF];
}

char Printable(std::uint8_t b) { return (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.'; }

}  // namespace

std::string HexDumpLine(std::uint64_t offset, const std::uint8_t* data, std::size_t count,
                        std::size_t bytesPerLine) {
  char address[32];
  std::snprintf(address, sizeof address, "%8llXh", static_cast<unsigned long long>(offset));
  std::string line = address;
  line += "  ";
  for (std::size_t i = 0; i < bytesPerLine; ++i) {
    if (i < count)
      AppendHex(line, data[i]);
    else
      line += "  ";
    line += ' ';
  }
  line += ' ';
  for (std::size_t i = 0; i < count; ++i) line += Printable(data[i]);
  return line;
}

std::string HexDumpRow(const std::uint8_t* buffer, std::size_t size, std::size_t row) {
  std::string line;
  line.reserve(78);
  const std::size_t base = row * 16;
  const unsigned offset = static_cast<unsigned>(base & 0xFFFF);
  for (int shift = 12; shift >= 0; shift -= 4) line += kHex[(offset >> shift) & 0xF];
  line += "h : ";
  for (std::size_t i = 0; i < 16; ++i) {
    line += ' ';
    AppendHex(line, base + i < size ? buffer[base + i] : 0);
  }
  line += "  :  ";
  for (std::size_t i = 0; i < 16; ++i) line += Printable(base + i < size ? buffer[base + i] : 0);
  line += '\n';
  return line;
}

}  // namespace vantrel
