#include "TTempFile.h"

#include "PathText.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <csignal>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace {

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

#ifdef _WIN32

namespace {

// The path the console handler removes. It is only armed once the path is
// complete, so the handler never sees half a name.
wchar_t SignalPath[32768];
volatile LONG SignalPathArmed = 0;

void ArmSignalPath(const std::filesystem::path& path) {
  ::InterlockedExchange(&SignalPathArmed, 0);
  const auto& text = path.native();
  if (text.size() >= sizeof SignalPath / sizeof SignalPath[0]) return;
  std::memcpy(SignalPath, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  ::InterlockedExchange(&SignalPathArmed, 1);
}

void DisarmSignalPath() { ::InterlockedExchange(&SignalPathArmed, 0); }

// Runs on a thread of its own while the main thread may still be writing:
// the file is opened with FILE_SHARE_DELETE, so it can go at once.
BOOL WINAPI RemoveOnConsoleEvent(DWORD) {
  if (SignalPathArmed) ::DeleteFileW(SignalPath);
  return FALSE;  // on to the default handler, which ends the process
}

bool SetDeleteOnClose(HANDLE file, bool remove) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = remove ? TRUE : FALSE;
  return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

}  // namespace

TTempFile::TTempFile(const std::filesystem::path& target) : FTarget(target) {
  // Named after the target and this process so that a leftover from a
  // crash is easy to recognise.
  const std::wstring stem = L"." + target.filename().native() + L"." + std::to_wstring(::GetCurrentProcessId());
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; FHandle == nullptr && attempt < 100; ++attempt) {
    FPath = target.parent_path() / (stem + L"-" + std::to_wstring(attempt) + L".tmp");
    ArmSignalPath(FPath);
    // Not inherited by the started release; deletable while open.
    const HANDLE file = ::CreateFileW(FPath.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      FHandle = file;
      // The system removes the file when its handle closes, also when the
      // process is ended from outside; Commit takes that back.
      SetDeleteOnClose(file, true);
      break;
    }
    error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  if (FHandle == nullptr) {
    FError = WindowsErrorText(error);
    DisarmSignalPath();
    FPath.clear();
  }
}

TTempFile::~TTempFile() {
  if (FHandle != nullptr) ::CloseHandle(FHandle);
  if (!FCommitted && !FPath.empty()) ::DeleteFileW(FPath.c_str());
  if (!FPath.empty()) DisarmSignalPath();
}

bool TTempFile::IsOpen() const { return FHandle != nullptr; }

bool TTempFile::Write(std::string_view data) {
  while (!data.empty()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
    if (!::WriteFile(FHandle, data.data(), chunk, &written, nullptr) || written == 0) {
      FError = WindowsErrorText(::GetLastError());
      return false;
    }
    data.remove_prefix(written);
  }
  return true;
}

bool TTempFile::Commit() {
  if (FHandle == nullptr) return false;
  bool ok = SetDeleteOnClose(FHandle, false) && ::FlushFileBuffers(FHandle);
  DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
  ::CloseHandle(FHandle);
  FHandle = nullptr;
  if (ok) {
    ok = ::MoveFileExW(FPath.c_str(), FTarget.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) error = ::GetLastError();
  }
  if (!ok) FError = WindowsErrorText(error);
  FCommitted = ok;
  if (ok) DisarmSignalPath();
  return ok;
}

#else

namespace {

// The path a signal handler removes. It is only armed once the path is
// complete, so a handler never sees half a name.
char SignalPath[PATH_MAX];
volatile std::sig_atomic_t SignalPathArmed = 0;

void ArmSignalPath(const std::filesystem::path& path) {
  SignalPathArmed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const auto& text = path.native();
  if (text.size() >= sizeof SignalPath) return;
  std::memcpy(SignalPath, text.c_str(), text.size() + 1);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  SignalPathArmed = 1;
}

void DisarmSignalPath() {
  SignalPathArmed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

extern "C" void RemoveAndDie(int signal) {
  if (SignalPathArmed) ::unlink(SignalPath);
  // Ended by the signal itself, so that whoever waits for us sees it.
  std::signal(signal, SIG_DFL);
  ::raise(signal);
}

}  // namespace

TTempFile::TTempFile(const std::filesystem::path& target) : FTarget(target) {
  // Hidden, and named after the target and this process so that a leftover
  // from a crash is easy to recognise.
  const std::string stem = "." + target.filename().string() + "." + std::to_string(::getpid());
  for (int attempt = 0; FFd < 0 && attempt < 100; ++attempt) {
    FPath = target.parent_path() / (stem + "-" + std::to_string(attempt) + ".tmp");
    // Armed before the file exists: a signal between open and arming would
    // leave it behind, one on a name that is not ours yet finds nothing.
    ArmSignalPath(FPath);
    FFd = ::open(FPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (FFd < 0 && errno != EEXIST) break;
  }
  if (FFd < 0) {
    FError = std::strerror(errno);
    DisarmSignalPath();
    FPath.clear();
  }
}

bool TTempFile::IsOpen() const { return FFd >= 0; }

TTempFile::~TTempFile() {
  if (FFd >= 0) ::close(FFd);
  if (!FCommitted && !FPath.empty()) ::unlink(FPath.c_str());
  if (!FPath.empty()) DisarmSignalPath();
}

bool TTempFile::Write(std::string_view data) {
  while (!data.empty()) {
    const auto n = ::write(FFd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      FError = std::strerror(errno);
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool TTempFile::SetMode(mode_t mode) { return ::fchmod(FFd, mode) == 0; }

bool TTempFile::Commit() {
  if (FFd < 0) return false;
  bool ok = ::fsync(FFd) == 0;
  if (::close(FFd) != 0) ok = false;
  FFd = -1;
  if (ok) ok = ::rename(FPath.c_str(), FTarget.c_str()) == 0;
  if (!ok) FError = std::strerror(errno);
  FCommitted = ok;
  if (ok) DisarmSignalPath();
  return ok;
}

#endif

bool IsTempFileName(std::string_view name) {
  // "." target "." pid "-" attempt ".tmp", the target not empty
  if (!name.starts_with('.') || !name.ends_with(".tmp")) return false;
  name = name.substr(1, name.size() - 5);
  const auto dash = name.rfind('-');
  if (dash == std::string_view::npos || !AllDigits(name.substr(dash + 1))) return false;
  name = name.substr(0, dash);
  const auto dot = name.rfind('.');
  return dot != std::string_view::npos && dot > 0 && AllDigits(name.substr(dot + 1));
}

int RemoveStaleTempFiles(const std::filesystem::path& folder) {
  int removed = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const auto name = PathText(it->path().filename());
    // Only plain files: a folder or a link that merely looks like one is
    // none of ours.
    std::error_code typeError;
    if (!IsTempFileName(name) || !std::filesystem::is_regular_file(it->symlink_status(typeError))) continue;
    if (std::filesystem::remove(it->path(), typeError)) ++removed;
  }
  return removed;
}

#ifdef _WIN32

void RemoveTempFileOnSignals() { ::SetConsoleCtrlHandler(RemoveOnConsoleEvent, TRUE); }

#else

void RemoveTempFileOnSignals() {
  struct sigaction action {};
  action.sa_handler = RemoveAndDie;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&action.sa_mask, signal);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

#endif
