#include "RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

TRunLock::TRunLock(const std::filesystem::path& folder) {
  const auto path = folder / LockFileName;
  // Not through a link somebody put there; not inherited by the started release.
  FFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (FFd < 0) {
    FError = "cannot open " + path.string() + ": " + std::strerror(errno);
    return;
  }
  int rc;
  do rc = ::flock(FFd, LOCK_EX | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    FState = TState::lsHeld;
  } else if (errno == EWOULDBLOCK) {
    FState = TState::lsBusy;
  } else {
    FError = "cannot lock " + path.string() + ": " + std::strerror(errno);
  }
}

TRunLock::~TRunLock() {
  if (FFd >= 0) ::close(FFd);
}
