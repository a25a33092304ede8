#pragma once

// Texts in kobrel (the command line, INI values, log lines) are UTF-8; paths
// are whatever the platform uses, wide characters on Windows. These turn one
// into the other without going through a code page that may not hold the
// characters.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The path a UTF-8 text names; empty when the text is not valid UTF-8.
std::optional<std::filesystem::path> PathFromUtf8(std::string_view text);

// A path as UTF-8 text, for log lines and comparisons.
std::string PathText(const std::filesystem::path& path);

#ifdef _WIN32
// Wide-character text of UTF-8 and back; empty on invalid input.
std::optional<std::wstring> WideFromUtf8(std::string_view text);
std::string Utf8FromWide(std::wstring_view text);
// The message of a Win32 error code, in a few words for the log.
std::string WindowsErrorText(unsigned long code);
#endif
