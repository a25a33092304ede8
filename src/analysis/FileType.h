#pragma once
// Recognises the type of a lost file from the content of one of its clusters:
// fixed signatures, two text patterns in the first 32 bytes, and runs of MPEG
// audio frames.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantrel {

class TFATdrive;

// Tests the first bytes of buffer. On success typeName gets the short
// upper-case type name ("JPG", "ZIP", "MP3", ...) that serves as the lost
// file's extension; on failure it is left alone. kind is set to 1 on entry,
// whatever the outcome, and becomes 2 for a run of MPEG audio frames: such a
// cluster may continue the previous cluster's file as well as start a new one.
// A buffer too short for the bytes a test compares ends the detection with
// the result false; nothing is read outside [buffer, buffer + size).
bool DetectFileType(const std::uint8_t* buffer, std::size_t size, int& kind, std::string& typeName);

// The bitwise CRC-16 of MPEG audio (polynomial 0x8005, most significant bit
// first): feeds the low bitCount bits of value, the highest first, into crc.
void UpdateCRC16(std::uint32_t value, int bitCount, std::uint16_t& crc);

// The type of file the whole cluster starts (kind 1), or continues as a run
// of audio frames (kind 2). scratch is reused between calls.
bool DetectClusterFileType(TFATdrive& drive, std::uint32_t cluster, int& kind, std::string& typeName,
                           std::vector<std::uint8_t>& scratch);

}  // namespace vantrel
