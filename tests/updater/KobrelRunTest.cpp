// The real kobrel binary against a real HTTP server on 127.0.0.1, in a
// program folder of its own.

#include "PathText.h"
#include "Sha256.h"
#include "TTestHttpServer.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#endif

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

#ifdef _WIN32

using TChild = HANDLE;

// The build's paths are Unix paths when the tests run under Wine, which
// shows the Unix root as drive Z:.
fs::path HostPath(std::string path) {
  if (path.starts_with('/')) {
    std::replace(path.begin(), path.end(), '/', '\\');
    path = "Z:" + path;
  }
  return *PathFromUtf8(path);
}

fs::path NewTempFolder(const std::string& prefix) {
  for (int n = 0;; ++n) {
    const auto folder = fs::temp_directory_path() / (prefix + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(n));
    if (fs::create_directory(folder)) return folder;
  }
}

void UnsetEnvironment(const char* name) { ::SetEnvironmentVariableA(name, nullptr); }

// One argument for CommandLineToArgvW: quoted, backslashes before a quote
// doubled.
std::wstring Quoted(const std::string& arg) {
  const auto wide = WideFromUtf8(arg).value_or(L"");
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : wide) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, L'\\');
  return quoted + L"\"";
}

TChild StartChild(const std::vector<std::string>& args, const fs::path& workDir, const fs::path& errorFile) {
  std::wstring commandLine;
  for (const auto& arg : args) commandLine += (commandLine.empty() ? L"" : L" ") + Quoted(arg);
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  HANDLE errors = INVALID_HANDLE_VALUE;
  if (!errorFile.empty())
    errors = ::CreateFileW(errorFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (errors != INVALID_HANDLE_VALUE) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = errors;
  }
  PROCESS_INFORMATION process{};
  const auto program = HostPath(KOBREL_EXE);
  const bool started = ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr,
                                        errors != INVALID_HANDLE_VALUE, 0, nullptr,
                                        workDir.empty() ? nullptr : workDir.c_str(), &startup, &process);
  if (errors != INVALID_HANDLE_VALUE) ::CloseHandle(errors);
  if (!started) return nullptr;
  ::CloseHandle(process.hThread);
  return process.hProcess;
}

// The exit status.
int WaitChild(TChild child) {
  DWORD status = 0;
  if (child == nullptr || ::WaitForSingleObject(child, INFINITE) != WAIT_OBJECT_0 ||
      !::GetExitCodeProcess(child, &status))
    status = static_cast<DWORD>(-1000);
  if (child != nullptr) ::CloseHandle(child);
  return static_cast<int>(status);
}

// The release the server hands out: it leaves a marker naming the folder it
// was started in, and counts its starts.
const std::string& Release() {
  static const std::string body = ReadAll(HostPath(KOBREL_TEST_RELEASE));
  return body;
}
const std::string& CountingRelease() { return Release(); }
std::string ReleaseSha256() {
  TSha256 hash;
  hash.Update(Release());
  return hash.HexDigest();
}

#else

using TChild = pid_t;

fs::path HostPath(const std::string& path) { return path; }

fs::path NewTempFolder(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

void UnsetEnvironment(const char* name) { ::unsetenv(name); }

TChild StartChild(std::vector<std::string> args, const fs::path& workDir, const fs::path& errorFile) {
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
int WaitChild(TChild pid) {
  int status = 0;
  if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1000;
  return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : -1000;
}

// The release the server hands out: it leaves a marker naming the folder it
// was started in.
const std::string& Release() {
  static const std::string body = "#!/bin/sh\npwd -P > started.marker\n";
  return body;
}
const std::string& CountingRelease() {
  static const std::string body = "#!/bin/sh\necho started >> starts.log\n";
  return body;
}
std::string ReleaseSha256() { return "42E8FC031C8CC8AD9F01A55737E70294A3A580B9F8AFDCB9CE8CE7F81149BFC3"; }

#endif

const std::string OldRelease = "#!/bin/sh\necho old > started.marker\n";

class KobrelRun : public ::testing::Test {
protected:
  void SetUp() override {
    // A proxy from the environment would send our loopback requests elsewhere.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
      UnsetEnvironment(name);
    Root = NewTempFolder("kobrel-run-");
    ASSERT_FALSE(Root.empty());
    AppDir = Root / "app";
    fs::create_directory(AppDir);
  }
  void TearDown() override {
    // A release that was just started may still be running in the folder,
    // which Windows does not let go of until it ends.
    std::error_code ec;
    for (int attempt = 0; attempt < 50 && (fs::remove_all(Root, ec), ec); ++attempt) std::this_thread::sleep_for(100ms);
  }

  void Put(const fs::path& file, const std::string& content) { std::ofstream(file, std::ios::binary) << content; }
  std::string Get(const fs::path& file) { return ReadAll(file); }
  // The files of the program folder but the lock file, which stays there
  // between runs.
  std::set<std::string> AppFiles() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(AppDir))
      if (entry.path().filename() != ".kobrel.lock") names.insert(PathText(entry.path().filename()));
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
  TChild Spawn(std::vector<std::string> args = {}, std::string appDir = {}, const fs::path& workDir = {},
               const fs::path& errorFile = {}) {
    if (args.empty()) args = {"--base-url", Server.BaseUrl()};
    args.insert(args.begin(), PathText(HostPath(KOBREL_EXE)));
    args.insert(args.end(), {"--app-dir", appDir.empty() ? PathText(AppDir) : appDir});
    return StartChild(std::move(args), workDir, errorFile);
  }
  static int Wait(TChild child) { return WaitChild(child); }
  int Run(std::vector<std::string> args = {}) { return Wait(Spawn(std::move(args))); }

  // The started release runs on its own; give it a bounded time to show up.
  bool StartedIn(const fs::path& folder) {
    const auto marker = AppDir / "started.marker";
    for (auto waited = 0ms; waited < 5000ms; waited += 20ms) {
      if (fs::exists(marker) && Get(marker) == PathText(fs::canonical(folder)) + "\n") return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  std::string IniNum() {
    const auto text = Get(AppDir / "nowver.ini");
    const auto at = text.find("num=");
    return at == std::string::npos ? "" : text.substr(at + 4, text.find('\n', at) - at - 4);
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
  Server.Serve("/files/setup.sh", Release());

  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Server.Requests(), std::vector<std::string>{"/dova/new.htm"});
  EXPECT_EQ(Get(AppDir / "nowver.ini"), "[info]\r\nnum=12\r\n");
  EXPECT_EQ(Get(AppDir / "new.htm"), description);
  EXPECT_EQ(AppFiles(), (std::set<std::string>{"nowver.ini", "new.htm"}));
}

TEST_F(KobrelRun, HigherNumberFetchesRecordsAndStartsTheRelease) {
  Put(AppDir / "nowver.ini", "; installed\n[info]\nnum=12\nlang=en\n");
  Put(AppDir / "new.htm", "[info]\nnum=99\n");  // stale, must be replaced
  Publish("13", "setup.sh", "SHA256=" + ReleaseSha256() + "\r\nsize=" + std::to_string(Release().size()) + "\r\n");
  Server.Serve("/files/setup.sh", Release());

  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(StartedIn(AppDir));
  EXPECT_EQ(Server.Requests(), (std::vector<std::string>{"/dova/new.htm", "/files/setup.sh"}));
  EXPECT_EQ(Get(AppDir / "nowver.ini"), "; installed\n[info]\nnum=13\nlang=en\n");
  EXPECT_EQ(Get(AppDir / "setup.sh"), Release());
#ifndef _WIN32
  EXPECT_TRUE((fs::status(AppDir / "setup.sh").permissions() & fs::perms::owner_exec) != fs::perms::none);
#endif
}

TEST_F(KobrelRun, PublishedHalfRoundsToEven) {
  Put(AppDir / "nowver.ini", "[info]\nnum=12\n");
  Server.Serve("/files/setup.sh", Release());

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
  Server.Serve("/files/setup.sh", Release());

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
  Server.Serve("/files/setup.sh", Release());
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
      {"server error", 500, Release(), ""},
      {"empty body", 200, "", ""},
      {"sha256 mismatch", 200, Release(), "sha256=" + std::string(64, '0') + "\r\n"},
      {"sha256 malformed", 200, Release(), "sha256=12ab\r\n"},
      {"longer than its size", 200, Release(), "size=10\r\n"},
      {"shorter than its size", 200, Release(), "size=" + std::to_string(Release().size() + 1000) + "\r\n"},
      {"size malformed", 200, Release(), "size=35 bytes\r\n"},
      {"size above the cap", 200, Release(), "size=999999999999\r\n"},
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
  Server.Serve("/files/setup.sh", Release());
  std::vector<std::string> names{"../setup.sh", "sub/setup.sh",  "..", "", "nowver.ini", "/tmp/setup.sh",
                                 ".kobrel.lock", ".setup.sh.7-0.tmp"};
#ifdef _WIN32
  // Names that Windows reads as another folder, another file or a device.
  names.insert(names.end(), {"..\\setup.sh", "c:setup.sh", "C:\\setup.sh", "setup.sh:evil", "NOWVER.INI", "nowver.ini.",
                             "new.htm ", "nul", "con.txt", "com1", "set?p.sh"});
#endif
  for (const auto& name : names) {
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
  Put(Root / "payload.sh", Release());
  const std::string fileUrl = "file://" + PathText(Root / "payload.sh");
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
  EXPECT_EQ(Run({"--base-url", "file://" + PathText(Root)}), 2);
  EXPECT_EQ(Server.Requests().size(), requests);
  EXPECT_EQ(Get(AppDir / "new.htm"), "[info]\nnum=99\n");
}

// A release that never ends is cut at the size cap, one that trickles at the
// deadline, and so is a trickling description; the limits come from the
// command line or from nowver.ini.
TEST_F(KobrelRun, EndlessOrTricklingDownloadsEndByCapOrDeadline) {
  struct TCase {
    const char* What;
    bool Endless;
    std::vector<std::string> Options;
    std::string Settings;  // extra lines in [info] of nowver.ini
  };
  const TCase cases[] = {
      {"endless, cap on the command line", true, {"--max-size", "4096"}, ""},
      {"endless, cap in nowver.ini", true, {}, "maxsize=4096\n"},
      {"trickling, deadline in nowver.ini", false, {}, "deadline=2\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    Put(AppDir / "nowver.ini", "[info]\nnum=12\n" + c.Settings);
    Publish("13");
    if (c.Endless)
      Server.ServeEndless("/files/setup.sh");
    else
      Server.Trickle("/files/setup.sh", std::string(4096, '#'), 2, 100ms);
    std::vector<std::string> args{"--base-url", Server.BaseUrl()};
    args.insert(args.end(), c.Options.begin(), c.Options.end());

    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(args), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 3500ms);
    EXPECT_EQ(AppFiles(), (std::set<std::string>{"nowver.ini", "new.htm"}));
    EXPECT_EQ(IniNum(), "13");
    EXPECT_TRUE(NothingStarted());
  }

  // The deadline covers the description too.
  Put(AppDir / "nowver.ini", "[info]\nnum=12\n");
  Server.Trickle("/dova/new.htm", "[info]\nnum=13\n" + std::string(4096, ';'), 2, 100ms);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(Run({"--base-url", Server.BaseUrl(), "--deadline", "1"}), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2500ms);
  EXPECT_EQ(AppFiles(), (std::set<std::string>{"nowver.ini"}));
}

// A server that answers and then falls silent is given up at the deadline
// too, long before a silent connection would time out by itself.
TEST_F(KobrelRun, SilentServerIsGivenUpAtTheDeadline) {
  Put(AppDir / "nowver.ini", "[info]\nnum=12\n");
  Server.Trickle("/dova/new.htm", "[info]\nnum=13\n", 7, 3000ms);

  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(Run({"--base-url", Server.BaseUrl(), "--deadline", "1"}), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2500ms);
  EXPECT_EQ(AppFiles(), (std::set<std::string>{"nowver.ini"}));
  EXPECT_EQ(IniNum(), "12");
}

// The program started three times at once starts three checkers: one does
// the work, the others end at once without a word.
TEST_F(KobrelRun, OneRunAtATime) {
  Put(AppDir / "nowver.ini", "[info]\nnum=12\n");
  Publish("13");
  const std::string& counting = CountingRelease();
  // keeps the first run busy for most of a second
  Server.Trickle("/files/setup.sh", counting, std::max<std::size_t>(8, counting.size() / 6), 150ms);

  std::vector<TChild> runs;
  for (int i = 0; i < 3; ++i) runs.push_back(Spawn({}, {}, {}, Root / ("errors" + std::to_string(i))));
  for (const auto pid : runs) EXPECT_EQ(Wait(pid), 0);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Get(AppDir / "starts.log"), "started\n");
  EXPECT_EQ(Server.Requests(), (std::vector<std::string>{"/dova/new.htm", "/files/setup.sh"}));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Get(Root / ("errors" + std::to_string(i))), "");
}

TEST_F(KobrelRun, TemporaryFilesOfStoppedRunsAreRemoved) {
  // Left by runs that had no chance to clean up; look-alikes are kept.
  for (const char* stale : {".setup.sh.4711-0.tmp", ".nowver.ini.12-3.tmp"}) Put(AppDir / stale, "partial");
  for (const char* other : {".setup.sh.tmp", "setup.sh.4711-0.tmp", ".setup.sh.x-0.tmp"}) Put(AppDir / other, "mine");
  fs::create_directory(AppDir / ".cache.1-0.tmp");
  Put(AppDir / "nowver.ini", "[info]\nnum=12\n");
  Publish("12");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(AppFiles(), (std::set<std::string>{"nowver.ini", "new.htm", ".setup.sh.tmp", "setup.sh.4711-0.tmp",
                                               ".setup.sh.x-0.tmp", ".cache.1-0.tmp"}));

  // A run stopped in the middle of a download removes its own file.
#ifdef _WIN32
  // Also when it is ended from outside without a chance to clean up.
  for (const int signal : {99}) {
#else
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
#endif
    SCOPED_TRACE(signal);
    Put(AppDir / "nowver.ini", "[info]\nnum=12\n");
    Publish("13");
    Server.Trickle("/files/setup.sh", std::string(4096, '#'), 16, 50ms);
    const auto before = AppFiles();
    const TChild pid = Spawn();
    bool downloading = false;
    for (auto waited = 0ms; !downloading && waited < 3000ms; waited += 10ms) {
      std::this_thread::sleep_for(10ms);
      for (const auto& name : AppFiles()) downloading = downloading || (name.starts_with(".setup.sh.") && !before.contains(name));
    }
    EXPECT_TRUE(downloading);
#ifdef _WIN32
    ::TerminateProcess(pid, signal);
    EXPECT_EQ(Wait(pid), signal);
#else
    ::kill(pid, signal);
    EXPECT_EQ(Wait(pid), -signal);
#endif
    EXPECT_EQ(AppFiles(), (std::set<std::string>(before.begin(), before.end())));
  }
}

TEST_F(KobrelRun, RelativeProgramFolderStillStartsTheRelease) {
  Put(AppDir / "nowver.ini", "[info]\nnum=12\n");
  Publish("13");
  Server.Serve("/files/setup.sh", Release());

  EXPECT_EQ(Wait(Spawn({}, "app", Root)), 0);
  EXPECT_TRUE(StartedIn(AppDir));
}

// Paths with characters beyond ASCII work; an older release in the folder
// is replaced by the new one.
TEST_F(KobrelRun, ProgramFolderWithAnyCharacters) {
  AppDir = Root / *PathFromUtf8("\u7A0B\u5E8F \u00DCbung");
  fs::create_directory(AppDir);
  Put(AppDir / "nowver.ini", "[info]\nnum=12\n");
  Put(AppDir / "setup.sh", OldRelease);
  Publish("13");
  Server.Serve("/files/setup.sh", Release());

  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(StartedIn(AppDir));
  EXPECT_EQ(Get(AppDir / "setup.sh"), Release());
  EXPECT_EQ(IniNum(), "13");
}

// Whoever could run the old release can run the new one; nobody else.
TEST_F(KobrelRun, ReplacedReleaseKeepsItsMode) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no file modes: a new file takes the permissions of its folder";
#endif
  Server.Serve("/files/setup.sh", Release());
  for (const auto mode : {fs::perms(0755), fs::perms(0750), fs::perms(0700)}) {
    SCOPED_TRACE(static_cast<int>(mode));
    fs::remove(AppDir / "started.marker");
    Put(AppDir / "nowver.ini", "[info]\nnum=12\n");
    Put(AppDir / "setup.sh", OldRelease);
    fs::permissions(AppDir / "setup.sh", mode);
    Publish("13");

    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(StartedIn(AppDir));
    EXPECT_EQ(fs::status(AppDir / "setup.sh").permissions(), mode);
  }
}

// Descriptions saved by Windows tools; anything without [info] is an error,
// not "up to date".
TEST_F(KobrelRun, DescriptionsInOtherFormsAreReadOrRefused) {
  const auto utf16 = [](const std::string& text, bool little) {
    std::string bytes = little ? "\xFF\xFE" : "\xFE\xFF";
    for (const char c : text) bytes += little ? std::string{c, '\0'} : std::string{'\0', c};
    return bytes;
  };
  const std::string text = "[info]\r\nnum=13\r\nurl=" + Server.BaseUrl() + "/files/setup.sh\r\nname=setup.sh\r\n";
  std::string crOnly = text;
  std::erase(crOnly, '\n');
  Server.Serve("/files/setup.sh", Release());
  for (const auto& [what, description] : std::vector<std::pair<std::string, std::string>>{
           {"UTF-16LE", utf16(text, true)}, {"UTF-16BE", utf16(text, false)}, {"CR only", crOnly}}) {
    SCOPED_TRACE(what);
    fs::remove(AppDir / "started.marker");
    Put(AppDir / "nowver.ini", "[info]\nnum=12\n");
    Server.Serve("/dova/new.htm", description);
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(StartedIn(AppDir));
    EXPECT_EQ(IniNum(), "13");
  }

  for (const std::string& junk : {std::string("<html><body>Not here</body></html>"), utf16("<html>", true)}) {
    Put(AppDir / "nowver.ini", "[info]\nnum=12\n");
    Server.Serve("/dova/new.htm", junk);
    EXPECT_EQ(Wait(Spawn({}, {}, {}, Root / "errors")), 1);
    EXPECT_NE(Get(Root / "errors").find("no [info] section"), std::string::npos);
    EXPECT_EQ(IniNum(), "12");
  }
}

// What was asked for over https never comes over plain http.
TEST_F(KobrelRun, HttpsIsNeverLoweredToHttp) {
#ifdef _WIN32
  // The redirect rule itself is checked in KobrelAddresses.
  GTEST_SKIP() << "the test server speaks https only with OpenSSL, which the Windows build does not have";
#endif
  const auto cert = Root / "cert.pem";
  TTestHttpServer secure(cert);
  Server.Serve("/files/setup.sh", Release());
  Server.Serve("/dova/new.htm", "[info]\nnum=99\n");
  const std::vector<std::string> args{"--base-url", secure.BaseUrl(), "--ca-file", PathText(cert)};
  Put(AppDir / "nowver.ini", "[info]\nnum=12\n");

  // https to https is fine ...
  secure.Redirect("/files/moved.sh", secure.BaseUrl() + "/files/setup.sh");
  secure.Serve("/files/setup.sh", Release());
  secure.Serve("/dova/new.htm", "[info]\nnum=13\nname=setup.sh\nurl=" + secure.BaseUrl() + "/files/moved.sh\n");
  EXPECT_EQ(Wait(Spawn(args)), 0);
  EXPECT_TRUE(StartedIn(AppDir));

  // ... https to http is not, for the release ...
  fs::remove(AppDir / "setup.sh");
  secure.Redirect("/files/moved.sh", Server.BaseUrl() + "/files/setup.sh");
  secure.Serve("/dova/new.htm", "[info]\nnum=14\nname=setup.sh\nurl=" + secure.BaseUrl() + "/files/moved.sh\n");
  EXPECT_EQ(Wait(Spawn(args)), 1);
  EXPECT_FALSE(fs::exists(AppDir / "setup.sh"));
  EXPECT_EQ(IniNum(), "14");

  // ... nor for the description.
  secure.Redirect("/dova/new.htm", Server.BaseUrl() + "/dova/new.htm");
  EXPECT_EQ(Wait(Spawn(args)), 1);
  EXPECT_FALSE(fs::exists(AppDir / "new.htm"));
  EXPECT_TRUE(Server.Requests().empty());
}

}  // namespace
