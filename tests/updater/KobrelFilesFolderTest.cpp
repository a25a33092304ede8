// Where kobrel keeps its files: beside the program where the user may write,
// else in the user's data folder; an installed program's folder is never
// written to.

#include "FilesFolder.h"
#include "TTestHttpServer.h"

#include <gtest/gtest.h>

#ifndef _WIN32

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) names.insert(entry.path().filename().string());
  return names;
}

// Sets an environment variable for one scope (unset with nullopt).
class TEnvironment {
public:
  TEnvironment(const char* name, std::optional<std::string> value) : FName(name) {
    if (const char* old = std::getenv(name)) FOld = old;
    if (value) ::setenv(name, value->c_str(), 1);
    else ::unsetenv(name);
  }
  ~TEnvironment() {
    if (FOld) ::setenv(FName, FOld->c_str(), 1);
    else ::unsetenv(FName);
  }

private:
  const char* FName;
  std::optional<std::string> FOld;
};

TEST(KobrelFilesFolder, UserDataFolderFollowsTheXdgRules) {
  TEnvironment home("HOME", "/home/ann");
  {
    TEnvironment xdg("XDG_DATA_HOME", "/data/ann");
    EXPECT_EQ(UserDataFolder(), fs::path("/data/ann/vantrel"));
  }
  for (const auto& unusable : {std::optional<std::string>(), std::optional<std::string>(""),
                                                    std::optional<std::string>("relative/data")}) {
    TEnvironment xdg("XDG_DATA_HOME", unusable);
    EXPECT_EQ(UserDataFolder(), fs::path("/home/ann/.local/share/vantrel"));
  }
  TEnvironment xdg("XDG_DATA_HOME", std::nullopt);
  TEnvironment noHome("HOME", std::nullopt);
  EXPECT_TRUE(UserDataFolder().empty());
}

TEST(KobrelFilesFolder, InstalledProgramFoldersAreNeverUsed) {
  // Not even for root, who may write there: /usr is the package manager's.
  EXPECT_FALSE(ProgramFolderTakesFiles("/usr/bin"));
  EXPECT_FALSE(ProgramFolderTakesFiles("/usr/local/bin"));
  EXPECT_FALSE(ProgramFolderTakesFiles("/no/such/folder"));
  char pattern[] = "/tmp/kobrel-folder-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  EXPECT_TRUE(ProgramFolderTakesFiles(pattern));
  TEnvironment xdg("XDG_DATA_HOME", std::string(pattern) + "/data");
  EXPECT_EQ(FilesFolder("/usr/bin"), fs::path(pattern) / "data" / "vantrel");
  EXPECT_TRUE(fs::is_directory(fs::path(pattern) / "data" / "vantrel"));
  EXPECT_EQ(FilesFolder(pattern), fs::path(pattern));
  fs::remove_all(pattern);
}

// The real program, copied into a folder its user may not write to, run
// without --app-dir: everything it reads, writes, fetches and starts is in
// the user's data folder. Root may write anywhere, so root runs it as nobody.
TEST(KobrelFilesFolder, ReadOnlyProgramFolderKeepsEverythingInTheDataFolder) {
  char pattern[] = "/tmp/kobrel-readonly-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path root = pattern;
  const fs::path program = root / "bin";
  const fs::path data = root / "data";
  fs::create_directories(program);
  fs::create_directories(data);
  fs::copy_file(KOBREL_EXE, program / "kobrel");
  const bool asRoot = ::geteuid() == 0;
  if (asRoot && ::access("/usr/bin/setpriv", X_OK) != 0) {
    fs::remove_all(root);
    GTEST_SKIP() << "running as root without setpriv to become another user";
  }
  ::chmod(root.c_str(), 0755);
  ::chmod(program.c_str(), 0555);
  if (asRoot) {
    ASSERT_EQ(::chown(data.c_str(), 65534, 65534), 0);
  }

  TTestHttpServer server;
  server.Serve("/dova/new.htm", "[info]\r\nnum=13\r\nurl=" + server.BaseUrl() + "/files/setup.sh\r\nname=setup.sh\r\n");
  server.Serve("/files/setup.sh", "#!/bin/sh\npwd -P > started.marker\n");

  std::vector<std::string> args;
  if (asRoot) args = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  args.insert(args.end(), {(program / "kobrel").string(), "--base-url", server.BaseUrl()});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env{"XDG_DATA_HOME=" + data.string(), "HOME=/nonexistent", "PATH=/usr/bin:/bin"};
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  const fs::path files = data / "vantrel";
  for (auto waited = 0ms; waited < 5000ms && !fs::exists(files / "started.marker"); waited += 20ms)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(ReadAll(files / "started.marker"), files.string() + "\n");
  EXPECT_EQ(ReadAll(files / "nowver.ini"), "[info]\nnum=13\n");
  EXPECT_TRUE(fs::exists(files / "new.htm"));
  EXPECT_TRUE(fs::exists(files / "setup.sh"));
  EXPECT_EQ(Names(program), std::set<std::string>{"kobrel"});

  ::chmod(program.c_str(), 0755);
  fs::remove_all(root);
}

}  // namespace

#endif
