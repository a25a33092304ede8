#pragma once
// A fresh folder under the system's temp folder, removed with its content.

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

// Runs a shell command; true when it exited with status 0.
bool Run(const std::string& command);
// Reads a whole file.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

}  // namespace vantrel::test
