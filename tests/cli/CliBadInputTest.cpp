// What vantrel-cli answers to bad input: images cut short, empty, missing or
// a folder, ranges past the end of the device, a target folder that cannot
// be written. Each ends with one line on standard error and exit status 1,
// never a crash, a flood of messages or a partly written file.

#include <gtest/gtest.h>
#ifdef _WIN32
#include "support/WaitStatus.h"
#else
#include <sys/wait.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "cli/CliRunner.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::CliResult;
using test::TempDir;

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::size_t Lines(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

std::size_t FilesIn(const fs::path& folder) {
  std::size_t n = 0;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) ++n;
  return n;
}

class CliBadInput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_ = new TempDir;
    test::SetSettingsFolder(*g_ / "config");
    // The FAT12 test volume cut after 64 KiB: its boot sector, FATs and
    // root folder are there, most of its clusters are not.
    std::ifstream in(test::Fixture("fat12.img"), std::ios::binary);
    std::string head(65536, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    test::WriteFile(*g_ / "cut.img", head);
    // Cut inside the first FAT: the boot sector and nothing of the folders.
    test::WriteFile(*g_ / "boot-only.img", head.substr(0, 2048));
    test::WriteFile(*g_ / "empty.img", "");
    test::WriteFile(*g_ / "half-sector.img", std::string(300, 'x'));
    fs::create_directory(*g_ / "folder.img");
  }
  static void TearDownTestSuite() {
    delete g_;
    g_ = nullptr;
  }

  static CliResult Cli(const std::string& image, std::vector<std::string> args) {
    args.insert(args.begin(), {"--only-images", "--image", *g_ / image});
    return test::RunCli(args);
  }

  // One line on standard error that holds the text, exit status 1.
  static void ExpectOneLine(const CliResult& r, const std::string& text) {
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(Lines(r.err), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("vantrel-cli: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
  }

  static TempDir* g_;
};

TempDir* CliBadInput::g_ = nullptr;

TEST_F(CliBadInput, ACutImageGivesOneLineForThousandsOfFailedReads) {
  const CliResult cat = Cli("cut.img", {"cat", "1", "big.bin"});
  ExpectOneLine(cat, "could not be read (zeros given); ");
  EXPECT_NE(cat.err.find("LBA:128 blocks:1 (aborted)"), std::string::npos) << cat.err;
  EXPECT_EQ(cat.out.size(), 200000u);  // the file's size, zeros where the image ends

  ExpectOneLine(Cli("cut.img", {"ls", "1", "/", "--recursive"}), "read(s) failed, the first: NT_read error");
  // However the search treats clusters it cannot read, it says so at most once.
  const CliResult lost = Cli("cut.img", {"find-lost", "1"});
  EXPECT_LT(lost.exitCode, 128);
  EXPECT_LE(Lines(lost.err), 1u) << lost.err;
  ExpectOneLine(Cli("boot-only.img", {"ls", "1", "/"}), "read(s) failed");
  ExpectOneLine(Cli("cut.img", {"drives", "then", "hex", "1", "big.bin"}), "could not be read");

  // Ignored sectors are zeros, which the file did not hold: still a failure, told in one line.
  const CliResult ignored = Cli("cut.img", {"--on-error", "ignore", "cat", "1", "big.bin"});
  EXPECT_EQ(ignored.exitCode, 1);
  EXPECT_EQ(Lines(ignored.err), 1u) << ignored.err;
  EXPECT_NE(ignored.err.find("(ignored)"), std::string::npos) << ignored.err;
  ExpectOneLine(Cli("cut.img", {"--on-error", "retry", "cat", "1", "big.bin"}), "(aborted)");
}

TEST_F(CliBadInput, AListingCutShortByAnUnreadableSectorSaysSo) {
  // The root folder of boot-only.img lies past its end; that of cut.img is there.
  for (const char* command : {"ls", "find"}) {
    const CliResult cut = Cli("boot-only.img", {command, "1", command == std::string("ls") ? "/" : "*"});
    ExpectOneLine(cut, " folder read(s) cut short by an unreadable sector, the listing is incomplete; ");
  }
  const CliResult whole = Cli("cut.img", {"ls", "1", "/"});
  EXPECT_EQ(whole.exitCode, 0) << whole.err;
  EXPECT_EQ(whole.err, "");
}

TEST_F(CliBadInput, SavingFromACutImageLeavesOnlyWholeFiles) {
  TempDir target;
  const CliResult r = Cli("cut.img", {"save", "1", "/", "--to", target.Path().string()});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  // The report, a line for each file with zeros, the error; no line per sector.
  EXPECT_EQ(Lines(r.err), 4u) << r.err;
  EXPECT_NE(r.err.find("\nvantrel-cli: the save was not complete; "), std::string::npos) << r.err;
  // Every file has its full size: none was left half-written.
  EXPECT_EQ(fs::file_size(target / "big.bin"), 200000u);
  EXPECT_EQ(fs::file_size(target / "README.TXT"), 100u);
  EXPECT_EQ(fs::file_size(target / "Long file name with spaces.txt"), 1000u);
}

TEST_F(CliBadInput, AnImageThatIsNoImageIsNamedWithTheReason) {
  for (const char* command : {"devices", "drives"}) {
    ExpectOneLine(Cli("empty.img", {command}), "empty.img is empty: it holds no whole sector");
    ExpectOneLine(Cli("half-sector.img", {command}), "half-sector.img is empty");
    ExpectOneLine(Cli("folder.img", {command}), "folder.img: it is a folder");
#ifdef _WIN32
    ExpectOneLine(Cli("missing.img", {command}), "missing.img: ");  // the system's text, in its language
#else
    ExpectOneLine(Cli("missing.img", {command}), "missing.img: No such file or directory");
#endif
  }
  ExpectOneLine(Cli("empty.img", {"ls", "1"}), "is empty");
  ExpectOneLine(Cli("empty.img", {"find-drives", "1", "--range", "all"}), "is empty");
}

TEST_F(CliBadInput, ARangePastTheEndIsRefusedBeforeAnythingIsRead) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"read", "1", "100", "100"}, "lie beyond the end of the device (128 sectors)"},
      {{"read", "1", "128", "1"}, "lie beyond the end"},
      // COUNT so large that FIRST + COUNT wraps around to a small number.
      {{"read", "1", "1", "18446744073709551615"}, "lie beyond the end"},
      {{"read", "1", "4294967295", "2"}, "lie beyond the end"},
      {{"find-drives", "1", "--range", "0-128"}, "the device has sectors 0-127"},
      {{"find-drives", "1", "--range", "100-18446744073709551615"}, "the device has sectors 0-127"},
      {{"find-lost", "1", "--range", "2-4086"}, "clusters of this drive are 2-4085"},
      {{"find-lost", "1", "--range", "0-10"}, "clusters of this drive are 2-4085"},
      {{"drives", "then", "read", "1", "127", "2"}, "lie beyond the end"},
  };
  for (const auto& [args, text] : cases) {
    SCOPED_TRACE(args[0] + " " + args.back());
    const CliResult r = Cli("cut.img", args);
    ExpectOneLine(r, text);
    if (args[0] != "drives") {
      EXPECT_EQ(r.out, "");
    }
  }
}

TEST_F(CliBadInput, ControlCharactersInNamesNeverReachTheTerminal) {
  // README.TXT renamed on the disk to ESC, BEL, "ADME.TXT".
  std::string bytes = test::ReadFile(test::Fixture("fat12.img"));
  const std::size_t at = bytes.find("README  TXT");
  ASSERT_NE(at, std::string::npos);
  bytes[at] = '\x1b';
  bytes[at + 1] = '\x07';
  test::WriteFile(*g_ / "control.img", bytes);

  const CliResult ls = Cli("control.img", {"ls", "1", "--recursive"});
  ASSERT_EQ(ls.exitCode, 0) << ls.err;
  EXPECT_NE(ls.out.find("??ADME.TXT "), std::string::npos) << ls.out;
  const CliResult find = Cli("control.img", {"find", "1", "*ADME*"});
  ASSERT_EQ(find.exitCode, 0) << find.err;
  EXPECT_EQ(find.out, "live:/??ADME.TXT\n");
  for (const CliResult& r : {ls, find})
    for (char c : r.out + r.err) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 && c != '\n') << int(c);
  // JSON carries the name as it is, escaped.
  EXPECT_NE(Cli("control.img", {"--json", "ls", "1"}).out.find("\"\\u001b\\u0007ADME.TXT\""), std::string::npos);
}

TEST_F(CliBadInput, ATargetThatCannotBeWrittenGetsNothing) {
#ifdef _WIN32
  GTEST_SKIP() << "fills the target with a tmpfs mounted through unshare, which Windows has not";
#endif
  TempDir target;
  test::WriteFile(target / "a-file", "x");
  ExpectOneLine(Cli("cut.img", {"save", "1", "/", "--to", target / "a-file"}), "target is not a folder");
  // A missing folder is made, but not below a file.
  ExpectOneLine(Cli("cut.img", {"save", "1", "/", "--to", target / "a-file/none"}), "target is not a folder");

  // Root writes through any permission; a read-only mount stops it. The
  // mount lives in a namespace of this run alone.
  const std::string ro = target / "ro";
  fs::create_directory(ro);
  TempDir io;
  const std::string command = "unshare -rm sh -c " +
                              Quote("mount --bind " + Quote(ro) + " " + Quote(ro) + " && mount -o remount,bind,ro " +
                                    Quote(ro) + " " + Quote(ro) + " || exit 99; exec " + Quote(VANTREL_CLI) +
                                    " --only-images --image " + Quote(*g_ / "fat12-full.img") + " save 1 / --to " +
                                    Quote(ro)) +
                              " </dev/null >" + Quote(io / "out") + " 2>" + Quote(io / "err");
  fs::copy_file(test::Fixture("fat12.img"), *g_ / "fat12-full.img", fs::copy_options::overwrite_existing);
  const int status = std::system(command.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 99) GTEST_SKIP() << "no mount namespace here";
  CliResult r;
  r.exitCode = WEXITSTATUS(status);
  r.err = test::ReadFile(io / "err");
  ExpectOneLine(r, "cannot write into the target folder: " + ro);
  EXPECT_EQ(FilesIn(ro), 0u);
}

}  // namespace
}  // namespace vantrel
