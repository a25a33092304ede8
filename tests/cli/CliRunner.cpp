#include "cli/CliRunner.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vantrel::test {
#ifdef _WIN32
namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

// One argument quoted the way CommandLineToArgvW and the C runtime read it back.
std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  for (std::size_t i = 0;; ++i) {
    std::size_t backslashes = 0;
    while (i < arg.size() && arg[i] == L'\\') {
      ++i;
      ++backslashes;
    }
    if (i == arg.size()) {
      out.append(backslashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    out += arg[i];
  }
  return out + L"\"";
}

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

HANDLE Inheritable(const std::filesystem::path& file, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return ::CreateFileW(file.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::string Fixture(const std::string& name) { return std::string(VANTREL_FIXTURE_DIR) + "/" + name; }

CliResult RunCli(const std::vector<std::string>& args) {
  // Output goes to temporary files so that a large output cannot block the child.
  static unsigned counter = 0;
  const auto base = std::filesystem::temp_directory_path() /
                    ("vantrel-cli-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++counter));
  const auto outName = base.wstring() + L".out", errName = base.wstring() + L".err";
  HANDLE in = Inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE out = Inheritable(outName, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = Inheritable(errName, GENERIC_WRITE, CREATE_ALWAYS);
  if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE)
    throw std::runtime_error("cannot make the output files");
  std::wstring commandLine = QuoteArgument(Wide(VANTREL_CLI));
  for (const auto& a : args) commandLine += L" " + QuoteArgument(Wide(a));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  CliResult result;
  const std::wstring program = Wide(VANTREL_CLI);
  // Under Wine, with many test programs starting children at once, a start
  // now and then fails, or the child never gets going, for no reason of
  // ours. A few more tries ride it out (a run here takes seconds, so one
  // that has not ended in two minutes is stuck), and what happened is kept
  // for the test's output when they do not.
  bool ended = false;
  std::string trouble;
  for (int attempt = 0; attempt < 4 && !ended; ++attempt) {
    if (attempt > 0) {
      ::Sleep(200 * attempt);
      for (HANDLE h : {out, err}) {
        ::SetFilePointer(h, 0, nullptr, FILE_BEGIN);
        ::SetEndOfFile(h);
      }
    }
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &process)) {
      trouble = "(the test could not start vantrel-cli: error " + std::to_string(::GetLastError()) + ")";
      continue;
    }
    if (::WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0) {
      DWORD code = 0;
      ::GetExitCodeProcess(process.hProcess, &code);
      result.exitCode = static_cast<int>(code);
      ended = true;
    } else {
      ::TerminateProcess(process.hProcess, 1);
      ::WaitForSingleObject(process.hProcess, 10000);
      trouble = "(vantrel-cli had not ended after two minutes)";
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  ::CloseHandle(in);
  ::CloseHandle(out);
  ::CloseHandle(err);
  result.out = ReadAll(outName);
  result.err = ReadAll(errName);
  if (!ended) result.err += trouble;
  std::error_code ec;
  std::filesystem::remove(outName, ec);
  std::filesystem::remove(errName, ec);
  return result;
}

#else

namespace {

std::string Drain(int fd) {
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace

std::string Fixture(const std::string& name) { return std::string(VANTREL_FIXTURE_DIR) + "/" + name; }

CliResult RunCli(const std::vector<std::string>& args) {
  // Output goes to temporary files so that a large output cannot block the child.
  char outName[] = "/tmp/vantrel-cli-out-XXXXXX";
  char errName[] = "/tmp/vantrel-cli-err-XXXXXX";
  const int outFd = ::mkstemp(outName), errFd = ::mkstemp(errName);
  if (outFd < 0 || errFd < 0) throw std::runtime_error("mkstemp failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  std::vector<std::string> all{VANTREL_CLI};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  CliResult result;
  if (posix_spawn(&pid, VANTREL_CLI, &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  ::lseek(outFd, 0, SEEK_SET);
  ::lseek(errFd, 0, SEEK_SET);
  result.out = Drain(outFd);
  result.err = Drain(errFd);
  ::close(outFd);
  ::close(errFd);
  ::unlink(outName);
  ::unlink(errName);
  return result;
}

#endif

}  // namespace vantrel::test
