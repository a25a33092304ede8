#include "RunLock.h"

#ifdef _WIN32

#include "PathText.h"

#include <windows.h>

TRunLock::TRunLock(const std::filesystem::path& folder) {
  const auto path = folder / LockFileName;
  // Not through a link somebody put there (the link itself is opened); the
  // handle is not inherited by the started release.
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    FHandle = file;
    FState = TState::lsHeld;
    return;
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
    FState = TState::lsBusy;
  else
    FError = "cannot open " + PathText(path) + ": " + WindowsErrorText(error);
}

TRunLock::~TRunLock() {
  if (FHandle != nullptr) ::CloseHandle(FHandle);
}

#else

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

#endif
