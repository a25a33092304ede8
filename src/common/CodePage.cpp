#include "common/CodePage.h"

#include <iconv.h>

#include <map>

namespace vantrel {
namespace {

std::string& CurrentCodePage() {
  static std::string codePage = "CP936";
  return codePage;
}

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

  iconv_t cd = Converter(codePage);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    for (std::size_t i = 0; i < size; ++i) AppendLatin1(out, bytes[i]);
    return out;
  }
  std::size_t pos = 0;
  char buffer[64];
  while (pos < size) {
    // Convert one character at a time (1 or 2 bytes in the code pages in
    // use) so that a byte that does not decode costs only itself.
    bool done = false;
    for (std::size_t len = 1; len <= 4 && pos + len <= size && !done; ++len) {
      char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes + pos));
      std::size_t inLeft = len;
      char* outPtr = buffer;
      std::size_t outLeft = sizeof buffer;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);  // each attempt starts from the initial state
      if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1) && inLeft == 0) {
        out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        pos += len;
        done = true;
      }
    }
    if (!done) AppendLatin1(out, bytes[pos++]);
  }
  return out;
}

}  // namespace vantrel
