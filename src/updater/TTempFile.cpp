#include "TTempFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

TTempFile::TTempFile(const std::filesystem::path& target) : FTarget(target) {
  // Hidden, and named after the target and this process so that a leftover
  // from a crash is easy to recognise.
  const std::string stem = "." + target.filename().string() + "." + std::to_string(::getpid());
  for (int attempt = 0; FFd < 0 && attempt < 100; ++attempt) {
    FPath = target.parent_path() / (stem + "-" + std::to_string(attempt) + ".tmp");
    FFd = ::open(FPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (FFd < 0 && errno != EEXIST) break;
  }
  if (FFd < 0) FPath.clear();
}

TTempFile::~TTempFile() {
  if (FFd >= 0) ::close(FFd);
  if (!FCommitted && !FPath.empty()) ::unlink(FPath.c_str());
}

bool TTempFile::Write(std::string_view data) {
  while (!data.empty()) {
    const auto n = ::write(FFd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
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
  FCommitted = ok;
  return ok;
}
