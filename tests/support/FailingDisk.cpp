#include "support/FailingDisk.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace vantrel::test {

#ifdef _WIN32

std::string FailingDiskUnavailable() { return "a failing disk is served through FUSE, which Windows has not"; }
FailingDisk::FailingDisk(const std::string&, const std::string&, const FailingDiskSetup&) {}
FailingDisk::~FailingDisk() = default;
std::map<std::uint64_t, unsigned> FailingDisk::Counts() const { return {}; }
unsigned FailingDisk::MostReads(std::uint64_t, std::uint64_t) const { return 0; }

#else

std::string FailingDiskUnavailable() {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is missing or not usable";
  if (std::system("/usr/bin/python3 -c 'import fusepy' >/dev/null 2>&1") != 0)
    return "/usr/bin/python3 has no fusepy (Debian's python3-fusepy)";
  return "";
}

FailingDisk::FailingDisk(const std::string& image, const std::string& mount, const FailingDiskSetup& setup)
    : mount_(mount) {
  std::error_code ec;
  std::filesystem::create_directories(mount, ec);
  std::vector<std::string> args{"/usr/bin/python3", VANTREL_FAILING_DISK_SCRIPT, image, mount};
  if (!setup.Bad.empty()) args.insert(args.end(), {"--bad", setup.Bad});
  if (!setup.Slow.empty()) args.insert(args.end(), {"--slow", setup.Slow});
  args.insert(args.end(), {"--bad-delay", std::to_string(setup.BadDelay), "--slow-delay", std::to_string(setup.SlowDelay)});
  pid_ = ::fork();
  if (pid_ == 0) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  // Mounted when the image shows its size.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  struct stat st {}, source {};
  ::stat(image.c_str(), &source);
  while (std::chrono::steady_clock::now() < deadline) {
    if (::stat(Path().c_str(), &st) == 0 && st.st_size == source.st_size) {
      ready_ = true;
      break;
    }
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

FailingDisk::~FailingDisk() {
  if (pid_ <= 0) return;
  const std::string command = "umount -l '" + mount_ + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::map<std::uint64_t, unsigned> FailingDisk::Counts() const {
  std::map<std::uint64_t, unsigned> counts;
  std::ifstream in(mount_ + "/counts");
  std::uint64_t sector;
  unsigned n;
  while (in >> sector >> n) counts[sector] = n;
  return counts;
}

unsigned FailingDisk::MostReads(std::uint64_t first, std::uint64_t last) const {
  unsigned most = 0;
  for (const auto& [sector, n] : Counts())
    if (sector >= first && sector <= last && n > most) most = n;
  return most;
}

#endif

}  // namespace vantrel::test
