#include "common/SystemInfo.h"

#ifdef _WIN32
#include <windows.h>

#include "common/HostPath.h"
#else
#include <mntent.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

extern char** environ;
#endif

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <set>

namespace vantrel {

namespace {

std::string Format(const char* pattern, long long a) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, a);
  return text;
}

#ifdef _WIN32

// The processor speed in Hz from the registry: "~MHz", else "~Mhz", else
// "~mhz"; 0 when the key cannot be opened or a value is not there.
std::uint64_t ProcessorHz() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return 0;
  std::uint64_t hz = 0;
  for (const wchar_t* name : {L"~MHz", L"~Mhz", L"~mhz"}) {
    DWORD value = 0, size = sizeof value, type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
      break;
    if (static_cast<LONG>(value) > 0) {
      hz = static_cast<std::uint64_t>(value) * 1000000;
      break;
    }
  }
  ::RegCloseKey(key);
  return hz;
}

// The version as the system states it, not as a compatibility layer shows
// it to a program without a manifest.
bool WindowsVersion(OSVERSIONINFOW& version) {
  version = {};
  version.dwOSVersionInfoSize = sizeof version;
  using TRtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  if (HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll")) {
    auto query = reinterpret_cast<TRtlGetVersion>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
    if (query && query(&version) == 0) return true;
  }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return ::GetVersionExW(&version) != 0;
#pragma GCC diagnostic pop
}

void AddFolderRow(std::vector<TInfoRow>& rows, const char* name, UINT (WINAPI* query)(LPWSTR, UINT)) {
  wchar_t folder[MAX_PATH + 1] = {};
  const UINT n = query(folder, MAX_PATH);
  if (n > 0 && n <= MAX_PATH) rows.push_back({name, WideToUtf8Text(std::wstring_view(folder, n))});
}

TMountRow DriveRow(const wchar_t* root) {
  TMountRow row;
  std::wstring caption(root, std::min<std::size_t>(2, std::wcslen(root)));
  for (auto& c : caption) c = static_cast<wchar_t>(std::towupper(c));
  switch (::GetDriveTypeW(root)) {
    case DRIVE_REMOVABLE: row.Image = 0; break;
    case DRIVE_REMOTE: row.Image = 3; break;
    case DRIVE_CDROM: row.Image = 2; break;
    default: row.Image = 1; break;
  }
  std::wstring label;
  if (row.Image == 1) {
    wchar_t volume[MAX_PATH + 1] = {}, fileSystem[MAX_PATH + 1] = {};
    if (::GetVolumeInformationW(root, volume, MAX_PATH, nullptr, nullptr, nullptr, fileSystem, MAX_PATH)) {
      label = volume;
      row.FileSystem = WideToUtf8Text(fileSystem);
    }
    ULARGE_INTEGER total{}, free{};
    if (::GetDiskFreeSpaceExW(root, &free, &total, nullptr)) {
      row.HasSizes = true;
      row.TotalBytes = total.QuadPart;
      row.FreeBytes = free.QuadPart;
    }
  }
  row.Caption = WideToUtf8Text(caption) + " " + WideToUtf8Text(label);
  return row;
}

}  // namespace

TSystemInfo CollectSystemInfo() {
  TSystemInfo info;
  SYSTEM_INFO system{};
  ::GetSystemInfo(&system);
  info.Hardware.push_back({"CPU线程数:", Format("%lld", static_cast<long long>(system.dwNumberOfProcessors))});
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  const bool haveMemory = ::GlobalMemoryStatusEx(&memory) != 0;
  if (haveMemory)
    info.Hardware.push_back({"内存大小:", Format("%lld KB", static_cast<long long>(memory.ullTotalPhys / 1024))});
  OSVERSIONINFOW version{};
  const bool haveVersion = WindowsVersion(version);
  if (haveVersion && version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
    const std::uint64_t hz = ProcessorHz();
    if (hz > 0)
      info.Hardware.push_back({"频率:", Format("%lld MHz", static_cast<long long>((hz + 500000) / 1000000))});
  }

  if (haveVersion) {
    char text[64];
    std::snprintf(text, sizeof text, "%d.%d (Build %d)", static_cast<int>(version.dwMajorVersion),
                  static_cast<int>(version.dwMinorVersion), static_cast<int>(version.dwBuildNumber & 0xFFFF));
    info.Software.push_back({"Windows版本:", text});
    const char* mode = version.dwPlatformId == 0   ? "Win32s on Windows 3.1"
                       : version.dwPlatformId == 1 ? "Win32"
                       : version.dwPlatformId == 2 ? "Windows NT"
                                                   : "";
    info.Software.push_back({"Windows模式:", mode});
  }
  if (haveMemory)
    info.Software.push_back(
        {"交换文件大小:", Format("%lld MB", static_cast<long long>(memory.ullTotalPageFile / 1048576))});
  AddFolderRow(info.Software, "Windows目录:", ::GetWindowsDirectoryW);
  AddFolderRow(info.Software, "系统目录:", ::GetSystemDirectoryW);

  wchar_t roots[26 * 4 + 2] = {};
  const DWORD length = ::GetLogicalDriveStringsW(static_cast<DWORD>(std::size(roots) - 1), roots);
  if (length > 0 && length < std::size(roots))
    for (const wchar_t* root = roots; *root; root += std::wcslen(root) + 1) info.Drives.push_back(DriveRow(root));

  if (wchar_t* block = ::GetEnvironmentStringsW()) {
    for (const wchar_t* entry = block; *entry; entry += std::wcslen(entry) + 1)
      info.Environment.push_back(SplitEnvironmentEntry(WideToUtf8Text(entry)));
    ::FreeEnvironmentStringsW(block);
  }
  return info;
}

#else

// File systems that are views of the kernel, not storage.
const std::set<std::string> kPseudoFileSystems = {
    "autofs", "binfmt_misc", "bpf", "cgroup", "cgroup2", "configfs", "debugfs", "devpts", "devtmpfs",
    "efivarfs", "fusectl", "hugetlbfs", "mqueue", "nsfs", "proc", "pstore", "ramfs", "rpc_pipefs",
    "securityfs", "selinuxfs", "sysfs", "tracefs"};
const std::set<std::string> kRemoteFileSystems = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "9p", "afs",
                                                  "ceph", "fuse.sshfs", "davfs", "glusterfs"};
const std::set<std::string> kOpticalFileSystems = {"iso9660", "udf"};

// The labels of the machine's volumes by the device they are on.
std::string LabelOf(const std::string& device) {
  std::error_code error;
  const std::filesystem::path byLabel("/dev/disk/by-label");
  if (device.empty() || device[0] != '/' || !std::filesystem::is_directory(byLabel, error)) return "";
  const auto target = std::filesystem::weakly_canonical(device, error);
  for (const auto& entry : std::filesystem::directory_iterator(byLabel, error)) {
    if (std::filesystem::weakly_canonical(entry.path(), error) != target) continue;
    // The link's name escapes blanks and slashes as \x20 and \x2f.
    std::string name = entry.path().filename().string(), label;
    for (std::size_t i = 0; i < name.size(); ++i) {
      if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x') {
        label += static_cast<char>(std::strtol(name.substr(i + 2, 2).c_str(), nullptr, 16));
        i += 3;
      } else {
        label += name[i];
      }
    }
    return label;
  }
  return "";
}

// "cpu MHz" of the first processor, or its highest frequency; 0 when unknown.
double ProcessorMHz() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("cpu MHz", 0) != 0) continue;
    const auto colon = line.find(':');
    if (colon != std::string::npos) return std::atof(line.c_str() + colon + 1);
  }
  std::ifstream max("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq");
  double kHz = 0;
  if (max >> kHz) return kHz / 1000;
  return 0;
}

}  // namespace

TSystemInfo CollectSystemInfo() {
  TSystemInfo info;
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  if (processors > 0) info.Hardware.push_back({"CPU线程数:", Format("%lld", processors)});
  struct sysinfo memory {};
  const bool haveMemory = sysinfo(&memory) == 0;
  if (haveMemory) {
    const std::uint64_t total = static_cast<std::uint64_t>(memory.totalram) * memory.mem_unit;
    info.Hardware.push_back({"内存大小:", Format("%lld KB", static_cast<long long>(total / 1024))});
  }
  const double mhz = ProcessorMHz();
  if (mhz >= 0.5) info.Hardware.push_back({"频率:", Format("%lld MHz", std::llround(mhz))});

  struct utsname name {};
  if (uname(&name) == 0)
    info.Software.push_back({"内核版本:", std::string(name.sysname) + " " + name.release + " (" + name.version + ")"});
  if (haveMemory) {
    const std::uint64_t swap = static_cast<std::uint64_t>(memory.totalswap) * memory.mem_unit;
    info.Software.push_back({"交换文件大小:", Format("%lld MB", static_cast<long long>(swap / 1048576))});
  }
  if (const char* home = std::getenv("HOME"); home && *home) info.Software.push_back({"主目录:", home});
  const char* temp = std::getenv("TMPDIR");
  info.Software.push_back({"临时目录:", temp && *temp ? temp : "/tmp"});

  if (FILE* mounts = setmntent("/proc/self/mounts", "r")) {
    while (const mntent* m = getmntent(mounts)) {
      const std::string type = m->mnt_type;
      if (kPseudoFileSystems.count(type)) continue;
      TMountRow row;
      row.Caption = m->mnt_dir;
      if (kRemoteFileSystems.count(type)) {
        // A remote file system may not answer: its sizes are not asked.
        row.Image = 3;
      } else if (kOpticalFileSystems.count(type)) {
        row.Image = 2;
      } else {
        row.FileSystem = type;
        const std::string label = LabelOf(m->mnt_fsname);
        if (!label.empty()) row.Caption += " " + label;
        struct statvfs space {};
        if (statvfs(m->mnt_dir, &space) == 0 && space.f_blocks > 0) {
          row.HasSizes = true;
          row.TotalBytes = static_cast<std::uint64_t>(space.f_blocks) * space.f_frsize;
          row.FreeBytes = static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
        }
      }
      info.Drives.push_back(row);
    }
    endmntent(mounts);
  }

  for (char** entry = environ; entry && *entry; ++entry) info.Environment.push_back(SplitEnvironmentEntry(*entry));
  return info;
}

#endif

std::string DisplayInfoText(int width, int height, int bitsPerPixel) {
  const int bits = std::clamp(bitsPerPixel, 0, 62);
  char text[96];
  std::snprintf(text, sizeof text, "%dx%d, %d-位(%lld 色)", width, height, bitsPerPixel, 1LL << bits);
  return text;
}

TCapacity CapacityOf(std::uint64_t bytes) {
  const double mb = static_cast<double>(bytes) / 1048576.0;
  if (mb >= 1024) return {mb / 1024, " GB"};
  return {mb, " MB"};
}

TInfoRow SplitEnvironmentEntry(std::string_view entry) {
  const auto equals = entry.find('=');
  if (equals == std::string_view::npos) return {std::string(entry), ""};
  return {std::string(entry.substr(0, equals)), std::string(entry.substr(equals + 1))};
}

std::int64_t LenientStrToInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  // The valid leading part, held within 64 bits.
  std::uint64_t value = 0;
  const std::uint64_t limit = static_cast<std::uint64_t>(INT64_MAX);
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else break;
    value = value > (limit - digit) / base ? limit : value * base + digit;
  }
  return negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
}

}  // namespace vantrel
