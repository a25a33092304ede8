#include "app/TSettingsFile.h"

#ifndef _WIN32
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/HostPath.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace vantrel {
namespace {

constexpr std::string_view DWordPrefix = "dword:";

std::string_view Trim(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    std::size_t end = nl;
    if (end > start && text[end - 1] == '\r') --end;  // files from elsewhere; rewritten with \n
    lines.emplace_back(text, start, end - start);
    start = nl + 1;
  }
  return lines;
}

// The section name of a "[name]" line, or nullopt for any other line.
std::optional<std::string_view> SectionOf(std::string_view line) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return std::nullopt;
  return Trim(line.substr(1, line.size() - 2));
}

// Splits a "name=value" line; comments and other lines have no name.
bool SplitValueLine(std::string_view line, std::string_view& name, std::string_view& value) {
  line = Trim(line);
  if (line.empty() || line.front() == ';' || line.front() == '#') return false;
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  name = Trim(line.substr(0, eq));
  value = Trim(line.substr(eq + 1));
  return !name.empty();
}

std::string Quote(const std::string& value) {
  static const char hex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\x";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The text of a quoted value; nullopt when the quoting is broken.
std::optional<std::string> Unquote(std::string_view raw) {
  if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"') return std::nullopt;
  std::string out;
  for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
    char c = raw[i];
    if (c == '"') return std::nullopt;  // a quote must be escaped inside
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i + 1 >= raw.size()) return std::nullopt;  // escape eats the closing quote
    switch (raw[i]) {
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'x': {
        if (i + 3 >= raw.size()) return std::nullopt;
        const int hi = HexDigit(raw[i + 1]), lo = HexDigit(raw[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default: return std::nullopt;
    }
  }
  return out;
}

std::optional<std::uint32_t> ParseDWord(std::string_view raw) {
  if (raw.size() <= DWordPrefix.size() || !IEquals(raw.substr(0, DWordPrefix.size()), DWordPrefix))
    return std::nullopt;
  std::string_view digits = raw.substr(DWordPrefix.size());
  if (digits.size() > 8) return std::nullopt;
  std::uint32_t v = 0;
  for (char c : digits) {
    const int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    v = v << 4 | static_cast<std::uint32_t>(d);
  }
  return v;
}

// The whole file; a missing file is an empty text. False on a read error.
bool ReadAll(const std::filesystem::path& file, std::string& text, std::string& error) {
  text.clear();
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return true;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "Cannot open " + Utf8FromPath(file) + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  text = ss.str();
  return true;
}

#ifdef _WIN32
// The system's text for the last error, without the line end it comes with.
std::string LastErrorText() {
  std::string text = std::system_category().message(static_cast<int>(::GetLastError()));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

// Replaces the file by text through a temporary file beside it.
bool WriteAtomically(const std::filesystem::path& file, const std::string& text, std::string& error) {
  std::error_code ec;
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
  // A name nobody else uses: the process and a count, made with CREATE_NEW.
  static unsigned counter = 0;
  std::wstring tmp;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    tmp = file.native() + L"." + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    h = ::CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (h == INVALID_HANDLE_VALUE) {
    error = "Cannot create a temporary file beside " + Utf8FromPath(file) + ": " + LastErrorText();
    return false;
  }
  std::size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 20));
    if (!::WriteFile(h, text.data() + done, chunk, &written, nullptr) || written == 0) ok = false;
    else done += written;
  }
  if (ok && !::FlushFileBuffers(h)) ok = false;
  if (!ok) error = "Cannot write " + WideToUtf8Text(tmp) + ": " + LastErrorText();
  ::CloseHandle(h);
  if (ok && !::MoveFileExW(tmp.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    error = "Cannot replace " + Utf8FromPath(file) + ": " + LastErrorText();
  }
  if (!ok) ::DeleteFileW(tmp.c_str());
  return ok;
}
#else
// Replaces the file by text through a temporary file beside it.
bool WriteAtomically(const std::filesystem::path& file, const std::string& text, std::string& error) {
  std::error_code ec;
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
  std::string tmp = Utf8FromPath(file) + ".XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    error = "Cannot create a temporary file beside " + Utf8FromPath(file) + ": " + std::strerror(errno);
    return false;
  }
  // mkstemp makes the file private; an existing file keeps its own mode.
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0) ::fchmod(fd, st.st_mode & 07777);
  std::size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<std::size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (!ok) error = "Cannot write " + tmp + ": " + std::strerror(errno);
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = "Cannot write " + tmp + ": " + std::strerror(errno);
  }
  if (ok && ::rename(tmp.c_str(), file.c_str()) != 0) {
    ok = false;
    error = "Cannot replace " + Utf8FromPath(file) + ": " + std::strerror(errno);
  }
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

#endif

}  // namespace

TSettingsFile::TSettingsFile(std::filesystem::path file, std::string section)
    : file_(std::move(file)), section_(std::move(section)) {}

std::filesystem::path TSettingsFile::DefaultPath() {
#ifdef _WIN32
  // The roaming application data folder of the user, as Windows programs keep
  // their settings.
  std::filesystem::path base;
  wchar_t folder[32768];
  for (const wchar_t* name : {L"APPDATA", L"USERPROFILE"}) {
    const DWORD n = ::GetEnvironmentVariableW(name, folder, 32768);
    if (n > 0 && n < 32768) {
      base = folder;
      break;
    }
  }
  if (base.empty()) base = L".";
  return base / L"vantrel" / L"vantrel.conf";
#else
  std::filesystem::path base;
  // Relative values of XDG_CONFIG_HOME are to be ignored.
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
      if (const passwd* pw = ::getpwuid(::getuid())) home = pw->pw_dir;
    }
    base = std::filesystem::path(home && *home ? home : ".") / ".config";
  }
  return base / "vantrel" / "vantrel.conf";
#endif
}

bool TSettingsFile::KeyExists() {
  std::string text;
  if (!ReadAll(file_, text, error_)) return false;
  for (const std::string& line : SplitLines(text)) {
    auto s = SectionOf(line);
    if (s && IEquals(*s, section_)) return true;
  }
  return false;
}

std::optional<std::string> TSettingsFile::RawValue(const std::string& name) {
  std::string text;
  if (!ReadAll(file_, text, error_)) return std::nullopt;
  bool inSection = false;
  for (const std::string& line : SplitLines(text)) {
    if (auto s = SectionOf(line)) {
      inSection = IEquals(*s, section_);
      continue;
    }
    std::string_view n, v;
    if (inSection && SplitValueLine(line, n, v) && IEquals(n, name)) return std::string(v);
  }
  error_ = "Failed to get data for '" + name + "'";
  return std::nullopt;
}

std::optional<std::string> TSettingsFile::ReadString(const std::string& name) {
  auto raw = RawValue(name);
  if (!raw) return std::nullopt;
  if (!raw->empty() && raw->front() == '"') {
    if (auto s = Unquote(*raw)) return s;
  } else if (!ParseDWord(*raw)) {
    return raw;  // unquoted text, as a person might write it
  }
  error_ = "Invalid data type for '" + name + "'";
  return std::nullopt;
}

std::optional<std::uint32_t> TSettingsFile::ReadDWord(const std::string& name) {
  auto raw = RawValue(name);
  if (!raw) return std::nullopt;
  if (auto v = ParseDWord(*raw)) return v;
  error_ = "Invalid data type for '" + name + "'";
  return std::nullopt;
}

bool TSettingsFile::HasValue(const std::string& name) { return RawValue(name).has_value(); }

bool TSettingsFile::WriteString(const std::string& name, const std::string& value) {
  return WriteRaw(name, Quote(value));
}

bool TSettingsFile::WriteDWord(const std::string& name, std::uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(value));
  return WriteRaw(name, std::string(DWordPrefix) + buf);
}

bool TSettingsFile::WriteRaw(const std::string& name, const std::string& raw) {
  std::string text, error;
  if (!ReadAll(file_, text, error)) {
    error_ = "Failed to set data for '" + name + "': " + error;
    return false;
  }
  std::vector<std::string> lines = SplitLines(text);
  const std::string entry = name + "=" + raw;

  bool inSection = false, found = false;
  std::size_t insertAt = lines.size();  // after the section's last value line
  bool haveSection = false;
  for (std::size_t i = 0; i < lines.size() && !found; ++i) {
    if (auto s = SectionOf(lines[i])) {
      if (inSection) break;  // our section ended without the value
      inSection = IEquals(*s, section_);
      if (inSection) haveSection = true, insertAt = i + 1;
      continue;
    }
    if (!inSection) continue;
    std::string_view n, v;
    if (SplitValueLine(lines[i], n, v)) {
      if (IEquals(n, name)) {
        lines[i] = entry;
        found = true;
      }
      insertAt = i + 1;
    }
  }
  if (!found) {
    if (haveSection) {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
    } else {
      if (!lines.empty() && !Trim(lines.back()).empty()) lines.emplace_back();
      lines.push_back("[" + section_ + "]");
      lines.push_back(entry);
    }
  }

  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  if (!WriteAtomically(file_, out, error)) {
    error_ = "Failed to set data for '" + name + "': " + error;
    return false;
  }
  return true;
}

}  // namespace vantrel
