#include "Launch.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstring>

extern char** environ;

bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name)
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < ' ' || c == 0x7F) return false;
  return true;
}

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
