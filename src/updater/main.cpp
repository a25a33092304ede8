// kobrel: looks for a newer release of vantrel and, when there is one,
// fetches it into the program folder and starts it. vantrel starts it once
// at start-up and does not wait for it; it has no window and reports
// problems on standard error only.

#include "Download.h"
#include "UpdateCheck.h"

#include <curl/curl.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>

#ifndef KOBREL_BASE_URL
#define KOBREL_BASE_URL "http://update.vantrel.example"
#endif

namespace {

constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

void PrintHelp(std::ostream& out) {
  out << "Usage: kobrel [--base-url URL] [--app-dir DIR]\n"
         "\n"
         "Fetches the release description " << DescriptionPath << " from the update host,\n"
         "compares its release number with the one in nowver.ini and, when the\n"
         "published one is higher, fetches the new release into the program folder,\n"
         "records its number in nowver.ini and starts it.\n"
         "\n"
         "  --base-url URL  update host instead of " KOBREL_BASE_URL "\n"
         "  --app-dir DIR   program folder instead of the folder of this executable\n"
         "  --help          show this text\n"
         "\n"
         "Exit status: 0 when up to date or the new release was started, 1 when\n"
         "something failed, 2 for a wrong command line.\n";
}

std::filesystem::path ExecutableFolder() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe.parent_path();
}

}  // namespace

int main(int argc, char** argv) {
  TUpdateSettings settings{KOBREL_BASE_URL, {}};
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintHelp(std::cout);
      return ExitOk;
    }
    if (arg == "--base-url" && i + 1 < argc) {
      settings.BaseUrl = argv[++i];
      continue;
    }
    if (arg == "--app-dir" && i + 1 < argc) {
      settings.AppDir = argv[++i];
      continue;
    }
    std::cerr << "kobrel: unknown or incomplete argument \"" << arg << "\" (see kobrel --help)\n";
    return ExitUsage;
  }

  if (!IsHttpUrl(settings.BaseUrl)) {
    std::cerr << "kobrel: the update host must be an http or https address: \"" << settings.BaseUrl << "\"\n";
    return ExitUsage;
  }
  if (settings.AppDir.empty()) settings.AppDir = ExecutableFolder();
  std::error_code ec;
  if (settings.AppDir.empty() || !std::filesystem::is_directory(settings.AppDir, ec)) {
    std::cerr << "kobrel: no program folder \"" << settings.AppDir.string() << "\"\n";
    return ExitFailed;
  }

  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    std::cerr << "kobrel: cannot set up libcurl\n";
    return ExitFailed;
  }
  const auto outcome = RunUpdateCheck(settings, std::cerr);
  curl_global_cleanup();
  return outcome == TUpdateOutcome::uoFailed ? ExitFailed : ExitOk;
}
