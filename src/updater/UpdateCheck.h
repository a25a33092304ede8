#pragma once

// The one run of the update checker: fetch the release description, compare
// release numbers, and fetch, record and start a newer release.

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

// Names of the files in the program folder.
inline constexpr std::string_view InstalledFileName = "nowver.ini";
inline constexpr std::string_view DescriptionFileName = "new.htm";
// Where the release description lies on the update host.
inline constexpr std::string_view DescriptionPath = "/dova/new.htm";

// Limits of a run when neither the command line nor nowver.ini sets them:
// both downloads together end within the deadline, and a release may not be
// larger than the size limit.
inline constexpr int DefaultDeadlineSeconds = 30 * 60;
inline constexpr int MaxDeadlineSeconds = 7 * 24 * 60 * 60;
inline constexpr std::uint64_t DefaultMaxReleaseBytes = std::uint64_t{256} << 20;

struct TUpdateSettings {
  std::string BaseUrl;          // "http://host[:port]", the update host
  std::filesystem::path AppDir; // the program folder, absolute
  // Set on the command line; when empty, the keys "deadline" and "maxsize"
  // of [info] in nowver.ini count, and without them the defaults.
  std::optional<int> DeadlineSeconds;
  std::optional<std::uint64_t> MaxReleaseBytes;
  std::string CaFile;           // certificates trusted besides the system's
};

enum class TUpdateOutcome {
  uoUpToDate,       // the published release is not newer
  uoStarted,        // a newer release was fetched, recorded and started
  uoFailed,         // something on the way failed; see the log
};

// A deadline in whole seconds, 1 to MaxDeadlineSeconds; empty otherwise.
std::optional<int> ParseDeadline(std::string_view text);
// A byte count in decimal digits, at least 1; empty otherwise.
std::optional<std::uint64_t> ParseByteCount(std::string_view text);

// The address of the release description on the host of baseUrl.
std::string DescriptionUrl(std::string_view baseUrl);

// Runs the check once; every problem is written as one line to log.
TUpdateOutcome RunUpdateCheck(const TUpdateSettings& settings, std::ostream& log);
