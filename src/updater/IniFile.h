#pragma once

// INI files read and written by the private-profile rules: "[section]" lines,
// "key=value" lines below them, section and key names matched without regard
// to case, blanks around names and values ignored, lines ending at "\r\n",
// "\n" or a "\r" alone. Writing changes only the
// one line concerned and keeps everything else of the file as it was, so the
// files stay readable and writable by any other INI tool.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

// A value is read into a buffer of this many characters, the last of which is
// the terminating NUL; longer values are cut.
inline constexpr std::size_t IniBufferSize = 10240;

// The value of key in the first section called section of an INI text; empty
// when the section or the key is missing.
std::string IniLookup(std::string_view text, std::string_view section, std::string_view key);

// The INI text with key in section set to value. The key's line is replaced
// in place; a missing key is added at the end of its section, a missing
// section at the end of the text.
std::string IniSetValue(std::string_view text, std::string_view section, std::string_view key,
                        std::string_view value);

// How the bytes of an INI file hold its text: as they are (ASCII, UTF-8 with
// or without its mark, or any 8-bit code page), or as UTF-16 after a
// byte-order mark, the way the platform's own profile functions read it.
enum class TIniEncoding { ieBytes, ieUtf16Le, ieUtf16Be };

// The text of an INI file's bytes: UTF-16 is turned into UTF-8 (a broken
// surrogate pair into U+FFFD), anything else is kept as it is. encoding,
// when given, receives how the bytes were read.
std::string DecodeIniText(std::string_view bytes, TIniEncoding* encoding = nullptr);
// The bytes of an INI text in encoding; the inverse of DecodeIniText.
std::string EncodeIniText(std::string_view text, TIniEncoding encoding);

// True when an INI text has a section of that name.
bool IniHasSection(std::string_view text, std::string_view section);

// The decoded text of an INI file; a missing or unreadable file yields an
// empty text.
std::string ReadIniText(const std::filesystem::path& file);

// IniLookup on a file; a missing or unreadable file yields an empty text.
std::string ReadIni(std::string_view section, std::string_view key, const std::filesystem::path& file);

// IniSetValue on a file, which is created when missing. The new content goes
// to a temporary file that then replaces the old one, so a crash never leaves
// half a file behind. False when the file could not be written or when the
// value would not fit on one line.
bool WriteIni(std::string_view section, std::string_view key, std::string_view value,
              const std::filesystem::path& file);
