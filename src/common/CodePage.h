#pragma once
// Short names and volume labels are stored in the OEM code page of the
// system that wrote them; the program works in UTF-8.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantrel {

// Decodes bytes of the given code page (a name such as "CP936" or
// "CP437"; iconv on Linux, the Windows code page of that number on Windows) to UTF-8. Bytes that do not decode are kept as single
// characters of Latin-1, so that nothing is lost and the text stays valid.
std::string OemToUtf8(const std::uint8_t* bytes, std::size_t size, const std::string& codePage);

// The code page in use for short names (the OemCodePage option).
void SetOemCodePage(const std::string& codePage);
const std::string& OemCodePage();

}  // namespace vantrel
