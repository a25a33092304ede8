// The real kobrel binary against a real HTTP server on 127.0.0.1, in a
// program folder of its own.

#include "TTestHttpServer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The release the server hands out: it leaves a marker naming the folder it
// was started in.
const std::string Release = "#!/bin/sh\npwd -P > started.marker\n";
const std::string ReleaseSha256 = "42E8FC031C8CC8AD9F01A55737E70294A3A580B9F8AFDCB9CE8CE7F81149BFC3";
const std::string OldRelease = "#!/bin/sh\necho old > started.marker\n";

class KobrelRun : public ::testing::Test {
protected:
  void SetUp() override {
    // A proxy from the environment would send our loopback requests elsewhere.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
      ::unsetenv(name);
    char pattern[] = "/tmp/kobrel-run-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    Root = pattern;
    AppDir = Root / "app";
    fs::create_directory(AppDir);
  }
  void TearDown() override { fs::remove_all(Root); }

  void Put(const fs::path& file, const std::string& content) { std::ofstream(file, std::ios::binary) << content; }
  std::string Get(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  // The files of the program folder but the lock file, which stays there
  // between runs.
  std::set<std::string> AppFiles() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(AppDir))
      if (entry.path().filename() != ".kobrel.lock") names.insert(entry.path().filename().string());
    return names;
  }

  // Publishes a release description; extra lines go into its [info] section.
  std::string Publish(const std::string& num, const std::string& name = "setup.sh", const std::string& extra = "") {
    const std::string text =
        "[info]\r\nnum=" + num + "\r\nurl=" + Server.BaseUrl() + "/files/setup.sh\r\nname=" + name + "\r\n" + extra;
    Server.Serve("/dova/new.htm", text);
    return text;
  }

  // Starts kobrel with args (by default the test server as update host) and
  // the program folder appDir, in the folder workDir, its standard error
  // going to errorFile.
  pid_t Spawn(std::vector<std::string> args = {}, std::string appDir = {}, const fs::path& workDir = {},
              const fs::path& errorFile = {}) {
    if (args.empty()) args = {"--base-url", Server.BaseUrl()};
    args.insert(args.begin(), KOBREL_EXE);
    args.insert(args.end(), {"--app-dir", appDir.empty() ? AppDir.string() : appDir});
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!workDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    if (!errorFile.empty())
      posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    if (posix_spawn(&pid, KOBREL_EXE, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }
  // The exit status, or minus the signal that ended the process.
  static int Wait(pid_t pid) {
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1000;
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : -1000;
  }
  int Run(std::vector<std::string> args = {}) { return Wait(Spawn(std::move(args))); }

  // The started release runs on its own; give it a bounded time to show up.
  bool StartedIn(const fs::path& folder) {
    const auto marker = AppDir / "started.marker";
    for (auto waited = 0ms; waited < 5000ms; waited += 20ms) {
      if (fs::exists(marker) && Get(marker) == fs::canonical(folder).string() + "\n") return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  // kobrel has ended, so anything it started has been running for a moment.
  bool NothingStarted() {
    std::this_thread::sleep_for(300ms);
    return !fs::exists(AppDir / "started.marker");
  }

  TTestHttpServer Server;
  fs::path Root;
  fs::path AppDir;
};

TEST_F(KobrelRun, EqualNumbersFetchOnlyTheDescription) {
  Put(AppDir / "nowver.ini", "[info]\r\nnum=12\r\n");
  const auto description = Publish("12");
  Server.Serve("/files/setup.sh", Release);

  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Server.Requests(), std::vector<std::string>{"/dova/new.htm"});
  EXPECT_EQ(Get(AppDir / "nowver.ini"), "[info]\r\nnum=12\r\n");
  EXPECT_EQ(Get(AppDir / "new.htm"), description);
  EXPECT_EQ(AppFiles(), (std::set<std::string>{"nowver.ini", "new.htm"}));
}

TEST_F(KobrelRun, HigherNumberFetchesRecordsAndStartsTheRelease) {
  Put(AppDir / "nowver.ini", "; installed\n[info]\nnum=12\nlang=en\n");
  Put(AppDir / "new.htm", "[info]\nnum=99\n");  // stale, must be replaced
  Publish("13", "setup.sh", "SHA256=" + ReleaseSha256 + "\r\n");
  Server.Serve("/files/setup.sh", Release);

  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(StartedIn(AppDir));
  EXPECT_EQ(Server.Requests(), (std::vector<std::string>{"/dova/new.htm", "/files/setup.sh"}));
  EXPECT_EQ(Get(AppDir / "nowver.ini"), "; installed\n[info]\nnum=13\nlang=en\n");
  EXPECT_EQ(Get(AppDir / "setup.sh"), Release);
  EXPECT_TRUE((fs::status(AppDir / "setup.sh").permissions() & fs::perms::owner_exec) != fs::perms::none);
}

TEST_F(KobrelRun, PublishedHalfRoundsToEven) {
  Put(AppDir / "nowver.ini", "[info]\nnum=12\n");
  Server.Serve("/files/setup.sh", Release);

  Publish("12.5");  // rounds to 12: nothing to do
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Server.Requests().size(), 1u);
  EXPECT_EQ(Get(AppDir / "nowver.ini"), "[info]\nnum=12\n");

  Publish("12.6");  // rounds to 13
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(StartedIn(AppDir));
  EXPECT_EQ(Get(AppDir / "nowver.ini"), "[info]\nnum=13\n");
}

TEST_F(KobrelRun, MissingRecordCountsAsZeroAndIsCreated) {
  Publish("3");
  Server.Serve("/files/setup.sh", Release);

  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(StartedIn(AppDir));
  EXPECT_EQ(Get(AppDir / "nowver.ini"), "[info]\nnum=3\n");
}

TEST_F(KobrelRun, ServerDownLeavesNoDescriptionAndChangesNothing) {
  Put(AppDir / "nowver.ini", "[info]\nnum=-5\n");
  Put(AppDir / "new.htm", "[info]\nnum=99\nurl=http://127.0.0.1:1/x\nname=setup.sh\n");
  Put(AppDir / "setup.sh", OldRelease);

  EXPECT_EQ(Run({"--base-url", "http://127.0.0.1:" + std::to_string(TTestHttpServer::UnusedPort())}), 1);
  EXPECT_EQ(AppFiles(), (std::set<std::string>{"nowver.ini", "setup.sh"}));
  EXPECT_EQ(Get(AppDir / "nowver.ini"), "[info]\nnum=-5\n");
  EXPECT_TRUE(NothingStarted());
}

// A server that streams without end must not fill the program's disk.
TEST_F(KobrelRun, OverlongDescriptionIsRefused) {
  Put(AppDir / "nowver.ini", "[info]\nnum=12\n");
  Server.Serve("/files/setup.sh", Release);
  Server.Serve("/dova/new.htm", "[info]\r\nnum=13\r\nurl=" + Server.BaseUrl() +
                                    "/files/setup.sh\r\nname=setup.sh\r\n" + std::string(1 << 20, ';'));

  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(AppFiles(), (std::set<std::string>{"nowver.ini"}));
  EXPECT_EQ(Get(AppDir / "nowver.ini"), "[info]\nnum=12\n");
  EXPECT_TRUE(NothingStarted());
}

TEST_F(KobrelRun, FailedReleaseIsRecordedButNeverStarted) {
  struct TCase {
    const char* What;
    int Status;
    std::string Body;
    std::string Extra;
  };
  const TCase cases[] = {
      {"not found", 404, "gone", ""},
      {"server error", 500, Release, ""},
      {"empty body", 200, "", ""},
      {"sha256 mismatch", 200, Release, "sha256=" + std::string(64, '0') + "\r\n"},
      {"sha256 malformed", 200, Release, "sha256=12ab\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    Put(AppDir / "nowver.ini", "[info]\nnum=12\n");
    Put(AppDir / "setup.sh", OldRelease);  // an older download must not be taken for the new one
    Publish("13", "setup.sh", c.Extra);
    Server.Serve("/files/setup.sh", c.Body, c.Status);

    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(Get(AppDir / "nowver.ini"), "[info]\nnum=13\n");
    EXPECT_EQ(Get(AppDir / "setup.sh"), OldRelease);
    EXPECT_EQ(AppFiles(), (std::set<std::string>{"nowver.ini", "new.htm", "setup.sh"}));  // no partial files
    EXPECT_TRUE(NothingStarted());
  }
}

TEST_F(KobrelRun, NameOutsideTheFolderIsRefused) {
  Server.Serve("/files/setup.sh", Release);
  for (const char* name : {"../setup.sh", "sub/setup.sh", "..", "", "nowver.ini", "/tmp/setup.sh"}) {
    SCOPED_TRACE(name);
    fs::create_directory(AppDir / "sub");
    Put(AppDir / "nowver.ini", "[info]\nnum=12\n");
    Publish("13", name);

    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(Server.Requests().back(), "/dova/new.htm");  // the release is not even fetched
    EXPECT_EQ(Get(AppDir / "nowver.ini"), "[info]\nnum=13\n");
    EXPECT_TRUE(fs::is_empty(AppDir / "sub"));
    EXPECT_EQ(std::distance(fs::directory_iterator(Root), {}), 1);  // nothing beside the program folder
    EXPECT_TRUE(NothingStarted());
  }
}

TEST_F(KobrelRun, OnlyHttpAddressesAreFetched) {
  Put(Root / "payload.sh", Release);
  const std::string fileUrl = "file://" + (Root / "payload.sh").string();
  Server.Redirect("/files/redirect.sh", fileUrl);
  for (const std::string& url : std::vector<std::string>{fileUrl, "ftp://127.0.0.1:1/setup.sh", Server.BaseUrl() + "/files/redirect.sh"}) {
    SCOPED_TRACE(url);
    Put(AppDir / "nowver.ini", "[info]\nnum=12\n");
    Server.Serve("/dova/new.htm", "[info]\nnum=13\nname=setup.sh\nurl=" + url + "\n");

    EXPECT_EQ(Run(), 1);
    EXPECT_FALSE(fs::exists(AppDir / "setup.sh"));
    EXPECT_TRUE(NothingStarted());
  }

  // Nor is a description anywhere but on an http host.
  const auto requests = Server.Requests().size();
  Put(AppDir / "new.htm", "[info]\nnum=99\n");
  EXPECT_EQ(Run({"--base-url", "file://" + Root.string()}), 2);
  EXPECT_EQ(Server.Requests().size(), requests);
  EXPECT_EQ(Get(AppDir / "new.htm"), "[info]\nnum=99\n");
}

}  // namespace
