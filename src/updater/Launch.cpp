#include "Launch.h"

#include "Ascii.h"
#include "PathText.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstring>

extern char** environ;
#endif

#ifdef _WIN32
namespace {

// CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9 name devices on Windows,
// also with an extension ("nul.txt") and blanks before it.
bool IsWindowsDeviceName(std::string_view name) {
  auto base = name.substr(0, name.find('.'));
  while (base.ends_with(' ')) base.remove_suffix(1);
  for (const char* device : {"con", "prn", "aux", "nul"})
    if (EqualNoCase(base, device)) return true;
  return base.size() == 4 && (EqualNoCase(base.substr(0, 3), "com") || EqualNoCase(base.substr(0, 3), "lpt")) &&
         base[3] >= '1' && base[3] <= '9';
}

}  // namespace
#endif

bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name)
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < ' ' || c == 0x7F) return false;
#ifdef _WIN32
  // On Windows a name must also be one file in this one folder: no drive
  // ("c:x"), stream ("x:y") or wildcard, no trailing dot or blank that the
  // system drops ("nowver.ini." is nowver.ini), no device.
  if (name.find_first_of("<>:\"|?*") != std::string_view::npos) return false;
  if (name.ends_with('.') || name.ends_with(' ')) return false;
  return !IsWindowsDeviceName(name);
#else
  return true;
#endif
}

#ifdef _WIN32

bool StartDetached(const std::filesystem::path& program, const std::filesystem::path& workDir, std::string& error) {
  // The program by its full name only: no search along PATH, no extension
  // added. Its window comes up normal but does not take the focus.
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNOACTIVATE;
  PROCESS_INFORMATION process{};
  std::wstring commandLine = L"\"" + program.native() + L"\"";
  // Handles are not inherited (the run lock stays ours); no console of ours,
  // and a process group of its own, so that closing this console does not
  // end the new release.
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, workDir.c_str(), &startup, &process)) {
    error = "cannot start " + PathText(program) + ": " + WindowsErrorText(::GetLastError());
    return false;
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return true;
}

#else

namespace {

struct TSpawnSetup {
  posix_spawn_file_actions_t Actions;
  posix_spawnattr_t Attributes;
  TSpawnSetup() {
    posix_spawn_file_actions_init(&Actions);
    posix_spawnattr_init(&Attributes);
  }
  ~TSpawnSetup() {
    posix_spawn_file_actions_destroy(&Actions);
    posix_spawnattr_destroy(&Attributes);
  }
  TSpawnSetup(const TSpawnSetup&) = delete;
  TSpawnSetup& operator=(const TSpawnSetup&) = delete;
};

}  // namespace

bool StartDetached(const std::filesystem::path& program, const std::filesystem::path& workDir, std::string& error) {
  struct stat info {};
  if (::stat(program.c_str(), &info) != 0 || ::chmod(program.c_str(), (info.st_mode & 07777) | S_IXUSR) != 0) {
    error = "cannot make " + program.string() + " executable: " + std::strerror(errno);
    return false;
  }

  TSpawnSetup setup;
  int rc = posix_spawn_file_actions_addopen(&setup.Actions, 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_addopen(&setup.Actions, 1, "/dev/null", O_WRONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_addopen(&setup.Actions, 2, "/dev/null", O_WRONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_addchdir_np(&setup.Actions, workDir.c_str());
  // A session of its own: the new release must not go down with whatever
  // terminal or process group started this checker.
  sigset_t noSignals;
  sigemptyset(&noSignals);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&setup.Attributes, &noSignals);
  if (rc == 0) rc = posix_spawnattr_setflags(&setup.Attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
  if (rc != 0) {
    error = std::string("cannot prepare the start: ") + std::strerror(rc);
    return false;
  }

  const std::string path = program.string();
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = 0;
  rc = posix_spawn(&pid, path.c_str(), &setup.Actions, &setup.Attributes, argv, environ);
  if (rc != 0) {
    error = "cannot start " + path + ": " + std::strerror(rc);
    return false;
  }
  return true;
}

#endif
