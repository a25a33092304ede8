#include "common/DebugLog.h"

#include <cstdarg>
#include <cstdio>

#include "common/HexDump.h"

namespace vantrel {
namespace {
IDebugSink* g_sink = nullptr;
std::uint8_t g_level = 3;
}  // namespace

void SetDebugSink(IDebugSink* sink) { g_sink = sink; }
IDebugSink* GetDebugSink() { return g_sink; }
void SetDebugLevel(std::uint8_t level) { g_level = level; }
std::uint8_t GetDebugLevel() { return g_level; }

void DebugMessage(const std::string& text, std::uint8_t level) {
  if (level <= g_level && g_sink) g_sink->Add(text);
}

void DebugHexDump(const std::uint8_t* buffer, std::size_t size) {
  // Every boot sector opened is dumped; formatting rows nobody takes made
  // opening a volume several times slower.
  if (!g_sink || g_level < 3) return;
  DebugMessage("十六进制: ", 3);
  std::size_t row = 0;
  do {
    DebugMessage(HexDumpRow(buffer, size, row), 3);
    ++row;
  } while (16 * row < size);
  DebugMessage("", 3);
}

std::string Format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, pattern, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<std::size_t>(n));
    std::vsnprintf(out.data(), out.size() + 1, pattern, args);
  }
  va_end(args);
  return out;
}

}  // namespace vantrel
