#include "common/Routines.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "common/HostPath.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#endif

namespace vantrel {

std::string FormatDosDateTime(std::uint16_t time, std::uint16_t date) {
  char text[64];
  std::snprintf(text, sizeof text, "%02u.%02u.%02u %02u:%02u", date & 0x1Fu, (date >> 5) & 0x0Fu,
                1980u + (date >> 9), (time >> 11) & 0x1Fu, (time >> 5) & 0x3Fu);
  return text;
}

std::string UIntToText(std::uint32_t value) { return std::to_string(value); }

namespace {
void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}
}  // namespace

std::string WideToUtf8(const std::uint16_t* units, std::size_t maxCount) {
  std::string out;
  for (std::size_t i = 0; i < maxCount && units[i] != 0; ++i) {
    char32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < maxCount && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return 0;
  const auto b0 = static_cast<unsigned char>(text[pos]);
  if (b0 < 0x80) return 1;
  std::size_t len;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - pos < len) return 0;
  char32_t cp = b0 & (0x7F >> len);
  for (std::size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(text[pos + i]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

std::u32string Utf8ToCodePoints(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t len = Utf8SequenceLength(text, pos);
    const auto b0 = static_cast<unsigned char>(text[pos]);
    if (len == 0) {
      out += static_cast<char32_t>(0xDC00 + b0);
      ++pos;
      continue;
    }
    char32_t cp = len == 1 ? b0 : b0 & (0x7F >> len);
    for (std::size_t i = 1; i < len; ++i) cp = (cp << 6) | (static_cast<unsigned char>(text[pos + i]) & 0x3F);
    out += cp;
    pos += len;
  }
  return out;
}

std::string CodePointsToUtf8(std::u32string_view text) {
  std::string out;
  for (char32_t cp : text) {
    if (cp >= 0xDC80 && cp <= 0xDCFF) {
      out += static_cast<char>(cp - 0xDC00);  // a byte that was not UTF-8 goes back as it was
    } else {
      AppendUtf8(out, cp);
    }
  }
  return out;
}

namespace {
char32_t AsciiUpper(char32_t c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

class MaskMatcher {
 public:
  MaskMatcher(const std::u32string& name, const std::u32string& pattern, char32_t anyChar,
              bool caseSensitive, char32_t anyRun)
      : name_(name), pattern_(pattern), anyChar_(anyChar), caseSensitive_(caseSensitive),
        anyRun_(anyRun), memo_((pattern.size() + 1) * (name.size() + 1), 0) {}

  bool Match(std::size_t p, std::size_t n) {
    while (p < pattern_.size()) {
      if (pattern_[p] == anyRun_) return MatchRun(p + 1, n);
      if (n >= name_.size()) return false;
      const char32_t pc = pattern_[p], nc = name_[n];
      const bool same = pc == anyChar_ || pc == nc ||
                        (!caseSensitive_ && AsciiUpper(pc) == AsciiUpper(nc));
      if (!same) return false;
      ++p;
      ++n;
    }
    return n >= name_.size();
  }

 private:
  // After an anyRun character: the rest must match some non-empty tail.
  bool MatchRun(std::size_t rest, std::size_t n) {
    if (rest >= pattern_.size()) return true;
    if (n >= name_.size()) return false;
    auto& seen = memo_[rest * (name_.size() + 1) + n];
    if (seen) return seen == 1;
    bool found = false;
    for (std::size_t t = n; t < name_.size() && !found; ++t) found = Match(rest, t);
    seen = found ? 1 : 2;
    return found;
  }

  const std::u32string& name_;
  const std::u32string& pattern_;
  char32_t anyChar_;
  bool caseSensitive_;
  char32_t anyRun_;
  std::vector<std::uint8_t> memo_;  // 0 unknown, 1 match, 2 no match
};
}  // namespace

bool MatchesMask(std::string_view name, std::string_view pattern, char32_t anyChar,
                 bool caseSensitive, char32_t anyRun) {
  const std::u32string n = Utf8ToCodePoints(name);
  const std::u32string p = Utf8ToCodePoints(pattern);
  MaskMatcher matcher(n, p, anyChar, caseSensitive, anyRun);
  return matcher.Match(0, 0);
}

std::string ShortenPath(const std::string& path, std::size_t maxLength) {
  const std::u32string text = Utf8ToCodePoints(path);
  const std::size_t length = text.size();
  std::size_t removed = 0, first = 0, last = 0;  // positions counted from 1
  for (std::size_t pos = 1; pos < length; ++pos) {
    if (maxLength + removed >= length + 5) break;
    const char32_t c = text[pos - 1];
    if (c == U'\\' || c == U'/') {
      if (first == 0) {
        first = pos;
      } else {
        last = pos;
        removed = last - first + 1;
      }
    }
  }
  if (removed == 0) return path;
  std::u32string out = text.substr(0, first);
  out += U"...";
  out += text.substr(last - 1);
  return CodePointsToUtf8(out);
}

std::size_t CountDifferentBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < length; ++i) count += a[i] != b[i];
  return count;
}

namespace {
// The path itself when it exists, else its nearest existing ancestor.
std::filesystem::path ExistingAncestor(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(PathFromUtf8(path), ec);
  if (ec) p = PathFromUtf8(path);
  while (!p.empty() && !std::filesystem::exists(p, ec)) {
    if (p == p.parent_path()) break;
    p = p.parent_path();
  }
  return p;
}
}  // namespace

#ifdef _WIN32

namespace {
// The root of the volume that holds path ("C:\\", "\\\\server\\share\\", or a
// folder where a volume is mounted).
std::wstring VolumeRootOf(const std::string& path) {
  const std::wstring existing = ExistingAncestor(path).native();
  wchar_t root[MAX_PATH + 1] = {};
  if (existing.empty() || !::GetVolumePathNameW(existing.c_str(), root, MAX_PATH)) return std::wstring();
  return root;
}
}  // namespace

std::uint64_t GetFreeBytes(const std::string& path) {
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExW(ExistingAncestor(path).c_str(), &available, nullptr, nullptr)) return 0;
  return available.QuadPart;
}

std::string DriveRootOf(const std::string& path) {
  const std::wstring root = VolumeRootOf(path);
  return root.empty() ? std::string("\\") : WideToUtf8Text(root);
}

bool IsRemotePath(const std::string& path) {
  const std::wstring root = VolumeRootOf(path);
  if (root.empty()) return false;
  if (root.size() > 2 && root[0] == L'\\' && root[1] == L'\\' && root[2] != L'?' && root[2] != L'.') return true;
  return ::GetDriveTypeW(root.c_str()) == DRIVE_REMOTE;
}

#else

std::uint64_t GetFreeBytes(const std::string& path) {
  struct statvfs info {};
  if (statvfs(ExistingAncestor(path).c_str(), &info) != 0) return 0;
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

std::string DriveRootOf(const std::string& path) {
  std::filesystem::path p = ExistingAncestor(path);
  struct stat here {};
  if (stat(p.c_str(), &here) != 0) return "/";
  while (p.has_parent_path() && p != p.parent_path()) {
    struct stat up {};
    if (stat(p.parent_path().c_str(), &up) != 0 || up.st_dev != here.st_dev) break;
    p = p.parent_path();
  }
  return p.string();
}

bool IsRemotePath(const std::string& path) {
  struct statfs info {};
  if (statfs(ExistingAncestor(path).c_str(), &info) != 0) return false;
  switch (static_cast<unsigned long>(info.f_type)) {
    case 0x6969UL:      // NFS
    case 0x517BUL:      // SMB
    case 0xFF534D42UL:  // CIFS
    case 0xFE534D42UL:  // SMB2
    case 0x5346414FUL:  // AFS
    case 0x01021997UL:  // 9P
    case 0x73757245UL:  // Coda
      return true;
    default:
      return false;
  }
}

#endif

namespace {
TTypeNameLookup g_typeLookup = nullptr;
}

void SetTypeNameLookup(TTypeNameLookup lookup) { g_typeLookup = lookup; }

std::string GetShellTypeName(const std::string& name, bool isDirectory) {
  return g_typeLookup ? g_typeLookup(name, isDirectory) : std::string();
}

}  // namespace vantrel
