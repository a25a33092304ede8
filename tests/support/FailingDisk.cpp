#include "support/FailingDisk.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/TempDir.h"

namespace vantrel::test {

namespace {

unsigned Le(const std::string& b, std::size_t at, int width) {
  unsigned v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
  return v;
}

}  // namespace

bool MakeFailingVolume(const std::string& dir, int count, std::uint32_t seed, FailingVolume& v) {
  v = FailingVolume{};
  v.image = (std::filesystem::path(dir) / "disk.img").string();
  const std::string env = "MTOOLS_SKIP_CHECK=1 SOURCE_DATE_EPOCH=1700000000 TZ=UTC ";
  if (!Run(env + "mkfs.fat -C -F 16 -s 2 --invariant -i c11c11aa " + v.image + " 8192 >/dev/null")) return false;
  const std::filesystem::path src = std::filesystem::path(dir) / "src";
  std::filesystem::create_directories(src);
  std::string list;
  for (int i = 0; i < count; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "F%02d.BIN", i);
    v.files[name] = Pattern(seed + static_cast<std::uint32_t>(i), 65536 - 300 * static_cast<std::size_t>(i));
    WriteFile((src / name).string(), v.files[name]);
    list += " " + (src / name).string();
  }
  if (!Run(env + "mcopy -i " + v.image + list + " ::/ >/dev/null")) return false;
  const std::string b = ReadFile(v.image);
  if (b.size() < 512) return false;
  const unsigned reserved = Le(b, 14, 2), fats = static_cast<unsigned char>(b[16]), rootEntries = Le(b, 17, 2);
  const unsigned fatSize = Le(b, 22, 2), spc = static_cast<unsigned char>(b[13]);
  const std::uint64_t root = reserved + fats * fatSize, data = root + rootEntries * 32 / 512;
  v.fat1 = reserved;
  v.fatSize = fatSize;
  for (unsigned e = 0; e < rootEntries && (root * 512 + e * 32 + 32) <= b.size(); ++e) {
    const std::size_t at = root * 512 + e * 32;
    if (b[at] == 0) break;
    std::string name = b.substr(at, 8);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    name += "." + b.substr(at + 8, 3);
    if (v.files.count(name)) v.firstSector[name] = data + (Le(b, at + 26, 2) - 2) * std::uint64_t{spc};
  }
  return v.firstSector.size() == v.files.size();
}

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
