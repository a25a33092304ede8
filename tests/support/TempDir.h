#pragma once
// A fresh folder under the system's temp folder, removed with its content.

#include <cstdint>
#include <filesystem>
#include <string>

namespace vantrel::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Tests that make their images with the host's tools at run time (mkfs.fat,
// mtools, sfdisk, truncate through a shell) or read /proc cannot do so as a
// Windows program under Wine: there they are skipped, with the reason. The
// images of the fixture script, made before the tests, are read everywhere.
#ifdef _WIN32
#define VANTREL_SKIP_WITHOUT_HOST_TOOLS() \
  GTEST_SKIP() << "makes its images with mkfs.fat/mtools at run time, which a Windows program cannot start"
#else
#define VANTREL_SKIP_WITHOUT_HOST_TOOLS() static_cast<void>(0)
#endif

// Points the settings file of the programs the test starts (and of the
// code under test) into folder: XDG_CONFIG_HOME on Linux, APPDATA on Windows.
void SetSettingsFolder(const std::string& folder);

// Runs a shell command; true when it exited with status 0.
bool Run(const std::string& command);
// Reads a whole file.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// Reproducible bytes for file contents, different for each seed, which no
// file-type test recognises at any cluster start.
inline std::string Pattern(std::uint32_t seed, std::size_t size) {
  std::string data(size, '\0');
  std::uint32_t x = seed * 2654435761u + 11;
  for (auto& c : data) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return data;
}

}  // namespace vantrel::test
