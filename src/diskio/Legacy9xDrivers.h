#pragma once
// On Windows 95, 98 and ME there are no device files of disks: sectors are
// read by BIOS and DOS services that virtual device drivers run for us
// through DeviceIoControl. This is everything those paths need of the
// system, so that the request blocks can be built and checked anywhere:
// the Windows backend calls the real functions, tests answer from a script.
//
// The blocks the drivers take are little-endian byte layouts with 32-bit
// buffer addresses in them; they are written and read byte by byte here,
// never as structures laid over memory.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace vantrel {

// What GetVersionExA reports.
struct TVersionInfo {
  std::uint32_t PlatformId = 0;  // 1 Windows 95/98/ME, 2 NT family
  std::uint32_t Major = 0;
  std::uint32_t Minor = 0;
  std::string ServiceText;  // szCSDVersion
};

constexpr std::uint32_t kPlatformWin32Windows = 1;

// How a driver is opened: loaded for the whole run (access 0, share 0,
// disposition 0, FILE_FLAG_DELETE_ON_CLOSE), or opened for one query
// (GENERIC_READ, shared read/write, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL).
enum class TDriverOpen { Load, Query };

class I9xDrivers {
 public:
  using Handle = std::intptr_t;
  static constexpr Handle kNoDriver = -1;

  virtual ~I9xDrivers() = default;
  // CreateFileA on a driver name such as "\\.\vwin32"; kNoDriver on failure.
  virtual Handle OpenDriver(const std::string& name, TDriverOpen how) = 0;
  // DeviceIoControl with the given input and output bytes (either may be empty).
  virtual bool Control(Handle driver, std::uint32_t code, std::span<const std::uint8_t> in,
                       std::span<std::uint8_t> out) = 0;
  virtual void CloseDriver(Handle driver) = 0;
  // Unloads a dynamically loaded driver (DeleteFileA on "\\.\NAME").
  virtual void UnloadDriver(const std::string& name) = 0;
  // The 32-bit address a driver sees for size bytes at data; 0 when the
  // buffer cannot be reached through a 32-bit address.
  virtual std::uint32_t AddressOf(std::uint8_t* data, std::size_t size) = 0;
  // GetLastError after the last failed call.
  virtual std::uint32_t LastError() = 0;
  virtual TVersionInfo Version() = 0;
  // A message box with only an OK button and a warning icon.
  virtual void Warn(const std::string& caption, const std::string& text) = 0;
};

// The system's own drivers: the Windows backend, or on other systems one
// where nothing can be opened.
I9xDrivers& DefaultLegacy9xDrivers();

// The register block of VWIN32's DeviceIoControl services: seven 32-bit
// values, EBX, EDX, ECX, EAX, EDI, ESI, flags. Bit 0 of Flags is the carry.
struct TDiocRegisters {
  std::uint32_t EBX = 0, EDX = 0, ECX = 0, EAX = 0, EDI = 0, ESI = 0, Flags = 0;

  static constexpr std::size_t kSize = 28;
  using Bytes = std::array<std::uint8_t, kSize>;
  Bytes Encode() const;
  static TDiocRegisters Decode(std::span<const std::uint8_t> bytes);
  bool Carry() const { return (Flags & 1) != 0; }
};

// The request block of the BIOS-extensions driver (11 bytes): drive, LBA,
// number of sectors, buffer address, one unused byte.
std::array<std::uint8_t, 11> ExtendedRequestBlock(std::uint8_t drive, std::uint32_t sector,
                                                  std::uint8_t count, std::uint32_t address);
// The request block of the CD-ROM driver (10 bytes): drive counted from 0,
// sector, number of sectors, buffer address.
std::array<std::uint8_t, 10> CDROMRequestBlock(std::uint8_t drive, std::uint32_t sector,
                                               std::uint8_t count, std::uint32_t address);
// The disk I/O packet of INT 25h and INT 21h 7305h (10 bytes): starting
// sector, number of sectors, buffer address.
std::array<std::uint8_t, 10> DiskIOPacket(std::uint32_t sector, std::uint16_t count,
                                          std::uint32_t address);

}  // namespace vantrel
