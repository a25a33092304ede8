#pragma once
// Small stateless routines shared by several layers.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel {

// "%02u.%02u.%02u %02u:%02u": day, month, four-digit year, hour, minute.
std::string FormatDosDateTime(std::uint16_t time, std::uint16_t date);

std::string UIntToText(std::uint32_t value);

// UTF-16 units of a long name (up to maxCount, stopping at a 0 unit) as UTF-8.
// Every character is kept; unpaired surrogates become U+FFFD.
std::string WideToUtf8(const std::uint16_t* units, std::size_t maxCount);

// Wildcard match. anyChar matches one character, anyRun any run of at least
// one character unless it ends the pattern. Names are UTF-8 and matched by
// character; case folding covers ASCII letters only.
bool MatchesMask(std::string_view name, std::string_view pattern, char32_t anyChar,
                 bool caseSensitive, char32_t anyRun);

// Shortens a path for a status line by replacing the middle folders with "...".
// Both "\" and "/" separate folders.
std::string ShortenPath(const std::string& path, std::size_t maxLength);

// Number of positions at which the two buffers differ.
std::size_t CountDifferentBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t length);

// Free bytes for an unprivileged user on the file system holding path; 0 when unknown.
std::uint64_t GetFreeBytes(const std::string& path);

// The mount point of the file system that holds path (the "drive" of a target folder).
std::string DriveRootOf(const std::string& path);

// True when path lies on a network file system (the free-space check is skipped there).
bool IsRemotePath(const std::string& path);

// Type name of a file for the list's type column; empty where the platform has none.
// The GUI installs the desktop's lookup.
using TTypeNameLookup = std::string (*)(const std::string& name, bool isDirectory);
void SetTypeNameLookup(TTypeNameLookup lookup);
std::string GetShellTypeName(const std::string& name, bool isDirectory);

// Decodes UTF-8 into code points; an invalid byte becomes its own code point
// 0xDC00 + byte so that nothing is lost and the text stays comparable.
std::u32string Utf8ToCodePoints(std::string_view text);
std::string CodePointsToUtf8(std::u32string_view text);
// Length of the valid UTF-8 sequence at text[pos], 0 when the byte starts none.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos);

}  // namespace vantrel
