// The Windows 95/98/ME sector paths against a scripted machine: the
// register blocks and request blocks each driver receives, sector-by-sector
// reads, the carry flag, the abort/retry/ignore prompt and the switches.

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "common/Bytes.h"
#include "diskio/Legacy9x.h"
#include "support/FakePlatform.h"

namespace vantrel {
namespace {

// A machine with BIOS disks, DOS drives and CD-ROM drives behind the three
// drivers. Buffers handed to the drivers get 32-bit tokens as addresses;
// every write through a token is checked against the buffer's size.
struct FakeMachine : I9xDrivers {
  struct Call {
    std::string driver;
    std::uint32_t code;
    std::vector<std::uint8_t> in;
  };
  std::set<std::string> missing;
  TVersionInfo version{1, 4, 10, ""};
  std::vector<Call> calls;
  std::vector<std::pair<std::string, std::string>> warnings;
  std::vector<std::string> opened, closed, unloaded;
  std::map<std::uint32_t, std::pair<std::uint8_t*, std::size_t>> buffers;
  std::map<Handle, std::string> handles;
  Handle nextHandle = 1;

  std::map<std::uint8_t, std::uint32_t> sectorSize;  // BIOS drive -> bytes per sector (512)
  std::map<std::uint32_t, int> failures;             // LBA -> failures left
  std::map<std::uint8_t, std::pair<std::uint32_t, std::uint32_t>> int13;  // drive -> ECX, EDX
  std::vector<std::uint8_t> edd;                          // what INT 13h 48h writes
  std::map<std::uint8_t, std::vector<std::uint8_t>> dpb;  // DOS drive -> device-parameter block
  std::set<std::uint8_t> cdroms;                          // counted from 0
  bool carry = false;
  std::uint16_t askedSize = 0;  // the size word INT 13h 48h found

  Handle OpenDriver(const std::string& name, TDriverOpen how) override {
    opened.push_back(name + (how == TDriverOpen::Load ? " load" : " query"));
    if (missing.count(name)) return kNoDriver;
    handles[nextHandle] = name;
    return nextHandle++;
  }
  void CloseDriver(Handle h) override { closed.push_back(handles.at(h)); }
  void UnloadDriver(const std::string& name) override { unloaded.push_back(name); }
  std::uint32_t AddressOf(std::uint8_t* data, std::size_t size) override {
    const std::uint32_t token = 0x100000u * static_cast<std::uint32_t>(buffers.size() + 1);
    buffers[token] = {data, size};
    return token;
  }
  std::uint32_t LastError() override { return 21; }
  TVersionInfo Version() override { return version; }
  void Warn(const std::string& caption, const std::string& text) override {
    warnings.emplace_back(caption, text);
  }

  std::span<std::uint8_t> At(std::uint32_t address, std::size_t size) {
    const auto it = buffers.find(address);
    if (it == buffers.end() || it->second.second < size) {
      ADD_FAILURE() << "a driver would write " << size << " bytes at " << address;
      return {};
    }
    return {it->second.first, size};
  }
  // Sector contents: the LBA's low byte, then the drive.
  static void Fill(std::span<std::uint8_t> s, std::uint32_t lba, std::uint8_t drive) {
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(i == 0 ? lba : drive);
  }
  bool Fails(std::uint32_t lba) { return failures.count(lba) && failures[lba]-- > 0; }

  bool Control(Handle h, std::uint32_t code, std::span<const std::uint8_t> in,
               std::span<std::uint8_t> out) override {
    const std::string name = handles.at(h);
    calls.push_back({name, code, {in.begin(), in.end()}});
    if (name == "\\\\.\\VEV13UDI.VXD") {
      if (in.size() != 11 || !out.empty()) return false;
      const std::uint32_t lba = Le32(in, 1), address = Le32(in, 6);
      if (code == 4) {
        askedSize = Le16(At(address, 2), 0);
        auto b = At(address, edd.size());
        if (b.empty()) return false;
        std::copy(edd.begin(), edd.end(), b.begin());
        return true;
      }
      if (Fails(lba)) return false;
      const std::uint32_t size = sectorSize.count(in[0]) ? sectorSize[in[0]] : 512;
      Fill(At(address, size * in[5]), lba, in[0]);
      return true;
    }
    if (name == "\\\\.\\ZUR2I.VXD") {
      if (code == 1) {
        out[0] = cdroms.count(in[0]) ? 1 : 0;
        return true;
      }
      if (Fails(Le32(in, 1))) return false;
      Fill(At(Le32(in, 6), 2048 * in[5]), Le32(in, 1), in[0]);
      return true;
    }
    TDiocRegisters r = TDiocRegisters::Decode(in);
    if (carry) {
      r.Flags |= 1;
    } else if (code == 4) {
      if ((r.EAX >> 8) == 8 && int13.count(r.EDX & 0xFF)) {
        std::tie(r.ECX, r.EDX) = int13[r.EDX & 0xFF];
        r.Flags = 0;
      } else if ((r.EAX >> 8) == 0) {
        r.Flags = 0;
      } else if (r.EAX == 0x0201 && int13.count(r.EDX & 0xFF)) {
        // Back from cylinder, head and sector to the LBA, from this drive's layout.
        const auto [ecx, edx] = int13[r.EDX & 0xFF];
        const std::uint32_t spt = ecx & 0x3F, heads = ((edx >> 8) & 0xFF) + 1;
        const std::uint32_t cyl = ((r.ECX >> 8) & 0xFF) | ((r.ECX & 0xC0) << 2);
        const std::uint32_t lba = (cyl * heads + ((r.EDX >> 8) & 0xFF)) * spt + (r.ECX & 0x3F) - 1;
        if (!Fails(lba)) {
          Fill(At(r.EBX, 512), lba, r.EDX & 0xFF);
          r.Flags = 0;
        }
      }
    } else if (code == 1) {
      auto b = At(r.EDX, 38);
      if (!b.empty() && dpb.count(r.EBX & 0xFF) && b[0] == 0) std::copy_n(dpb[r.EBX & 0xFF].begin(), 38, b.begin());
      r.Flags = 0;
    } else if (code == 2 || code == 6) {
      auto packet = At(r.EBX, 10);
      const std::uint32_t first = Le32(packet, 0), count = Le16(packet, 4);
      auto data = At(Le32(packet, 6), count * 512);
      for (std::uint32_t i = 0; i < count; ++i) Fill(data.subspan(i * 512, 512), first + i, 0xDD);
    }
    const auto bytes = r.Encode();
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return true;
  }
  std::vector<Call> CallsTo(const std::string& driver) const {
    std::vector<Call> v;
    for (const auto& c : calls)
      if (c.driver == driver) v.push_back(c);
    return v;
  }
};

const std::string kVwin32 = "\\\\.\\vwin32", kVev = "\\\\.\\VEV13UDI.VXD", kZur = "\\\\.\\ZUR2I.VXD";

struct ScriptedPrompt : IErrorPrompt {
  std::vector<TPromptAnswer> answers;
  std::vector<std::pair<std::string, std::string>> asked;
  TPromptAnswer AskAbortRetryIgnore(const std::string& caption, const std::string& text) override {
    asked.emplace_back(caption, text);
    const TPromptAnswer a = answers.empty() ? TPromptAnswer::Abort : answers.front();
    if (!answers.empty()) answers.erase(answers.begin());
    return a;
  }
};

class Legacy9x : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLegacy9xDrivers(&machine);
    SetIsNT(false);
    SetErrorPrompt(&prompt);
  }
  void TearDown() override {
    SetLegacy9xDrivers(nullptr);
    SetIsNT(true);
    SetErrorPrompt(nullptr);
    SetLegacyAccessSwitches(true, true, true);
  }
  TDiocRegisters RegistersOf(const FakeMachine::Call& c) { return TDiocRegisters::Decode(c.in); }
  FakeMachine machine;
  ScriptedPrompt prompt;
};

TEST(Legacy9xBlocks, LittleEndianLayouts) {
  TDiocRegisters r{0x11223344, 0x55, 0x66, 0x7305, 0, 0xAABBCCDD, 1};
  const auto b = r.Encode();
  EXPECT_EQ(std::vector<std::uint8_t>(b.begin(), b.begin() + 16),
            (std::vector<std::uint8_t>{0x44, 0x33, 0x22, 0x11, 0x55, 0, 0, 0, 0x66, 0, 0, 0, 0x05, 0x73, 0, 0}));
  EXPECT_EQ(b[20], 0xDD);
  EXPECT_EQ(b[24], 1);
  EXPECT_TRUE(TDiocRegisters::Decode(b).Carry());
  EXPECT_EQ(ExtendedRequestBlock(0x81, 0x01020304, 1, 0xA0B0C0D0),
            (std::array<std::uint8_t, 11>{0x81, 4, 3, 2, 1, 1, 0xD0, 0xC0, 0xB0, 0xA0, 0}));
  EXPECT_EQ(DiskIOPacket(0x01020304, 0x0506, 0xA0B0C0D0),
            (std::array<std::uint8_t, 10>{4, 3, 2, 1, 6, 5, 0xD0, 0xC0, 0xB0, 0xA0}));
}

TEST(Legacy9xBlocks, FAT32CapableVersions) {
  EXPECT_TRUE(Is9xFAT32({1, 4, 0, " B "}));  // Windows 95 OSR2
  EXPECT_FALSE(Is9xFAT32({1, 4, 0, " C "}));
  EXPECT_FALSE(Is9xFAT32({1, 4, 0, ""}));
  EXPECT_TRUE(Is9xFAT32({1, 4, 10, ""}));     // 98
  EXPECT_TRUE(Is9xFAT32({1, 4, 90, ""}));     // ME
  EXPECT_FALSE(Is9xFAT32({2, 5, 1, ""}));     // NT family
}

TEST_F(Legacy9x, StartUpLoadsDriversAndEndUnloadsThem) {
  TDiskGeometry g;
  machine.int13[0] = {0x0112, 0x0101};
  ASSERT_TRUE(GetPhysicalGeometry(0, g));
  EXPECT_EQ(machine.opened, (std::vector<std::string>{kVev + " load", kVwin32 + " load", kZur + " load",
                                                      kVwin32 + " query"}));
  EXPECT_TRUE(machine.warnings.empty());
  EXPECT_EQ(machine.closed, std::vector<std::string>{kVwin32});  // the query handle of INT 13h
  EndLegacy9x();
  EXPECT_EQ(machine.unloaded, std::vector<std::string>{"\\\\.\\VEV13UDI"});
  EXPECT_EQ(machine.closed, (std::vector<std::string>{kVwin32, kVwin32, kZur}));
}

TEST_F(Legacy9x, MissingDriversAreReportedOnceAndTheirPathsFail) {
  machine.missing = {kVev, kZur};
  machine.version = {1, 4, 0, " C"};
  std::vector<std::uint8_t> buffer(512);
  TDiskGeometry g;
  EXPECT_FALSE(ReadPhysicalSectors(0x80, 0, 1, true, buffer.data()));
  EXPECT_FALSE(GetPhysicalGeometry(0x80, g));
  EXPECT_EQ(machine.warnings, (std::vector<std::pair<std::string, std::string>>{
                                  {"Error", "Error loading \"VEV13UDI.VXD\""},
                                  {"Error", "Error loading \"ZUR2I.VXD\" (MSCDEX/CDFS)"}}));
  EXPECT_TRUE(prompt.asked.empty());
  // No CD-ROM driver: drive C: is read through INT 25h (Windows 95 without OSR2).
  EXPECT_TRUE(ReadLogicalSectors(3, 7, 1, buffer.data()));
  ASSERT_EQ(machine.calls.size(), 1u);
  const auto r = RegistersOf(machine.calls[0]);
  EXPECT_EQ(machine.calls[0].code, 2u);
  EXPECT_EQ(r.EAX, 2u);  // 0 = A:
  EXPECT_EQ(r.ECX, 0xFFFFu);
  machine.missing = {kVwin32};
  SetLegacy9xDrivers(&machine);
  EXPECT_FALSE(ReadLogicalSectors(3, 0, 1, buffer.data()));
  EXPECT_EQ(machine.warnings.back().second, "Error loading \"VWIN32.VXD (INT25/26)\"");
}

TEST_F(Legacy9x, PhysicalReadsGoOneSectorPerCall) {
  std::vector<std::uint8_t> buffer(3 * 512);
  ASSERT_TRUE(ReadPhysicalSectors(0x80, 0x10, 3, false, buffer.data()));
  const auto reads = machine.CallsTo(kVev);
  ASSERT_EQ(reads.size(), 3u);
  for (std::uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(reads[i].code, 2u);
    EXPECT_EQ(reads[i].in[0], 0x80);
    EXPECT_EQ(Le32(reads[i].in, 1), 0x10 + i);
    EXPECT_EQ(reads[i].in[5], 1);
    EXPECT_EQ(buffer[i * 512], 0x10 + i);
    EXPECT_EQ(buffer[i * 512 + 511], 0x80);
  }
  // A sector past what 32-bit LBAs reach fails before any call.
  machine.calls.clear();
  EXPECT_FALSE(ReadPhysicalSectors(0x80, 0xFFFFFFFFull, 2, false, buffer.data()));
  EXPECT_TRUE(machine.calls.empty());
}

TEST_F(Legacy9x, ABiosWithLargerSectorsStaysInsideTheStagingBuffer) {
  machine.sectorSize[0x81] = 4096;
  std::vector<std::uint8_t> buffer(2 * 512);
  ASSERT_TRUE(ReadPhysicalSectors(0x81, 5, 2, false, buffer.data()));
  EXPECT_EQ(buffer[512], 6);  // the first 512 bytes of each sector
}

TEST_F(Legacy9x, FailedSectorPromptsWithTheWholeRequest) {
  std::vector<std::uint8_t> buffer(4 * 512);
  machine.failures[0x21] = 1;
  EXPECT_FALSE(ReadPhysicalSectors(0x80, 0x20, 4, false, buffer.data()));
  EXPECT_TRUE(prompt.asked.empty());

  // Retry resets the drive through INT 13h first, then reads the sector again.
  machine.calls.clear();
  machine.failures[0x21] = 1;
  prompt.answers = {TPromptAnswer::Retry};
  ASSERT_TRUE(ReadPhysicalSectors(0x80, 0x20, 4, true, buffer.data()));
  ASSERT_EQ(prompt.asked.size(), 1u);
  EXPECT_EQ(prompt.asked[0].first, "ExtendedRead error");
  EXPECT_EQ(prompt.asked[0].second,
            "Error reading sector, \r\ndrv:128 LBA:32 blocks:4\r\n\r\n Abort, Retry or Ignore?");
  ASSERT_EQ(machine.calls.size(), 6u);
  EXPECT_EQ(machine.calls[2].driver, kVwin32);
  EXPECT_EQ(machine.calls[2].code, 4u);
  const auto reset = RegistersOf(machine.calls[2]);
  EXPECT_EQ(reset.EAX, 0u);
  EXPECT_EQ(reset.EDX, 0x80u);
  EXPECT_EQ(reset.Flags, 1u);
  EXPECT_EQ(Le32(machine.calls[3].in, 1), 0x21u);

  // Ignore keeps the staging buffer's last contents; Abort stops at once.
  machine.calls.clear();
  machine.failures[0x21] = 1;
  prompt.answers = {TPromptAnswer::Ignore};
  ASSERT_TRUE(ReadPhysicalSectors(0x80, 0x20, 2, true, buffer.data()));
  EXPECT_EQ(buffer[512], 0x20);
  machine.calls.clear();
  machine.failures[0x20] = 1;
  prompt.answers = {TPromptAnswer::Abort};
  EXPECT_FALSE(ReadPhysicalSectors(0x80, 0x20, 4, true, buffer.data()));
  EXPECT_EQ(machine.calls.size(), 1u);
}

TEST_F(Legacy9x, FloppyGeometryFromInt13) {
  TDiskGeometry g;
  machine.int13[0] = {0x4FD2, 0x0100};  // CH 4Fh, CL D2h, DH 1
  ASSERT_TRUE(GetPhysicalGeometry(0, g));
  EXPECT_EQ(g.SectorsPerTrack, 18u);
  EXPECT_EQ(g.Cylinders, 79u + 768 + 1);
  EXPECT_EQ(g.Heads, 2u);
  EXPECT_EQ(g.TotalSectors, 848u * 2 * 18);
  EXPECT_EQ(g.MediaKind, 1);
  EXPECT_EQ(g.Removable, 1);
  const auto r = RegistersOf(machine.CallsTo(kVwin32).back());
  EXPECT_EQ(r.EAX, 0x0800u);
  EXPECT_EQ(r.EDX, 0u);
  EXPECT_EQ(r.Flags, 1u);  // unserviced reads as failed

  machine.int13[2] = {0xFFFF, 0xFF00};  // the largest CHS: 1024 x 256 x 63
  ASSERT_TRUE(GetPhysicalGeometry(2, g));
  EXPECT_EQ(g.MediaKind, 2);
  EXPECT_EQ(g.TotalSectors, 1024u * 256 * 63);
  machine.int13[1] = {0x4FC0, 0x0100};  // no sectors per track
  EXPECT_FALSE(GetPhysicalGeometry(1, g));
  EXPECT_FALSE(GetPhysicalGeometry(3, g));  // nobody answered: the carry stays set
}

TEST_F(Legacy9x, FloppySectorsByCylinderHeadAndSector) {
  machine.int13[0] = {0x4F12, 0x0100};  // 80 cylinders, 2 heads, 18 sectors
  std::vector<std::uint8_t> buffer(3 * 512);
  ASSERT_TRUE(ReadPhysicalSectors(0, 35, 3, false, buffer.data()));
  EXPECT_EQ(buffer[512], 36);
  std::vector<TDiocRegisters> reads;
  for (const auto& c : machine.CallsTo(kVwin32))
    if (RegistersOf(c).EAX == 0x0201) reads.push_back(RegistersOf(c));
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0].ECX, 0x0012u);  // cylinder 0, sector 18
  EXPECT_EQ(reads[0].EDX, 0x0100u);  // head 1, drive 0
  EXPECT_EQ(reads[1].ECX, 0x0101u);  // cylinder 1, sector 1
  EXPECT_EQ(reads[1].EDX, 0x0000u);
  EXPECT_EQ(machine.buffers.at(reads[2].EBX).second, 65536u);

  // The last sector of the largest layout puts cylinder bits 8 and 9 into CL;
  // one sector further has no cylinder number and is not read at all.
  machine.int13[1] = {0xFFFF, 0xFF00};
  machine.calls.clear();
  ASSERT_TRUE(ReadPhysicalSectors(1, 1024u * 256 * 63 - 1, 1, false, buffer.data()));
  const auto last = RegistersOf(machine.calls.back());
  EXPECT_EQ(last.ECX, 0xFFFFu);
  EXPECT_EQ(last.EDX, 0xFF01u);
  machine.calls.clear();
  EXPECT_FALSE(ReadPhysicalSectors(1, 1024u * 256 * 63, 1, false, buffer.data()));
  EXPECT_EQ(machine.calls.size(), 1u);  // the drive parameters only

  // A failing floppy sector asks, and Retry resets the drive first.
  machine.failures[2] = 1;
  machine.calls.clear();
  prompt.answers = {TPromptAnswer::Retry};
  ASSERT_TRUE(ReadPhysicalSectors(0, 2, 1, true, buffer.data()));
  ASSERT_EQ(machine.calls.size(), 4u);  // parameters, failed read, reset, read
  EXPECT_EQ(RegistersOf(machine.calls[2]).EAX, 0u);
  EXPECT_EQ(prompt.asked.at(0).second,
            "Error reading sector, \r\ndrv:0 LBA:2 blocks:1\r\n\r\n Abort, Retry or Ignore?");
}

TEST_F(Legacy9x, HardDiskGeometryFromTheBiosExtensions) {
  machine.edd.assign(66, 0xEE);  // this BIOS fills the long table whatever it is asked
  PutLe16(machine.edd, 2, 0x0004);
  PutLe32(machine.edd, 4, 1000);
  PutLe32(machine.edd, 8, 16);
  PutLe32(machine.edd, 12, 63);
  PutLe32(machine.edd, 16, 1008001);
  PutLe32(machine.edd, 20, 0);
  PutLe16(machine.edd, 24, 512);
  TDiskGeometry g;
  ASSERT_TRUE(GetPhysicalGeometry(0x81, g));
  EXPECT_EQ(g.MediaKind, 2);
  EXPECT_EQ(g.Removable, 1);
  EXPECT_EQ(g.Cylinders, 1000u);
  EXPECT_EQ(g.TotalSectors, 1008001u);  // the reported size, not the product
  const auto call = machine.CallsTo(kVev).back();
  EXPECT_EQ(call.code, 4u);
  EXPECT_EQ(call.in[0], 0x81);
  EXPECT_EQ(machine.askedSize, 30u);

  PutLe16(machine.edd, 2, 0);
  PutLe32(machine.edd, 20, 1);  // 2^32 + 1008001 sectors: more than 32-bit LBAs reach
  ASSERT_TRUE(GetPhysicalGeometry(0x80, g));
  EXPECT_EQ(g.MediaKind, 3);
  EXPECT_EQ(g.Removable, 0);
  EXPECT_EQ(g.TotalSectors, 0x100000000ull);
}

TEST_F(Legacy9x, SwitchesTurnTheirServicesOff) {
  std::vector<std::uint8_t> buffer(2048);
  TDiskGeometry g;
  machine.int13[0] = {0x4FD2, 0x0100};
  machine.edd.assign(30, 0);
  machine.cdroms = {3};  // D:
  SetLegacyAccessSwitches(true, false, false);
  EXPECT_FALSE(ReadPhysicalSectors(0x80, 0, 1, true, buffer.data()));
  EXPECT_FALSE(GetPhysicalGeometry(0x80, g));
  EXPECT_TRUE(GetPhysicalGeometry(0, g));
  EXPECT_FALSE(ReadLogicalSectors(3, 0, 1, buffer.data()));
  EXPECT_FALSE(GetLogicalGeometry(3, g));
  EXPECT_TRUE(ReadLogicalSectors(4, 16, 1, buffer.data()));  // CD-ROM drives need no INT 25h
  EXPECT_TRUE(ReadPhysicalSectors(0, 0, 1, true, buffer.data()));  // floppies go through INT 13h
  EXPECT_TRUE(machine.CallsTo(kVev).empty());
  SetLegacyAccessSwitches(false, true, true);
  EXPECT_FALSE(GetPhysicalGeometry(0, g));
  EXPECT_FALSE(ReadPhysicalSectors(0, 0, 1, true, buffer.data()));
  EXPECT_TRUE(GetPhysicalGeometry(0x80, g));
  EXPECT_TRUE(prompt.asked.empty());
}

TEST_F(Legacy9x, LogicalReadsInOneDosCall) {
  std::vector<std::uint8_t> buffer(3 * 512);
  ASSERT_TRUE(ReadLogicalSectors(3, 0x1234, 3, buffer.data()));  // Windows 98: 7305h
  ASSERT_EQ(machine.CallsTo(kVwin32).size(), 1u);
  const auto call = machine.CallsTo(kVwin32)[0];
  EXPECT_EQ(call.code, 6u);
  const auto r = RegistersOf(call);
  EXPECT_EQ(r.EAX, 0x7305u);
  EXPECT_EQ(r.ECX, 0xFFFFFFFFu);
  EXPECT_EQ(r.EDX, 3u);
  EXPECT_EQ(r.ESI, 0u);
  EXPECT_EQ(r.Flags, 0u);
  const auto packet = machine.At(r.EBX, 10);
  EXPECT_EQ(Le32(packet, 0), 0x1234u);
  EXPECT_EQ(Le16(packet, 4), 3u);
  EXPECT_EQ(machine.buffers.at(Le32(packet, 6)).first, buffer.data());
  EXPECT_EQ(buffer[2 * 512], 0x36);

  machine.carry = true;
  EXPECT_FALSE(ReadLogicalSectors(3, 0, 1, buffer.data()));
  EXPECT_FALSE(ReadLogicalSectors(3, 0x100000000ull, 1, buffer.data()));
  EXPECT_TRUE(prompt.asked.empty());  // the DOS paths never prompt

  machine.carry = false;
  machine.version = {1, 4, 0, " B "};  // Windows 95 OSR2 reads FAT32 drives too
  SetLegacy9xDrivers(&machine);
  ASSERT_TRUE(ReadLogicalSectors(1, 0, 1, buffer.data()));
  EXPECT_EQ(machine.calls.back().code, 6u);
}

TEST_F(Legacy9x, CDROMSectorsThroughTheCDROMDriver) {
  machine.cdroms = {4};  // E:
  std::vector<std::uint8_t> buffer(2 * 2048);
  machine.failures[17] = 1;
  prompt.answers = {TPromptAnswer::Retry};
  ASSERT_TRUE(ReadLogicalSectors(5, 16, 2, buffer.data()));
  EXPECT_EQ(buffer[2048], 17);
  ASSERT_EQ(prompt.asked.size(), 1u);
  EXPECT_EQ(prompt.asked[0].first, "MSCDEX/CDFS CD-ROM read error 21");
  EXPECT_EQ(prompt.asked[0].second,
            "Error reading sector, \r\ndrv:5 LBA:16 blocks:2\r\n\r\n Abort, Retry or Ignore?");
  const auto cd = machine.CallsTo(kZur);
  ASSERT_EQ(cd.size(), 4u);  // test, sector 16, sector 17 failed, sector 17 again
  EXPECT_EQ(cd[0].in, std::vector<std::uint8_t>{4});
  EXPECT_EQ(cd[3].in[0], 4);
  EXPECT_TRUE(machine.CallsTo(kVwin32).empty());  // no reset on this path

  TDiskGeometry g;
  ASSERT_TRUE(GetLogicalGeometry(5, g));
  EXPECT_EQ(g.MediaKind, 4);
  EXPECT_EQ(g.BytesPerSector, 2048u);
  EXPECT_EQ(g.TotalSectors, 0u);
}

TEST_F(Legacy9x, LogicalGeometryFromDosDeviceParameters) {
  std::vector<std::uint8_t> block(38);
  block[1] = 5;  // fixed disk
  PutLe16(block, 2, 1);
  PutLe16(block, 4, 1023);
  PutLe16(block, 7, 512);
  PutLe16(block, 20, 63);
  PutLe16(block, 22, 255);
  machine.dpb[3] = block;
  TDiskGeometry g;
  ASSERT_TRUE(GetLogicalGeometry(3, g));
  const auto r = RegistersOf(machine.CallsTo(kVwin32).back());
  EXPECT_EQ(r.EAX, 0x440Du);
  EXPECT_EQ(r.EBX, 3u);
  EXPECT_EQ(r.ECX, 0x0860u);
  EXPECT_EQ(r.Flags, 1u);
  EXPECT_EQ(g.MediaKind, 3);
  EXPECT_EQ(g.Removable, 0);
  EXPECT_EQ(g.TotalSectors, 1023u * 255 * 63);

  // Media kinds by device type, and a product that does not fit 32 bits.
  const std::pair<std::uint8_t, std::uint16_t> kinds[] = {{2, 1}, {7, 1}, {6, 0}, {9, 0}, {10, 0}};
  for (const auto& [type, kind] : kinds) {
    machine.dpb[3][1] = type;
    ASSERT_TRUE(GetLogicalGeometry(3, g));
    EXPECT_EQ(g.MediaKind, kind) << int(type);
  }
  machine.dpb[3][1] = 6;
  PutLe16(machine.dpb[3], 2, 0);
  PutLe16(machine.dpb[3], 4, 0xFFFF);
  PutLe16(machine.dpb[3], 22, 0xFFFF);
  ASSERT_TRUE(GetLogicalGeometry(3, g));
  EXPECT_EQ(g.MediaKind, 2);
  EXPECT_EQ(g.Removable, 1);
  EXPECT_EQ(g.TotalSectors, 0xFFFFull * 0xFFFF * 63);
  machine.carry = true;
  EXPECT_FALSE(GetLogicalGeometry(3, g));
}

TEST_F(Legacy9x, TheNTFamilyNeverCallsTheDrivers) {
  test::FakePlatform platform;
  SetIsNT(true);
  TDiskGeometry g;
  std::vector<std::uint8_t> buffer(512);
  GetPhysicalGeometry(0x80, g);
  ReadLogicalSectors(3, 0, 1, buffer.data());
  EXPECT_TRUE(machine.opened.empty());
}

}  // namespace
}  // namespace vantrel
