// The drivers of Windows 95, 98 and ME reached through the real system
// calls. On the NT family the same calls simply fail to open the drivers,
// and the sector layer never asks for them there.
#ifdef _WIN32

#include <windows.h>

#include "diskio/Legacy9xDrivers.h"

namespace vantrel {
namespace {

class WindowsLegacyDrivers final : public I9xDrivers {
 public:
  Handle OpenDriver(const std::string& name, TDriverOpen how) override {
    HANDLE h;
    if (how == TDriverOpen::Load)
      h = CreateFileA(name.c_str(), 0, 0, nullptr, 0, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    else
      h = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kNoDriver;
    return reinterpret_cast<Handle>(h);
  }

  bool Control(Handle driver, std::uint32_t code, std::span<const std::uint8_t> in,
               std::span<std::uint8_t> out) override {
    DWORD returned = 0;
    // The drivers take their input through a non-const pointer; they do not write it.
    void* input = in.empty() ? nullptr : const_cast<std::uint8_t*>(in.data());
    void* output = out.empty() ? nullptr : out.data();
    return DeviceIoControl(reinterpret_cast<HANDLE>(driver), code, input,
                           static_cast<DWORD>(in.size()), output, static_cast<DWORD>(out.size()),
                           &returned, nullptr) != FALSE;
  }

  void CloseDriver(Handle driver) override { CloseHandle(reinterpret_cast<HANDLE>(driver)); }

  void UnloadDriver(const std::string& name) override { DeleteFileA(name.c_str()); }

  std::uint32_t AddressOf(std::uint8_t* data, std::size_t size) override {
    // A 32-bit process hands its flat addresses to the drivers as they are.
    // A 64-bit one never runs these paths; should it try, a buffer above
    // 4 GiB makes the call fail instead of passing a cut-off address.
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    if (address == 0 || address > 0xFFFFFFFFu || size > 0xFFFFFFFFu - address) return 0;
    return static_cast<std::uint32_t>(address);
  }

  std::uint32_t LastError() override { return GetLastError(); }

  TVersionInfo Version() override {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    TVersionInfo v;
    if (!GetVersionExA(&info)) return v;
    v.PlatformId = info.dwPlatformId;
    v.Major = info.dwMajorVersion;
    v.Minor = info.dwMinorVersion;
    v.ServiceText = info.szCSDVersion;
    return v;
  }

  void Warn(const std::string& caption, const std::string& text) override {
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_ICONWARNING);
  }
};

}  // namespace

I9xDrivers& DefaultLegacy9xDrivers() {
  static WindowsLegacyDrivers drivers;
  return drivers;
}

}  // namespace vantrel

#endif  // _WIN32
