#include "diskio/DiskPlatformWindows.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>
// The backend's own members carry these names; the system's calls are named
// with their W ending here.
#undef GetVolumeInformation
#undef GetDriveType

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <memory>
#include <span>
#include <vector>

#include "diskio/NTDeviceNames.h"

namespace vantrel {
namespace {

// Disk numbers looked at for "\\.\PhysicalDriveN"; numbers can have gaps
// where a disk was taken away.
constexpr std::size_t kMaxDiskNumbers = 32;

// A handle that closes itself.
struct OwnedHandle {
  HANDLE h = INVALID_HANDLE_VALUE;
  explicit OwnedHandle(HANDLE handle) : h(handle) {}
  ~OwnedHandle() {
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  bool Valid() const { return h != INVALID_HANDLE_VALUE; }
};

// Reading only, ever: this program must not change what it examines. Others
// may go on writing to the disk (it may be the system's own).
HANDLE OpenForReading(const std::wstring& name) {
  if (name.empty()) return INVALID_HANDLE_VALUE;
  return ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A handle for the driver's queries only: no access to the data.
HANDLE OpenForQuery(const std::wstring& name) {
  if (name.empty()) return INVALID_HANDLE_VALUE;
  return ::CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Looking at drives must not bring up the system's box for a drive without
// a medium: while this lives, such calls just fail.
class QuietCriticalErrors {
 public:
  QuietCriticalErrors() : previous_(::SetErrorMode(SEM_FAILCRITICALERRORS)) {
    ::SetErrorMode(previous_ | SEM_FAILCRITICALERRORS);
  }
  ~QuietCriticalErrors() { ::SetErrorMode(previous_); }
  QuietCriticalErrors(const QuietCriticalErrors&) = delete;
  QuietCriticalErrors& operator=(const QuietCriticalErrors&) = delete;

 private:
  UINT previous_;
};

bool ReadHandleAt(HANDLE h, std::uint64_t offset, void* buffer, std::size_t size, std::size_t& got, int& error) {
  got = 0;
  error = 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (got < size) {
    const std::uint64_t at = offset + got;
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    position.OffsetHigh = static_cast<DWORD>(at >> 32);
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - got, 0x40000000u));
    DWORD n = 0;
    if (!::ReadFile(h, out + got, want, &n, &position)) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_HANDLE_EOF) break;  // the end of an image file
      error = static_cast<int>(code);
      return false;
    }
    if (n == 0) break;
    got += n;
  }
  return true;
}

// The exact size in bytes of what the handle reads: a volume's length, or a
// whole disk's size from its extended geometry; 0 when neither answers.
std::uint64_t ExactSize(HANDLE readHandle, HANDLE queryHandle, bool wholeDisk) {
  GET_LENGTH_INFORMATION length{};
  DWORD bytes = 0;
  if (::DeviceIoControl(readHandle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &bytes,
                        nullptr) &&
      bytes >= sizeof length && length.Length.QuadPart > 0)
    return static_cast<std::uint64_t>(length.Length.QuadPart);
  if (!wholeDisk) return 0;
  // DISK_GEOMETRY_EX ends in a variable part; the geometry and the size come first.
  std::array<std::uint8_t, sizeof(DISK_GEOMETRY_EX) + 256> out{};
  if (::DeviceIoControl(queryHandle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, out.data(),
                        static_cast<DWORD>(out.size()), &bytes, nullptr) &&
      bytes >= sizeof(DISK_GEOMETRY) + sizeof(LARGE_INTEGER)) {
    DISK_GEOMETRY_EX ex{};
    std::memcpy(&ex, out.data(), sizeof(DISK_GEOMETRY) + sizeof(LARGE_INTEGER));
    if (ex.DiskSize.QuadPart > 0) return static_cast<std::uint64_t>(ex.DiskSize.QuadPart);
  }
  return 0;
}

// Reads sector 0 (of sectorSize bytes, as the device wants whole sectors) and
// says what it holds.
void ClassifyFromSectorZero(HANDLE readHandle, TDiskGeometry& g, std::uint32_t sectorSize) {
  std::vector<std::uint8_t> sector0(std::max<std::uint32_t>(sectorSize, 512));
  std::size_t got = 0;
  int error = 0;
  const bool read = ReadHandleAt(readHandle, 0, sector0.data(), sector0.size(), got, error) && got == sector0.size();
  ClassifySectorZero(g, read ? std::span<const std::uint8_t>(sector0.data(), 512) : std::span<const std::uint8_t>(),
                     g.TotalSectors);
}

bool QueryDeviceGeometry(const std::string& name, TDiskGeometry& g) {
  const std::wstring wide = WideFromUtf8(name);
  // A device this program cannot read is no drive of it.
  OwnedHandle reader(OpenForReading(wide));
  if (!reader.Valid()) return false;
  OwnedHandle query(OpenForQuery(wide));
  if (!query.Valid()) return false;
  const std::uint8_t letterDrive = NTDriveOfDeviceName(name);
  DWORD bytes = 0;
  if (letterDrive == 1 || letterDrive == 2) {
    // Makes the floppy driver look at the medium; what it says does not matter.
    ::DeviceIoControl(query.h, IOCTL_STORAGE_CHECK_VERIFY, nullptr, 0, nullptr, 0, &bytes, nullptr);
  }
  DISK_GEOMETRY geometry{};
  if (!::DeviceIoControl(query.h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry, &bytes,
                         nullptr) ||
      bytes < sizeof geometry)
    return false;
  const std::uint64_t exact = ExactSize(reader.h, query.h, letterDrive == 0);
  if (!FillFromNTGeometry(g, geometry.Cylinders.QuadPart, static_cast<std::uint32_t>(geometry.MediaType),
                          geometry.TracksPerCylinder, geometry.SectorsPerTrack, geometry.BytesPerSector, exact))
    return false;
  ClassifyFromSectorZero(reader.h, g, g.BytesPerSector);
  MakeFloppyWhenItIsOne(g, g.MediaKind == 1);
  return true;
}

bool QueryImageGeometry(const std::string& name, TDiskGeometry& g) {
  OwnedHandle file(OpenForReading(WideFromUtf8(name)));
  if (!file.Valid() || ::GetFileType(file.h) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.h, &size) || size.QuadPart < 0) return false;
  g = TDiskGeometry{};
  g.BytesPerSector = kPhysicalSectorSize;
  g.TotalBytes = static_cast<std::uint64_t>(size.QuadPart);
  g.TotalSectors = g.TotalBytes / kPhysicalSectorSize;
  FillPlausibleChs(g, g.TotalSectors);
  ClassifyFromSectorZero(file.h, g, kPhysicalSectorSize);
  if (!MakeFloppyWhenItIsOne(g, false)) g.MediaKind = 3;
  return true;
}

// The volume (as "\\?\Volume{...}\") that holds path, or "" when unknown. A
// folder that does not exist yet lies where its nearest existing parent lies.
std::wstring VolumeOfPath(const std::wstring& path) {
  std::wstring full(MAX_PATH * 4, L'\0');
  DWORD n = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n == 0 || n >= full.size()) return L"";
  full.resize(n);
  for (;;) {
    if (::GetFileAttributesW(full.c_str()) != INVALID_FILE_ATTRIBUTES) break;
    const std::size_t cut = full.find_last_of(L"\\/");
    if (cut == std::wstring::npos || cut + 1 >= full.size() || cut < 2) break;
    full.resize(cut == 2 ? 3 : cut);  // keep "X:\" whole
  }
  std::wstring mountPoint(full.size() + MAX_PATH, L'\0');
  if (!::GetVolumePathNameW(full.c_str(), mountPoint.data(), static_cast<DWORD>(mountPoint.size()))) return L"";
  mountPoint.resize(std::wcslen(mountPoint.c_str()));
  std::wstring volume(MAX_PATH, L'\0');
  if (!::GetVolumeNameForVolumeMountPointW(mountPoint.c_str(), volume.data(), static_cast<DWORD>(volume.size())))
    return L"";
  volume.resize(std::wcslen(volume.c_str()));
  return volume;
}

// True when the volume lies (in part) on disk number n.
bool VolumeIsOnDisk(std::wstring volume, long n) {
  if (!volume.empty() && volume.back() == L'\\') volume.pop_back();  // the volume device, not its root
  OwnedHandle h(OpenForQuery(volume));
  if (!h.Valid()) return false;
  std::array<std::uint8_t, sizeof(VOLUME_DISK_EXTENTS) + 31 * sizeof(DISK_EXTENT)> out{};
  DWORD bytes = 0;
  if (!::DeviceIoControl(h.h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, out.data(),
                         static_cast<DWORD>(out.size()), &bytes, nullptr) ||
      bytes < sizeof(DWORD))
    return false;
  DWORD count = 0;
  std::memcpy(&count, out.data(), sizeof count);
  const std::size_t first = offsetof(VOLUME_DISK_EXTENTS, Extents);
  for (DWORD i = 0; i < count && first + (i + 1) * sizeof(DISK_EXTENT) <= bytes; ++i) {
    DISK_EXTENT extent{};
    std::memcpy(&extent, out.data() + first + i * sizeof(DISK_EXTENT), sizeof extent);
    if (static_cast<long>(extent.DiskNumber) == n) return true;
  }
  return false;
}

}  // namespace

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty() || text.size() > 0x7FFFFFFF) return L"";
  // Before Vista the system drops bytes that are not UTF-8 without a word,
  // which could name another file: such a name is checked here first.
  std::u16string checked;
  if (!Utf8ToUtf16(text, checked)) return L"";
  const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
  if (n <= 0) return L"";
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Utf8FromWide(const std::wstring& text) {
  if (text.empty() || text.size() > 0x7FFFFFFF) return "";
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
  if (n <= 0) return "";
  std::string utf8(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), n, nullptr, nullptr);
  return utf8;
}

WindowsDiskPlatform& WindowsPlatform() {
  static WindowsDiskPlatform platform;
  return platform;
}

IDiskPlatform& DefaultDiskPlatform() { return WindowsPlatform(); }
HostDiskPlatform& HostPlatform() { return WindowsPlatform(); }
std::unique_ptr<HostDiskPlatform> NewHostPlatform() { return std::make_unique<WindowsDiskPlatform>(); }

bool IsWindowsNT() {
  // The 9x family has no wide-character version query: it fails there.
  static const bool nt = [] {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    return ::GetVersionExW(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
  }();
  return nt;
}

void SetCriticalErrorBoxes(bool show) { ::SetErrorMode(show ? 0 : SEM_FAILCRITICALERRORS); }

WindowsDiskPlatform::~WindowsDiskPlatform() {
  for (void* h : handles_)
    if (h) ::CloseHandle(static_cast<HANDLE>(h));
}

void WindowsDiskPlatform::ScanMachineDrives() {
  floppies_[0] = floppies_[1] = false;
  disks_.clear();
  logical_.clear();
  if (onlyImages_) return;
  QuietCriticalErrors quiet;
  for (std::size_t n = 0; n < kMaxDiskNumbers; ++n) {
    OwnedHandle disk(OpenForReading(WideFromUtf8(NTDiskDeviceName(n))));
    if (disk.Valid()) disks_.push_back(n);
  }
  const DWORD letters = ::GetLogicalDrives();
  for (std::uint8_t drive = 1; drive <= 26; ++drive) {
    if (!(letters & (1u << (drive - 1)))) continue;
    const std::wstring root = WideFromUtf8(NTDriveRoot(drive));
    const UINT type = ::GetDriveTypeW(root.c_str());
    if (drive <= 2 && type == DRIVE_REMOVABLE) floppies_[drive - 1] = true;
    // Network drives have no sectors to read.
    if (type == DRIVE_REMOTE || type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN) continue;
    std::array<wchar_t, MAX_PATH + 1> label{}, fsName{};
    if (!::GetVolumeInformationW(root.c_str(), label.data(), static_cast<DWORD>(label.size()), nullptr, nullptr,
                                 nullptr, fsName.data(), static_cast<DWORD>(fsName.size())))
      continue;
    const std::string fs = Utf8FromWide(fsName.data());
    if (fs.rfind("FAT", 0) != 0) continue;  // FAT, FAT32 (and FAT12/FAT16 where a driver says so)
    logical_.push_back({drive, Utf8FromWide(label.data()), fs});
  }
}

const WindowsDiskPlatform::LogicalDrive* WindowsDiskPlatform::FindLogical(std::uint8_t drive) {
  BuildTables();
  for (const auto& d : logical_)
    if (d.drive == drive) return &d;
  return nullptr;
}

std::string WindowsDiskPlatform::PhysicalDeviceName(std::uint8_t drive) {
  BuildTables();
  if (drive == 0 || drive == 1) return floppies_[drive] ? NTFloppyDeviceName(drive) : "";
  std::string image;
  std::size_t disk = 0;
  if (!SplitDiskNumber(drive, image, disk)) return "";
  if (!image.empty()) return image;
  return disk < disks_.size() ? NTDiskDeviceName(disks_[disk]) : "";
}

std::string WindowsDiskPlatform::LogicalDeviceName(std::uint8_t drive) {
  return FindLogical(drive) ? NTLogicalDeviceName(drive) : "";
}

int WindowsDiskPlatform::Open(const std::string& name) {
  const HANDLE h = OpenForReading(WideFromUtf8(name));
  if (h == INVALID_HANDLE_VALUE) return -1;
  for (std::size_t i = 0; i < handles_.size(); ++i) {
    if (!handles_[i]) {
      handles_[i] = h;
      return static_cast<int>(i);
    }
  }
  handles_.push_back(h);
  return static_cast<int>(handles_.size() - 1);
}

void WindowsDiskPlatform::Close(int handle) {
  if (handle < 0 || static_cast<std::size_t>(handle) >= handles_.size() || !handles_[handle]) return;
  ::CloseHandle(static_cast<HANDLE>(handles_[handle]));
  handles_[handle] = nullptr;
}

bool WindowsDiskPlatform::ReadAt(int handle, std::uint64_t offset, void* buffer, std::size_t size, std::size_t& got,
                                 int& error) {
  got = 0;
  error = 0;
  if (handle < 0 || static_cast<std::size_t>(handle) >= handles_.size() || !handles_[handle]) {
    error = ERROR_INVALID_HANDLE;
    return false;
  }
  return ReadHandleAt(static_cast<HANDLE>(handles_[handle]), offset, buffer, size, got, error);
}

bool WindowsDiskPlatform::QueryGeometry(const std::string& name, TDiskGeometry& geometry) {
  TDiskGeometry g;
  const bool ok = IsNTDeviceName(name) ? QueryDeviceGeometry(name, g) : QueryImageGeometry(name, g);
  if (ok) geometry = g;
  return ok;
}

bool WindowsDiskPlatform::GetVolumeInformation(std::uint8_t drive, std::string& label, std::string& fsName) {
  const LogicalDrive* d = FindLogical(drive);
  if (!d) return false;
  label = d->label;
  fsName = d->fsName;
  return true;
}

TDriveType WindowsDiskPlatform::GetDriveType(std::uint8_t drive) {
  if (LogicalDeviceName(drive).empty()) return dtNoRoot;
  const UINT type = ::GetDriveTypeW(WideFromUtf8(NTDriveRoot(drive)).c_str());
  // The system's DRIVE_* numbers are ours.
  return type <= DRIVE_RAMDISK ? static_cast<TDriveType>(type) : dtUnknown;
}

bool WindowsDiskPlatform::PathLiesOnDevice(const std::string& path, const std::string& deviceName) {
  const std::wstring target = VolumeOfPath(WideFromUtf8(path));
  if (target.empty()) return false;
  if (const std::uint8_t drive = NTDriveOfDeviceName(deviceName)) {
    return VolumeOfPath(WideFromUtf8(NTDriveRoot(drive))) == target;
  }
  if (const long disk = NTDiskNumberOfDeviceName(deviceName); disk >= 0) return VolumeIsOnDisk(target, disk);
  // An image file is no disk the system mounts.
  return false;
}

}  // namespace vantrel
