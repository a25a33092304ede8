#include "recovery/RecoveryReport.h"

#include <cstdio>
#include <filesystem>
#include <ctime>
#include <fstream>

#include "common/HostPath.h"
#include "format/FATFormat.h"
#include "fs/TFATdrive.h"
#include "recovery/FileDates.h"

#ifndef VANTREL_VERSION_TEXT
#define VANTREL_VERSION_TEXT ""
#endif

namespace vantrel {

namespace {

// Text for XML character data and attribute values; bytes that XML 1.0
// cannot hold (control characters, broken UTF-8) become U+FFFD.
std::string Escape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
          if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') out += "\xEF\xBF\xBD";
          else out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    const std::size_t n = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    bool ok = n != 0 && i + n <= text.size();
    for (std::size_t k = 1; ok && k < n; ++k) ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (ok) {
      out.append(text, i, n);
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

const char* StatusName(std::uint8_t status) {
  return status == isDeleted ? "deleted" : status == isLost ? "lost" : "normal";
}

const char* ConditionName(std::uint8_t condition) {
  return condition == ccGood ? "good" : condition == ccBad ? "bad" : "";
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm t{};
#ifdef _WIN32
  gmtime_s(&t, &now);
#else
  gmtime_r(&now, &t);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
  return text;
}

}  // namespace

std::string RecoveryReportXml(const TFATdrive& drive, const std::string& deviceName, std::uint8_t fatChoice,
                              const TSaveReport& report) {
  const std::uint64_t sectorBytes = drive.BytesPerSector ? drive.BytesPerSector : 512;
  std::string x;
  x += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  x += "<dfxml xmloutputversion=\"1.0\" version=\"1.0\"\n"
       "       xmlns=\"http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML\"\n"
       "       xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
       "       xmlns:vantrel=\"urn:vantrel:recovery\">\n";
  x += "  <metadata>\n    <dc:type>Recovery report</dc:type>\n  </metadata>\n";
  x += "  <creator version=\"1.0\">\n    <program>vantrel</program>\n";
  x += "    <version>" + Escape(VANTREL_VERSION_TEXT) + "</version>\n";
  x += "    <execution_environment>\n      <start_time>" + UtcNow() + "</start_time>\n    </execution_environment>\n";
  x += "  </creator>\n";
  x += "  <source>\n    <image_filename>" + Escape(deviceName) + "</image_filename>\n";
  x += "    <sectorsize>" + std::to_string(sectorBytes) + "</sectorsize>\n  </source>\n";
  x += "  <volume offset=\"" + std::to_string(drive.StartSector * sectorBytes) + "\">\n";
  x += "    <partition_offset>" + std::to_string(drive.StartSector * sectorBytes) + "</partition_offset>\n";
  x += "    <sector_size>" + std::to_string(sectorBytes) + "</sector_size>\n";
  x += "    <block_size>" + std::to_string(drive.BytesPerCluster) + "</block_size>\n";
  x += "    <ftype_str>" + std::string(drive.TypeName()) + "</ftype_str>\n";
  x += "    <vantrel:fat_choice>" + std::to_string(fatChoice) + "</vantrel:fat_choice>\n";
  for (const TSavedFile& f : report.Saved) {
    x += "    <fileobject>\n";
    x += "      <filename>" + Escape(f.Path) + "</filename>\n";
    x += "      <vantrel:original_filename>" + Escape(f.OriginalPath) + "</vantrel:original_filename>\n";
    x += "      <filesize>" + std::to_string(f.Size) + "</filesize>\n";
    x += f.Status == isNormal ? "      <alloc>1</alloc>\n" : "      <unalloc>1</unalloc>\n";
    const std::string date = FATDateIso(f.Date, f.Time);
    if (!date.empty()) x += "      <mtime>" + date + "</mtime>\n";
    x += "      <vantrel:status>" + std::string(StatusName(f.Status)) + "</vantrel:status>\n";
    if (*ConditionName(f.Condition))
      x += "      <vantrel:condition>" + std::string(ConditionName(f.Condition)) + "</vantrel:condition>\n";
    x += "      <vantrel:first_cluster>" + std::to_string(f.StartCluster) + "</vantrel:first_cluster>\n";
    if (f.Verdict != vdNone) {
      x += "      <vantrel:verdict";
      if (f.Verdict == vdDamaged) x += " bad_offset=\"" + std::to_string(f.BadOffset) + "\"";
      x += ">" + VerdictName(f.Verdict) + "</vantrel:verdict>\n";
    }
    x += "      <byte_runs>\n";
    for (const auto& run : f.Runs)
      x += "        <byte_run file_offset=\"" + std::to_string(run.FileOffset) + "\" img_offset=\"" +
           std::to_string(run.DeviceOffset) + "\" fs_offset=\"" +
           std::to_string(run.DeviceOffset - drive.StartSector * sectorBytes) + "\" len=\"" +
           std::to_string(run.Length) + "\"/>\n";
    x += "      </byte_runs>\n";
    if (!f.Lost.empty()) {
      // The bytes that unreadable sectors held, written as zeros.
      x += "      <vantrel:unreadable>\n";
      for (const auto& r : f.Lost)
        x += "        <byte_run file_offset=\"" + std::to_string(r.First) + "\" len=\"" + std::to_string(r.Count) + "\"/>\n";
      x += "      </vantrel:unreadable>\n";
    }
    x += "      <hashdigest type=\"sha256\">" + f.Sha256 + "</hashdigest>\n";
    x += "    </fileobject>\n";
  }
  x += "  </volume>\n</dfxml>\n";
  return x;
}

bool WriteRecoveryReport(const std::string& path, const TFATdrive& drive, const std::string& deviceName,
                         std::uint8_t fatChoice, const TSaveReport& report) {
  const std::string text = RecoveryReportXml(drive, deviceName, fatChoice, report);
  // Never through a link or onto anything but a file.
  std::error_code ec;
  const auto status = std::filesystem::symlink_status(PathFromUtf8(path), ec);
  if (!ec && status.type() != std::filesystem::file_type::not_found && status.type() != std::filesystem::file_type::regular)
    return false;
  std::ofstream out(PathFromUtf8(path), std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace vantrel
