#include "common/CodePage.h"

#ifdef _WIN32
#include <windows.h>

#include <cctype>
#include <cstdlib>

#include "common/Routines.h"
#else
#include <iconv.h>
#endif

#include <map>

namespace vantrel {
namespace {

std::string& CurrentCodePage() {
  static std::string codePage = "CP936";
  return codePage;
}

#ifdef _WIN32
// The Windows code page number of a code page name: "CP936", "IBM437",
// "windows-1252" or a bare number, and the usual names of the East Asian
// code pages; 0 when the name is not known.
unsigned CodePageNumber(const std::string& name) {
  std::string upper;
  for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const std::map<std::string, unsigned> kNamed = {
      {"GBK", 936},       {"GB2312", 936},  {"GB18030", 54936}, {"BIG5", 950},  {"SHIFT_JIS", 932},
      {"SJIS", 932},      {"EUC-KR", 949},  {"UHC", 949},       {"UTF-8", 65001}, {"LATIN1", 28591},
      {"ISO-8859-1", 28591}};
  if (auto it = kNamed.find(upper); it != kNamed.end()) return it->second;
  std::string digits = upper;
  for (const char* prefix : {"CP", "IBM", "WINDOWS-"}) {
    const std::string p(prefix);
    if (upper.rfind(p, 0) == 0) {
      digits = upper.substr(p.size());
      break;
    }
  }
  if (digits.empty() || digits.size() > 5) return 0;
  for (char c : digits)
    if (c < '0' || c > '9') return 0;
  const unsigned number = static_cast<unsigned>(std::atoi(digits.c_str()));
  return ::IsValidCodePage(number) ? number : 0;
}

// One character of bytes in the code page as UTF-8; false when they are not one.
bool DecodeOne(unsigned codePage, const std::uint8_t* bytes, std::size_t len, std::string& out) {
  wchar_t wide[8];
  const int n = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(bytes),
                                      static_cast<int>(len), wide, 8);
  if (n <= 0) return false;
  std::uint16_t units[8];
  for (int i = 0; i < n; ++i) {
    // Windows maps the user-defined rows of the East Asian code pages to the
    // private use area, whose characters mean nothing on another machine:
    // such bytes count as not decoding, as they do with iconv.
    if (wide[i] >= 0xE000 && wide[i] <= 0xF8FF) return false;
    units[i] = static_cast<std::uint16_t>(wide[i]);
  }
  out += WideToUtf8(units, static_cast<std::size_t>(n));
  return true;
}
#else
// One converter per code page for the whole run; (iconv_t)-1 when unknown.
class Converters {
 public:
  ~Converters() {
    for (auto& [name, cd] : converters_)
      if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }
  iconv_t Get(const std::string& codePage) {
    auto it = converters_.find(codePage);
    if (it == converters_.end()) it = converters_.emplace(codePage, iconv_open("UTF-8", codePage.c_str())).first;
    return it->second;
  }

 private:
  std::map<std::string, iconv_t> converters_;
};

iconv_t Converter(const std::string& codePage) {
  static Converters converters;
  return converters.Get(codePage);
}

bool DecodeOne(iconv_t cd, const std::uint8_t* bytes, std::size_t len, std::string& out) {
  char buffer[64];
  char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes));
  std::size_t inLeft = len;
  char* outPtr = buffer;
  std::size_t outLeft = sizeof buffer;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // each attempt starts from the initial state
  if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) || inLeft != 0) return false;
  out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
  return true;
}
#endif

void AppendLatin1(std::string& out, std::uint8_t b) {
  if (b < 0x80) {
    out += static_cast<char>(b);
  } else {
    out += static_cast<char>(0xC0 | (b >> 6));
    out += static_cast<char>(0x80 | (b & 0x3F));
  }
}

}  // namespace

void SetOemCodePage(const std::string& codePage) { CurrentCodePage() = codePage.empty() ? "CP936" : codePage; }
const std::string& OemCodePage() { return CurrentCodePage(); }

std::string OemToUtf8(const std::uint8_t* bytes, std::size_t size, const std::string& codePage) {
  std::string out;
  bool ascii = true;
  for (std::size_t i = 0; i < size; ++i) ascii = ascii && bytes[i] < 0x80;
  if (ascii) return std::string(reinterpret_cast<const char*>(bytes), size);

#ifdef _WIN32
  const unsigned cd = CodePageNumber(codePage);
  const bool known = cd != 0;
#else
  iconv_t cd = Converter(codePage);
  const bool known = cd != reinterpret_cast<iconv_t>(-1);
#endif
  if (!known) {
    for (std::size_t i = 0; i < size; ++i) AppendLatin1(out, bytes[i]);
    return out;
  }
  std::size_t pos = 0;
  while (pos < size) {
    // Convert one character at a time (1 or 2 bytes in the code pages in
    // use) so that a byte that does not decode costs only itself.
    bool done = false;
    for (std::size_t len = 1; len <= 4 && pos + len <= size && !done; ++len) {
      if (DecodeOne(cd, bytes + pos, len, out)) {
        pos += len;
        done = true;
      }
    }
    if (!done) AppendLatin1(out, bytes[pos++]);
  }
  return out;
}

}  // namespace vantrel
