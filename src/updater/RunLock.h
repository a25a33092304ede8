#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// The file in the program folder whose lock marks a run in progress. It
// stays there between runs; only the lock on it comes and goes.
inline constexpr std::string_view LockFileName = ".kobrel.lock";

// An exclusive lock on the lock file of a folder, held as long as the object
// lives (and the process: the system drops it when the process ends however
// it ends). Never waits for another holder. On Windows the lock is the file
// itself, opened without sharing.
class TRunLock {
public:
  enum class TState { lsHeld, lsBusy, lsFailed };

  explicit TRunLock(const std::filesystem::path& folder);
  ~TRunLock();
  TRunLock(const TRunLock&) = delete;
  TRunLock& operator=(const TRunLock&) = delete;

  TState State() const { return FState; }
  const std::string& Error() const { return FError; }  // why lsFailed

private:
#ifdef _WIN32
  void* FHandle = nullptr;  // a HANDLE, opened without sharing
#else
  int FFd = -1;
#endif
  TState FState = TState::lsFailed;
  std::string FError;
};
