// Nothing writes to the examined disk: every command of vantrel-cli runs over
// copies of images made by the real tools, under strace, with the images
// immutable where the file system allows it (root ignores file permissions,
// not the immutable flag). Afterwards each image must have the same bytes and
// modification time, and no open of any file in the images' folder may have
// asked for writing, creating or truncating.

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifdef _WIN32
#include "support/WaitStatus.h"
#else
#include <sys/wait.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "cli/CliRunner.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct Stamp {
  std::uint64_t hash = 0;
  std::uint64_t size = 0;
  std::int64_t mtimeSec = 0;
  long mtimeNsec = 0;
  bool operator==(const Stamp&) const = default;
};

Stamp StampOf(const std::string& path) {
  Stamp stamp;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return stamp;
  stamp.size = static_cast<std::uint64_t>(st.st_size);
#ifdef _WIN32
  stamp.mtimeSec = st.st_mtime;
#else
  stamp.mtimeSec = st.st_mtim.tv_sec;
  stamp.mtimeNsec = st.st_mtim.tv_nsec;
#endif
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buffer(1 << 20);
  std::uint64_t h = 1469598103934665603ull;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    for (std::streamsize i = 0; i < in.gcount(); ++i) h = (h ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ull;
  }
  stamp.hash = h;
  return stamp;
}

std::ostream& operator<<(std::ostream& os, const Stamp& s) {
  return os << s.size << " bytes #" << std::hex << s.hash << std::dec << " mtime " << s.mtimeSec << "." << s.mtimeNsec;
}

bool HaveStrace() { return std::system("strace -V >/dev/null 2>&1") == 0; }

// The images, copied from the fixtures into a folder of their own.
class CliReadOnly : public ::testing::Test {
 protected:
#ifdef _WIN32
  void SetUp() override { GTEST_SKIP() << "watches the program with strace and sets times and flags with touch and chattr"; }
#endif
  static void SetUpTestSuite() {
#ifdef _WIN32
    return;
#endif
    g_ = new Shared;
    test::SetSettingsFolder(g_->config.Path().string());
    for (const char* name : {"fat12.img", "fat16-2k.img", "fat12-64k.img", "disk.img"}) {
      const std::string copy = g_->images / name;
      fs::copy_file(test::Fixture(name), copy);
      // An old time, so that any touch of the image would show.
      test::Run("touch -d '2020-01-02 03:04:05.123456789' " + Quote(copy));
      g_->images_[name] = copy;
    }
    for (const auto& [name, path] : g_->images_) g_->before[name] = StampOf(path);
    g_->strace = HaveStrace();
    // Immutable images refuse every write, even root's; tmpfs and some
    // containers do not have the flag, and then strace alone must tell.
    g_->immutable = test::Run("chattr +i " + Quote(g_->images_.begin()->second) + " 2>/dev/null");
    if (g_->immutable)
      for (const auto& [name, path] : g_->images_) test::Run("chattr +i " + Quote(path) + " 2>/dev/null");
  }
  static void TearDownTestSuite() {
    if (!g_) return;
    for (const auto& [name, path] : g_->images_) test::Run("chattr -i " + Quote(path) + " 2>/dev/null");
    delete g_;
    g_ = nullptr;
  }

  struct Run {
    int exitCode = -1;
    std::string out, err, trace;
  };

  // Runs vantrel-cli with the image as its only device, under strace where
  // it is installed.
  static Run Cli(const std::string& image, const std::vector<std::string>& args) {
    TempDir io;
    std::string command;
    // The leak checker of a sanitizer build cannot work under ptrace; the
    // other tests of vantrel-cli look for leaks.
    if (g_->strace)
      command = "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" "
                "strace -f -qq -e trace=open,openat,openat2,creat,truncate,ftruncate -o " +
                Quote(io / "trace") + " ";
    command += Quote(VANTREL_CLI) + " --only-images --image " + Quote(g_->images_.at(image));
    for (const auto& a : args) command += " " + Quote(a);
    command += " </dev/null >" + Quote(io / "out") + " 2>" + Quote(io / "err");
    const int status = std::system(command.c_str());
    Run run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = test::ReadFile(io / "out");
    run.err = test::ReadFile(io / "err");
    run.trace = test::ReadFile(io / "trace");
    return run;
  }

  // Every traced call that touches the images' folder and could change a
  // file there; and whether the image was opened at all (the trace is real).
  static void CheckTrace(const Run& run, const std::string& image) {
    if (!g_->strace) return;
    const std::string folder = g_->images.Path().string() + "/";
    const std::string path = g_->images_.at(image);
    bool openedImage = false;
    std::istringstream lines(run.trace);
    for (std::string line; std::getline(lines, line);) {
      if (line.find("ftruncate(") != std::string::npos) ADD_FAILURE() << "truncates a file: " << line;
      if (line.find("\"" + folder) == std::string::npos) continue;
      if (line.find("truncate(") != std::string::npos || line.find("creat(") != std::string::npos)
        ADD_FAILURE() << "changes a file beside the images: " << line;
      for (const char* flag : {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND"})
        if (line.find(flag) != std::string::npos) ADD_FAILURE() << "opens for writing (" << flag << "): " << line;
      if (line.find("\"" + path + "\"") != std::string::npos && line.find("O_RDONLY") != std::string::npos)
        openedImage = true;
    }
    EXPECT_TRUE(openedImage) << "the trace shows no read of " << path << ":\n" << run.trace;
  }

  static void Expect(const std::string& image, const std::vector<std::string>& args, int exitCode = 0) {
    std::string text;
    for (const auto& a : args) text += a + " ";
    SCOPED_TRACE(image + ": " + text);
    const Run run = Cli(image, args);
    EXPECT_EQ(run.exitCode, exitCode) << run.err;
    CheckTrace(run, image);
    for (const auto& [name, path] : g_->images_) EXPECT_EQ(StampOf(path), g_->before.at(name)) << name;
  }

  struct Shared {
    TempDir config, images, targets;
    std::map<std::string, std::string> images_;
    std::map<std::string, Stamp> before;
    bool strace = false, immutable = false;
  };
  static Shared* g_;
};

CliReadOnly::Shared* CliReadOnly::g_ = nullptr;

TEST_F(CliReadOnly, ListingAndReadingCommandsLeaveTheImagesAlone) {
  if (!g_->strace) std::cerr << "strace is not installed: only the bytes and times are checked\n";
  for (const char* image : {"fat12.img", "fat16-2k.img", "fat12-64k.img", "disk.img"}) {
    Expect(image, {"devices"});
    Expect(image, {"--json", "devices"});
    Expect(image, {"read", "1", "0", "3"});
    Expect(image, {"drives"});
    Expect(image, {"ls", "1", "/"});
    Expect(image, {"ls", "1", "/", "--view", "deleted", "--recursive", "--sort", "size", "--desc"});
    Expect(image, {"--json", "ls", "1", "/", "--view", "lost"});
    Expect(image, {"find", "1", "*"});
  }
  Expect("fat12.img", {"ls", "1", "docs", "--recursive", "--sort", "cluster"});
  Expect("fat12.img", {"cat", "1", "big.bin"});
  Expect("fat12.img", {"hex", "1", "docs/sub/deep/nested.txt", "--fat", "2"});
  Expect("fat12.img", {"cat", "1", "README.TXT", "--no-fat"});
  Expect("fat16-2k.img", {"cat", "1", "dir/inside.txt"});
  Expect("disk.img", {"hex", "3", "dir/inside.txt"});
}

TEST_F(CliReadOnly, SavingWritesOnlyIntoTheTarget) {
  int n = 0;
  auto target = [&] {
    const std::string dir = g_->targets / ("t" + std::to_string(++n));
    fs::create_directory(dir);
    return dir;
  };
  for (const char* image : {"fat12.img", "fat16-2k.img", "fat12-64k.img"}) {
    Expect(image, {"save", "1", "/", "--to", target()});
    Expect(image, {"save", "1", "/", "--view", "deleted", "--to", target()});
    Expect(image, {"save", "1", "/", "--fat", "2", "--to", target(), "--overwrite", "all"});
  }
  Expect("disk.img", {"save", "1", "/", "--to", target(), "then", "save", "3", "/", "--view", "deleted", "--to", target()});
}

TEST_F(CliReadOnly, SearchesAndChainedCommandsLeaveTheImagesAlone) {
  const std::string t1 = g_->targets / "lost12", t2 = g_->targets / "found";
  fs::create_directory(t1);
  fs::create_directory(t2);
  Expect("fat12.img", {"find-lost", "1", "then", "ls", "1", "/", "--view", "lost", "--recursive", "then", "save", "1",
                       "/", "--view", "lost", "--to", t1, "then", "find", "1", "txt"});
  Expect("fat16-2k.img", {"find-lost", "1", "--range", "all", "--no-files", "then", "ls", "1", "/", "--view", "lost"});
  Expect("disk.img", {"find-drives", "1", "then", "drives", "then", "ls", "3", "/", "--recursive"});
  Expect("disk.img", {"find-drives", "1", "--range", "0-5000", "then", "find-lost", "1", "then", "save", "1", "/",
                      "--view", "lost", "--to", t2, "then", "devices", "then", "read", "1", "2048", "1"});
}

// The check itself must see a write: a program that opens an image for
// writing is caught, and the immutable flag stops even root.
TEST_F(CliReadOnly, TheTraceCatchesAWriteOpen) {
  if (!g_->strace) GTEST_SKIP() << "strace is not installed";
  TempDir io;
  const std::string image = g_->images_.at("fat12.img");
  const std::string command = "strace -f -qq -e trace=openat -o " + Quote(io / "trace") + " python3 -c " +
                              Quote("import os\nos.open('" + image + "', os.O_RDONLY)\ntry: os.open('" + image +
                                    "', os.O_RDWR)\nexcept OSError: pass") +
                              " 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  static Run writer;
  writer.trace = test::ReadFile(io / "trace");
  EXPECT_NONFATAL_FAILURE(CheckTrace(writer, "fat12.img"), "opens for writing (O_RDWR)");
  if (g_->immutable) {
    EXPECT_NE(writer.trace.find("EPERM"), std::string::npos) << writer.trace;
  }
  EXPECT_EQ(StampOf(image), g_->before.at("fat12.img"));
}

}  // namespace
}  // namespace vantrel
