#include "diskio/Legacy9x.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/Bytes.h"

namespace vantrel {

// ---- byte layouts ----

TDiocRegisters::Bytes TDiocRegisters::Encode() const {
  Bytes b{};
  const std::uint32_t values[] = {EBX, EDX, ECX, EAX, EDI, ESI, Flags};
  for (std::size_t i = 0; i < 7; ++i) PutLe32(b, i * 4, values[i]);
  return b;
}

TDiocRegisters TDiocRegisters::Decode(std::span<const std::uint8_t> bytes) {
  TDiocRegisters r;
  r.EBX = Le32(bytes, 0);
  r.EDX = Le32(bytes, 4);
  r.ECX = Le32(bytes, 8);
  r.EAX = Le32(bytes, 12);
  r.EDI = Le32(bytes, 16);
  r.ESI = Le32(bytes, 20);
  r.Flags = Le32(bytes, 24);
  return r;
}

namespace {
// Both drivers' request blocks start alike: drive, sector, count, address;
// the BIOS-extensions block has one unused byte more.
template <std::size_t N>
std::array<std::uint8_t, N> DriveRequestBlock(std::uint8_t drive, std::uint32_t sector,
                                              std::uint8_t count, std::uint32_t address) {
  static_assert(N >= 10);
  std::array<std::uint8_t, N> b{};
  b[0] = drive;
  PutLe32(b, 1, sector);
  b[5] = count;
  PutLe32(b, 6, address);
  return b;
}
}  // namespace

std::array<std::uint8_t, 11> ExtendedRequestBlock(std::uint8_t drive, std::uint32_t sector,
                                                  std::uint8_t count, std::uint32_t address) {
  return DriveRequestBlock<11>(drive, sector, count, address);
}

std::array<std::uint8_t, 10> CDROMRequestBlock(std::uint8_t drive, std::uint32_t sector,
                                               std::uint8_t count, std::uint32_t address) {
  return DriveRequestBlock<10>(drive, sector, count, address);
}

std::array<std::uint8_t, 10> DiskIOPacket(std::uint32_t sector, std::uint16_t count,
                                          std::uint32_t address) {
  std::array<std::uint8_t, 10> b{};
  PutLe32(b, 0, sector);
  PutLe16(b, 4, count);
  PutLe32(b, 6, address);
  return b;
}

namespace {

// Driver names and the DeviceIoControl codes they serve.
const char* const kVWIN32 = "\\\\.\\vwin32";
const char* const kVEV13UDI = "\\\\.\\VEV13UDI.VXD";
const char* const kVEV13UDIUnload = "\\\\.\\VEV13UDI";
const char* const kZUR2I = "\\\\.\\ZUR2I.VXD";

constexpr std::uint32_t kVwin32Int21 = 1;
constexpr std::uint32_t kVwin32Int25 = 2;
constexpr std::uint32_t kVwin32Int13 = 4;
constexpr std::uint32_t kVwin32Int21_7305 = 6;
constexpr std::uint32_t kExtendedRead = 2;
constexpr std::uint32_t kExtendedParameters = 4;
constexpr std::uint32_t kCDROMTest = 1;
constexpr std::uint32_t kCDROMRead = 2;

constexpr std::size_t kCDROMSectorSize = 2048;
// One extended read moves one sector of the disk's own size, which need not
// be 512 bytes (CD-ROM emulation, 4 KiB disks); a real-mode transfer never
// exceeds one 64 KiB segment, so that much is kept for it and 512 bytes of
// it are taken.
constexpr std::size_t kPhysicalStagingSize = 65536;
// INT 13h 48h: 30 bytes are asked for, but BIOSes that fill the longer
// EDD 3.0 table (66 bytes) whatever the size word says exist.
constexpr std::size_t kDriveParameterAsked = 30;
constexpr std::size_t kDriveParameterRoom = 66;
// INT 21h 440Dh 60h: the DOS device-parameter block.
constexpr std::size_t kDeviceParameterSize = 38;

struct Legacy9xModule {
  I9xDrivers* installed = nullptr;
  bool started = false;
  bool atExitRegistered = false;
  I9xDrivers::Handle vev13udi = I9xDrivers::kNoDriver;
  I9xDrivers::Handle vwin32 = I9xDrivers::kNoDriver;
  I9xDrivers::Handle zur2i = I9xDrivers::kNoDriver;
  bool fat32 = false;
  bool useINT13 = true;
  bool useVEV13UDI = true;
  bool useINT25 = true;
  // Allocated once for the run, like the other staging buffers.
  std::vector<std::uint8_t> physicalStaging = std::vector<std::uint8_t>(kPhysicalStagingSize);
  std::vector<std::uint8_t> cdromStaging = std::vector<std::uint8_t>(kCDROMSectorSize);
  std::array<std::uint8_t, kDriveParameterRoom> driveParameters{};
  std::array<std::uint8_t, kDeviceParameterSize> deviceParameters{};
  std::array<std::uint8_t, 10> packet{};
};

Legacy9xModule& Module() {
  static Legacy9xModule module;
  return module;
}

I9xDrivers& Drivers() {
  auto& m = Module();
  return m.installed ? *m.installed : DefaultLegacy9xDrivers();
}

void EndAtExit() { EndLegacy9x(); }

// The services read at most sector 0xFFFFFFFF: a request reaching beyond
// must fail, not wrap around to the start of the disk.
bool Fits32Bit(std::uint64_t firstSector, std::uint16_t count) {
  return firstSector <= 0xFFFFFFFFull && firstSector + count <= 0x100000000ull;
}

// A VWIN32 service: true when the call went through and the carry is clear.
bool CallVwin32(I9xDrivers::Handle handle, std::uint32_t code, TDiocRegisters& regs) {
  if (handle == I9xDrivers::kNoDriver) return false;
  const TDiocRegisters::Bytes in = regs.Encode();
  TDiocRegisters::Bytes out = in;
  if (!Drivers().Control(handle, code, in, out)) return false;
  regs = TDiocRegisters::Decode(out);
  return !regs.Carry();
}

// INT 13h through a VWIN32 handle of its own for this one call. Flags start
// with the carry set, so that a call nobody served reads as failed.
bool CallInt13(TDiocRegisters& regs) {
  I9xDrivers& drivers = Drivers();
  const I9xDrivers::Handle handle = drivers.OpenDriver(kVWIN32, TDriverOpen::Query);
  if (handle == I9xDrivers::kNoDriver) return false;
  regs.Flags = 1;
  const bool ok = CallVwin32(handle, kVwin32Int13, regs);
  drivers.CloseDriver(handle);
  return ok;
}

void ResetDrive(std::uint8_t drive) {
  TDiocRegisters regs;
  regs.EAX = 0x0000;  // AH 0: reset
  regs.EDX = drive;
  CallInt13(regs);
}

// Cylinders, heads and sectors per track as INT 13h 08h reports them.
struct TFloppyLayout {
  std::uint32_t Cylinders = 0, Heads = 0, SectorsPerTrack = 0;
};

bool FloppyLayout(std::uint8_t drive, TFloppyLayout& layout) {
  TDiocRegisters regs;
  regs.EAX = 0x0800;  // AH 8: drive parameters
  regs.EDX = drive;
  if (!CallInt13(regs)) return false;
  const std::uint32_t cl = regs.ECX & 0xFF;
  const std::uint32_t ch = (regs.ECX >> 8) & 0xFF;
  const std::uint32_t dh = (regs.EDX >> 8) & 0xFF;
  layout.SectorsPerTrack = cl & 0x3F;
  // CL's top two bits are bits 8 and 9 of the last cylinder number.
  layout.Cylinders = ch + (cl & 0xC0) * 4 + 1;
  layout.Heads = dh + 1;
  return layout.SectorsPerTrack != 0;
}

// INT 13h 02h for one sector: AL 1, CH the cylinder's low 8 bits, CL its
// bits 8 and 9 in bits 6 and 7 and the sector (from 1) below, DH the head,
// DL the drive, EBX the buffer. False when the sector lies beyond the last
// cylinder: CX holds only 10 bits of cylinder, and a wrapped number would
// read another sector.
bool Int13ReadRegisters(std::uint8_t drive, std::uint32_t lba, const TFloppyLayout& layout,
                        std::uint32_t address, TDiocRegisters& regs) {
  const std::uint32_t perCylinder = layout.Heads * layout.SectorsPerTrack;
  const std::uint32_t cylinder = lba / perCylinder;
  if (cylinder >= layout.Cylinders) return false;
  const std::uint32_t head = (lba / layout.SectorsPerTrack) % layout.Heads;
  const std::uint32_t sector = lba % layout.SectorsPerTrack + 1;
  regs = TDiocRegisters{};
  regs.EAX = 0x0201;
  regs.EBX = address;
  regs.ECX = ((cylinder & 0xFF) << 8) | ((cylinder >> 2) & 0xC0) | sector;
  regs.EDX = (head << 8) | drive;
  return true;
}

bool IsCDROM(std::uint8_t drive) {
  const auto& m = Module();
  if (m.zur2i == I9xDrivers::kNoDriver) return false;
  const std::array<std::uint8_t, 1> in{static_cast<std::uint8_t>(drive - 1)};
  std::array<std::uint8_t, 1> out{0};
  return Drivers().Control(m.zur2i, kCDROMTest, in, out) && out[0] == 1;
}

std::string ReadErrorText(std::uint8_t drive, std::uint64_t first, std::uint16_t count) {
  return "Error reading sector, \r\ndrv:" + std::to_string(drive) + " LBA:" + std::to_string(first) +
         " blocks:" + std::to_string(count) + "\r\n\r\n" + " Abort, Retry or Ignore?";
}

TPromptAnswer Ask(const std::string& caption, const std::string& text) {
  IErrorPrompt* prompt = CurrentErrorPrompt();
  return prompt ? prompt->AskAbortRetryIgnore(caption, text) : TPromptAnswer::Abort;
}

std::string Trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

bool ReadCDROMSectors(std::uint8_t drive, std::uint64_t firstSector, std::uint16_t count,
                      std::uint8_t* out) {
  auto& m = Module();
  I9xDrivers& drivers = Drivers();
  if (!Fits32Bit(firstSector, count)) return false;
  const std::uint32_t address = drivers.AddressOf(m.cdromStaging.data(), m.cdromStaging.size());
  if (address == 0) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto block = CDROMRequestBlock(static_cast<std::uint8_t>(drive - 1),
                                         static_cast<std::uint32_t>(firstSector + i), 1, address);
    for (;;) {
      if (drivers.Control(m.zur2i, kCDROMRead, block, {})) break;
      // This path has no Prompt argument: a failed CD-ROM sector always asks.
      const TPromptAnswer answer =
          Ask("MSCDEX/CDFS CD-ROM read error " + std::to_string(drivers.LastError()),
              ReadErrorText(drive, firstSector, count));
      if (answer == TPromptAnswer::Retry) continue;
      if (answer == TPromptAnswer::Ignore) break;
      return false;
    }
    std::memcpy(out + static_cast<std::size_t>(i) * kCDROMSectorSize, m.cdromStaging.data(),
                kCDROMSectorSize);
  }
  return true;
}

}  // namespace

void SetLegacyAccessSwitches(bool useINT13, bool useVEV13UDI, bool useINT25) {
  auto& m = Module();
  m.useINT13 = useINT13;
  m.useVEV13UDI = useVEV13UDI;
  m.useINT25 = useINT25;
}

void SetLegacy9xDrivers(I9xDrivers* drivers) {
  EndLegacy9x();
  Module().installed = drivers;
}

bool Is9xFAT32(const TVersionInfo& v) {
  if (v.PlatformId != kPlatformWin32Windows) return false;
  if (v.Major >= 4 && v.Minor > 0) return true;
  return v.Major == 4 && v.Minor == 0 && Trimmed(v.ServiceText) == "B";
}

void StartLegacy9x() {
  auto& m = Module();
  if (m.started) return;
  I9xDrivers& drivers = Drivers();
  m.started = true;
  if (!m.atExitRegistered) {
    // Registered after the drivers object exists, so it runs before that is gone.
    m.atExitRegistered = true;
    std::atexit(EndAtExit);
  }
  m.vev13udi = drivers.OpenDriver(kVEV13UDI, TDriverOpen::Load);
  if (m.vev13udi == I9xDrivers::kNoDriver) drivers.Warn("Error", "Error loading \"VEV13UDI.VXD\"");
  m.fat32 = Is9xFAT32(drivers.Version());
  m.vwin32 = drivers.OpenDriver(kVWIN32, TDriverOpen::Load);
  if (m.vwin32 == I9xDrivers::kNoDriver) drivers.Warn("Error", "Error loading \"VWIN32.VXD (INT25/26)\"");
  m.zur2i = drivers.OpenDriver(kZUR2I, TDriverOpen::Load);
  if (m.zur2i == I9xDrivers::kNoDriver)
    drivers.Warn("Error", "Error loading \"ZUR2I.VXD\" (MSCDEX/CDFS)");
}

void EndLegacy9x() {
  auto& m = Module();
  if (!m.started) return;
  I9xDrivers& drivers = Drivers();
  // The driver was loaded with FILE_FLAG_DELETE_ON_CLOSE: deleting its name unloads it.
  if (m.vev13udi != I9xDrivers::kNoDriver) drivers.UnloadDriver(kVEV13UDIUnload);
  if (m.vwin32 != I9xDrivers::kNoDriver) drivers.CloseDriver(m.vwin32);
  if (m.zur2i != I9xDrivers::kNoDriver) drivers.CloseDriver(m.zur2i);
  m.vev13udi = m.vwin32 = m.zur2i = I9xDrivers::kNoDriver;
  m.fat32 = false;
  m.started = false;
}

bool Read9xPhysicalSectors(std::uint8_t drive, std::uint64_t firstSector, std::uint16_t count,
                           bool prompt, void* buffer) {
  StartLegacy9x();
  auto& m = Module();
  // Floppy drives are not served by the BIOS extensions: their sectors are
  // read by cylinder, head and sector through INT 13h.
  const bool floppy = drive < 0x80;
  TFloppyLayout layout;
  if (floppy) {
    if (!m.useINT13 || !FloppyLayout(drive, layout)) return false;
  } else if (!m.useVEV13UDI || m.vev13udi == I9xDrivers::kNoDriver) {
    return false;
  }
  if (!Fits32Bit(firstSector, count)) return false;
  I9xDrivers& drivers = Drivers();
  const std::uint32_t address =
      drivers.AddressOf(m.physicalStaging.data(), m.physicalStaging.size());
  if (address == 0) return false;
  auto* out = static_cast<std::uint8_t*>(buffer);
  // One sector per call: the block's count is a single byte, and a failed
  // sector is asked about on its own.
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto sector = static_cast<std::uint32_t>(firstSector + i);
    TDiocRegisters chs;
    // A sector beyond what cylinder, head and sector numbers reach fails
    // like a sector past the end of the disk.
    const bool addressable = !floppy || Int13ReadRegisters(drive, sector, layout, address, chs);
    const auto block = ExtendedRequestBlock(drive, sector, 1, address);
    for (;;) {
      if (addressable) {
        if (floppy) {
          TDiocRegisters regs = chs;
          if (CallInt13(regs)) break;
        } else if (drivers.Control(m.vev13udi, kExtendedRead, block, {})) {
          break;
        }
      }
      if (!prompt) return false;
      const TPromptAnswer answer =
          Ask("ExtendedRead error", ReadErrorText(drive, firstSector, count));
      if (answer == TPromptAnswer::Retry) {
        ResetDrive(drive);
        continue;
      }
      if (answer == TPromptAnswer::Ignore) break;
      return false;
    }
    // After Ignore this is whatever the staging buffer holds.
    std::memcpy(out + static_cast<std::size_t>(i) * kPhysicalSectorSize, m.physicalStaging.data(),
                kPhysicalSectorSize);
  }
  return true;
}

bool Read9xLogicalSectors(std::uint8_t drive, std::uint64_t firstSector, std::uint16_t count,
                          void* buffer) {
  if (drive < 1 || drive > 26) return false;
  if (count == 0) return true;
  StartLegacy9x();
  auto& m = Module();
  auto* out = static_cast<std::uint8_t*>(buffer);
  if (IsCDROM(drive)) return ReadCDROMSectors(drive, firstSector, count, out);
  if (!m.useINT25) return false;
  if (!Fits32Bit(firstSector, count)) return false;
  I9xDrivers& drivers = Drivers();
  // DOS reads the drive's 512-byte sectors into the caller's buffer.
  const std::uint32_t bufferAddress =
      drivers.AddressOf(out, static_cast<std::size_t>(count) * kPhysicalSectorSize);
  m.packet = DiskIOPacket(static_cast<std::uint32_t>(firstSector), count, bufferAddress);
  const std::uint32_t packetAddress = drivers.AddressOf(m.packet.data(), m.packet.size());
  if (bufferAddress == 0 || packetAddress == 0) return false;
  TDiocRegisters regs;
  regs.EBX = packetAddress;
  regs.Flags = 0;
  if (m.fat32) {
    regs.EAX = 0x7305;
    regs.ECX = 0xFFFFFFFF;
    regs.EDX = drive;  // 1 = A:
    regs.ESI = 0;      // read
    return CallVwin32(m.vwin32, kVwin32Int21_7305, regs);
  }
  regs.EAX = static_cast<std::uint32_t>(drive - 1);  // 0 = A:
  regs.ECX = 0xFFFF;
  return CallVwin32(m.vwin32, kVwin32Int25, regs);
}

bool Get9xPhysicalGeometry(std::uint8_t drive, TDiskGeometry& geometry) {
  StartLegacy9x();
  auto& m = Module();
  TDiskGeometry g;
  if (drive < 0x80) {
    TFloppyLayout layout;
    if (!m.useINT13 || !FloppyLayout(drive, layout)) return false;
    g.SectorsPerTrack = layout.SectorsPerTrack;
    g.Cylinders = layout.Cylinders;
    g.Heads = layout.Heads;
    g.MediaKind = drive <= 1 ? 1 : 2;
    g.Removable = 1;
    g.BytesPerSector = kPhysicalSectorSize;
    g.TotalSectors = std::uint64_t{g.Cylinders} * g.Heads * g.SectorsPerTrack;
    geometry = g;
    return true;
  }
  if (!m.useVEV13UDI || m.vev13udi == I9xDrivers::kNoDriver) return false;
  I9xDrivers& drivers = Drivers();
  m.driveParameters.fill(0);
  PutLe16(m.driveParameters, 0, kDriveParameterAsked);
  const std::uint32_t address = drivers.AddressOf(m.driveParameters.data(), m.driveParameters.size());
  if (address == 0) return false;
  const auto block = ExtendedRequestBlock(drive, 0, 0, address);
  if (!drivers.Control(m.vev13udi, kExtendedParameters, block, {})) return false;
  const ByteSpan p(m.driveParameters.data(), kDriveParameterAsked);
  const bool removable = (Le16(p, 2) & 0x0004) != 0;
  g.MediaKind = removable ? 2 : 3;
  g.Removable = removable ? 1 : 0;
  g.Cylinders = Le32(p, 4);
  g.Heads = Le32(p, 8);
  g.SectorsPerTrack = Le32(p, 12);
  // These services address 32-bit sector numbers: the reachable part of a
  // larger disk is its first 2^32 sectors, not the size's low 32 bits.
  g.TotalSectors = std::min<std::uint64_t>(Le64(p, 16), 0x100000000ull);
  g.BytesPerSector = Le16(p, 24);
  geometry = g;
  return true;
}

bool Get9xLogicalGeometry(std::uint8_t drive, TDiskGeometry& geometry) {
  if (drive < 1 || drive > 26) return false;
  StartLegacy9x();
  auto& m = Module();
  if (IsCDROM(drive)) {
    geometry = TDiskGeometry{};
    geometry.MediaKind = 4;
    geometry.Removable = 1;
    geometry.BytesPerSector = kCDROMSectorSize;
    return true;
  }
  if (!m.useINT25) return false;
  I9xDrivers& drivers = Drivers();
  m.deviceParameters.fill(0);  // special functions 0: the drive's present parameters
  const std::uint32_t address =
      drivers.AddressOf(m.deviceParameters.data(), m.deviceParameters.size());
  if (address == 0) return false;
  TDiocRegisters regs;
  regs.EAX = 0x440D;
  regs.EBX = drive;   // 1 = A:
  regs.ECX = 0x0860;  // category 08h disk, minor code 60h get device parameters
  regs.EDX = address;
  regs.Flags = 1;
  if (!CallVwin32(m.vwin32, kVwin32Int21, regs)) return false;
  const ByteSpan p(m.deviceParameters);
  const std::uint8_t type = Le8(p, 1);
  const bool fixed = (Le16(p, 2) & 1) != 0;
  TDiskGeometry g;
  g.Removable = fixed ? 0 : 1;
  g.Cylinders = Le16(p, 4);
  g.BytesPerSector = Le16(p, 7);
  g.SectorsPerTrack = Le16(p, 20);
  g.Heads = Le16(p, 22);
  // Three 16-bit factors: the product needs more than 32 bits.
  g.TotalSectors = std::uint64_t{g.Cylinders} * g.Heads * g.SectorsPerTrack;
  if (type <= 4 || type == 7 || type == 8)
    g.MediaKind = 1;
  else if (type == 5)
    g.MediaKind = 3;
  else if (type == 6 || type == 9)
    g.MediaKind = fixed ? 0 : 2;
  else
    g.MediaKind = 0;
  geometry = g;
  return true;
}

}  // namespace vantrel
