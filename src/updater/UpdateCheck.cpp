#include "UpdateCheck.h"

#include "Ascii.h"
#include "Download.h"
#include "IniFile.h"
#include "Launch.h"
#include "PathText.h"
#include "ReleaseNumber.h"
#include "RunLock.h"
#include "TTempFile.h"

#include <charconv>
#include <chrono>
#include <ostream>

namespace {

constexpr std::string_view InfoSection = "info";
// A release description is a few lines; a server that sends more than this
// is not sending one, and must not fill the program's disk.
constexpr std::uint64_t MaxDescriptionBytes = 1 << 20;

// A release stored under the name of one of our own files would destroy the
// record it is about to be entered in.
bool IsReleaseFileName(std::string_view name) {
  // Nor may it take the place of the run lock or look like a leftover that
  // the next run removes.
  return IsPlainFileName(name) && !EqualNoCase(name, InstalledFileName) && !EqualNoCase(name, DescriptionFileName) &&
         !EqualNoCase(name, LockFileName) && !IsTempFileName(name);
}

template <typename T>
std::optional<T> ParseDecimal(std::string_view text) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || text.front() == '-' || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A setting from the command line, else from [info] of nowver.ini, else the
// default; a value there that makes no sense is reported and not used.
template <typename T, typename TParse>
T Setting(const std::optional<T>& given, std::string_view key, const std::string& installedText, TParse parse,
          T fallback, std::ostream& log) {
  if (given) return *given;
  const auto text = IniLookup(installedText, InfoSection, key);
  if (text.empty()) return fallback;
  if (const auto value = parse(text)) return *value;
  log << "kobrel: ignoring " << key << "=" << text << " in " << InstalledFileName << '\n';
  return fallback;
}

}  // namespace

std::optional<int> ParseDeadline(std::string_view text) {
  const auto value = ParseDecimal<int>(text);
  if (!value || *value < 1 || *value > MaxDeadlineSeconds) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> ParseByteCount(std::string_view text) {
  const auto value = ParseDecimal<std::uint64_t>(text);
  if (!value || *value == 0) return std::nullopt;
  return value;
}

std::string DescriptionUrl(std::string_view baseUrl) {
  while (baseUrl.ends_with('/')) baseUrl.remove_suffix(1);
  return std::string(baseUrl) + std::string(DescriptionPath);
}

TUpdateOutcome RunUpdateCheck(const TUpdateSettings& settings, std::ostream& log) {
  const auto installedFile = settings.AppDir / InstalledFileName;
  const auto descriptionFile = settings.AppDir / DescriptionFileName;

  const auto installedIni = ReadIniText(installedFile);
  const int deadlineSeconds =
      Setting(settings.DeadlineSeconds, "deadline", installedIni, ParseDeadline, DefaultDeadlineSeconds, log);
  const std::uint64_t maxReleaseBytes =
      Setting(settings.MaxReleaseBytes, "maxsize", installedIni, ParseByteCount, DefaultMaxReleaseBytes, log);
  // One deadline for both downloads together: a server that trickles the
  // description leaves that much less time for the release.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(deadlineSeconds);

  // An old description must never be taken for the current one.
  std::error_code ec;
  std::filesystem::remove(descriptionFile, ec);
  if (ec) {
    log << "kobrel: cannot delete " << PathText(descriptionFile) << ": " << ec.message() << '\n';
    return TUpdateOutcome::uoFailed;
  }

  const auto url = DescriptionUrl(settings.BaseUrl);
  TDownloadOptions descriptionOptions;
  descriptionOptions.MaxBytes = MaxDescriptionBytes;
  descriptionOptions.Deadline = deadline;
  descriptionOptions.CaFile = settings.CaFile;
  const auto description = DownloadFile(url, descriptionFile, descriptionOptions);
  if (!description.Ok) {
    log << "kobrel: cannot fetch " << url << ": " << description.Error << '\n';
    return TUpdateOutcome::uoFailed;
  }

  // A description that does not read as one must not pass for "up to date".
  const auto descriptionIni = ReadIniText(descriptionFile);
  if (!IniHasSection(descriptionIni, InfoSection)) {
    log << "kobrel: " << url << " has no [" << InfoSection << "] section\n";
    return TUpdateOutcome::uoFailed;
  }

  const auto installedText = IniLookup(installedIni, InfoSection, "num");
  const auto publishedText = IniLookup(descriptionIni, InfoSection, "num");
  const auto installed = ReleaseNumber(installedText);
  const auto published = ReleaseNumber(publishedText);
  if (!installed || !published) {
    log << "kobrel: release number out of range: \"" << (installed ? publishedText : installedText) << "\"\n";
    return TUpdateOutcome::uoFailed;
  }
  if (!(*installed < *published)) return TUpdateOutcome::uoUpToDate;

  const auto releaseUrl = IniLookup(descriptionIni, InfoSection, "url");
  const auto releaseName = IniLookup(descriptionIni, InfoSection, "name");
  const auto releaseSize = IniLookup(descriptionIni, InfoSection, "size");
  TDownloadOptions releaseOptions;
  releaseOptions.Sha256 = IniLookup(descriptionIni, InfoSection, "sha256");
  releaseOptions.MaxBytes = maxReleaseBytes;
  releaseOptions.Deadline = deadline;
  releaseOptions.CaFile = settings.CaFile;
  if (!releaseSize.empty()) releaseOptions.Bytes = ParseByteCount(releaseSize);
  bool fetched = false;
  const auto releaseFile = PathFromUtf8(releaseName);
  if (!IsReleaseFileName(releaseName) || !releaseFile) {
    log << "kobrel: refusing release file name \"" << releaseName << "\"\n";
  } else if (!releaseSize.empty() && !releaseOptions.Bytes) {
    log << "kobrel: refusing release size \"" << releaseSize << "\"\n";
  } else {
    const auto release = DownloadFile(releaseUrl, settings.AppDir / *releaseFile, releaseOptions);
    if (release.Ok)
      fetched = true;
    else
      log << "kobrel: cannot fetch release \"" << releaseUrl << "\": " << release.Error << '\n';
  }

  // The new number is recorded whether or not the release arrived, so that a
  // broken release is not fetched again at every start of the program.
  if (!WriteIni(InfoSection, "num", std::to_string(*published), installedFile))
    log << "kobrel: cannot record release " << *published << " in " << PathText(installedFile) << '\n';
  if (!fetched) return TUpdateOutcome::uoFailed;

  std::string error;
  if (!StartDetached(settings.AppDir / *releaseFile, settings.AppDir, error)) {
    log << "kobrel: " << error << '\n';
    return TUpdateOutcome::uoFailed;
  }
  return TUpdateOutcome::uoStarted;
}
