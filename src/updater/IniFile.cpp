#include "IniFile.h"

#include "Ascii.h"
#include "TTempFile.h"

#include <sys/stat.h>

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

std::vector<TIniLine> SplitLines(std::string_view text) {
  std::vector<TIniLine> lines;
  std::size_t pos = text.starts_with(Utf8Bom) ? Utf8Bom.size() : 0;
  while (pos < text.size()) {
    TIniLine line;
    line.Begin = pos;
    const auto nl = text.find('\n', pos);
    line.Next = nl == std::string_view::npos ? text.size() : nl + 1;
    line.End = nl == std::string_view::npos ? text.size() : nl;
    if (line.End > pos && text[line.End - 1] == '\r') --line.End;
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
  const auto nl = text.find('\n');
  return (nl != std::string_view::npos && nl > 0 && text[nl - 1] == '\r') ? "\r\n" : "\n";
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && value.front() == value.back() && (value.front() == '"' || value.front() == '\''))
    return value.substr(1, value.size() - 2);
  return value;
}

bool FitsOnOneLine(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos; }

// Writes content to a fresh file beside target and renames it over target,
// keeping the permissions of the old file.
bool ReplaceFile(const std::filesystem::path& target, std::string_view content) {
  struct stat old {};
  const bool existed = ::stat(target.c_str(), &old) == 0;
  TTempFile temp(target);
  return temp.IsOpen() && temp.Write(content) && (!existed || temp.SetMode(old.st_mode & 07777)) && temp.Commit();
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
    if (!result.empty() && result.back() != '\n') result += nl;
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
  const bool endsLine = after.Next > 0 && text[after.Next - 1] == '\n';
  return result.insert(after.Next, (endsLine ? "" : std::string(nl)) + entry + std::string(nl));
}

std::string ReadIni(std::string_view section, std::string_view key, const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return IniLookup(text, section, key);
}

bool WriteIni(std::string_view section, std::string_view key, std::string_view value,
              const std::filesystem::path& file) {
  if (key.empty() || key.find('=') != std::string_view::npos || section.find(']') != std::string_view::npos ||
      !FitsOnOneLine(section) || !FitsOnOneLine(key) || !FitsOnOneLine(value))
    return false;

  std::string text;
  std::error_code ec;
  if (std::filesystem::exists(file, ec)) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return false;
  } else if (ec) {
    return false;
  }
  return ReplaceFile(file, IniSetValue(text, section, key, value));
}
