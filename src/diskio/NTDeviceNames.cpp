#include "diskio/NTDeviceNames.h"

#include <limits>

namespace vantrel {

namespace {
constexpr std::string_view kDevicePrefix = "\\\\.\\";
constexpr std::string_view kDiskPrefix = "\\\\.\\PhysicalDrive";

std::uint64_t MulNoWrap(std::uint64_t a, std::uint64_t b) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return b != 0 && a > kMax / b ? kMax : a * b;
}
}  // namespace

std::string NTDiskDeviceName(std::size_t n) { return std::string(kDiskPrefix) + std::to_string(n); }

std::string NTFloppyDeviceName(std::uint8_t drive) {
  return drive <= 1 ? NTLogicalDeviceName(static_cast<std::uint8_t>(drive + 1)) : "";
}

std::string NTLogicalDeviceName(std::uint8_t drive) {
  if (drive < 1 || drive > 26) return "";
  return std::string(kDevicePrefix) + static_cast<char>('A' + drive - 1) + ":";
}

std::string NTDriveRoot(std::uint8_t drive) {
  if (drive < 1 || drive > 26) return "";
  return std::string(1, static_cast<char>('A' + drive - 1)) + ":\\";
}

bool IsNTDeviceName(std::string_view name) { return name.substr(0, kDevicePrefix.size()) == kDevicePrefix; }

std::uint8_t NTDriveOfDeviceName(std::string_view name) {
  if (name.size() != kDevicePrefix.size() + 2 || !IsNTDeviceName(name) || name.back() != ':') return 0;
  char letter = name[kDevicePrefix.size()];
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') return 0;
  return static_cast<std::uint8_t>(letter - 'A' + 1);
}

long NTDiskNumberOfDeviceName(std::string_view name) {
  if (name.size() <= kDiskPrefix.size() || name.substr(0, kDiskPrefix.size()) != kDiskPrefix) return -1;
  const std::string_view digits = name.substr(kDiskPrefix.size());
  if (digits.size() > 6) return -1;
  long n = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

void ApplyNTMediaType(std::uint32_t mediaType, TDiskGeometry& g) {
  if ((mediaType >= 1 && mediaType <= 10) || (mediaType >= 13 && mediaType <= 22)) {
    g.MediaKind = 1;
    g.Removable = 1;
  } else if (mediaType == kMediaRemovable) {
    g.MediaKind = 2;
    g.Removable = 1;
  } else if (mediaType == kMediaFixed) {
    g.MediaKind = 3;
    g.Removable = 0;
  } else {
    g.MediaKind = 0;
    g.Removable = 0;
  }
}

bool FillFromNTGeometry(TDiskGeometry& g, std::int64_t cylinders, std::uint32_t mediaType,
                        std::uint32_t tracksPerCylinder, std::uint32_t sectorsPerTrack,
                        std::uint32_t bytesPerSector, std::uint64_t exactBytes) {
  if (cylinders < 0 || bytesPerSector == 0) return false;
  g = TDiskGeometry{};
  ApplyNTMediaType(mediaType, g);
  g.Cylinders = static_cast<std::uint32_t>(cylinders);  // the low 32 bits
  g.Heads = tracksPerCylinder;
  g.SectorsPerTrack = sectorsPerTrack;
  g.BytesPerSector = bytesPerSector;
  std::uint64_t bytes = exactBytes;
  if (bytes == 0) {
    // A driver's numbers are not trusted to fit: the product stops at the
    // largest size instead of wrapping to a small one.
    bytes = MulNoWrap(MulNoWrap(MulNoWrap(static_cast<std::uint64_t>(cylinders), tracksPerCylinder),
                                sectorsPerTrack),
                      bytesPerSector);
  } else {
    g.TotalBytes = exactBytes;
  }
  g.TotalSectors = bytes / kPhysicalSectorSize;
  return true;
}

bool Utf8ToUtf16(std::string_view text, std::u16string& out) {
  out.clear();
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length;
    char32_t c;
    if (lead < 0x80) {
      length = 1;
      c = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      c = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not characters.
    if ((length == 3 && c < 0x800) || (length == 4 && c < 0x10000) || c > 0x10FFFF ||
        (c >= 0xD800 && c <= 0xDFFF))
      return false;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += length;
  }
  return true;
}

}  // namespace vantrel
