#pragma once
// Runs vantrel-cli and captures what it prints.

#include <string>
#include <vector>

namespace vantrel::test {

struct CliResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs the program with the arguments (no shell involved), standard input
// from /dev/null.
CliResult RunCli(const std::vector<std::string>& args);

// The path of a fixture image made by tests/fixtures/make_images.sh.
std::string Fixture(const std::string& name);

}  // namespace vantrel::test
