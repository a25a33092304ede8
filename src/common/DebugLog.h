#pragma once
// The debug log: diagnostic lines of every layer go through DebugMessage into
// whatever sink the front end installed (the debug window, stderr, a test).

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantrel {

class IDebugSink {
 public:
  virtual ~IDebugSink() = default;
  virtual void Add(const std::string& text) = 0;
};

void SetDebugSink(IDebugSink* sink);
IDebugSink* GetDebugSink();

// Lines of a level above this one are dropped (the program keeps it at 3).
void SetDebugLevel(std::uint8_t level);
std::uint8_t GetDebugLevel();

void DebugMessage(const std::string& text, std::uint8_t level);

// Writes size bytes as rows of 16: "0010h :  41 42 ...  :  AB..." at level 3
// (rows from HexDumpRow of common/HexDump.h).
void DebugHexDump(const std::uint8_t* buffer, std::size_t size);

// Printf-style formatting into a std::string, for the program's message texts.
std::string Format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vantrel
