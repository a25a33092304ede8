#include "common/HexDump.h"

#include <cstdio>

namespace vantrel {

std::string HexDumpLine(std::uint64_t offset, const std::uint8_t* data, std::size_t count,
                        std::size_t bytesPerLine) {
  static const char kHex[] = "0123456789ABCDEF";
  char address[32];
  std::snprintf(address, sizeof address, "%8llXh", static_cast<unsigned long long>(offset));
  std::string line = address;
  line += "  ";
  for (std::size_t i = 0; i < bytesPerLine; ++i) {
    if (i < count) {
      line += kHex[data[i] >> 4];
      line += kHex[data[i] & 0xF];
    } else {
      line += "  ";
    }
    line += ' ';
  }
  line += ' ';
  // A terminal would act on control bytes and mangle bytes that are not
  // UTF-8, so those show as dots.
  for (std::size_t i = 0; i < count; ++i)
    line += (data[i] >= 0x20 && data[i] < 0x7F) ? static_cast<char>(data[i]) : '.';
  return line;
}

}  // namespace vantrel
