#include "IniFile.h"

#include "Ascii.h"
#include "TTempFile.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <fstream>
#include <iterator>
#include <vector>

namespace {

constexpr std::string_view Blanks = " \t\r\v\f";
constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";

enum class TLineKind { lkBlank, lkComment, lkSection, lkKey };

struct TIniLine {
  std::size_t Begin = 0;  // first character of the line
  std::size_t End = 0;    // end of its content, before "\n" or "\r\n"
  std::size_t Next = 0;   // first character of the following line
  TLineKind Kind = TLineKind::lkBlank;
  std::string_view Name;  // section name or key name
  std::string_view Value; // value of a key, as written
};

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(Blanks);
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(Blanks);
  return s.substr(first, last - first + 1);
}

void Classify(std::string_view content, TIniLine& line) {
  const auto s = Trim(content);
  if (s.empty()) {
    line.Kind = TLineKind::lkBlank;
  } else if (s.front() == ';') {
    line.Kind = TLineKind::lkComment;
  } else if (s.front() == '[' && s.rfind(']') != std::string_view::npos) {
    line.Kind = TLineKind::lkSection;
    line.Name = Trim(s.substr(1, s.rfind(']') - 1));
  } else {
    // A line without "=" is a key without a value, as the private-profile
    // functions see it; "[" without "]" is such a key too.
    line.Kind = TLineKind::lkKey;
    const auto eq = s.find('=');
    line.Name = Trim(s.substr(0, eq));
    if (eq != std::string_view::npos) line.Value = Trim(s.substr(eq + 1));
  }
}

// Lines end at "\r\n", "\n" or a "\r" alone, as older editors wrote them.
std::vector<TIniLine> SplitLines(std::string_view text) {
  std::vector<TIniLine> lines;
  std::size_t pos = text.starts_with(Utf8Bom) ? Utf8Bom.size() : 0;
  while (pos < text.size()) {
    TIniLine line;
    line.Begin = pos;
    const auto end = text.find_first_of("\r\n", pos);
    line.End = end == std::string_view::npos ? text.size() : end;
    line.Next = end == std::string_view::npos ? text.size() : text.compare(end, 2, "\r\n") == 0 ? end + 2 : end + 1;
    Classify(text.substr(pos, line.End - pos), line);
    lines.push_back(line);
    pos = line.Next;
  }
  return lines;
}

// Index of the first section called section, or lines.size().
std::size_t FindSection(const std::vector<TIniLine>& lines, std::string_view section) {
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i].Kind == TLineKind::lkSection && EqualNoCase(lines[i].Name, section)) return i;
  return lines.size();
}

std::string_view LineBreakOf(std::string_view text) {
  const auto end = text.find_first_of("\r\n");
  if (end == std::string_view::npos || text[end] == '\n') return "\n";
  return text.compare(end, 2, "\r\n") == 0 ? "\r\n" : "\r";
}

bool EndsLine(char c) { return c == '\n' || c == '\r'; }

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The next character of UTF-8 text at pos; a byte that starts no valid
// sequence gives U+FFFD and is skipped alone.
char32_t NextUtf8(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  const int length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
  if (length == 0 || pos + length > text.size()) {
    ++pos;
    return 0xFFFD;
  }
  char32_t c = length == 1 ? lead : lead & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) {
      ++pos;
      return 0xFFFD;
    }
    c = (c << 6) | (byte(pos + i) & 0x3F);
  }
  pos += length;
  return c;
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && value.front() == value.back() && (value.front() == '"' || value.front() == '\''))
    return value.substr(1, value.size() - 2);
  return value;
}

bool FitsOnOneLine(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos; }

// Writes content to a fresh file beside target and renames it over target,
// keeping the permissions of the old file (on Windows the new file has those
// of its folder, like the old one).
bool ReplaceFile(const std::filesystem::path& target, std::string_view content) {
#ifdef _WIN32
  TTempFile temp(target);
  return temp.IsOpen() && temp.Write(content) && temp.Commit();
#else
  struct stat old {};
  const bool existed = ::stat(target.c_str(), &old) == 0;
  TTempFile temp(target);
  return temp.IsOpen() && temp.Write(content) && (!existed || temp.SetMode(old.st_mode & 07777)) && temp.Commit();
#endif
}

}  // namespace

std::string IniLookup(std::string_view text, std::string_view section, std::string_view key) {
  if (key.empty()) return {};
  const auto lines = SplitLines(text);
  for (auto i = FindSection(lines, section) + 1; i < lines.size(); ++i) {
    if (lines[i].Kind == TLineKind::lkSection) break;
    if (lines[i].Kind != TLineKind::lkKey || !EqualNoCase(lines[i].Name, key)) continue;
    auto value = Unquote(lines[i].Value);
    // The value is handed over as a C string: it ends at the first NUL and
    // at the size of the buffer.
    value = value.substr(0, value.find('\0'));
    return std::string(value.substr(0, IniBufferSize - 1));
  }
  return {};
}

std::string IniSetValue(std::string_view text, std::string_view section, std::string_view key,
                        std::string_view value) {
  const auto lines = SplitLines(text);
  const auto nl = LineBreakOf(text);
  std::string result(text);

  const auto sectionLine = FindSection(lines, section);
  if (sectionLine == lines.size()) {
    if (!result.empty() && !EndsLine(result.back())) result += nl;
    // One blank line between sections, as the private-profile writer does.
    if (!lines.empty() && lines.back().Kind != TLineKind::lkBlank) result += nl;
    result.append("[").append(section).append("]").append(nl);
    result.append(key).append("=").append(value).append(nl);
    return result;
  }

  auto lastEntry = sectionLine;
  for (auto i = sectionLine + 1; i < lines.size() && lines[i].Kind != TLineKind::lkSection; ++i) {
    const auto& line = lines[i];
    if (line.Kind == TLineKind::lkKey && EqualNoCase(line.Name, key)) {
      const std::string entry = std::string(line.Name) + "=" + std::string(value);
      return result.replace(line.Begin, line.End - line.Begin, entry);
    }
    if (line.Kind != TLineKind::lkBlank) lastEntry = i;
  }

  // New keys go right after the section's last entry, before the blank lines
  // that separate it from the next section.
  const auto& after = lines[lastEntry];
  std::string entry = std::string(key) + "=" + std::string(value);
  const bool endsLine = after.Next > 0 && EndsLine(text[after.Next - 1]);
  return result.insert(after.Next, (endsLine ? "" : std::string(nl)) + entry + std::string(nl));
}

std::string DecodeIniText(std::string_view bytes, TIniEncoding* encoding) {
  TIniEncoding found = TIniEncoding::ieBytes;
  if (bytes.starts_with("\xFF\xFE"))
    found = TIniEncoding::ieUtf16Le;
  else if (bytes.starts_with("\xFE\xFF"))
    found = TIniEncoding::ieUtf16Be;
  if (encoding != nullptr) *encoding = found;
  if (found == TIniEncoding::ieBytes) return std::string(bytes);

  const bool little = found == TIniEncoding::ieUtf16Le;
  const auto unitAt = [&](std::size_t i) -> char32_t {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    return little ? first | (second << 8) : (first << 8) | second;
  };
  std::string text;
  // A last odd byte is half a character and dropped.
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    char32_t c = unitAt(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size() && unitAt(i + 2) >= 0xDC00 && unitAt(i + 2) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unitAt(i + 2) - 0xDC00);
      i += 2;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // half of a pair
    }
    AppendUtf8(text, c);
  }
  return text;
}

std::string EncodeIniText(std::string_view text, TIniEncoding encoding) {
  if (encoding == TIniEncoding::ieBytes) return std::string(text);
  const bool little = encoding == TIniEncoding::ieUtf16Le;
  std::string bytes;
  const auto putUnit = [&](char32_t unit) {
    const auto low = static_cast<char>(unit & 0xFF);
    const auto high = static_cast<char>(unit >> 8);
    bytes += little ? low : high;
    bytes += little ? high : low;
  };
  putUnit(0xFEFF);
  for (std::size_t pos = 0; pos < text.size();) {
    char32_t c = NextUtf8(text, pos);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c >= 0x10000) {
      putUnit(0xD800 + ((c - 0x10000) >> 10));
      putUnit(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      putUnit(c);
    }
  }
  return bytes;
}

bool IniHasSection(std::string_view text, std::string_view section) {
  const auto lines = SplitLines(text);
  return FindSection(lines, section) != lines.size();
}

std::string ReadIniText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return DecodeIniText(bytes);
}

std::string ReadIni(std::string_view section, std::string_view key, const std::filesystem::path& file) {
  return IniLookup(ReadIniText(file), section, key);
}

bool WriteIni(std::string_view section, std::string_view key, std::string_view value,
              const std::filesystem::path& file) {
  if (key.empty() || key.find('=') != std::string_view::npos || section.find(']') != std::string_view::npos ||
      !FitsOnOneLine(section) || !FitsOnOneLine(key) || !FitsOnOneLine(value))
    return false;

  std::string bytes;
  std::error_code ec;
  if (std::filesystem::exists(file, ec)) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return false;
  } else if (ec) {
    return false;
  }
  // The file stays in the encoding it was written in.
  TIniEncoding encoding = TIniEncoding::ieBytes;
  const auto text = DecodeIniText(bytes, &encoding);
  return ReplaceFile(file, EncodeIniText(IniSetValue(text, section, key, value), encoding));
}
