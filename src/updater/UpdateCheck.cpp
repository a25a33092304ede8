#include "UpdateCheck.h"

#include "Ascii.h"
#include "Download.h"
#include "IniFile.h"
#include "Launch.h"
#include "ReleaseNumber.h"

#include <ostream>

namespace {

constexpr std::string_view InfoSection = "info";
// A release description is a few lines; a server that sends more than this
// is not sending one, and must not fill the program's disk.
constexpr std::uint64_t MaxDescriptionBytes = 1 << 20;

// A release stored under the name of one of our own files would destroy the
// record it is about to be entered in.
bool IsReleaseFileName(std::string_view name) {
  return IsPlainFileName(name) && !EqualNoCase(name, InstalledFileName) && !EqualNoCase(name, DescriptionFileName);
}

}  // namespace

std::string DescriptionUrl(std::string_view baseUrl) {
  while (baseUrl.ends_with('/')) baseUrl.remove_suffix(1);
  return std::string(baseUrl) + std::string(DescriptionPath);
}

TUpdateOutcome RunUpdateCheck(const TUpdateSettings& settings, std::ostream& log) {
  const auto installedFile = settings.AppDir / InstalledFileName;
  const auto descriptionFile = settings.AppDir / DescriptionFileName;

  // An old description must never be taken for the current one.
  std::error_code ec;
  std::filesystem::remove(descriptionFile, ec);
  if (ec) {
    log << "kobrel: cannot delete " << descriptionFile.string() << ": " << ec.message() << '\n';
    return TUpdateOutcome::uoFailed;
  }

  const auto url = DescriptionUrl(settings.BaseUrl);
  const auto description = DownloadFile(url, descriptionFile, {}, MaxDescriptionBytes);
  if (!description.Ok) {
    log << "kobrel: cannot fetch " << url << ": " << description.Error << '\n';
    return TUpdateOutcome::uoFailed;
  }

  const auto installedText = ReadIni(InfoSection, "num", installedFile);
  const auto publishedText = ReadIni(InfoSection, "num", descriptionFile);
  const auto installed = ReleaseNumber(installedText);
  const auto published = ReleaseNumber(publishedText);
  if (!installed || !published) {
    log << "kobrel: release number out of range: \"" << (installed ? publishedText : installedText) << "\"\n";
    return TUpdateOutcome::uoFailed;
  }
  if (!(*installed < *published)) return TUpdateOutcome::uoUpToDate;

  const auto releaseUrl = ReadIni(InfoSection, "url", descriptionFile);
  const auto releaseName = ReadIni(InfoSection, "name", descriptionFile);
  const auto releaseSha256 = ReadIni(InfoSection, "sha256", descriptionFile);
  bool fetched = false;
  if (!IsReleaseFileName(releaseName)) {
    log << "kobrel: refusing release file name \"" << releaseName << "\"\n";
  } else {
    const auto release = DownloadFile(releaseUrl, settings.AppDir / releaseName, releaseSha256);
    if (release.Ok)
      fetched = true;
    else
      log << "kobrel: cannot fetch release \"" << releaseUrl << "\": " << release.Error << '\n';
  }

  // The new number is recorded whether or not the release arrived, so that a
  // broken release is not fetched again at every start of the program.
  if (!WriteIni(InfoSection, "num", std::to_string(*published), installedFile))
    log << "kobrel: cannot record release " << *published << " in " << installedFile.string() << '\n';
  if (!fetched) return TUpdateOutcome::uoFailed;

  std::string error;
  if (!StartDetached(settings.AppDir / releaseName, settings.AppDir, error)) {
    log << "kobrel: " << error << '\n';
    return TUpdateOutcome::uoFailed;
  }
  return TUpdateOutcome::uoStarted;
}
