// The Windows backend on real files through the system's own calls (run
// under Wine where there is no Windows): image numbering, a path with
// Chinese characters, reading across chunks and beyond 4 GiB, read-only
// opening, and names that cannot be opened being missing drives.

#ifdef _WIN32

#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>
#undef GetDriveType  // the backend's member, not the system's call

#include <algorithm>
#include <string>
#include <vector>

#include "diskio/DiskPlatformWindows.h"
#include "diskio/NTDeviceNames.h"

namespace vantrel {
namespace {

// A fresh folder under the temp folder, made and removed through the wide
// calls so that names with any characters work.
class WideTempDir {
 public:
  WideTempDir() {
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"vantrel-nt-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(::GetTickCount());
    ::CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~WideTempDir() {
    for (auto it = files_.rbegin(); it != files_.rend(); ++it) ::DeleteFileW(it->c_str());
    for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) ::RemoveDirectoryW(it->c_str());
    ::RemoveDirectoryW(path_.c_str());
  }
  WideTempDir(const WideTempDir&) = delete;
  WideTempDir& operator=(const WideTempDir&) = delete;

  // The UTF-8 path of name (UTF-8, "/" between folders) inside the folder.
  std::string operator/(const std::string& name) const {
    std::string path = Utf8FromWide(path_) + "\\" + name;
    for (char& c : path)
      if (c == '/') c = '\\';
    return path;
  }
  void MakeFolder(const std::string& name) {
    folders_.push_back(WideFromUtf8(*this / name));
    ASSERT_TRUE(::CreateDirectoryW(folders_.back().c_str(), nullptr));
  }
  // Writes bytes at offset of a file of size bytes (sparse where it can be).
  void WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes, std::uint64_t size = 0,
                 std::uint64_t offset = 0) {
    files_.push_back(WideFromUtf8(*this / name));
    const HANDLE h = ::CreateFileW(files_.back().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ::DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &n, nullptr);  // may be unsupported
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(std::max<std::uint64_t>(size, offset + bytes.size()));
    ASSERT_TRUE(::SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
    ASSERT_TRUE(::SetEndOfFile(h));
    at.QuadPart = static_cast<LONGLONG>(offset);
    ASSERT_TRUE(::SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
    ASSERT_TRUE(::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr));
    ASSERT_EQ(n, bytes.size());
    ::CloseHandle(h);
  }

 private:
  std::wstring path_;
  std::vector<std::wstring> files_, folders_;
};

std::vector<std::uint8_t> Pattern(std::size_t bytes) {
  std::vector<std::uint8_t> v(bytes);
  for (std::size_t i = 0; i < bytes; ++i) v[i] = static_cast<std::uint8_t>((i / 512) * 7 + i);
  return v;
}

// A 1.44 MB floppy image: a FAT12 boot sector and nothing else.
std::vector<std::uint8_t> FloppyBootSector() {
  std::vector<std::uint8_t> s(512, 0);
  s[0] = 0xEB; s[1] = 0x3C; s[2] = 0x90;
  s[11] = 0x00; s[12] = 0x02;  // 512 bytes per sector
  s[13] = 1; s[14] = 1; s[16] = 2; s[17] = 224;
  s[19] = 0x40; s[20] = 0x0B;  // 2880 sectors
  s[21] = 0xF0; s[22] = 9; s[24] = 18; s[26] = 2;
  s[510] = 0x55; s[511] = 0xAA;
  return s;
}

class WindowsPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform.SetOnlyImages(true);
    SetDiskPlatform(&platform);
  }
  void TearDown() override { SetDiskPlatform(nullptr); }
  WindowsDiskPlatform platform;
  WideTempDir dir;
};

TEST_F(WindowsPlatformTest, ImagesAreDisksInTheirOrderWhateverCharactersTheirPathsHold) {
  const std::vector<std::uint8_t> disk = Pattern(1024 * 1024);
  dir.WriteFile("a.img", disk);
  dir.MakeFolder("数据恢复");
  dir.WriteFile("数据恢复/卡.img", FloppyBootSector(), 1440 * 1024);
  platform.AddImageFile(dir / "a.img");
  platform.AddImageFile(dir / "数据恢复/卡.img");
  EXPECT_TRUE(IsWindowsNT());

  EXPECT_EQ(platform.PhysicalDeviceName(0x80), dir / "a.img");
  EXPECT_EQ(platform.PhysicalDeviceName(0x81), dir / "数据恢复/卡.img");
  EXPECT_EQ(platform.PhysicalDeviceName(0x82), "");
  EXPECT_EQ(platform.PhysicalDeviceName(0x00), "");
  EXPECT_EQ(platform.LogicalDeviceName(3), "");
  EXPECT_EQ(platform.GetDriveType(3), dtNoRoot);

  TDiskGeometry g;
  ASSERT_TRUE(GetPhysicalGeometry(0x80, g));
  EXPECT_EQ(g.TotalSectors, 2048u);
  EXPECT_EQ(g.TotalBytes, 1024u * 1024);
  EXPECT_EQ(g.MediaKind, 3);
  EXPECT_FALSE(g.Unpartitioned);
  ASSERT_TRUE(GetPhysicalGeometry(0x81, g));
  EXPECT_EQ(g.TotalSectors, 2880u);
  EXPECT_EQ(g.MediaKind, 1);
  EXPECT_EQ(g.Removable, 1);
  EXPECT_TRUE(g.Unpartitioned);
  EXPECT_EQ(g.Heads * g.Cylinders * g.SectorsPerTrack, 2880u);

  std::vector<std::uint8_t> buffer(129 * 512);
  ASSERT_TRUE(ReadPhysicalSectors(0x81, 0, 1, false, buffer.data()));
  EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 512), FloppyBootSector());
  // 129 sectors: one chunk of 64 KiB and one of a sector, after switching drives.
  ASSERT_TRUE(ReadPhysicalSectors(0x80, 3, 129, false, buffer.data()));
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), disk.begin() + 3 * 512));
  // Past the end: a short read fails.
  EXPECT_FALSE(ReadPhysicalSectors(0x80, 2047, 2, false, buffer.data()));
  EXPECT_FALSE(ReadPhysicalSectors(0x80, 2048, 1, false, buffer.data()));
  ASSERT_TRUE(ReadPhysicalSectors(0x80, 2047, 1, false, buffer.data()));
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 512, disk.end() - 512));
  CloseSectorHandles();
}

TEST_F(WindowsPlatformTest, NamesThatCannotBeOpenedAreMissingDrives) {
  dir.MakeFolder("folder.img");
  platform.AddImageFile(dir / "missing.img");
  platform.AddImageFile("\\\\.\\PhysicalDrive97");  // a disk the machine does not have
  platform.AddImageFile(dir / "folder.img");         // a folder is no disk
  platform.AddImageFile(dir / "card\xFF.img");       // not UTF-8: no file has that name
  platform.AddImageFile("");
  std::vector<std::uint8_t> buffer(512);
  for (std::uint8_t drive = 0x80; drive < 0x85; ++drive) {
    TDiskGeometry g;
    EXPECT_FALSE(GetPhysicalGeometry(drive, g)) << int(drive);
    EXPECT_FALSE(ReadPhysicalSectors(drive, 0, 1, false, buffer.data())) << int(drive);
    EXPECT_LT(platform.Open(platform.PhysicalDeviceName(drive)), 0) << int(drive);
  }
  CloseSectorHandles();
}

TEST_F(WindowsPlatformTest, ReadsBeyondFourGiBWithSixtyFourBitOffsets) {
  const std::string text = "ABCDEF";
  dir.WriteFile("sparse.img", std::vector<std::uint8_t>(text.begin(), text.end()), 5ull << 30, (1ull << 32) - 3);
  platform.AddImageFile(dir / "sparse.img");
  std::vector<std::uint8_t> buffer(1024);
  // Sector 0x00800000 starts at byte 4 GiB.
  ASSERT_TRUE(ReadPhysicalSectors(0x80, 0x00800000 - 1, 2, false, buffer.data()));
  EXPECT_EQ(std::string(buffer.begin() + 509, buffer.begin() + 515), text);
  TDiskGeometry g;
  ASSERT_TRUE(GetPhysicalGeometry(0x80, g));
  EXPECT_EQ(g.TotalSectors, 5ull * 1024 * 1024 * 2);
  CloseSectorHandles();
}

TEST_F(WindowsPlatformTest, OpensForReadingOnlyAndLetsOthersWrite) {
  dir.WriteFile("ro.img", Pattern(64 * 1024));
  const std::wstring path = WideFromUtf8(dir / "ro.img");
  const int handle = platform.Open(dir / "ro.img");
  ASSERT_GE(handle, 0);
  // Refusing to share writing succeeds only while no handle may write.
  const HANDLE denyWriters =
      ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(denyWriters, INVALID_HANDLE_VALUE);
  if (denyWriters != INVALID_HANDLE_VALUE) ::CloseHandle(denyWriters);
  // The examined disk may be the system's own: its writers go on.
  const HANDLE writer = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(writer, INVALID_HANDLE_VALUE);
  if (writer != INVALID_HANDLE_VALUE) ::CloseHandle(writer);

  std::vector<std::uint8_t> buffer(4096);
  std::size_t got = 0;
  int error = 0;
  ASSERT_TRUE(platform.ReadAt(handle, 60 * 1024, buffer.data(), buffer.size(), got, error));
  EXPECT_EQ(got, 4096u);
  // At the end of an image a read delivers what there is.
  ASSERT_TRUE(platform.ReadAt(handle, 62 * 1024, buffer.data(), buffer.size(), got, error));
  EXPECT_EQ(got, 2048u);
  platform.Close(handle);
  EXPECT_FALSE(platform.ReadAt(handle, 0, buffer.data(), 512, got, error));
}

TEST(WindowsErrorMode, TheOptionDecidesWhetherTheSystemShowsItsBoxes) {
  const UINT before = ::GetErrorMode();
  SetCriticalErrorBoxes(false);
  EXPECT_EQ(::GetErrorMode() & SEM_FAILCRITICALERRORS, static_cast<UINT>(SEM_FAILCRITICALERRORS));
  SetCriticalErrorBoxes(true);
  EXPECT_EQ(::GetErrorMode() & SEM_FAILCRITICALERRORS, 0u);
  ::SetErrorMode(before);
}

TEST(WindowsNames, TheSystemsConversionAgreesWithTheStrictOne) {
  for (const std::string text : {"C:\\images\\card.img", "数据恢复\\卡.img", "Übersicht", "\xF0\x9F\x98\x80"}) {
    std::u16string strict;
    ASSERT_TRUE(Utf8ToUtf16(text, strict));
    EXPECT_EQ(WideFromUtf8(text), std::wstring(strict.begin(), strict.end())) << text;
    EXPECT_EQ(Utf8FromWide(WideFromUtf8(text)), text);
  }
  for (const std::string text : {"\xC0\xAF", "\xED\xA0\x80", "card\x80.img", "\xE6\x95"})
    EXPECT_TRUE(WideFromUtf8(text).empty()) << text;
}

TEST_F(WindowsPlatformTest, ATargetFolderLiesOnItsOwnDriveButNotOnAnImage) {
  dir.WriteFile("x.img", Pattern(4096));
  const std::string target = dir / "saved/not/yet/made";
  EXPECT_FALSE(platform.PathLiesOnDevice(target, dir / "x.img"));
  EXPECT_FALSE(platform.PathLiesOnDevice(target, "\\\\.\\PhysicalDrive97"));
  const std::string root = dir / "";
  const std::uint8_t drive = static_cast<std::uint8_t>((root[0] & ~0x20) - 'A' + 1);
  ASSERT_GE(drive, 1);
  ASSERT_LE(drive, 26);
  EXPECT_TRUE(platform.PathLiesOnDevice(target, NTLogicalDeviceName(drive)));
}

}  // namespace
}  // namespace vantrel

#endif  // _WIN32
