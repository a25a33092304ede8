#include "FilesFolder.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

fs::path UserDataFolder() {
#ifdef _WIN32
  const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
  if (local == nullptr || *local == L'\0') return {};
  const fs::path base(local);
  return base.is_absolute() ? base / L"vantrel" : fs::path();
#else
  // The XDG base directory rules: a relative XDG_DATA_HOME is ignored.
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && *xdg == '/') return fs::path(xdg) / "vantrel";
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home != '/') return {};
  return fs::path(home) / ".local" / "share" / "vantrel";
#endif
}

bool ProgramFolderTakesFiles(const fs::path& folder) {
  std::error_code ec;
  const fs::path real = fs::canonical(folder, ec);
  if (ec) return false;
#ifdef _WIN32
  // Rights on Windows are more than a mode: try a file, which leaves nothing
  // behind.
  const fs::path probe = real / L".kobrel-write-test";
  const HANDLE file = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(file);
  return true;
#else
  const std::string text = real.string();
  if (text == "/usr" || text.rfind("/usr/", 0) == 0) return false;
  return ::access(real.c_str(), W_OK | X_OK) == 0;
#endif
}

fs::path FilesFolder(const fs::path& programFolder) {
  if (ProgramFolderTakesFiles(programFolder)) return programFolder;
  const fs::path data = UserDataFolder();
  if (data.empty()) return {};
  std::error_code ec;
  fs::create_directories(data, ec);
  return ec ? fs::path() : data;
}
