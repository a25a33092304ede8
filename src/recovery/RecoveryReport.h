#pragma once
// The record of a save in Digital Forensics XML: the program, the source
// device and volume, and one fileobject per saved file with its saved and
// original paths, size, SHA-256, byte runs on the device, status, condition
// and verdict.

#include <cstdint>
#include <string>

#include "recovery/Saving.h"

namespace vantrel {

class TFATdrive;

// The report as text.
std::string RecoveryReportXml(const TFATdrive& drive, const std::string& deviceName, std::uint8_t fatChoice,
                              const TSaveReport& report);

// Writes it to path (replacing a file there, never through a link); false
// when it could not be written.
bool WriteRecoveryReport(const std::string& path, const TFATdrive& drive, const std::string& deviceName,
                         std::uint8_t fatChoice, const TSaveReport& report);

}  // namespace vantrel
