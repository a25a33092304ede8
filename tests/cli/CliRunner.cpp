#include "cli/CliRunner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace vantrel::test {
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

}  // namespace vantrel::test
