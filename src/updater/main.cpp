// kobrel: looks for a newer release of vantrel and, when there is one,
// fetches it into the program folder and starts it. vantrel starts it once
// at start-up and does not wait for it; it has no window and reports
// problems on standard error only.

#include "Download.h"
#include "FilesFolder.h"
#include "PathText.h"
#include "RunLock.h"
#include "TTempFile.h"
#include "UpdateCheck.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#ifndef KOBREL_BASE_URL
#define KOBREL_BASE_URL "http://update.vantrel.example"
#endif

namespace {

constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

void PrintHelp(std::ostream& out) {
  out << "Usage: kobrel [--base-url URL] [--app-dir DIR] [--deadline SECONDS] [--max-size BYTES]\n"
         "              [--ca-file FILE]\n"
         "\n"
         "Fetches the release description " << DescriptionPath << " from the update host,\n"
         "compares its release number with the one in nowver.ini and, when the\n"
         "published one is higher, fetches the new release into the program folder,\n"
         "records its number in nowver.ini and starts it.\n"
         "\n"
         "  --base-url URL  update host instead of " KOBREL_BASE_URL "\n"
         "  --app-dir DIR   folder of these files instead of the folder of this\n"
         "                  executable (or, where that is not writable, the user's\n"
         "                  data folder: $XDG_DATA_HOME/vantrel, ~/.local/share/vantrel)\n"
         "  --deadline SECONDS\n"
         "                  both downloads end within this time (default " << DefaultDeadlineSeconds << ",\n"
         "                  or \"deadline\" in [info] of nowver.ini)\n"
         "  --max-size BYTES\n"
         "                  largest release fetched (default " << DefaultMaxReleaseBytes << ",\n"
         "                  or \"maxsize\" in [info] of nowver.ini)\n"
#ifdef _WIN32
         "  --ca-file FILE  not on Windows: https trusts the system's certificate store\n"
#else
         "  --ca-file FILE  also trust the certificates in FILE for https\n"
#endif
         "  --help          show this text\n"
         "\n"
         "Only one run at a time works in a program folder; another one that\n"
         "starts meanwhile ends at once.\n"
         "\n"
         "Exit status: 0 when up to date, when the new release was started or when\n"
         "another run was at work, 1 when something failed, 2 for a wrong command line.\n";
}

#ifdef _WIN32

std::filesystem::path ExecutableFolder() {
  std::wstring exe(32768, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
  if (length == 0 || length >= exe.size()) return {};
  exe.resize(length);
  return std::filesystem::path(exe).parent_path();
}

// The arguments as UTF-8, whatever the code page of the console: folder
// names with any characters must come through.
std::vector<std::string> Arguments(int, char**) {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return args;
  for (int i = 0; i < count; ++i) args.push_back(Utf8FromWide(wide[i]));
  ::LocalFree(wide);
  return args;
}

#else

std::filesystem::path ExecutableFolder() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe.parent_path();
}

std::vector<std::string> Arguments(int argc, char** argv) { return {argv, argv + argc}; }

#endif

}  // namespace

int main(int argc, char** argvBytes) {
  const auto argv = Arguments(argc, argvBytes);
  argc = static_cast<int>(argv.size());
  TUpdateSettings settings;
  settings.BaseUrl = KOBREL_BASE_URL;
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
      const auto folder = PathFromUtf8(argv[++i]);
      if (!folder) {
        std::cerr << "kobrel: the program folder is not a valid name\n";
        return ExitUsage;
      }
      settings.AppDir = *folder;
      continue;
    }
    if (arg == "--deadline" && i + 1 < argc && (settings.DeadlineSeconds = ParseDeadline(argv[i + 1]))) {
      ++i;
      continue;
    }
    if (arg == "--max-size" && i + 1 < argc && (settings.MaxReleaseBytes = ParseByteCount(argv[i + 1]))) {
      ++i;
      continue;
    }
    if (arg == "--ca-file" && i + 1 < argc) {
      settings.CaFile = argv[++i];
      continue;
    }
    std::cerr << "kobrel: unknown or incomplete argument \"" << arg << "\" (see kobrel --help)\n";
    return ExitUsage;
  }

  if (!IsHttpUrl(settings.BaseUrl)) {
    std::cerr << "kobrel: the update host must be an http or https address: \"" << settings.BaseUrl << "\"\n";
    return ExitUsage;
  }
  // Without a folder on the command line the files lie beside the program,
  // or in the user's data folder where the program's folder is not theirs.
  if (settings.AppDir.empty()) {
    const auto programFolder = ExecutableFolder();
    if (!programFolder.empty() && (settings.AppDir = FilesFolder(programFolder)).empty()) {
      std::cerr << "kobrel: the program folder \"" << PathText(programFolder)
                << "\" is not writable and there is no user data folder\n";
      return ExitFailed;
    }
  }
  std::error_code ec;
  // The release is started from inside the folder, so a relative one would
  // no longer lead to it.
  if (!settings.AppDir.empty()) settings.AppDir = std::filesystem::absolute(settings.AppDir, ec);
  if (ec || settings.AppDir.empty() || !std::filesystem::is_directory(settings.AppDir, ec)) {
    std::cerr << "kobrel: no program folder \"" << PathText(settings.AppDir) << "\"\n";
    return ExitFailed;
  }

  RemoveTempFileOnSignals();
  // vantrel started several times at once starts several of us: the first
  // does the work, the others have nothing to add.
  const TRunLock lock(settings.AppDir);
  if (lock.State() == TRunLock::TState::lsBusy) return ExitOk;
  if (lock.State() == TRunLock::TState::lsFailed) {
    std::cerr << "kobrel: " << lock.Error() << '\n';
    return ExitFailed;
  }
  // Nobody else is at work here, so any temporary file is left from a run
  // that was stopped without a chance to clean up.
  RemoveStaleTempFiles(settings.AppDir);

  if (!SetUpDownloads()) {
    std::cerr << "kobrel: cannot set up the HTTP client\n";
    return ExitFailed;
  }
  const auto outcome = RunUpdateCheck(settings, std::cerr);
  EndDownloads();
  return outcome == TUpdateOutcome::uoFailed ? ExitFailed : ExitOk;
}
