#include "diskio/DiskPlatformLinux.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <utility>
#include <vector>

namespace vantrel {
namespace fs = std::filesystem;

namespace {

std::string ReadSysValue(const fs::path& file) {
  std::ifstream in(file);
  std::string value;
  std::getline(in, value);
  return value;
}


// The block devices listed in a /sys folder, as /dev paths sorted by name.
// RAM disks and empty loop or optical devices are left out; so are floppy
// drives where they have drive numbers of their own.
std::vector<std::string> ListBlockDevices(const char* sysFolder, bool withFloppies) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(sysFolder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) continue;
    if (!withFloppies && name.rfind("fd", 0) == 0) continue;
    if (ReadSysValue(entry.path() / "size") == "0") continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> devices;
  for (const auto& n : names) devices.push_back("/dev/" + n);
  return devices;
}

bool ProbeFAT(const std::string& device, std::string& label, std::string& fsName) {
  blkid_probe probe = blkid_new_probe_from_filename(device.c_str());
  if (!probe) return false;
  blkid_probe_enable_superblocks(probe, 1);
  blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_VERSION);
  bool fat = false;
  if (blkid_do_safeprobe(probe) == 0) {
    const char* type = nullptr;
    if (blkid_probe_lookup_value(probe, "TYPE", &type, nullptr) == 0 && type &&
        (std::string(type) == "vfat" || std::string(type) == "msdos")) {
      fat = true;
      const char* value = nullptr;
      fsName = "FAT";
      if (blkid_probe_lookup_value(probe, "VERSION", &value, nullptr) == 0 && value) fsName = value;
      label.clear();
      if (blkid_probe_lookup_value(probe, "LABEL", &value, nullptr) == 0 && value) label = value;
    }
  }
  blkid_free_probe(probe);
  return fat;
}

}  // namespace

LinuxDiskPlatform& LinuxPlatform() {
  static LinuxDiskPlatform platform;
  return platform;
}

IDiskPlatform& DefaultDiskPlatform() { return LinuxPlatform(); }
HostDiskPlatform& HostPlatform() { return LinuxPlatform(); }
std::unique_ptr<HostDiskPlatform> NewHostPlatform() { return std::make_unique<LinuxDiskPlatform>(); }

// Device files are read as files, as on the NT family.
bool IsWindowsNT() { return true; }
// The kernel shows no boxes of its own.
void SetCriticalErrorBoxes(bool /*show*/) {}

void LinuxDiskPlatform::ScanMachineDrives() {
  disks_.clear();
  logical_.clear();
  if (onlyImages_) return;
  disks_ = ListBlockDevices("/sys/block", false);
  // Disks and partitions alike: a FAT volume may fill a whole stick.
  for (const auto& device : ListBlockDevices("/sys/class/block", true)) {
    if (logical_.size() >= 24) break;  // C: .. Z:
    LogicalDrive d;
    d.device = device;
    if (ProbeFAT(device, d.label, d.fsName)) logical_.push_back(d);
  }
}

std::string LinuxDiskPlatform::PhysicalDeviceName(std::uint8_t drive) {
  BuildTables();
  if (drive == 0 || drive == 1) {
    if (onlyImages_) return "";
    const std::string name = drive == 0 ? "/dev/fd0" : "/dev/fd1";
    std::error_code ec;
    return fs::exists(name, ec) ? name : "";
  }
  std::string image;
  std::size_t disk = 0;
  if (!SplitDiskNumber(drive, image, disk)) return "";
  if (!image.empty()) return image;
  return disk < disks_.size() ? disks_[disk] : "";
}

std::string LinuxDiskPlatform::LogicalDeviceName(std::uint8_t drive) {
  BuildTables();
  // A: and B: are the floppies' letters; FAT block devices start at C:.
  if (drive < 3 || drive > 26) return "";
  const std::size_t n = drive - 3u;
  return n < logical_.size() ? logical_[n].device : "";
}

int LinuxDiskPlatform::Open(const std::string& name) {
  // A copy of a handed-over descriptor, so that closing it keeps the original.
  if (const auto it = adopted_.find(name); it != adopted_.end()) return ::fcntl(it->second, F_DUPFD_CLOEXEC, 0);
  // Never anything but read-only: this program must not change what it examines.
  return ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
}

bool LinuxDiskPlatform::AdoptOpenedDevice(const std::string& name, int fd) {
  if (fd < 0) return false;
  const int flags = ::fcntl(fd, F_GETFL);
  if (name.empty() || flags < 0 || (flags & O_ACCMODE) != O_RDONLY) {
    ::close(fd);
    return false;
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  if (const auto it = adopted_.find(name); it != adopted_.end()) ::close(it->second);
  adopted_[name] = fd;
  return true;
}

void LinuxDiskPlatform::ForgetOpenedDevices() {
  for (const auto& [name, fd] : adopted_) ::close(fd);
  adopted_.clear();
}

LinuxDiskPlatform::~LinuxDiskPlatform() { ForgetOpenedDevices(); }

std::vector<std::string> LinuxDiskPlatform::DisksWithoutReadPermission() {
  std::vector<std::string> denied;
  if (onlyImages_) return denied;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/sys/block", error)) {
    const std::string name = entry.path().filename().string();
    // Loop and RAM devices are no disks a user recovers from.
    if (name.rfind("loop", 0) == 0 || name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) continue;
    const std::string size = ReadSysValue(entry.path() / "size");
    if (size.empty() || size == "0") continue;
    const std::string device = "/dev/" + name;
    if (adopted_.count(device)) continue;
    const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0) {
      ::close(fd);
      continue;
    }
    if (errno == EACCES || errno == EPERM) denied.push_back(device);
  }
  std::sort(denied.begin(), denied.end());
  return denied;
}

void LinuxDiskPlatform::Close(int handle) {
  if (handle >= 0) ::close(handle);
}

bool LinuxDiskPlatform::ReadAt(int handle, std::uint64_t offset, void* buffer, std::size_t size,
                               std::size_t& got, int& error) {
  got = 0;
  error = 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (got < size) {
    const ssize_t n = ::pread(handle, out + got, size - got, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    if (n == 0) break;  // end of the device or file
    got += static_cast<std::size_t>(n);
  }
  return true;
}

bool LinuxDiskPlatform::QueryGeometry(const std::string& name, TDiskGeometry& g) {
  const auto adopted = adopted_.find(name);
  const int fd = adopted != adopted_.end() ? ::fcntl(adopted->second, F_DUPFD_CLOEXEC, 0)
                                           : ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  std::uint64_t bytes = 0;
  g = TDiskGeometry{};
  g.BytesPerSector = 512;
  const std::string base = fs::path(name).filename().string();
  bool removable = false;
  bool floppyDevice = false;
  if (ok && S_ISREG(st.st_mode)) {
    bytes = static_cast<std::uint64_t>(st.st_size);
  } else if (ok && S_ISBLK(st.st_mode)) {
    ok = ::ioctl(fd, BLKGETSIZE64, &bytes) == 0;
    int logicalSize = 0;
    if (ok && ::ioctl(fd, BLKSSZGET, &logicalSize) == 0 && logicalSize > 0)
      g.BytesPerSector = static_cast<std::uint32_t>(logicalSize);
    floppyDevice = base.rfind("fd", 0) == 0;
    // The medium decides, not what it holds; a partition has no removable
    // flag of its own: its disk's is asked.
    std::error_code ec;
    fs::path sys = fs::canonical(fs::path("/sys/class/block") / base, ec);
    if (!ec && fs::exists(sys / "partition", ec)) sys = sys.parent_path();
    removable = !ec && ReadSysValue(sys / "removable") == "1";
  } else {
    ok = false;
  }
  if (ok) {
    const std::uint64_t sectors = bytes / 512;
    g.TotalBytes = bytes;
    g.TotalSectors = sectors;
    FillPlausibleChs(g, sectors);
    if (S_ISBLK(st.st_mode)) {
      struct hd_geometry chs {};
      if (::ioctl(fd, HDIO_GETGEO, &chs) == 0 && chs.heads && chs.sectors) {
        g.Heads = chs.heads;
        g.SectorsPerTrack = chs.sectors;
        g.Cylinders = static_cast<std::uint32_t>(sectors / (chs.heads * chs.sectors));
      }
    }
    std::array<std::uint8_t, 512> sector0{};
    std::size_t got = 0;
    int error = 0;
    const bool read = ReadAt(fd, 0, sector0.data(), sector0.size(), got, error) && got == sector0.size();
    ClassifySectorZero(g, read ? std::span<const std::uint8_t>(sector0) : std::span<const std::uint8_t>(), sectors);
    if (!MakeFloppyWhenItIsOne(g, floppyDevice)) g.MediaKind = removable ? 2 : 3;
  }
  ::close(fd);
  return ok;
}

bool LinuxDiskPlatform::GetVolumeInformation(std::uint8_t drive, std::string& label, std::string& fsName) {
  BuildTables();
  if (drive < 3 || drive > 26 || static_cast<std::size_t>(drive - 3) >= logical_.size()) return false;
  label = logical_[drive - 3].label;
  fsName = logical_[drive - 3].fsName;
  return true;
}

TDriveType LinuxDiskPlatform::GetDriveType(std::uint8_t drive) {
  const std::string name = LogicalDeviceName(drive);
  if (name.empty()) return dtNoRoot;
  const std::string base = fs::path(name).filename().string();
  std::string disk = base;
  // A partition's removable flag is its disk's.
  std::error_code ec;
  const fs::path sys = fs::canonical(fs::path("/sys/class/block") / base, ec);
  if (!ec && fs::exists(sys / "partition")) disk = sys.parent_path().filename().string();
  if (base.rfind("sr", 0) == 0) return dtCDROM;
  if (base.rfind("ram", 0) == 0) return dtRamDisk;
  return ReadSysValue(fs::path("/sys/block") / disk / "removable") == "1" ? dtRemovable : dtFixed;
}

}  // namespace vantrel

namespace vantrel {
namespace {

// The whole disk (as its /sys/class/block folder name) that a block device
// number belongs to; "" when unknown.
std::string WholeDiskOf(dev_t device) {
  std::error_code ec;
  const fs::path sys = fs::canonical(
      fs::path("/sys/dev/block") / (std::to_string(major(device)) + ":" + std::to_string(minor(device))), ec);
  if (ec) return "";
  if (fs::exists(sys / "partition", ec)) return sys.parent_path().filename().string();
  return sys.filename().string();
}

// The file behind a loop device, "" when it is none.
std::string LoopBackingFile(const std::string& disk) {
  return ReadSysValue(fs::path("/sys/block") / disk / "loop" / "backing_file");
}

}  // namespace

bool LinuxDiskPlatform::PathLiesOnDevice(const std::string& path, const std::string& deviceName) {
  std::error_code ec;
  fs::path probe = fs::absolute(path, ec);
  while (!probe.empty() && !fs::exists(probe, ec) && probe != probe.parent_path()) probe = probe.parent_path();
  struct stat target {}, device {};
  if (::stat(probe.c_str(), &target) != 0 || ::stat(deviceName.c_str(), &device) != 0) return false;
  const std::string targetDisk = WholeDiskOf(target.st_dev);
  if (S_ISBLK(device.st_mode)) return !targetDisk.empty() && targetDisk == WholeDiskOf(device.st_rdev);
  // An image file: the target is on it only through a loop device that
  // mounts the image.
  if (targetDisk.empty()) return false;
  const std::string backing = LoopBackingFile(targetDisk);
  if (backing.empty()) return false;
  const fs::path image = fs::canonical(deviceName, ec);
  return !ec && fs::equivalent(fs::path(backing), image, ec);
}

}  // namespace vantrel
