#pragma once

// The one run of the update checker: fetch the release description, compare
// release numbers, and fetch, record and start a newer release.

#include <filesystem>
#include <iosfwd>
#include <string>
#include <string_view>

// Names of the files in the program folder.
inline constexpr std::string_view InstalledFileName = "nowver.ini";
inline constexpr std::string_view DescriptionFileName = "new.htm";
// Where the release description lies on the update host.
inline constexpr std::string_view DescriptionPath = "/dova/new.htm";

struct TUpdateSettings {
  std::string BaseUrl;          // "http://host[:port]", the update host
  std::filesystem::path AppDir; // the program folder
};

enum class TUpdateOutcome {
  uoUpToDate,       // the published release is not newer
  uoStarted,        // a newer release was fetched, recorded and started
  uoFailed,         // something on the way failed; see the log
};

// The address of the release description on the host of baseUrl.
std::string DescriptionUrl(std::string_view baseUrl);

// Runs the check once; every problem is written as one line to log.
TUpdateOutcome RunUpdateCheck(const TUpdateSettings& settings, std::ostream& log);
