#pragma once
// The settings of this run that the volume and the searches read: how a
// deleted name is shown and what the lost-data search makes of its finds.
// The front end's options extend them and are loaded into them at start.

#include <cstdint>
#include <string>

namespace vantrel {

struct TRunSettings {
  std::int32_t LostDefaultSize = 1474560;  // 0x168000, a 1.44 MB floppy
  std::string DeletedCharAnsi = "_";
  std::string DeletedCharMultibyte = "__";
  bool DeletedUseMultiByte = false;
  bool FindLostFiles = true;
  // Saving: saved files and folders get their entries' modification dates
  // (else the save time), and every save writes its recovery report, into
  // ReportFile or, when that is empty, report.xml in the target folder.
  bool KeepDates = false;
  bool WriteReport = true;
  std::string ReportFile;

  // The name as shown: the raw deletion mark (a byte 0xE5 that does not
  // belong to a UTF-8 character) replaced by the deleted-entry marker. Only
  // the first mark is replaced; a 0xE5 that leads a real character stays.
  std::string DisplayName(const std::string& name) const;
};

// The settings in force; built-in defaults until the front end attaches its own.
TRunSettings& RunSettings();
// From now on RunSettings() is settings (which must outlive every use).
void UseRunSettings(TRunSettings& settings);

}  // namespace vantrel
