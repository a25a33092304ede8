#include "ui/DiskPermissions.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace vantrel::ui {

std::vector<std::string> DisksWithoutReadPermission() {
  std::vector<std::string> denied;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/block", error)) {
    const std::string name = entry.path().filename().string();
    // Loop and RAM devices are no disks a user recovers from.
    if (name.rfind("loop", 0) == 0 || name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) continue;
    std::ifstream sizeFile(entry.path() / "size");
    unsigned long long sectors = 0;
    if (!(sizeFile >> sectors) || sectors == 0) continue;
    const std::string device = "/dev/" + name;
    const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
      ::close(fd);
      continue;
    }
    if (errno == EACCES || errno == EPERM) denied.push_back(device);
  }
  return denied;
}

}  // namespace vantrel::ui
