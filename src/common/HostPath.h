#pragma once
// The program keeps every path as UTF-8 text. These turn such text into the
// operating system's file names and back: on Windows the wide (UTF-16) names
// of the Win32 calls, so that folders and images with non-ASCII names work
// whatever the ANSI code page of the machine is.

#include <filesystem>
#include <string>
#include <string_view>

namespace vantrel {

std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string Utf8FromPath(const std::filesystem::path& path);

#ifdef _WIN32
// UTF-8 to UTF-16 and back for the wide Win32 calls; bytes that are not
// UTF-8 become U+FFFD.
std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8Text(std::wstring_view wide);
#endif

}  // namespace vantrel
