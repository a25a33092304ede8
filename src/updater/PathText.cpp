#include "PathText.h"

#ifdef _WIN32
#include <windows.h>

std::optional<std::wstring> WideFromUtf8(std::string_view text) {
  if (text.empty()) return std::wstring();
  if (text.size() > 0x7FFFFFFF) return std::nullopt;
  const int size = static_cast<int>(text.size());
  const int wide = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (wide <= 0) return std::nullopt;
  std::wstring result(static_cast<std::size_t>(wide), L'\0');
  if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, result.data(), wide) != wide)
    return std::nullopt;
  return result;
}

std::string Utf8FromWide(std::wstring_view text) {
  if (text.empty() || text.size() > 0x7FFFFFFF) return {};
  const int size = static_cast<int>(text.size());
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string result(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, result.data(), bytes, nullptr, nullptr);
  return result;
}

std::string WindowsErrorText(unsigned long code) {
  wchar_t* message = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::string text = length > 0 && message != nullptr ? Utf8FromWide({message, length}) : std::string();
  if (message != nullptr) ::LocalFree(message);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return (text.empty() ? "error" : text) + " (" + std::to_string(code) + ")";
}

std::optional<std::filesystem::path> PathFromUtf8(std::string_view text) {
  auto wide = WideFromUtf8(text);
  if (!wide) return std::nullopt;
  return std::filesystem::path(std::move(*wide));
}

std::string PathText(const std::filesystem::path& path) { return Utf8FromWide(path.native()); }

#else

// The file system takes names as bytes; they are passed on as they are.
std::optional<std::filesystem::path> PathFromUtf8(std::string_view text) { return std::filesystem::path(text); }

std::string PathText(const std::filesystem::path& path) { return path.native(); }

#endif
